// SPDX-License-Identifier: Apache-2.0
// What the functions that stand before the framework's own share (Guard.cpp, Commands.cpp,
// Repairs.cpp, Pages.cpp, History.cpp; the program only): the way to the framework's function of the same
// name, and the framework's internal functions they call, which PAPPL 1.3.1 exports but declares in no
// installed header.
#pragma once

#include <dlfcn.h>
#include <pappl/pappl.h>

// 'frameworkFunction()' - the framework's own function 'name', which the program's function of that
// name stands before.
template <typename Function>
Function frameworkFunction(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

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
