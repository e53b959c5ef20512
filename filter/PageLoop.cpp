// The raster page loop: the job prologue, then each page as a stored-graphic download of its bitmap in
// GRF text and the label format that prints it.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands/commands.h"
#include "filter/filter.h"
#include "grf/DataComDecompress.h"

namespace {

// A buffer that grows to the largest size asked of it and is reused for later pages.
struct growingBuffer {
  unsigned char* data;
  uint64_t capacity;
};

// 'reserve()' - make 'buffer' hold at least 'size' bytes; false when memory runs out (the buffer then
// keeps its old block, released by the caller).
bool reserve(growingBuffer* buffer, uint64_t size) {
  if (size <= buffer->capacity) return true;
  if (size > SIZE_MAX) return false;
  void* grown = std::realloc(buffer->data, static_cast<size_t>(size));
  if (grown == nullptr) return false;
  buffer->data = static_cast<unsigned char*>(grown);
  buffer->capacity = size;
  return true;
}

// 'readPage()' - read the page's rows into the bitmap; every byte no row supplies (padding columns and
// rows, and rows after a failed read) holds 'fill'.
void readPage(cups_raster_t* raster, const cups_page_header_t& header, const pageGeometry& geometry,
              unsigned char fill, unsigned char* bitmap) {
  const uint64_t lineBytes = header.cupsBytesPerLine;
  uint64_t y = 0;
  for (; y < header.cupsHeight; ++y) {
    unsigned char* row = bitmap + y * geometry.rowBytes;
    if (cupsRasterReadPixels(raster, row, header.cupsBytesPerLine) == 0) break;
    std::memset(row + lineBytes, fill, geometry.rowBytes - lineBytes);
  }
  std::memset(bitmap + y * geometry.rowBytes, fill, (geometry.paddedRows - y) * geometry.rowBytes);
}

}  // namespace

pageGeometry computePageGeometry(uint32_t width, uint32_t height) {
  pageGeometry geometry;
  geometry.rowBytes = ((static_cast<uint64_t>(width) + 31) >> 5) << 2;
  geometry.paddedRows = (static_cast<uint64_t>(height) + 31) & ~static_cast<uint64_t>(31);
  geometry.totalBytes = geometry.rowBytes * geometry.paddedRows;
  return geometry;
}

int filterRasterPages(int fd, const settings_& settings) {
  cups_raster_t* raster = cupsRasterOpen(fd, CUPS_RASTER_READ);
  growingBuffer bitmap = {nullptr, 0};
  growingBuffer text = {nullptr, 0};
  int pages = 0;
  const char* failure = nullptr;  // set when the job stops early; nullptr with 'outOfMemory' says nothing
  bool outOfMemory = false;
  char message[256];

  cups_page_header_t header;
  while (raster != nullptr && cupsRasterReadHeader(raster, &header) != 0) {
    if (header.cupsHeight == 0 || header.cupsBytesPerLine == 0) break;
    const pageGeometry geometry = computePageGeometry(header.cupsWidth, header.cupsHeight);

    // Refuse what cannot be printed before anything of the page is written.
    if (header.cupsBytesPerLine > geometry.rowBytes) {
      std::snprintf(message, sizeof message,
                    "ERROR: Page %d is not a 1-bit raster: %u bytes per line for %u pixels\n", pages + 1,
                    header.cupsBytesPerLine, header.cupsWidth);
      failure = message;
      break;
    }
    if (geometry.totalBytes > kMaxPageBytes) {
      std::snprintf(message, sizeof message,
                    "ERROR: Page %d is too large: %" PRIu64 " bytes of bitmap, at most %" PRIu64 "\n",
                    pages + 1, geometry.totalBytes, kMaxPageBytes);
      failure = message;
      break;
    }
    if (!reserve(&bitmap, geometry.totalBytes) ||
        !reserve(&text, GRFCompressBound(geometry.totalBytes, geometry.rowBytes))) {
      outOfMemory = true;
      break;
    }

    if (pages == 0) jobSetup(settings);
    ++pages;
    outputFormatted("~DG000.GRF,%d,%d,", static_cast<int>(geometry.totalBytes),
                    static_cast<int>(geometry.rowBytes));

    const unsigned char fill = settings.inverse != 0 ? 0xFF : 0x00;
    readPage(raster, header, geometry, fill, bitmap.data);

    uint64_t textLength = 0;
    GRFDataCompress(bitmap.data, geometry.totalBytes, geometry.rowBytes, text.data, &textLength);
    outputBytes(text.data, textLength);
    // The size limit above keeps every dimension well inside 32 bits.
    endPage(settings, static_cast<int32_t>(header.cupsWidth), static_cast<int32_t>(header.cupsHeight),
            static_cast<int32_t>(geometry.rowBytes), static_cast<int32_t>(geometry.paddedRows));
  }

  std::free(text.data);
  std::free(bitmap.data);
  if (raster != nullptr) cupsRasterClose(raster);
  std::fflush(stdout);

  if (outOfMemory) return 1;
  if (failure != nullptr) {
    std::fputs(failure, stderr);
    return 1;
  }
  if (pages == 0) {
    std::fputs("ERROR: No pages found!\n", stderr);
    return 1;
  }
  std::fputs("INFO: Ready to print.\n", stderr);
  return 0;
}
