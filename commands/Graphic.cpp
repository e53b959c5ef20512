// SPDX-License-Identifier: Apache-2.0
// The stored-graphic download: a page bitmap as GRF text under the stored graphic's name.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "commands/commands.h"
#include "grf/DataComDecompress.h"

namespace {

// The text is made a stretch of rows at a time, so that a sink with a descriptor holds at most one
// stretch's text besides what is waiting to be written.
constexpr uint64_t kStretchBytes = uint64_t{64} << 10;
// A sink with a descriptor is flushed between stretches once this much is pending.
constexpr size_t kFlushBytes = size_t{64} << 10;
// Room for the download header: the command, the name and two numbers.
constexpr size_t kHeaderRoom = 64;

// 'leadingRepeats()' - how many of rows [first, end) (first > 0), from the first on, repeat the row
// before them. Rows first .. end - 1 all repeat their predecessors exactly when the block of them
// equals the block one row earlier, so a stretch of blank rows takes one comparison.
uint64_t leadingRepeats(const unsigned char* bitmap, uint64_t rowBytes, uint64_t first, uint64_t end) {
  const unsigned char* rows = bitmap + first * rowBytes;
  if (std::memcmp(rows, rows - rowBytes, static_cast<size_t>((end - first) * rowBytes)) == 0)
    return end - first;
  // Some row differs from the one before it, and the count stops there.
  uint64_t repeats = 0;
  for (const unsigned char* row = rows; std::memcmp(row, row - rowBytes, static_cast<size_t>(rowBytes)) == 0;
       row += rowBytes)
    ++repeats;
  return repeats;
}

// 'appendRows()' - the text of rows [first, end) as they stand in the text of the whole bitmap. Each
// row's text depends only on the row and the one before it, so the stretch's leading rows that repeat
// their predecessor are written as ":" and the rest is compressed on its own.
void appendRows(byteSink* out, const unsigned char* bitmap, uint64_t rowBytes, uint64_t first, uint64_t end) {
  if (first != 0) {
    const uint64_t repeats = leadingRepeats(bitmap, rowBytes, first, end);
    if (repeats > 0 && out->error == 0) {
      unsigned char* text = sinkRoom(out, static_cast<size_t>(repeats));
      if (text == nullptr) {
        out->error = ENOMEM;
        return;
      }
      std::memset(text, kGRFRepeatRow, static_cast<size_t>(repeats));
      out->length += static_cast<size_t>(repeats);
    }
    first += repeats;
  }
  if (first == end || out->error != 0) return;
  const uint64_t size = (end - first) * rowBytes;
  // The caller has made room for the longest text of a stretch.
  unsigned char* text = sinkRoom(out, static_cast<size_t>(GRFCompressBound(size, rowBytes)));
  uint64_t textLength = 0;
  GRFDataCompress(bitmap + first * rowBytes, size, rowBytes, text, &textLength);
  out->length += static_cast<size_t>(textLength);
}

}  // namespace

pageGeometry computePageGeometry(uint32_t width, uint32_t height) {
  pageGeometry geometry;
  geometry.rowBytes =
      (static_cast<uint64_t>(width) + kPagePaddingDots - 1) / kPagePaddingDots * (kPagePaddingDots / 8);
  geometry.paddedRows =
      (static_cast<uint64_t>(height) + kPagePaddingRows - 1) / kPagePaddingRows * kPagePaddingRows;
  geometry.totalBytes = geometry.rowBytes * geometry.paddedRows;
  return geometry;
}

int downloadGraphic(byteSink* out, const unsigned char* bitmap, const pageGeometry& geometry) {
  const uint64_t rowBytes = geometry.rowBytes;
  const uint64_t rows = rowBytes == 0 ? 0 : geometry.totalBytes / rowBytes;
  const uint64_t stretchRows = std::max<uint64_t>(1, kStretchBytes / std::max<uint64_t>(rowBytes, 1));

  // Take all the memory the download needs before any of it is written, so that running out never
  // leaves a header without its text.
  const bool flushes = out->fd >= 0;
  const uint64_t stretchText = GRFCompressBound(std::min(rows, stretchRows) * rowBytes, rowBytes);
  const uint64_t room = flushes ? std::max<uint64_t>(out->length, kFlushBytes) + kHeaderRoom + stretchText
                                : out->length + kHeaderRoom + GRFCompressBound(geometry.totalBytes, rowBytes);
  if (geometry.totalBytes > kMaxPageBytes ||
      sinkRoom(out, static_cast<size_t>(room - out->length)) == nullptr)
    return 1;

  // Every number is within 32 bits: the writers are never given a page above kMaxPageBytes.
  outputFormatted(out, "~DG%s,%d,%d,", kStoredGraphicName, static_cast<int>(geometry.totalBytes),
                  static_cast<int>(rowBytes));
  for (uint64_t first = 0; first < rows; first += stretchRows) {
    appendRows(out, bitmap, rowBytes, first, std::min(rows, first + stretchRows));
    if (flushes && out->length >= kFlushBytes) flushSink(out);
  }
  return 0;
}
