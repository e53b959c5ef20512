// SPDX-License-Identifier: Apache-2.0
// An independent, deliberately plain GRF writer and reader for checking the codec: nibble by nibble,
// exactly as the text format's rules read, with no attention to speed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using bytes = std::vector<unsigned char>;

// 'referenceCompress()' - the canonical text of the whole rows of 'bitmap'.
std::string referenceCompress(const bytes& bitmap, size_t rowBytes);

// 'referenceDecode()' - the bitmap a canonical text describes; false if the text leaves the format's
// meaning (a character outside it, a repeat of no row, a run past the end of 'rows' rows).
bool referenceDecode(const std::string& text, size_t rowBytes, size_t rows, bytes* bitmap);

// Test bitmaps. 'generatedBitmaps()' gives named cases reaching every branch of the writer: blank and
// black pages, ramps, noise, runs of the longest single letters and one more, repeated rows, zero
// tails that start mid-byte, one-byte rows.
struct namedBitmap {
  std::string name;
  size_t rowBytes;
  bytes data;
};
std::vector<namedBitmap> generatedBitmaps();

// 'noise()' - deterministic pseudo-random bytes.
bytes noise(size_t size, uint32_t seed);
