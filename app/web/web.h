// SPDX-License-Identifier: Apache-2.0
// The web: the pages' words (Words.cpp), the printer's settings pages (SettingsPages.cpp) and the test
// label (TestLabel.cpp).
#pragma once

#include "app/documents/documents.h"

// 'addLabelWords()' - the pages' words for the application's settings, in every language the framework
// has (Words.cpp).
void addLabelWords(pappl_system_t* system);

// What the test label says and its size in dots.
struct testLabelFacts {
  std::string name;   // the printer's
  std::string model;  // its make and model
  int dpi = 203;
  uint32_t width = 0, height = 0;
  int darkness = 50;    // percent
  int speedInches = 0;  // per second; 0 is the printer's own
};

// 'drawTestLabel()' - the test label: the facts in words, a border one dot inside the edges, a
// millimetre ruler, a ladder of lines 1 to 4 dots thick, and a Code 128 barcode of
// testLabelBarcode(name). False for a label too small to draw on.
bool drawTestLabel(const testLabelFacts& facts, greyImage* label);

// 'testLabelBarcode()' - what the test label's barcode holds: the printer's name in printable ASCII.
std::string testLabelBarcode(const std::string& printerName);

// 'writeTestLabel()' - the driver's test page callback: the test label for the loaded labels as a PNG
// file in the spool folder, its path in 'buffer'; nullptr when it cannot be written.
const char* writeTestLabel(pappl_printer_t* printer, char* buffer, size_t size);

// 'showDefaultsPage()' / 'showMediaPage()' - the printer's Printing Defaults and Media pages in label
// words, in the framework's place; their forms save the settings they show. An administrator's.
void showDefaultsPage(pappl_client_t* client, pappl_printer_t* printer);
void showMediaPage(pappl_client_t* client, pappl_printer_t* printer);
