// The raster page loop: the job prologue, then each page as a stored-graphic download of its bitmap in
// GRF text and the label format that prints it.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands/commands.h"
#include "filter/filter.h"
#include "grf/DataComDecompress.h"

namespace {

// Set by SIGTERM, the scheduler's way of cancelling a job; read between rows and between pages.
volatile sig_atomic_t cancelRequested = 0;

void onTerminate(int) { cancelRequested = 1; }

// The raster input as the CUPS reader sees it: a descriptor, and whether its end was reached.
struct rasterInput {
  int fd;
  bool endOfInput;
};

// 'readRasterInput()' - the CUPS reader's read function. Once the job is cancelled it takes only data
// that is already waiting, so a cancelled filter never waits on a slow or stalled writer.
ssize_t readRasterInput(void* context, unsigned char* buffer, size_t bytes) {
  rasterInput* input = static_cast<rasterInput*>(context);
  for (;;) {
    if (cancelRequested) {
      pollfd ready = {input->fd, POLLIN, 0};
      if (poll(&ready, 1, 0) != 1) return -1;
    }
    const ssize_t count = read(input->fd, buffer, bytes);
    if (count == 0) input->endOfInput = true;
    if (count >= 0) return count;
    if (errno != EINTR && errno != EAGAIN) return -1;
  }
}

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

// How a page's pixels become bitmap bits.
enum pixelFormat {
  kOneBit,       // copied unchanged, a 1 bit prints a dot
  kGreyInkHigh,  // 8-bit black (K): values from 128 up print
  kGreyInkLow,   // 8-bit luminance (W, sW): values below 128 print
  kUnsupported,
};

// 'colorSpaceOf()' - the header's colour space as a plain number: the stream may hold any value, and a
// value outside the enumeration must not be read as one.
unsigned colorSpaceOf(const cups_page_header_t& header) {
  unsigned space;
  static_assert(sizeof space == sizeof header.cupsColorSpace);
  std::memcpy(&space, &header.cupsColorSpace, sizeof space);
  return space;
}

pixelFormat formatOf(const cups_page_header_t& header) {
  if (header.cupsBitsPerPixel == 1) return kOneBit;
  if (header.cupsBitsPerPixel != 8 || header.cupsBitsPerColor != 8) return kUnsupported;
  const unsigned space = colorSpaceOf(header);
  if (space == CUPS_CSPACE_K) return kGreyInkHigh;
  if (space == CUPS_CSPACE_W || space == CUPS_CSPACE_SW) return kGreyInkLow;
  return kUnsupported;
}

// 'thresholdRow()' - one bit per pixel from 'width' grey values, at mid-grey. The bits after the last
// pixel of its byte stay 0, as in a 1-bit raster.
void thresholdRow(const unsigned char* grey, uint32_t width, bool inkHigh, unsigned char* row) {
  const uint32_t bytes = (width + 7) / 8;
  std::memset(row, 0, bytes);
  for (uint32_t x = 0; x < width; ++x) {
    const bool ink = inkHigh ? grey[x] >= 128 : grey[x] < 128;
    if (ink) row[x >> 3] |= static_cast<unsigned char>(0x80 >> (x & 7));
  }
}

// 'readPage()' - read the page's rows into the bitmap; every byte no row supplies (padding columns and
// rows, and rows after a failed read or a cancellation) holds 'fill'.
void readPage(cups_raster_t* raster, const cups_page_header_t& header, pixelFormat format,
              const pageGeometry& geometry, unsigned char fill, unsigned char* line, unsigned char* bitmap) {
  const uint64_t rowData = format == kOneBit ? header.cupsBytesPerLine : (header.cupsWidth + 7) / 8;
  uint64_t y = 0;
  for (; y < header.cupsHeight && !cancelRequested; ++y) {
    unsigned char* row = bitmap + y * geometry.rowBytes;
    unsigned char* target = format == kOneBit ? row : line;
    if (cupsRasterReadPixels(raster, target, header.cupsBytesPerLine) == 0) break;
    if (format != kOneBit) thresholdRow(line, header.cupsWidth, format == kGreyInkHigh, row);
    std::memset(row + rowData, fill, geometry.rowBytes - rowData);
  }
  std::memset(bitmap + y * geometry.rowBytes, fill, (geometry.paddedRows - y) * geometry.rowBytes);
}

// 'lineFits()' - whether the header's bytes per line suit its width: a 1-bit line fits the bitmap's row;
// a grey line holds a byte per pixel, padded at most as far as the bitmap's row. So a grey page of width
// 0 is refused, and the line buffer stays within the page limit.
bool lineFits(const cups_page_header_t& header, pixelFormat format, const pageGeometry& geometry) {
  const uint64_t bytes = header.cupsBytesPerLine;
  if (format == kOneBit) return bytes <= geometry.rowBytes;
  return bytes >= header.cupsWidth && bytes <= geometry.rowBytes * 8;
}

// 'refusal()' - why a page cannot be printed, formatted into 'message'; nullptr when it can.
const char* refusal(const cups_page_header_t& header, pixelFormat format, const pageGeometry& geometry,
                    int page, char* message, size_t size) {
  if (format == kUnsupported) {
    std::snprintf(message, size,
                  "ERROR: Page %d has an unsupported colour format: %u bits per pixel, colour space %u\n",
                  page, header.cupsBitsPerPixel, colorSpaceOf(header));
  } else if (!lineFits(header, format, geometry)) {
    std::snprintf(message, size, "ERROR: Page %d has %u bytes per line, wrong for %u pixels of %u bits\n",
                  page, header.cupsBytesPerLine, header.cupsWidth, header.cupsBitsPerPixel);
  } else if (geometry.totalBytes > kMaxPageBytes) {
    std::snprintf(message, size,
                  "ERROR: Page %d is too large: %" PRIu64 " bytes of bitmap, at most %" PRIu64 "\n", page,
                  geometry.totalBytes, kMaxPageBytes);
  } else {
    return nullptr;
  }
  return message;
}

// 'outputError()' - flush the printer data; the error number of a failed write, else 0.
int outputError() {
  errno = 0;
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return 0;
  return errno != 0 ? errno : EIO;
}

}  // namespace

