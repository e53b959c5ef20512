// SPDX-License-Identifier: Apache-2.0
// The server's settings, found from the system: the framework hands the application's data to its
// callbacks but gives none of it back, except through the lookup of a document filter, whose record
// holds the filter's data.
#include "app/printer/printer.h"

// The framework's record of a document filter and its lookup (PAPPL 1.3, exported but declared in no
// installed header).
struct frameworkFilter {
  const char* source;
  const char* destination;
  pappl_mime_filter_cb_t filter;
  void* data;
};
extern "C" frameworkFilter* _papplSystemFindMIMEFilter(pappl_system_t* system, const char* source,
                                                       const char* destination);

namespace {

// The format of the filter that holds the settings: no document is of it, and no printer prints it.
inline constexpr char kSettingsFormat[] = "application/vnd.label-printer-app.settings";

// 'refuseDocument()' - the settings' filter, should a job ever reach it: it prints nothing.
bool refuseDocument(pappl_job_t*, pappl_device_t*, void*) { return false; }

}  // namespace

void keepServerSettings(pappl_system_t* system, appConfig* config) {
  papplSystemAddMIMEFilter(system, kSettingsFormat, kSettingsFormat, refuseDocument, config);
}

appConfig* serverSettings(pappl_system_t* system) {
  const frameworkFilter* found =
      system != nullptr ? _papplSystemFindMIMEFilter(system, kSettingsFormat, kSettingsFormat) : nullptr;
  return found != nullptr && found->filter == refuseDocument ? static_cast<appConfig*>(found->data) : nullptr;
}
