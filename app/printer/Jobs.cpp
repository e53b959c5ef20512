// SPDX-License-Identifier: Apache-2.0
// One job at a time at a printer, and raster pages no larger than the printer's largest label.
//
// The framework starts a queued job on a thread of its own whenever it checks its queue, and prints a
// client's raster stream on the client's own thread; its check that the printer is free and the start
// of the job are not one step, so two jobs could write to one device at once, and a raster stream
// still being received could be taken for a queued job without a file. Every printing job therefore
// first takes the printer's one place (claimPrinter), and gives it back with a new look at the queue.
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
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

int parseStreamTimeout(const char* value, int* seconds) {
  if (value == nullptr || *value < '0' || *value > '9') return 1;
  char* end = nullptr;
  errno = 0;
  const long count = std::strtol(value, &end, 10);
  if (errno != 0 || *end != '\0' || count < kMinStreamSeconds || count > kMaxStreamSeconds) return 1;
  *seconds = static_cast<int>(count);
  return 0;
}

namespace {

// 'streamOf()' - the stream record of the printer of 'job' when 'job' is the stream it watches (its
// lock then held by *hold), else nullptr.
rasterStream* streamOf(pappl_job_t* job, std::unique_lock<std::mutex>* hold) {
  printerLink* link = job != nullptr ? linkOf(papplJobGetPrinter(job)) : nullptr;
  if (link == nullptr) return nullptr;
  std::unique_lock<std::mutex> lock(link->stream.lock);
  if (link->stream.job != job) return nullptr;
  *hold = std::move(lock);
  return &link->stream;
}

void checkPrinterStream(pappl_printer_t* printer, int64_t now) {
  printerLink* link = linkOf(printer);
  if (link == nullptr) return;
  rasterStream& s = link->stream;
  std::lock_guard<std::mutex> lock(s.lock);
  if (s.job == nullptr || s.cut) return;
  const bool canceled = papplJobIsCanceled(s.job);
  if (!canceled && (s.deadline == 0 || now < s.deadline)) return;
  s.cut = true;
  shutdown(s.fd, SHUT_RD);
  if (canceled) return;
  papplJobSetReasons(s.job, PAPPL_JREASON_ABORTED_BY_SYSTEM, PAPPL_JREASON_NONE);
  papplJobSetMessage(s.job, "The client sent no page for %d seconds; the printer went on to the next job.",
                     s.seconds);
  papplLogJob(s.job, PAPPL_LOGLEVEL_ERROR, "The client sent no page for %d seconds: its stream is cut.",
              s.seconds);
}

}  // namespace

void watchStream(pappl_job_t* job, int fd) {
  printerLink* link = linkOf(papplJobGetPrinter(job));
  if (link == nullptr) return;
  std::lock_guard<std::mutex> lock(link->stream.lock);
  link->stream.job = job;
  link->stream.fd = fd;
  link->stream.seconds = link->config != nullptr ? link->config->streamSeconds : kDefaultStreamSeconds;
  link->stream.deadline = monotonicMilliseconds() + int64_t{link->stream.seconds} * 1000;
  link->stream.cut = false;
}

void unwatchStream(pappl_job_t* job) {
  std::unique_lock<std::mutex> lock;
  if (rasterStream* s = streamOf(job, &lock)) {
    s->job = nullptr;
    s->fd = -1;
  }
}

void holdStreamClock(pappl_job_t* job, bool held) {
  std::unique_lock<std::mutex> lock;
  if (rasterStream* s = streamOf(job, &lock))
    s->deadline = held ? 0 : monotonicMilliseconds() + int64_t{s->seconds} * 1000;
}

bool streamWasCut(pappl_job_t* job) {
  std::unique_lock<std::mutex> lock;
  const rasterStream* s = streamOf(job, &lock);
  return s != nullptr && s->cut && !papplJobIsCanceled(job);
}

void checkStreams(pappl_system_t* system) {
  int64_t now = monotonicMilliseconds();
  papplSystemIteratePrinters(
      system,
      [](pappl_printer_t* printer, void* data) { checkPrinterStream(printer, *static_cast<int64_t*>(data)); },
      &now);
}

void startStreamWatcher(pappl_system_t* system) {
  papplSystemAddTimerCallback(
      system, 0, 1,
      [](pappl_system_t* s, void*) {
        checkStreams(s);
        return true;
      },
      nullptr);
}
