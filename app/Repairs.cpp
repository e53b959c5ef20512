// SPDX-License-Identifier: Apache-2.0
// Settings that keep their word. PAPPL 1.3.1 stores an unknown label mode or colour mode as none
// (the printer then stops sending the media handling command), never saves the print speed nor a
// darkness of 0, answers printer-id 0 for a printer added since the start (so that it cannot be
// deleted until a restart), names the print speed printer-speed-default, and points printer-supply-info-uri
// at a page it only makes for printers with supplies. The functions below stand before the framework's (see
// Guard.cpp); they are linked into the program only.
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/Interpose.h"
#include "app/app.h"

namespace {

// 'addBits()' - the keywords of the bits set in 'bits', from 1 to 'last'.
template <typename Bits>
void addBits(ipp_t* attributes, const char* name, unsigned bits, unsigned last,
             const char* (*keyword)(Bits)) {
  ipp_attribute_t* list = nullptr;
  for (unsigned bit = 1; bit <= last; bit *= 2) {
    if ((bits & bit) == 0) continue;
    const char* value = keyword(static_cast<Bits>(bit));
    if (value == nullptr) continue;
    if (list == nullptr)
      list = ippAddString(attributes, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, name, nullptr, value);
    else
      ippSetString(attributes, &list, ippGetCount(list), value);
  }
}

// 'supportedValues()' - what the printer supports for the settings a Set-Printer-Attributes request
// may change, from its driver data.
ipp_t* supportedValues(pappl_printer_t* printer) {
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  ipp_t* attributes = papplPrinterGetDriverAttributes(printer);
  if (attributes == nullptr) attributes = ippNew();
  addBits(attributes, "label-mode-supported", data.mode_supported, PAPPL_LABEL_MODE_TEAR_OFF,
          _papplLabelModeString);
  addBits(attributes, "media-tracking-supported", data.tracking_supported, PAPPL_MEDIA_TRACKING_WEB,
          _papplMediaTrackingString);
  addBits(attributes, "print-color-mode-supported", data.color_supported, PAPPL_COLOR_MODE_PROCESS_MONOCHROME,
          _papplColorModeString);
  ippAddStrings(attributes, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "media-supported", data.num_media, nullptr,
                data.media);
  ippAddRange(attributes, IPP_TAG_PRINTER, "print-speed-supported", data.speed_supported[0],
              data.speed_supported[1]);
  static const char* const contents[] = {"auto", "graphic", "photo", "text", "text-and-graphic"};
  ippAddStrings(attributes, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-content-optimize-supported", 5, nullptr,
                contents);
  static const char* const scalings[] = {"auto", "auto-fit", "fill", "fit", "none"};
  ippAddStrings(attributes, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-scaling-supported", 5, nullptr,
                scalings);
  ippAddRange(attributes, IPP_TAG_PRINTER, "copies-supported", 1, 9999);
  static const int orientations[] = {3, 4, 5, 6, 7};
  ippAddIntegers(attributes, IPP_TAG_PRINTER, IPP_TAG_ENUM, "orientation-requested-supported", 5,
                 orientations);
  static const int qualities[] = {3, 4, 5};
  ippAddIntegers(attributes, IPP_TAG_PRINTER, IPP_TAG_ENUM, "print-quality-supported", 3, qualities);
  return attributes;
}

// 'savedLines()' - what the framework leaves out of a printer's block in the state file: the
// print speed, and a darkness of 0.
std::string savedLines(pappl_printer_t* printer) {
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  std::string lines;
  if (data.speed_default != 0) lines += "print-speed-default " + std::to_string(data.speed_default) + "\n";
  if (data.darkness_configured == 0) lines += "printer-darkness-configured 0\n";
  return lines;
}

}  // namespace

bool refuseBadSettings(pappl_client_t* client) {
  pappl_printer_t* printer = papplClientGetPrinter(client);
  if (printer == nullptr || papplClientGetOperation(client) != IPP_OP_SET_PRINTER_ATTRIBUTES) return false;
  ipp_t* supported = supportedValues(printer);
  std::string error;
  const int status = checkSettingsRequest(papplClientGetRequest(client), supported, &error);
  ippDelete(supported);
  if (status == 0) return false;
  papplClientRespondIPP(client, IPP_STATUS_ERROR_ATTRIBUTES_OR_VALUES, "Nothing changed: %s.", error.c_str());
  return true;
}

void repairPrinterValues(ipp_t* response, pappl_printer_t* printer) {
  if (response == nullptr) return;
  pappl_pr_driver_data_t data;
  if (printer != nullptr) papplPrinterGetDriverData(printer, &data);
  // The framework answers the print speed as "printer-speed-default".
  if (printer != nullptr && data.speed_supported[1] > 0 &&
      ippFindAttribute(response, "print-speed-default", IPP_TAG_ZERO) == nullptr)
    ippAddInteger(response, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "print-speed-default", data.speed_default);
  for (ipp_attribute_t* a = ippFirstAttribute(response); a != nullptr; a = ippNextAttribute(response)) {
    const char* name = ippGetName(a);
    if (name == nullptr || ippGetGroupTag(a) != IPP_TAG_PRINTER) continue;
    if (printer != nullptr && std::strcmp(name, "printer-id") == 0) {
      ippSetInteger(response, &a, 0, papplPrinterGetID(printer));
    } else if (printer != nullptr && std::strcmp(name, "printer-supply-info-uri") == 0 &&
               !data.has_supplies) {
      ippDeleteAttribute(response, a);
      a = ippFirstAttribute(response);  // the walk starts again from the top, past what is done
    }
  }
}

