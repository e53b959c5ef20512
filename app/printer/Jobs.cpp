// SPDX-License-Identifier: Apache-2.0
// One job at a time at a printer, and raster pages no larger than the printer's largest label.
//
// The framework starts a queued job on a thread of its own whenever it checks its queue, and prints a
// client's raster stream on the client's own thread; its check that the printer is free and the start
// of the job are not one step, so two jobs could write to one device at once, and a raster stream
// still being received could be taken for a queued job without a file. Every printing job therefore
// first takes the printer's one place (claimPrinter), and gives it back with a new look at the queue.
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>

#include "app/printer/printer.h"

// The framework's look at a printer's queue: it starts the first pending job.
extern "C" void _papplPrinterCheckJobs(pappl_printer_t* printer);

namespace {

inline constexpr int kClaimPollMicroseconds = 20000;

// 'dotsOf()' - a length in hundredths of millimetres as dots at 'resolution', rounded up.
uint32_t dotsOf(int hundredths, int resolution) {
  if (hundredths <= 0 || resolution <= 0) return 0;
  return static_cast<uint32_t>((int64_t{hundredths} * resolution + 2539) / 2540);
}

}  // namespace

pageLimits labelLimits(const pappl_pr_driver_data_t& data) {
  int width = 0, length = 0;
  for (int i = 0; i < data.num_media && i < PAPPL_MAX_MEDIA; ++i) {
    const pwg_media_t* size = data.media[i] != nullptr ? pwgMediaForPWG(data.media[i]) : nullptr;
    if (size == nullptr) continue;
    width = size->width > width ? size->width : width;
    length = size->length > length ? size->length : length;
  }
  return {dotsOf(width, data.x_default), dotsOf(length, data.y_default)};
}

bool pageFits(const cups_page_header2_t& header, const pageLimits& limits, char* message, size_t size) {
  if (header.cupsWidth <= limits.width && header.cupsHeight <= limits.height) return true;
  std::snprintf(message, size,
                "The page is %u x %u dots; the largest label this printer takes is %u x %u dots.",
                header.cupsWidth, header.cupsHeight, limits.width, limits.height);
  return false;
}

bool claimPrinter(pappl_printer_t* printer, int waitMilliseconds, printerLink** link) {
  return claimPrinterInTurn(printer, waitMilliseconds, queuedJob{0, 0, 0, false}, link);
}

bool claimPrinterInTurn(pappl_printer_t* printer, int waitMilliseconds, const queuedJob& turn,
                        printerLink** link) {
  *link = linkOf(printer);
  if (*link == nullptr) return true;
  printerLink* l = *link;
  if (turn.stream) {
    std::lock_guard<std::mutex> lock(l->queue);
    l->streams.push_back(turn);
  }
  // A stream takes the place in its turn: no job and no stream before it waits.
  const auto inTurn = [&] {
    if (!turn.stream) return true;
    const queuedJob next = nextQueuedJob(printer);
    return next.stream && next.place == turn.place;
  };
  const auto leaveQueue = [&] {
    if (!turn.stream) return;
    std::lock_guard<std::mutex> lock(l->queue);
    std::erase_if(l->streams, [&](const queuedJob& s) { return s.place == turn.place; });
  };
  const int64_t deadline = monotonicMilliseconds() + waitMilliseconds;
  for (;;) {
    if (inTurn()) {
      std::lock_guard<std::mutex> lock(l->claim);
      if (!l->claimed) {
        l->claimed = true;
        break;
      }
    }
    if (monotonicMilliseconds() >= deadline) {
      leaveQueue();
      // The jobs that let the stream go first start now.
      if (turn.stream && papplPrinterGetNumberOfActiveJobs(printer) > 0) _papplPrinterCheckJobs(printer);
      return false;
    }
    usleep(kClaimPollMicroseconds);
  }
  leaveQueue();
  return true;
}

void releasePrinter(printerLink* link, pappl_printer_t* printer, bool lookAtQueue) {
  if (link == nullptr) return;
  bool orphaned;
  {
    // A change of device or driver asked for while the place was taken is made before anyone else
    // takes it; one asked for meanwhile waits for this.
    std::lock_guard<std::mutex> moving(link->moving);
    applyPendingMove(printer, link);
    std::lock_guard<std::mutex> lock(link->claim);
    link->claimed = false;
    orphaned = link->orphaned;
  }
  if (orphaned) {
    delete link;
    return;
  }
  // A queued job whose start met the place taken waits for this look.
  if (lookAtQueue && papplPrinterGetNumberOfActiveJobs(printer) > 0) _papplPrinterCheckJobs(printer);
}
