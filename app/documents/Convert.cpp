// SPDX-License-Identifier: Apache-2.0
// Incoming lines into the label bitmap, and recognising documents in the label command language.
#include <algorithm>
#include <cstring>

#include "app/documents/documents.h"

namespace {

// 'bayerValue()' - the rank (0 to 255) of a dot in the 16 x 16 Bayer matrix: the bits of x ^ y and y
// interleaved, the lowest pair the most significant, so that neighbouring ranks lie far apart.
constexpr unsigned bayerValue(uint32_t x, uint32_t y) {
  unsigned value = 0;
  for (int bit = 0; bit < 4; ++bit) {
    value = (value << 2) | ((((x ^ y) >> bit) & 1u) << 1) | ((y >> bit) & 1u);
  }
  return value;
}
static_assert(bayerValue(0, 0) == 0 && bayerValue(1, 1) == 64 && bayerValue(15, 15) == 85);

// 'inkOf()' - a grey value as ink, 0 (none) to 255 (full).
unsigned inkOf(unsigned char value, lineKind kind) { return kind == kLineGreyInkHigh ? value : 255u - value; }

}  // namespace

unsigned ditherThreshold(uint32_t x, uint32_t y) { return bayerValue(x & 15, y & 15) * 255 / 256; }

void convertLine(const unsigned char* line, const lineLayout& layout, uint32_t y, uint32_t labelWidth,
                 unsigned char* row, size_t rowBytes) {
  const size_t labelBytes = std::min<size_t>((labelWidth + 7) / 8, rowBytes);
  const uint32_t width = static_cast<uint32_t>(std::min<uint64_t>(labelWidth, uint64_t{labelBytes} * 8));
  std::memset(row, 0, labelBytes);
  if (layout.kind == kLineOneBit) {
    const uint32_t pixels =
        static_cast<uint32_t>(std::min<uint64_t>(layout.pixels, uint64_t{layout.bytes} * 8));
    const uint32_t dots = std::min(width, pixels);
    std::memcpy(row, line, (dots + 7) / 8);
    if (dots % 8 != 0) row[dots / 8] &= static_cast<unsigned char>(0xFF00 >> (dots % 8));
    return;
  }
  const uint32_t dots = static_cast<uint32_t>(std::min<uint64_t>({width, layout.pixels, layout.bytes}));
  uint32_t x = 0;
  if (!layout.dither) {
    // Cut at mid-grey, eight dots a byte at a time.
    const unsigned flip = layout.kind == kLineGreyInkHigh ? 0 : 255;
    for (; x + 8 <= dots; x += 8) {
      unsigned bits = 0;
      for (uint32_t k = 0; k < 8; ++k) bits = (bits << 1) | ((line[x + k] ^ flip) >> 7);
      row[x >> 3] = static_cast<unsigned char>(bits);
    }
  }
  for (; x < dots; ++x) {
    const unsigned threshold = layout.dither ? ditherThreshold(x, y) : 127;
    if (inkOf(line[x], layout.kind) > threshold) row[x >> 3] |= static_cast<unsigned char>(0x80 >> (x & 7));
  }
}

void fillPadding(unsigned char* bitmap, const pageGeometry& geometry, uint32_t labelWidth,
                 uint32_t labelHeight, unsigned char fill) {
  const uint64_t labelBytes = std::min<uint64_t>((uint64_t{labelWidth} + 7) / 8, geometry.rowBytes);
  const uint64_t rows = std::min<uint64_t>(labelHeight, geometry.paddedRows);
  for (uint64_t y = 0; y < rows; ++y)
    std::memset(bitmap + y * geometry.rowBytes + labelBytes, fill, geometry.rowBytes - labelBytes);
  std::memset(bitmap + rows * geometry.rowBytes, fill, (geometry.paddedRows - rows) * geometry.rowBytes);
}

bool isLabelCommandData(const unsigned char* data, size_t size) {
  size_t i = 0;
  while (i < size && (data[i] == ' ' || data[i] == '\t' || data[i] == '\r' || data[i] == '\n')) ++i;
  if (i < size && data[i] == 0x10) return true;
  return i + 1 < size && (data[i] == '^' || data[i] == '~') && data[i + 1] >= 'A' && data[i + 1] <= 'Z';
}

const char* documentFormatOf(const unsigned char* data, size_t size) {
  const auto begins = [&](const char* magic, size_t length) {
    return size >= length && std::memcmp(data, magic, length) == 0;
  };
  if (begins("%PDF", 4)) return "application/pdf";
  if (begins("\x89PNG", 4)) return "image/png";
  if (begins("\xFF\xD8\xFF", 3)) return "image/jpeg";
  if (begins("RaS2PwgR", 8)) return "image/pwg-raster";
  if (begins("UNIRAST", 7)) return "image/urf";
  return isLabelCommandData(data, size) ? kLabelCommandFormat : nullptr;
}
