// SPDX-License-Identifier: Apache-2.0
// The raster callbacks: the job prologue at the start, each page's lines into the label bitmap, and at
// the end of a page the graphic download and the page format, all written by the command writers. Raw
// documents in the label command language go to the printer unchanged.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "app/documents/documents.h"

namespace {

// Everything a raster job holds from page to page.
struct labelJob {
  settings_ settings;
  adjustmentDots adjustments;
  byteSink out;                   // the printer data, taken by sendPending()
  cups_page_header2_t generated;  // the page header the framework made for the job's media
  bool streamed;                  // PWG or Apple raster from the client; else a page the application drew
  uint32_t labelWidth;            // dots
  uint32_t labelHeight;           // rows
  pageGeometry geometry;
  unsigned char* bitmap;
  lineLayout layout;  // of the current page's lines
  int pages;          // pages started
  uint32_t lines;     // lines the page has received: one past the last line's number
  bool refused;       // a page of the stream could not print: the job is not completed
  std::string* sent;  // a copy of the prologue and the first labels as they reached the printer
};

// 'sendPending()' - hand the sink's bytes to the device; false if any of them did not reach it.
bool sendPending(labelJob* job, pappl_device_t* device) {
  if (job->out.error != 0) return false;
  const size_t length = job->out.length;
  job->out.length = 0;
  if (!sendToDevice(device, job->out.bytes, length)) return false;
  if (static_cast<size_t>(job->pages) <= kJobLabels) copySentData(job->sent, job->out.bytes, length);
  return true;
}

// 'deviceRefused()' - end the job when the printer's device may not be written: a file device that a
// state file from before kept outside the file device folder.
bool deviceRefused(pappl_job_t* job) {
  const printerLink* link = linkOf(papplJobGetPrinter(job));
  if (link == nullptr || link->refusedDevice.empty()) return false;
  const std::string message = "The printer's device is refused: " + link->refusedDevice + ".";
  failJob(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, message.c_str());
  return true;
}

// Ties the printer's network device to a job for as long as one of the callbacks below runs with it.
struct deviceWatch {
  pappl_printer_t* printer;
  pappl_device_t* device;
  deviceWatch(pappl_job_t* job, pappl_device_t* d) : printer(papplJobGetPrinter(job)), device(d) {
    watchJob(printer, device, job);
  }
  ~deviceWatch() { watchJob(printer, device, nullptr); }
};

// Stands a raster stream's clock for as long as one of the callbacks below does the printer's work:
// the stream-timeout counts the client's time only.
struct printerAtWork {
  pappl_job_t* job;
  explicit printerAtWork(pappl_job_t* j) : job(j) { holdStreamClock(job, true); }
  ~printerAtWork() { holdStreamClock(job, false); }
};

// 'pageLayout()' - how the page's lines are read. The framework passes 8-bit pages with their own
// header; a 1-bit page leaves the generated header in place and its line holds the page's own bits,
// padded with white (0) up to the generated header's bytes. False for what cannot print.
bool pageLayout(const labelJob& job, const pappl_pr_options_t& options, lineLayout* layout) {
  const cups_page_header2_t& header = options.header;
  const pappl_content_t content = options.print_content_optimize;
  layout->dither = content == PAPPL_CONTENT_PHOTO;
  if (job.streamed && std::memcmp(&header, &job.generated, sizeof header) == 0) {
    layout->kind = kLineOneBit;
    layout->bytes = header.cupsBytesPerLine;
    layout->pixels = job.labelWidth;
    return true;
  }
  if (header.cupsBitsPerPixel == 1) {
    layout->kind = kLineOneBit;
  } else if (header.cupsBitsPerPixel == 8 && header.cupsBitsPerColor == 8) {
    unsigned space;
    std::memcpy(&space, &header.cupsColorSpace, sizeof space);
    if (space == CUPS_CSPACE_K)
      layout->kind = kLineGreyInkHigh;
    else if (space == CUPS_CSPACE_W || space == CUPS_CSPACE_SW)
      layout->kind = kLineGreyInkLow;
    else
      return false;
  } else {
    return false;
  }
  layout->bytes = header.cupsBytesPerLine;
  layout->pixels = header.cupsWidth;
  return true;
}

// 'defaultVendorValues()' - the printer's vendor attribute defaults as options named without
// "-default".
int defaultVendorValues(pappl_printer_t* printer, const pappl_pr_driver_data_t& data,
                        cups_option_t** values) {
  int count = 0;
  ipp_t* attributes = papplPrinterGetDriverAttributes(printer);
  for (int i = 0; i < data.num_vendor; ++i) {
    char name[256], value[1024];
    std::snprintf(name, sizeof name, "%s-default", data.vendor[i]);
    ipp_attribute_t* attribute = ippFindAttribute(attributes, name, IPP_TAG_ZERO);
    if (attribute == nullptr) continue;
    ippAttributeString(attribute, value, sizeof value);
    count = cupsAddOption(data.vendor[i], value, count, values);
  }
  ippDelete(attributes);
  return count;
}

}  // namespace

