// SPDX-License-Identifier: Apache-2.0
// What the functions that stand before the framework's own share (Guard.cpp, Commands.cpp,
// Repairs.cpp, Pages.cpp, History.cpp; the program only): the way to the framework's function of the same
// name, and the framework's internal functions they call, which PAPPL 1.3.1 exports but declares in no
// installed header.
#pragma once

#include <dlfcn.h>
#include <pappl/pappl.h>

#include <string>

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
