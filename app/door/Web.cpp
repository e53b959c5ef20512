// SPDX-License-Identifier: Apache-2.0
// The printer's web pages and their words (app/web/SettingsPages.cpp, app/web/JobLabels.cpp,
// app/service/Requests.cpp).
#include "app/door/door.h"

extern "C" {

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

// A printer's jobs, with their states in words, Cancel and Reprint (app/web/JobPages.cpp).
void _papplPrinterWebJobs(pappl_client_t* client, pappl_printer_t* printer) {
  showJobsPage(client, papplPrinterGetSystem(printer), printer, webJobRules());
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
