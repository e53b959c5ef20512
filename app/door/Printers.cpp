// SPDX-License-Identifier: Apache-2.0
// A printer's creation, printing defaults, device and reasons.
#include <cerrno>
#include <cstring>

#include "app/door/door.h"

extern "C" {

// A printer added without a driver is asked what it is, and keeps the driver of its head's resolution:
// the framework would keep the name "auto" and drop the printer at a start when it cannot be asked.
pappl_printer_t* papplPrinterCreate(pappl_system_t* system, int printerId, const char* printerName,
                                    const char* driverName, const char* deviceId, const char* deviceUri) {
  using createPrinter =
      pappl_printer_t* (*)(pappl_system_t*, int, const char*, const char*, const char*, const char*);
  if (driverName != nullptr && std::strcmp(driverName, "auto") == 0 && deviceUri != nullptr) {
    driverName = identifyDriver(system, deviceUri);
    if (driverName == nullptr) {
      errno = EIO;
      return nullptr;
    }
  }
  return frameworkFunction<createPrinter>("papplPrinterCreate")(system, printerId, printerName, driverName,
                                                                deviceId, deviceUri);
}

// The printing defaults: the framework's, which leave the default orientation out; it is set with the
// driver data, keeping the defaults and vendor values that the driver attributes hold.
bool papplPrinterSetDriverDefaults(pappl_printer_t* printer, pappl_pr_driver_data_t* data, int num_vendor,
                                   cups_option_t* vendor) {
  using setDefaults = bool (*)(pappl_printer_t*, pappl_pr_driver_data_t*, int, cups_option_t*);
  return setDriverDefaultsTurned(printer, data, num_vendor, vendor,
                                 frameworkFunction<setDefaults>("papplPrinterSetDriverDefaults"));
}

// Whether a new printer may have a device URI. The framework takes a file URI only when its path
// (of at most 255 bytes) exists and can be written, and answers every other one "Unsupported
// smi55357-device-uri uri value".
bool papplDeviceIsSupported(const char* uri) {
  return takesDeviceUri(uri, frameworkFunction<bool (*)(const char*)>("papplDeviceIsSupported"));
}

// A printer that cannot be reached reports it ('offline-report'): the framework's bare 'offline'
// reads as an error of the printer itself.
const char* _papplPrinterReasonString(pappl_preason_t value) {
  if (value == PAPPL_PREASON_OFFLINE) return "offline-report";
  return frameworkFunction<const char* (*)(pappl_preason_t)>("_papplPrinterReasonString")(value);
}

}  // extern "C"
