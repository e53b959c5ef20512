// SPDX-License-Identifier: Apache-2.0
// Splitting the filter's printer data into its parts: what precedes the first download, and for each
// page the download header's numbers, the GRF text and the commands that follow it.
#pragma once

#include <string>
#include <vector>

#include "support/Process.h"

struct downloadedPage {
  long totalBytes;
  long rowBytes;
  std::string text;    // the GRF text after the header
  std::string format;  // everything after the text, up to the next download
};

struct printerData {
  std::string prologue;
  std::vector<downloadedPage> pages;
  bool wellFormed;  // every download header parsed
};

printerData splitPrinterData(const std::string& out);

// 'runFilter()' - run the built filter as the scheduler would: the five standard arguments with
// 'options', the raster on standard input (or as a file argument when 'asFile'), PPD set to 'ppd'
// unless it is empty.
processResult runFilter(const std::string& raster, const std::string& options = "",
                        const std::string& ppd = TEST_PPD_PATH, bool asFile = false);
