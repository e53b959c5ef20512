// SPDX-License-Identifier: Apache-2.0
// Page bitmaps for the codec benchmarks: 4 x 6 in labels drawn in code (frames, text blocks, a 1D
// barcode, a 2D code), blank and black pages, noise, and the sample label rendered by Ghostscript.
//
// Every page is laid out as the filter hands it to the compressor: rows padded to a multiple of 32 dots
// and the height to a multiple of 32 rows, a 1 bit printing a dot.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct benchPage {
  uint64_t rowBytes;
  uint64_t rows;
  std::vector<unsigned char> bitmap;  // rows * rowBytes bytes
};

// 'emptyPage()' - a padded page of 'width' x 'height' dots, every byte 'fill'.
benchPage emptyPage(unsigned width, unsigned height, unsigned char fill);

// 'labelPage()' - a shipping label of 4 x 6 in at 'dpi': a frame and ruled boxes, blocks of text in
// several sizes, an interleaved barcode, a 29 x 29 module matrix code. 'variant' changes the text, the
// bars and the modules; the same arguments always give the same page.
benchPage labelPage(unsigned dpi, uint32_t variant);

// 'noisePage()' - a 4 x 6 in page at 'dpi' of deterministic pseudo-random bytes (padding included).
benchPage noisePage(unsigned dpi, uint32_t seed);

// 'renderSamplePage()' - the PostScript label 'psPath' rendered by Ghostscript at 'dpi' (4 x 6 in);
// false when Ghostscript is missing or fails.
bool renderSamplePage(const std::string& psPath, unsigned dpi, benchPage* page);