bool labelStartJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device) {
  const printerAtWork busy(job);
  if (deviceRefused(job)) return false;
  const deviceWatch watch(job, device);
  pappl_printer_t* printer = papplJobGetPrinter(job);
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  cups_option_t* defaults = nullptr;
  const int defaultCount = defaultVendorValues(printer, data, &defaults);
  settings_ settings;
  adjustmentDots adjustments;
  const char* bad = nullptr;
  const int status =
      jobSettings(*options, defaultCount, defaults, data.mode_configured,
                  static_cast<int>(options->header.HWResolution[1]), &settings, &adjustments, &bad);
  cupsFreeOptions(static_cast<int>(defaultCount), defaults);
  if (status != 0) {
    char message[256];
    std::snprintf(message, sizeof message, "Unsupported value of '%s'.", bad);
    return failJob(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, message);
  }

  if (!awaitPrinter(job, device, false)) return false;
  const pageGeometry geometry = computePageGeometry(options->header.cupsWidth, options->header.cupsHeight);
  if (options->header.cupsWidth == 0 || options->header.cupsHeight == 0 ||
      geometry.totalBytes > kMaxPageBytes)
    return failJob(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, "The label size cannot be printed.");
  labelJob* state = static_cast<labelJob*>(std::calloc(1, sizeof(labelJob)));
  unsigned char* bitmap = static_cast<unsigned char*>(std::malloc(geometry.totalBytes));
  std::string* sent = new (std::nothrow) std::string;
  if (state == nullptr || bitmap == nullptr || sent == nullptr) {
    std::free(state);
    std::free(bitmap);
    delete sent;
    return failJob(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Out of memory.");
  }
  state->settings = settings;
  state->adjustments = adjustments;
  state->out.fd = -1;
  state->generated = options->header;
  const char* format = papplJobGetFormat(job);
  state->streamed = isRasterStream(format);
  state->labelWidth = options->header.cupsWidth;
  state->labelHeight = options->header.cupsHeight;
  state->geometry = geometry;
  state->bitmap = bitmap;
  state->sent = sent;
  papplJobSetData(job, state);

  jobSetup(&state->out, settings, adjustments);
  return sendPending(state, device) ||
         failJob(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Unable to write to the printer.");
}

bool labelStartPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*, unsigned) {
  labelJob* state = static_cast<labelJob*>(papplJobGetData(job));
  if (state == nullptr) return false;
  ++state->pages;
  if (!pageLayout(*state, *options, &state->layout))
    return failJob(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, "The page's colour format cannot be printed.");
  std::memset(state->bitmap, 0, state->geometry.totalBytes);
  state->lines = 0;
  return true;
}

bool labelWriteLine(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned y,
                    const unsigned char* line) {
  labelJob* state = static_cast<labelJob*>(papplJobGetData(job));
  if (state == nullptr) return true;
  if (y >= state->lines) state->lines = y + 1;
  if (y >= state->labelHeight) return true;
  convertLine(line, state->layout, y, state->labelWidth,
              state->bitmap + uint64_t{y} * state->geometry.rowBytes, state->geometry.rowBytes);
  return true;
}

bool labelEndPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned) {
  labelJob* state = static_cast<labelJob*>(papplJobGetData(job));
  if (state == nullptr) return false;
  if (papplJobIsCanceled(job)) return true;
  // A stream cut for want of a page has its reason already.
  if (streamWasCut(job)) return false;
  const printerAtWork busy(job);
  const deviceWatch watch(job, device);
  // The framework pads a short page up to its header's height, but a stream that ends inside a page
  // stops the lines early, and the framework would still report the job as printed.
  if (state->lines < options->header.cupsHeight)
    return failJob(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, "The document ends inside a page.");
  // A negative image inverts the whole padded graphic, so the padding starts as ink and prints blank.
  fillPadding(state->bitmap, state->geometry, state->labelWidth, state->labelHeight,
              state->settings.inverse == 1 ? 0xFF : 0x00);
  if (downloadGraphic(&state->out, state->bitmap, state->geometry) != 0)
    return failJob(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Out of memory.");
  const int32_t quantity = options->copies > 1 ? options->copies : 1;
  endPage(&state->out, state->settings, static_cast<int32_t>(state->labelWidth),
          static_cast<int32_t>(state->labelHeight), static_cast<int32_t>(state->geometry.rowBytes),
          static_cast<int32_t>(state->geometry.paddedRows), quantity);
  return sendPending(state, device) ||
         failJob(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Unable to write to the printer.");
}

bool labelEndJob(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t* device) {
  labelJob* state = static_cast<labelJob*>(papplJobGetData(job));
  if (state == nullptr) return true;
  const printerAtWork busy(job);
  const bool printed = state->pages > 0 && state->out.error == 0;
  const bool refused = state->refused;
  releaseSink(&state->out);
  std::free(state->bitmap);
  keepJobLabels(job, *state->sent);
  delete state->sent;
  std::free(state);
  papplJobSetData(job, nullptr);
  // A stream cut between pages ends as if it had ended there: aborted, not completed.
  if (refused || streamWasCut(job)) return false;
  // The job is done once a network printer has taken every byte and a printer that answers reports
  // no trouble after its labels.
  const deviceWatch watch(job, device);
  if (printed && !drainDevice(papplJobGetPrinter(job), device))
    return failJob(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "The printer did not take all the labels.");
  return !printed || awaitPrinter(job, device, true);
}

bool labelPrintRaw(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device) {
  if (deviceRefused(job)) return false;
  const deviceWatch watch(job, device);
  // The framework may start a job whose document has not been kept in a file.
  const char* filename = papplJobGetFilename(job);
  if (filename == nullptr)
    return failJob(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "The job has no document to print.");
  if (!awaitPrinter(job, device, false)) return false;
  const int fd = open(filename, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return failJob(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Unable to open the spooled document.");
  papplJobSetImpressions(job, 1);
  // Each copy is the document again, unchanged.
  const int copies = options->copies > 1 ? options->copies : 1;
  bool written = true;
  std::string sent;  // the first copy's start, for the job's labels as printed
  for (int copy = 0; copy < copies && written && !papplJobIsCanceled(job); ++copy) {
    if (lseek(fd, 0, SEEK_SET) != 0) written = false;
    unsigned char buffer[65536];
    ssize_t count;
    while (written && (count = read(fd, buffer, sizeof buffer)) != 0) {
      if (count < 0 && errno == EINTR) continue;
      written = count > 0 && sendToDevice(device, buffer, static_cast<size_t>(count));
      if (written && copy == 0) copySentData(&sent, buffer, static_cast<size_t>(count));
    }
  }
  close(fd);
  keepJobLabels(job, sent);
  if (!written || !drainDevice(papplJobGetPrinter(job), device))
    return failJob(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Unable to send the document to the printer.");
  // The framework counts the document printed once this returns true.
  return awaitPrinter(job, device, true);
}

bool failJob(pappl_job_t* job, pappl_jreason_t reason, const char* message) {
  if (papplJobIsCanceled(job)) return false;
  papplJobSetReasons(job, reason, PAPPL_JREASON_NONE);
  papplJobSetMessage(job, "%s", message);
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", message);
  return false;
}

bool isRasterStream(const char* format) {
  return format != nullptr &&
         (std::strcmp(format, "image/pwg-raster") == 0 || std::strcmp(format, "image/urf") == 0);
}

void refuseRasterPage(pappl_job_t* job, const char* message) {
  failJob(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, message);
  if (labelJob* state = static_cast<labelJob*>(papplJobGetData(job))) state->refused = true;
}
