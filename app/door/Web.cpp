// SPDX-License-Identifier: Apache-2.0
// The printer's web pages (app/web/SettingsPages.cpp, app/service/Requests.cpp).
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

}  // extern "C"
