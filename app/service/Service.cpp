// SPDX-License-Identifier: Apache-2.0
// The server's orderly stop. The framework stops on SIGTERM only once no job is active, and waits up
// to a minute for that, printing queued jobs meanwhile; a job stuck on a printer that stopped reading
// kept it from stopping at all. Here the signals are taken by a thread of the application's own:
// no new job starts, the labels being sent get a few seconds, every job that has not ended stays in
// the state file for the next start, and the process ends within a few seconds whatever the framework
// is doing.
#include "app/service/service.h"

#include <arpa/inet.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

// The framework's look at a printer's queue: it starts a pending job.
extern "C" void _papplPrinterCheckJobs(pappl_printer_t* printer);

namespace {

inline constexpr long kWatchSliceNanoseconds = 250'000'000;

sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

// 'watch()' - the watcher thread: a stop signal asks for the stop; once the stop is done, or when it
// has taken too long, the process ends. A second signal ends it at once.
void watch(appConfig* config) {
  const sigset_t set = stopSignals();
  const timespec slice = {0, kWatchSliceNanoseconds};
  int64_t deadline = 0;
  while (!config->exiting.load()) {
    if (sigtimedwait(&set, nullptr, &slice) > 0 && config->stopRequested.exchange(true)) _exit(0);
    // A signal or the shutdown subcommand (the system's timer notices it) asks for the stop.
    if (deadline == 0 && config->stopRequested.load())
      deadline = monotonicMilliseconds() + int64_t{kStopSeconds} * 1000;
    if (deadline == 0) continue;
    if (config->stopped.load()) _exit(0);
    if (monotonicMilliseconds() >= deadline) {
      std::fputs("label-printer-app: the printing jobs did not end in time; stopping without them.\n",
                 stderr);
      _exit(0);
    }
  }
}

// How long the stop waits for the labels being sent to finish: a job still printing after it is kept
// for the next start, where it prints again whole.
inline constexpr int64_t kStopGraceMilliseconds = 4000;

// 'countSending()' - add the printer's jobs that are sending labels; a job that waits for its
// printer to be reached has sent nothing and is kept as it is.
void countSending(pappl_printer_t* printer, void* data) {
  papplPrinterIterateActiveJobs(
      printer,
      [](pappl_job_t* job, void* count) {
        if (papplJobGetState(job) == IPP_JSTATE_PROCESSING &&
            (papplJobGetReasons(job) & PAPPL_JREASON_JOB_QUEUED) == 0)
          ++*static_cast<int*>(count);
      },
      data, 1, 0);
}

// 'lookAtQueue()' - start the printer's first queued job when it has jobs waiting and none printing:
// jobs read from the state file, and any whose start was missed, print without another submission.
void lookAtQueue(pappl_printer_t* printer, void*) {
  struct counts {
    int pending = 0, processing = 0;
  } c;
  papplPrinterIterateActiveJobs(
      printer,
      [](pappl_job_t* job, void* data) {
        auto* n = static_cast<counts*>(data);
        const ipp_jstate_t state = papplJobGetState(job);
        n->pending += state == IPP_JSTATE_PENDING;
        n->processing += state == IPP_JSTATE_PROCESSING;
      },
      &c, 1, 0);
  if (c.pending > 0 && c.processing == 0 && papplPrinterGetState(printer) != IPP_PSTATE_STOPPED)
    _papplPrinterCheckJobs(printer);
}

// 'carryOutStop()' - the system's timer, each second: the queues looked at; once a stop is asked for,
// no new job starts, the labels being sent get a few seconds to finish, and the state is saved with
// every job that has not ended (queued ones, and those still printing, which print again at the next
// start); then the watcher is told. (It runs with the system locked for reading: nothing here may
// lock it for writing.)
bool carryOutStop(pappl_system_t* system, void* data) {
  appConfig* config = static_cast<appConfig*>(data);
  // Should anything ask the framework itself to shut down, it is carried out as a signal's stop.
  if (papplSystemIsShutdown(system)) config->stopRequested.store(true);
  if (!config->stopRequested.load()) {
    if (papplSystemIsRunning(system)) papplSystemIteratePrinters(system, lookAtQueue, nullptr);
    return true;
  }
  if (config->stopped.load()) return true;
  if (!config->stopping.exchange(true)) {
    // No new job starts from here (the application's own checks refuse them); the framework's own
    // shutdown is not asked for, since it frees the system while client threads still use it.
    papplLog(system, PAPPL_LOGLEVEL_INFO, "Stopping: the jobs not printed are kept for the next start.");
    config->stopAsked = monotonicMilliseconds();
  }
  int sending = 0;
  papplSystemIteratePrinters(system, countSending, &sending);
  if (sending > 0 && monotonicMilliseconds() - config->stopAsked < kStopGraceMilliseconds) return true;
  saveState(system, config);
  config->stopped.store(true);
  return true;
}

}  // namespace

