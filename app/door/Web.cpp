// SPDX-License-Identifier: Apache-2.0
// The printer's web pages and their words (app/web/SettingsPages.cpp, app/web/JobLabels.cpp,
// app/service/Requests.cpp).
#include "app/door/door.h"

namespace {

// While this thread shows a printer's page of jobs, its client: the page lists the jobs through
// papplPrinterIterateAllJobs, with its own row for each.
thread_local pappl_client_t* tJobsPage = nullptr;

}  // namespace

extern "C" {

// The printer's jobs, each with the labels it printed beneath its row.
void _papplPrinterWebJobs(pappl_client_t* client, pappl_printer_t* printer) {
  tJobsPage = client;
  frameworkFunction<void (*)(pappl_client_t*, pappl_printer_t*)>("_papplPrinterWebJobs")(client, printer);
  tJobsPage = nullptr;
}

void papplPrinterIterateAllJobs(pappl_printer_t* printer, pappl_job_cb_t cb, void* data, int first,
                                int limit) {
  using iterate = void (*)(pappl_printer_t*, pappl_job_cb_t, void*, int, int);
  static const auto next = frameworkFunction<iterate>("papplPrinterIterateAllJobs");
  if (tJobsPage != nullptr && data == tJobsPage)
    listJobsWithLabels(tJobsPage, printer, cb, data, first, limit, next);
  else
    next(printer, cb, data, first, limit);
}

void _papplPrinterWebHome(pappl_client_t* client, pappl_printer_t* printer) {
  showPrinterHome(client, printer,
                  frameworkFunction<void (*)(pappl_client_t*, pappl_printer_t*)>("_papplPrinterWebHome"));
}

void _papplPrinterWebDefaults(pappl_client_t* client, pappl_printer_t* printer) {
  showDefaultsPage(client, printer);
}

void _papplPrinterWebMedia(pappl_client_t* client, pappl_printer_t* printer) {
  showMediaPage(client, printer);
}

// A printer's status: the framework's, and the printer's own lines as text.
void _papplPrinterWebIteratorCallback(pappl_printer_t* printer, pappl_client_t* client) {
  showPrinterStatus(
      printer, client,
      frameworkFunction<void (*)(pappl_printer_t*, pappl_client_t*)>("_papplPrinterWebIteratorCallback"));
}

// The pages' words (pageWords()).
const char* papplClientGetLocString(pappl_client_t* client, const char* key) {
  return pageWords(
      client, key,
      frameworkFunction<const char* (*)(pappl_client_t*, const char*)>("papplClientGetLocString"));
}

}  // extern "C"
