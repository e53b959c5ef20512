// SPDX-License-Identifier: Apache-2.0
// The history of ended jobs, bounded by the server's job-history: each printer's limit is the
// server's, and the framework's clean-up (which the door's stands before, app/door/History.cpp) runs
// after every job and every few seconds.
#include <ctime>

#include "app/service/service.h"

namespace {

// The seconds between two trims of every printer's history, for jobs that end without printing
// (cancelled while queued) and printers added since.
inline constexpr int kHistorySeconds = 5;

// 'applyHistory()' - make the printer's limit of ended jobs the server's.
void applyHistory(pappl_printer_t* printer, void* data) {
  const int history = *static_cast<const int*>(data);
  if (papplPrinterGetMaxCompletedJobs(printer) != history) papplPrinterSetMaxCompletedJobs(printer, history);
}

// 'keepHistories()' - the system's timer (run with the system locked for reading).
bool keepHistories(pappl_system_t* system, void* data) {
  keepHistory(system, static_cast<const appConfig*>(data)->jobHistory);
  return true;
}

}  // namespace

void keepHistory(pappl_system_t* system, int history) {
  if (system == nullptr || history < kMinJobHistory) return;
  papplSystemIteratePrinters(system, applyHistory, &history);
  papplSystemCleanJobs(system);
}

void startHistoryKeeper(pappl_system_t* system, appConfig* config) {
  // At once in the framework's main loop, after the state file: a server started with a shorter
  // history than the last one had drops the oldest jobs before it prints anything.
  papplSystemAddTimerCallback(system, time(nullptr), kHistorySeconds, keepHistories, config);
}
