// SPDX-License-Identifier: Apache-2.0
// The door to the framework: every function that stands before one of PAPPL's, libcups' or the
// DNS-SD library's own, by framework area (Guard.cpp: access, jobs and IPP; Repairs.cpp: settings and
// attributes; Commands.cpp: the subcommands; Pages.cpp: the settings pages; History.cpp: the job
// history; RelocateRequests.cpp: a printer's device and driver; Dnssd.cpp: DNS-SD), and its check that
// the framework it runs with has them all (Door.cpp). The program only: the way to the framework's
// function of the same name, the framework's internal functions that PAPPL 1.3.1 exports but declares
// in no installed header, and what the door's files share.
#pragma once

#include <dlfcn.h>
#include <pappl/pappl.h>

#include <string>

#include "app/service/service.h"

// 'frameworkFunction()' - the framework's own function 'name', which the program's function of that
// name stands before.
template <typename Function>
Function frameworkFunction(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// 'checkFrameworkDoor()' - whether every framework function the program stands before, and every
// internal one it calls, resolves in the libraries it runs with: 0, or 1 with the first missing one's
// name in *missing (Door.cpp).
int checkFrameworkDoor(std::string* missing);

// 'checkFrameworkVersion()' - whether the PAPPL the program runs with (its version in *version, "" when
// it cannot be told) is of the series the program was built and tested against: 0, 1 when it is not,
// 2 when it is not but the program was built to run on it all the same (-DLABEL_UNTESTED_PAPPL=ON).
int checkFrameworkVersion(std::string* version);

extern "C" {
bool _papplPrinterIsAuthorized(pappl_client_t* client);
void _papplMainloopAddPrinterURI(ipp_t* request, const char* printer_name, char* resource, size_t size);
http_t* _papplMainloopConnect(const char* base_name, bool auto_start);
http_t* _papplMainloopConnectURI(const char* base_name, const char* printer_uri, char* resource, size_t size);
char* _papplMainloopGetDefaultPrinter(http_t* http, char* buffer, size_t size);
char* _papplMainloopGetServerPath(const char* base_name, uid_t uid, char* buffer, size_t size);
const char* _papplColorModeString(pappl_color_mode_t value);
pappl_color_mode_t _papplColorModeValue(const char* value);
const char* _papplContentString(pappl_content_t value);
pappl_content_t _papplContentValue(const char* value);
const char* _papplLabelModeString(pappl_label_mode_t value);
pappl_label_mode_t _papplLabelModeValue(const char* value);
const char* _papplMediaTrackingString(pappl_media_tracking_t value);
pappl_media_tracking_t _papplMediaTrackingValue(const char* value);
const char* _papplScalingString(pappl_scaling_t value);
pappl_scaling_t _papplScalingValue(const char* value);
void _papplSystemConfigChanged(pappl_system_t* system);
}

// 'keepHistory()' - trim every printer's history of ended jobs to 'history', the oldest going first,
// with their files in the spool folder; the state file is then saved without them (History.cpp).
// Call with no printer or job of the framework locked.
void keepHistory(pappl_system_t* system, int history);

// 'startHistoryKeeper()' - the system's timer that trims the histories with the server's job-history
// at the start (after the state file) and every few seconds (jobs cancelled before they printed).
void startHistoryKeeper(pappl_system_t* system, appConfig* config);

// 'setPrinterSettings()' - a Set-Printer-Attributes request, with 'next' the framework's processing: a
// value the printer does not take is refused with the reason before anything changes; the settings
// the framework cannot set are set by the application once the rest are; a new default label size
// is the loaded one too (Repairs.cpp).
void setPrinterSettings(pappl_client_t* client, void (*next)(pappl_client_t*));

// 'applyCopiesDefault()' - give a Print-Job or Create-Job request without copies the printer's default
// copies.
void applyCopiesDefault(pappl_client_t* client);

// 'saveDriverDefaults()' - papplPrinterSetDriverDefaults() with the default copies ('copies', 0 to
// leave them as they are) beside the vendor defaults: false when the printer refuses a value.
bool saveDriverDefaults(pappl_printer_t* printer, pappl_pr_driver_data_t* data, int vendorCount,
                        cups_option_t* vendor, int copies);

// 'repairPrinterValues()' - make a printer's response to 'request' carry the printer's own printer-id,
// its default copies, print speed and darkness change as asked for, no printer-supply-info-uri to
// a page the printer does not have, and its media-col-database when 'database' says so.
void repairPrinterValues(ipp_t* response, pappl_printer_t* printer, ipp_t* request, bool database);

// 'expandRequestGroups()' - a Get-Printer-Attributes request's requested-attributes rewritten as
// expandRequestedAttributes() says, before the framework reads them: true when media-col-database is
// to be added to the answer (repairPrinterValues()).
bool expandRequestGroups(ipp_t* request);

// 'addPrinterPages()' - the framework's printer creation callback: the printer's "Device and driver"
// page, linked from its page (RelocateRequests.cpp, the program only).
void addPrinterPages(pappl_printer_t* printer, void* data);

// 'takeDeviceChange()' - a Set-Printer-Attributes request that changes the device or the driver: checked
// and made here, its other settings handed to 'next' (the framework's), the client answered; false for
// a request that changes neither (RelocateRequests.cpp).
bool takeDeviceChange(pappl_client_t* client, void (*next)(pappl_client_t*));

// 'createPrinterWithReason()' - a Create-Printer request through 'next', answered with the reason
// when its device is refused (RelocateRequests.cpp).
void createPrinterWithReason(pappl_client_t* client, void (*next)(pappl_client_t*));

// 'pageWords()' - the framework's words for 'key' on a page, but for the state reasons on the status
// line, which lists them and ends with a full stop: there the application's words without the
// framework's own full stop (addLabelWords(); Pages.cpp).
const char* pageWords(pappl_client_t* client, const char* key);