extern "C" {

// Shutdown-All-Printers as a stop signal; Get-Printers: each printer's group carries its printer-id as
// the printer has it.
void _papplSystemProcessIPP(pappl_client_t* client) {
  if (papplClientGetOperation(client) == IPP_OP_SHUTDOWN_ALL_PRINTERS) {
    // The framework's shutdown ends its main loop and frees the system while client threads still
    // use it; the application's own stop (the one SIGTERM takes) cancels the printing, saves the state
    // and ends the process instead.
    const http_status_t status = papplClientIsAuthorized(client);
    if (status != HTTP_STATUS_CONTINUE) {
      papplClientRespond(client, status, nullptr, nullptr, 0, 0);
      return;
    }
    kill(getpid(), SIGTERM);
    papplClientRespondIPP(client, IPP_STATUS_OK, nullptr);
    return;
  }
  frameworkFunction<void (*)(pappl_client_t*)>("_papplSystemProcessIPP")(client);
  if (papplClientGetOperation(client) != IPP_OP_GET_PRINTERS) return;
  ipp_t* response = papplClientGetResponse(client);
  pappl_system_t* system = papplClientGetSystem(client);
  struct group {
    ipp_attribute_t* id = nullptr;
    std::string name;
  };
  std::vector<group> groups(1);
  for (ipp_attribute_t* a = ippFirstAttribute(response); a != nullptr; a = ippNextAttribute(response)) {
    const char* name = ippGetName(a);
    if (name == nullptr) {
      groups.emplace_back();
    } else if (ippGetGroupTag(a) == IPP_TAG_PRINTER && std::strcmp(name, "printer-id") == 0) {
      groups.back().id = a;
    } else if (ippGetGroupTag(a) == IPP_TAG_PRINTER && std::strcmp(name, "printer-name") == 0) {
      groups.back().name = ippGetString(a, 0, nullptr);
    }
  }
  for (group& g : groups) {
    if (g.id == nullptr || g.name.empty()) continue;
    struct match {
      const std::string* name;
      int id;
    } found{&g.name, 0};
    papplSystemIteratePrinters(
        system,
        [](pappl_printer_t* printer, void* data) {
          auto* m = static_cast<match*>(data);
          if (*m->name == papplPrinterGetName(printer)) m->id = papplPrinterGetID(printer);
        },
        &found);
    if (found.id != 0) ippSetInteger(response, &g.id, 0, found.id);
  }
}

// The framework adds printer-strings-languages-supported to the printer's own attributes at every
// Get-Printer-Attributes once there are localisation resources (the application's words): the
// printer's attributes would grow with each request, and every answer would carry it many times.
// The first one stays; the languages do not change while the server runs.
ipp_attribute_t* ippAddStrings(ipp_t* ipp, ipp_tag_t group, ipp_tag_t valueTag, const char* name, int count,
                               const char* language, const char* const* values) {
  if (name != nullptr && std::strcmp(name, "printer-strings-languages-supported") == 0)
    if (ipp_attribute_t* present = ippFindAttribute(ipp, name, IPP_TAG_ZERO)) return present;
  using addStrings =
      ipp_attribute_t* (*)(ipp_t*, ipp_tag_t, ipp_tag_t, const char*, int, const char*, const char* const*);
  return frameworkFunction<addStrings>("ippAddStrings")(ipp, group, valueTag, name, count, language, values);
}

// The state file: the framework's, and then the settings it leaves out in each printer's block.
bool papplSystemSaveState(pappl_system_t* system, const char* filename) {
  if (!frameworkFunction<bool (*)(pappl_system_t*, const char*)>("papplSystemSaveState")(system, filename))
    return false;
  cups_file_t* in = cupsFileOpen(filename, "r");
  if (in == nullptr) return true;
  std::string state;
  char buffer[8192];
  for (ssize_t got; (got = cupsFileRead(in, buffer, sizeof buffer)) > 0;) state.append(buffer, got);
  cupsFileClose(in);
  const std::string text = addSavedLines(state, [system](int id) {
    pappl_printer_t* printer = papplSystemFindPrinter(system, nullptr, id, nullptr);
    return printer != nullptr ? savedLines(printer) : std::string();
  });
  if (text == state) return true;
  const std::string temporary = std::string(filename) + ".N";
  cups_file_t* out = cupsFileOpen(temporary.c_str(), "w");
  if (out == nullptr) return true;
  const bool written = cupsFileWrite(out, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (cupsFileClose(out) != 0 || !written || std::rename(temporary.c_str(), filename) != 0) {
    std::remove(temporary.c_str());
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to add the print speeds to '%s'.", filename);
  }
  return true;
}

}  // extern "C"