void startStopWatcher(pappl_system_t* system, appConfig* config) {
  const sigset_t set = stopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  // A peer that has gone is an error to the write, never the end of the server.
  signal(SIGPIPE, SIG_IGN);
  config->watcher = std::thread(watch, config);
  papplSystemAddTimerCallback(system, 0, 1, carryOutStop, config);
}

void finishStopWatcher(appConfig* config) {
  config->exiting.store(true);
  if (config->watcher.joinable()) config->watcher.join();
}

std::string stateFilePath(const char* base) {
  const std::string name = std::string(base) + ".state";
  const std::string fallback =
      std::string(papplGetTempDir()) + "/" + base + std::to_string(getuid()) + ".state";
  if (const char* snap = std::getenv("SNAP_COMMON"))
    return access(snap, X_OK) == 0 ? std::string(snap) + "/" + name : fallback;
  if (getuid() == 0) return "/var/lib/" + name;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"))
    return access(config, X_OK) == 0 ? std::string(config) + "/" + name : fallback;
  if (const char* home = std::getenv("HOME")) {
    const std::string folder = std::string(home) + "/.config";
    if (access(folder.c_str(), X_OK) == 0 || mkdir(folder.c_str(), 0777) == 0) return folder + "/" + name;
  }
  return fallback;
}

namespace {

// 'parseCount()' - a whole number from 'least' to 'most', digits only; 0 and the number in *count, else 1.
int parseCount(const char* value, long least, long most, int* count) {
  if (value == nullptr || *value < '0' || *value > '9') return 1;
  char* end = nullptr;
  errno = 0;
  const long number = std::strtol(value, &end, 10);
  if (errno != 0 || *end != '\0' || number < least || number > most) return 1;
  *count = static_cast<int>(number);
  return 0;
}

}  // namespace

int parseJobHistory(const char* value, int* history) {
  return parseCount(value, kMinJobHistory, kMaxJobHistory, history);
}

int parseKeptDocuments(const char* value, int* kept) { return parseCount(value, 0, kMaxKeptDocuments, kept); }

int parsePdfTimeLimit(const char* value, int* seconds) {
  return parseCount(value, kMinPdfSeconds, kMaxPdfSeconds, seconds);
}

std::vector<std::string> listenAddresses(const char* name, int port) {
  const std::string given = name != nullptr ? name : "";
  // Every interface, on both families: the framework's own rule for no name stops at the first family
  // that listens.
  if (given.empty() || given == "*") return {"0.0.0.0", "[::]"};
  // A domain socket or one address as it is.
  if (given[0] == '/' || given[0] == '[' || (given[0] >= '0' && given[0] <= '9')) return {given};
  std::vector<std::string> addresses;
  http_addrlist_t* list = httpAddrGetList(given.c_str(), AF_UNSPEC, std::to_string(port).c_str());
  for (http_addrlist_t* a = list; a != nullptr; a = a->next) {
    char text[INET6_ADDRSTRLEN] = "";
    std::string address;
    if (a->addr.addr.sa_family == AF_INET && inet_ntop(AF_INET, &a->addr.ipv4.sin_addr, text, sizeof text))
      address = text;
    else if (a->addr.addr.sa_family == AF_INET6 &&
             inet_ntop(AF_INET6, &a->addr.ipv6.sin6_addr, text, sizeof text))
      address = std::string("[") + text + "]";
    if (!address.empty() && std::find(addresses.begin(), addresses.end(), address) == addresses.end())
      addresses.push_back(address);
  }
  httpAddrFreeList(list);
  // A name that does not resolve goes to the framework, which says so.
  if (addresses.empty()) addresses.push_back(given);
  return addresses;
}
