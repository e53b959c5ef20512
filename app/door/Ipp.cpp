// SPDX-License-Identifier: Apache-2.0
// The IPP requests (the rules: app/service/Requests.cpp, SettingsRequests.cpp).
#include <cstring>

#include "app/door/door.h"

extern "C" {

// Shutdown-All-Printers as a stop signal; Get-Printers: each printer's group carries its printer-id as
// the printer has it; Create-Printer answered with the reason a device is refused.
void _papplSystemProcessIPP(pappl_client_t* client) {
  processSystemRequest(client, frameworkFunction<void (*)(pappl_client_t*)>("_papplSystemProcessIPP"));
}

void _papplPrinterProcessIPP(pappl_client_t* client) {
  processPrinterRequest(client, frameworkFunction<void (*)(pappl_client_t*)>("_papplPrinterProcessIPP"));
}

void _papplJobProcessIPP(pappl_client_t* client) {
  processJobRequest(client, frameworkFunction<void (*)(pappl_client_t*)>("_papplJobProcessIPP"));
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

}  // extern "C"