pageGeometry computePageGeometry(uint32_t width, uint32_t height) {
  pageGeometry geometry;
  geometry.rowBytes = ((static_cast<uint64_t>(width) + 31) >> 5) << 2;
  geometry.paddedRows = (static_cast<uint64_t>(height) + 31) & ~static_cast<uint64_t>(31);
  geometry.totalBytes = geometry.rowBytes * geometry.paddedRows;
  return geometry;
}

void installSignalHandlers() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a read blocked on a stalled writer returns, and the reader sees the cancellation.
  action.sa_handler = onTerminate;
  sigaction(SIGTERM, &action, nullptr);
  // A closed output pipe must show up as a write error, not end the filter silently.
  action.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &action, nullptr);
}

int filterRasterPages(int fd, const settings_& settings) {
  rasterInput input = {fd, false};
  cups_raster_t* raster = cupsRasterOpenIO(readRasterInput, &input, CUPS_RASTER_READ);
  growingBuffer bitmap = {nullptr, 0};
  growingBuffer text = {nullptr, 0};
  growingBuffer line = {nullptr, 0};
  int pages = 0;    // pages whose download was started
  int printed = 0;  // pages whose label format was sent
  int writeError = 0;
  bool outOfMemory = false;
  bool cancelled = false;
  const char* failure = nullptr;  // the one log line of a job that stops early
  char message[256];

  cups_page_header_t header;
  while (raster != nullptr && cupsRasterReadHeader(raster, &header) != 0) {
    if (cancelRequested) {
      cancelled = true;  // another page was still to come
      break;
    }
    if (header.cupsHeight == 0 || header.cupsBytesPerLine == 0) break;
    const pageGeometry geometry = computePageGeometry(header.cupsWidth, header.cupsHeight);
    const pixelFormat format = formatOf(header);

    // Refuse what cannot be printed, and get the memory, before anything of the page is written.
    failure = refusal(header, format, geometry, pages + 1, message, sizeof message);
    if (failure != nullptr) break;
    if (!reserve(&bitmap, geometry.totalBytes) ||
        !reserve(&text, GRFCompressBound(geometry.totalBytes, geometry.rowBytes)) ||
        (format != kOneBit && !reserve(&line, header.cupsBytesPerLine))) {
      outOfMemory = true;
      break;
    }

    if (pages == 0) jobSetup(settings);
    ++pages;
    // The size limit keeps every dimension well inside 32 bits.
    outputFormatted("~DG000.GRF,%d,%d,", static_cast<int>(geometry.totalBytes),
                    static_cast<int>(geometry.rowBytes));

    // Bytes no row supplies print blank; only a negative image, which the page format inverts again,
    // starts from ink.
    const unsigned char fill = settings.inverse == 1 ? 0xFF : 0x00;
    readPage(raster, header, format, geometry, fill, line.data, bitmap.data);

    uint64_t textLength = 0;
    GRFDataCompress(bitmap.data, geometry.totalBytes, geometry.rowBytes, text.data, &textLength);
    outputBytes(text.data, textLength);

    // A cancelled job's graphic is downloaded whole, so the printer is left between commands, then
    // deleted unprinted.
    if (cancelRequested) {
      deleteGraphic();
      cancelled = true;
    } else {
      endPage(settings, static_cast<int32_t>(header.cupsWidth), static_cast<int32_t>(header.cupsHeight),
              static_cast<int32_t>(geometry.rowBytes), static_cast<int32_t>(geometry.paddedRows));
      ++printed;
    }
    // Each label goes to the printer as soon as it is complete; a failed write ends the job.
    writeError = outputError();
    if (writeError != 0 || cancelled) break;
  }
  // A cancellation that came between pages still leaves every page printed if the stream had ended.
  if (cancelRequested && !input.endOfInput) cancelled = true;

  if (writeError == 0) writeError = outputError();
  std::free(line.data);
  std::free(text.data);
  std::free(bitmap.data);
  if (raster != nullptr) cupsRasterClose(raster);

  if (writeError != 0) {
    std::snprintf(message, sizeof message, "ERROR: Unable to write the printer data: %s\n",
                  std::strerror(writeError));
    failure = message;
  } else if (outOfMemory) {
    return 1;
  } else if (failure == nullptr && cancelled) {
    std::snprintf(message, sizeof message, "ERROR: Job canceled after %d printed labels\n", printed);
    failure = message;
  }
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
