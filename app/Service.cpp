// SPDX-License-Identifier: Apache-2.0
// The server's orderly stop. The framework stops on SIGTERM only once no job is active, and waits up
// to a minute for that, printing queued jobs meanwhile; a job stuck on a printer that stopped reading
// kept it from stopping at all. Here the signals are taken by a thread of the application's own:
// the printing jobs are cancelled, queued jobs stay in the state file for the next start, the state
// is saved, and the process ends within a few seconds whatever the framework is doing.
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/app.h"

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

// 'cancelPrinting()' - cancel the printer's jobs that are printing; queued ones stay.
void cancelPrinting(pappl_printer_t* printer, void*) {
  std::vector<int> printing;
  papplPrinterIterateActiveJobs(
      printer,
      [](pappl_job_t* job, void* data) {
        if (papplJobGetState(job) == IPP_JSTATE_PROCESSING)
          static_cast<std::vector<int>*>(data)->push_back(papplJobGetID(job));
      },
      &printing, 1, 0);
  for (const int id : printing) {
    pappl_job_t* job = papplPrinterFindJob(printer, id);
    if (job == nullptr) continue;
    papplJobSetMessage(job, "Stopped: the server is shutting down.");
    papplJobCancel(job);
  }
}

// 'countPrinting()' - add the printer's jobs that are still printing.
void countPrinting(pappl_printer_t* printer, void* data) {
  papplPrinterIterateActiveJobs(
      printer,
      [](pappl_job_t* job, void* count) {
        if (papplJobGetState(job) == IPP_JSTATE_PROCESSING) ++*static_cast<int*>(count);
      },
      data, 1, 0);
}

// 'carryOutStop()' - the system's timer, each second: once a stop is asked for, no new jobs, the
// printing ones cancelled, and when they have ended the state saved and the watcher told. (It runs
// with the system locked for reading: nothing here may lock it for writing.)
bool carryOutStop(pappl_system_t* system, void* data) {
  appConfig* config = static_cast<appConfig*>(data);
  // Should anything ask the framework itself to shut down, it is carried out as a signal's stop.
  if (papplSystemIsShutdown(system)) config->stopRequested.store(true);
  if (!config->stopRequested.load() || config->stopped.load()) return true;
  if (!config->stopping.exchange(true)) {
    // No new job starts from here (the application's own checks refuse them); the framework's own
    // shutdown is not asked for, since it frees the system while client threads still use it.
    papplLog(system, PAPPL_LOGLEVEL_INFO, "Stopping: the printing jobs are cancelled, queued jobs kept.");
    papplSystemIteratePrinters(system, cancelPrinting, nullptr);
  }
  int printing = 0;
  papplSystemIteratePrinters(system, countPrinting, &printing);
  if (printing > 0) return true;
  papplSystemSaveState(system, config->statePath.c_str());
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

int parseJobHistory(const char* value, int* history) {
  if (value == nullptr || *value < '0' || *value > '9') return 1;
  char* end = nullptr;
  errno = 0;
  const long count = std::strtol(value, &end, 10);
  if (errno != 0 || *end != '\0' || count < kMinJobHistory || count > kMaxJobHistory) return 1;
  *history = static_cast<int>(count);
  return 0;
}
