// SPDX-License-Identifier: Apache-2.0
// Making raster jobs for the tests: PBM images through the project's pbmtoraster tool, and hand-built
// uncompressed streams for headers that no rasteriser would write.
#pragma once

#include <cups/raster.h>

#include <string>
#include <vector>

#include "support/GrfReference.h"

struct pbmPage {
  unsigned width;
  unsigned height;
  bytes bits;  // rows of (width + 7) / 8 bytes, a 1 bit is ink
};

// 'patternPage()' - a page whose rows differ, with ink reaching the right edge: the padding shows.
pbmPage patternPage(unsigned width, unsigned height, uint32_t seed);

// 'pbm()' - the P4 file of a page.
std::string pbm(const pbmPage& page);

// 'rasterFromPbm()' - a raster job of the pages, written by pbmtoraster with 'options'.
std::string rasterFromPbm(const std::vector<pbmPage>& pages, const std::vector<std::string>& options = {});

// 'oneBitHeader()' - the page header pbmtoraster would write for a 1-bit page.
cups_page_header2_t oneBitHeader(unsigned width, unsigned height);

// 'rawRaster()' - an uncompressed raster stream: the sync word, then each header with its bytes.
struct rawPage {
  cups_page_header2_t header;
  std::string data;
};
std::string rawRaster(const std::vector<rawPage>& pages);

// 'paddedBitmap()' - the page bitmap the filter should build: rows padded to 32 pixels and the height
// to 32 rows with 'fill', the page's own bits copied unchanged.
bytes paddedBitmap(const pbmPage& page, unsigned char fill);
