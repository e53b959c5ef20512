// SPDX-License-Identifier: Apache-2.0
// A printer's printing defaults as the driver data and its driver attributes hold them: the default
// copies beside the vendor defaults, and the default orientation, which PAPPL 1.3.1's printing
// defaults never take.
#include <string>

#include "app/settings/settings.h"

namespace {

// 'keptDriverAttributes()' - the printer's defaults and vendor values that its driver attributes hold
// beside those the framework makes from the driver data.
ipp_t* keptDriverAttributes(pappl_printer_t* printer, const pappl_pr_driver_data_t& data) {
  ipp_t* all = papplPrinterGetDriverAttributes(printer);
  ipp_t* kept = ippNew();
  for (ipp_attribute_t* a = ippFirstAttribute(all); a != nullptr; a = ippNextAttribute(all)) {
    const std::string name = ippGetName(a) != nullptr ? ippGetName(a) : "";
    bool keep = name.ends_with("-default");
    for (int i = 0; i < data.num_vendor && !keep; ++i)
      keep = name == std::string(data.vendor[i]) + "-supported";
    if (keep) ippCopyAttribute(kept, a, 0);
  }
  ippDelete(all);
  return kept;
}

}  // namespace

bool saveDriverDefaults(pappl_printer_t* printer, pappl_pr_driver_data_t* data, int vendorCount,
                        cups_option_t* vendor, int copies) {
  if (copies == 0) return papplPrinterSetDriverDefaults(printer, data, vendorCount, vendor);
  if (copies < 1 || copies > kMaxCopies || data->num_vendor >= PAPPL_MAX_VENDOR) return false;
  // The framework keeps the defaults of the vendor attributes the driver data names: copies are named
  // for this one call, and kept as text (there is no copies-supported among the driver attributes).
  pappl_pr_driver_data_t withCopies = *data;
  withCopies.vendor[withCopies.num_vendor++] = "copies";
  cups_option_t* values = nullptr;
  int count = 0;
  for (int i = 0; i < vendorCount; ++i)
    count = cupsAddOption(vendor[i].name, vendor[i].value, count, &values);
  count = cupsAddOption("copies", std::to_string(copies).c_str(), count, &values);
  const bool saved = papplPrinterSetDriverDefaults(printer, &withCopies, count, values);
  cupsFreeOptions(count, values);
  return saved;
}

bool setDriverDefaultsTurned(pappl_printer_t* printer, pappl_pr_driver_data_t* data, int vendorCount,
                             cups_option_t* vendor, const setDriverDefaults& next) {
  if (printer == nullptr || data == nullptr) return false;
  pappl_pr_driver_data_t current;
  papplPrinterGetDriverData(printer, &current);
  const bool turned = data->orient_default != current.orient_default;
  if (turned && (data->orient_default < IPP_ORIENT_PORTRAIT || data->orient_default > IPP_ORIENT_NONE))
    return false;
  if (!next(printer, data, vendorCount, vendor)) return false;
  if (!turned) return true;
  papplPrinterGetDriverData(printer, &current);
  current.orient_default = data->orient_default;
  ipp_t* kept = keptDriverAttributes(printer, current);
  const bool set = papplPrinterSetDriverData(printer, &current, kept);
  ippDelete(kept);
  // The driver data's setter leaves the state file as it is.
  if (set) _papplSystemConfigChanged(papplPrinterGetSystem(printer));
  return set;
}
