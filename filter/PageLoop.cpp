// SPDX-License-Identifier: Apache-2.0
// The raster page loop: the job prologue, then each page as a stored-graphic download of its bitmap in
// GRF text and the label format that prints it.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "filter/filter.h"

namespace {

// Set by SIGTERM, the scheduler's way of cancelling a job; read between rows and between pages.
volatile sig_atomic_t cancelRequested = 0;

void onTerminate(int) { cancelRequested = 1; }

// The raster input as the CUPS reader sees it: a descriptor, and whether its end was reached.
struct rasterInput {
  int fd;
  bool endOfFile;     // a read found the end; what is still buffered may hold more
  size_t start, end;  // the buffered bytes not yet taken
  unsigned char buffer[65536];
};

// 'readInput()' - read what the descriptor has, up to 'bytes'. Once the job is cancelled it takes only
// data that is already waiting, so a cancelled filter never waits on a slow or stalled writer.
ssize_t readInput(rasterInput* input, unsigned char* buffer, size_t bytes) {
  for (;;) {
    if (cancelRequested) {
      pollfd ready = {input->fd, POLLIN, 0};
      if (poll(&ready, 1, 0) != 1) return -1;
    }
    const ssize_t count = read(input->fd, buffer, bytes);
    if (count == 0) input->endOfFile = true;
    if (count >= 0) return count;
    if (errno != EINTR && errno != EAGAIN) return -1;
  }
}

// 'readRasterInput()' - the CUPS reader's read function. The reader asks for an uncompressed stream
// one row at a time, so small requests are served from a buffer filled by large reads.
ssize_t readRasterInput(void* context, unsigned char* buffer, size_t bytes) {
  rasterInput* input = static_cast<rasterInput*>(context);
  if (input->start == input->end) {
    if (bytes >= sizeof input->buffer) return readInput(input, buffer, bytes);
    const ssize_t count = readInput(input, input->buffer, sizeof input->buffer);
    if (count <= 0) return count;
    input->start = 0;
    input->end = static_cast<size_t>(count);
  }
  const size_t count = std::min(bytes, input->end - input->start);
  std::memcpy(buffer, input->buffer + input->start, count);
  input->start += count;
  return static_cast<ssize_t>(count);
}

// 'inputEnded()' - whether the whole stream has been taken.
bool inputEnded(const rasterInput& input) { return input.endOfFile && input.start == input.end; }

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

// What one step of the page loop came to.
enum pageOutcome {
  kPagePrinted,   // the page's label was sent; the loop goes on
  kEndOfJob,      // the stream ended, or a header of zero height or zero bytes per line ended it
  kPageRefused,   // the page cannot be printed; the job's message says why
  kJobCancelled,  // SIGTERM: the graphic being downloaded was deleted unprinted, or a page was still to come
  kOutOfMemory,   // nothing of the page was written
  kWriteFailed,   // the printer data could not be written; the sink holds the error
};

// Everything the job holds from page to page.
struct filterJob {
  const settings_* settings;
  rasterInput input;
  cups_raster_t* raster;
  byteSink out;  // the printer data, on standard output
  growingBuffer bitmap;
  growingBuffer line;  // a grey page's row before it is turned into dots
  int pages;           // downloads started
  int printed;         // label formats sent
  char message[256];   // why a page was refused
};

// 'filterPage()' - read the next page and send its download and label format; the label leaves for the
// printer as soon as it is complete.
pageOutcome filterPage(filterJob* job) {
  cups_page_header_t header;
  if (cupsRasterReadHeader(job->raster, &header) == 0) return kEndOfJob;
  if (cancelRequested) return kJobCancelled;
  if (header.cupsHeight == 0 || header.cupsBytesPerLine == 0) return kEndOfJob;
  const pageGeometry geometry = computePageGeometry(header.cupsWidth, header.cupsHeight);
  const pixelFormat format = formatOf(header);

  // Refuse what cannot be printed, and get the memory, before anything of the page is written.
  if (refusal(header, format, geometry, job->pages + 1, job->message, sizeof job->message) != nullptr)
    return kPageRefused;
  if (!reserve(&job->bitmap, geometry.totalBytes) ||
      (format != kOneBit && !reserve(&job->line, header.cupsBytesPerLine)))
    return kOutOfMemory;

  const settings_& settings = *job->settings;
  if (job->pages == 0) jobSetup(&job->out, settings);
  ++job->pages;

  // Bytes no row supplies print blank; only a negative image, which the page format inverts again,
  // starts from ink.
  const unsigned char fill = settings.inverse == 1 ? 0xFF : 0x00;
  readPage(job->raster, header, format, geometry, fill, job->line.data, job->bitmap.data);
  if (downloadGraphic(&job->out, job->bitmap.data, geometry) != 0) return kOutOfMemory;

  // A cancelled job's graphic is downloaded whole, so the printer is left between commands, then
  // deleted unprinted.
  pageOutcome outcome = kPagePrinted;
  if (cancelRequested) {
    deleteGraphic(&job->out);
    outcome = kJobCancelled;
  } else {
    // The size limit keeps every dimension well inside 32 bits.
    endPage(&job->out, settings, static_cast<int32_t>(header.cupsWidth),
            static_cast<int32_t>(header.cupsHeight), static_cast<int32_t>(geometry.rowBytes),
            static_cast<int32_t>(geometry.paddedRows), 1);
    ++job->printed;
  }
  return flushSink(&job->out) == 0 ? outcome : kWriteFailed;
}

// 'finishJob()' - release the job's resources and write its one log line; returns the exit status.
int finishJob(filterJob* job, pageOutcome outcome) {
  // A cancellation between pages leaves every page printed only if the stream had ended.
  if (outcome == kEndOfJob && cancelRequested && !inputEnded(job->input)) outcome = kJobCancelled;
  if (outcome == kOutOfMemory) job->out.length = 0;  // a prologue without its page stays unsent
  flushSink(&job->out);
  releaseSink(&job->out);
  std::free(job->line.data);
  std::free(job->bitmap.data);
  if (job->raster != nullptr) cupsRasterClose(job->raster);

  if (job->out.error != 0) {
    std::fprintf(stderr, "ERROR: Unable to write the printer data: %s\n", std::strerror(job->out.error));
    return 1;
  }
  switch (outcome) {
    case kOutOfMemory:
      return 1;  // no message: writing one could need memory too
    case kPageRefused:
      std::fputs(job->message, stderr);
      return 1;
    case kJobCancelled:
      std::fprintf(stderr, "ERROR: Job canceled after %d printed labels\n", job->printed);
      return 1;
    default:
      break;
  }
  if (job->pages == 0) {
    std::fputs("ERROR: No pages found!\n", stderr);
    return 1;
  }
  std::fputs("INFO: Ready to print.\n", stderr);
  return 0;
}

}  // namespace

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
  filterJob job{};
  job.settings = &settings;
  job.input.fd = fd;
  job.out.fd = STDOUT_FILENO;
  job.raster = cupsRasterOpenIO(readRasterInput, &job.input, CUPS_RASTER_READ);
  pageOutcome outcome = kEndOfJob;
  if (job.raster != nullptr)
    while ((outcome = filterPage(&job)) == kPagePrinted) {
    }
  return finishJob(&job, outcome);
}
