// SPDX-License-Identifier: Apache-2.0
// Identify: the printer feeds one blank label of the loaded size, as its feed button does, so that a
// user sees which of several printers it is. It is sent on a connection of its own, only while the
// printer is idle, and every wait of it is bounded as a job's are (the connection within
// kConnectMilliseconds); the page says what happened, and why it failed.
#include <cstring>
#include <utility>

#include "app/printer/printer.h"

namespace {

// What this thread's last identifyByFeed() did, for the page that asked for it (takeIdentifyWords()).
thread_local std::string tIdentifyWords;

// The blank graphic's size in dots: the label is fed whole whatever the graphic's size.
inline constexpr uint32_t kBlankDots = 32;

void keepError(const char* message, void* data) {
  *static_cast<std::string*>(data) = message != nullptr ? message : "";
}

// 'feedWords()' - the outcome of a feed: "" when it was sent, else why not.
std::string feedOnce(pappl_printer_t* printer) {
  if (papplPrinterGetNumberOfActiveJobs(printer) > 0)
    return "the printer is printing; Identify works once it is idle";
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  const int dpi = data.y_default > 0 ? data.y_default : 203;
  const pappl_media_col_t& media =
      data.media_ready[0].size_name[0] != '\0' ? data.media_ready[0] : data.media_default;
  const auto dots = [dpi](int hundredthsOfMm) {
    return static_cast<int32_t>(int64_t{hundredthsOfMm} * dpi / 2540);
  };
  const int32_t width = dots(media.size_width), length = dots(media.size_length);
  if (width <= 0 || length <= 0) return "no label size is loaded";
  settings_ settings{};
  settings.outpagemode = 0;
  settings.inverse = 0;
  settings.pause = 0;
  const pageGeometry geometry = computePageGeometry(kBlankDots, kBlankDots);
  std::string blank(geometry.totalBytes, '\0');
  byteSink sink{};
  sink.fd = -1;
  downloadGraphic(&sink, reinterpret_cast<const unsigned char*>(blank.data()), geometry);
  endPage(&sink, settings, width, length, static_cast<int32_t>(geometry.rowBytes),
          static_cast<int32_t>(geometry.paddedRows), 1);
  if (sink.error != 0) {
    releaseSink(&sink);
    return "out of memory";
  }
  const char* uri = papplPrinterGetDeviceURI(printer);
  const bool network = isNetworkUri(uri);
  std::string error;
  pappl_device_t* device =
      network ? papplDeviceOpen(uri, "identify", keepError, &error) : papplPrinterOpenDevice(printer);
  std::string words;
  if (device == nullptr) {
    words = network ? "the printer cannot be reached" + (error.empty() ? std::string() : " (" + error + ")")
                    : "the printer is busy";
  } else {
    if (!sendToDevice(device, sink.bytes, sink.length)) words = "the printer did not take the label";
    if (network)
      papplDeviceClose(device);
    else
      papplPrinterCloseDevice(printer);
  }
  releaseSink(&sink);
  return words;
}

}  // namespace

void identifyByFeed(pappl_printer_t* printer, pappl_identify_actions_t, const char*) {
  const std::string why = feedOnce(printer);
  tIdentifyWords = why.empty() ? "The printer fed one blank label." : "Not identified: " + why + ".";
  papplLogPrinter(printer, why.empty() ? PAPPL_LOGLEVEL_INFO : PAPPL_LOGLEVEL_WARN, "%s",
                  tIdentifyWords.c_str());
}

std::string takeIdentifyWords() { return std::exchange(tIdentifyWords, std::string()); }
