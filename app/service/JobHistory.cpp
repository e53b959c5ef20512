// SPDX-License-Identifier: Apache-2.0
// The history of ended jobs, bounded by the server's job-history: each printer's limit is the
// server's, and the framework's clean-up (which the door's stands before, app/door/History.cpp) runs
// after every job and every few seconds.
#include <algorithm>
#include <ctime>

#include "app/service/service.h"

namespace {

// The seconds between two trims of every printer's history, for jobs that end without printing
// (cancelled while queued) and printers added since.
inline constexpr int kHistorySeconds = 5;

// The server's job-history, and its settings as a printer's link finds them.
struct historyRound {
  int history;
  appConfig* config;
};

// 'applyHistory()' - make the printer's limits of ended jobs and of their kept documents the server's.
// The framework keeps an ended job's document while the printer preserves jobs, and its clean-up
// removes the documents past the newest ones it preserves.
void applyHistory(pappl_printer_t* printer, void* data) {
  auto* round = static_cast<historyRound*>(data);
  if (papplPrinterGetMaxCompletedJobs(printer) != round->history)
    papplPrinterSetMaxCompletedJobs(printer, round->history);
  const printerLink* link = linkOf(printer);
  if (round->config == nullptr && link != nullptr) round->config = link->config;
  const int kept =
      link != nullptr && link->config != nullptr ? std::min(link->config->keptDocuments, round->history) : 0;
  if (papplPrinterGetMaxPreservedJobs(printer) != kept) papplPrinterSetMaxPreservedJobs(printer, kept);
}

// 'keepHistories()' - the system's timer (run with the system locked for reading).
bool keepHistories(pappl_system_t* system, void* data) {
  keepHistory(system, static_cast<const appConfig*>(data)->jobHistory);
  return true;
}

}  // namespace

void keepHistory(pappl_system_t* system, int history) {
  if (system == nullptr || history < kMinJobHistory) return;
  historyRound round{history, nullptr};
  papplSystemIteratePrinters(system, applyHistory, &round);
  // Subscriptions to jobs past the history go first: the framework's keep a bare pointer to their job.
  releaseEndedSubscriptions(system, round.config);
  papplSystemCleanJobs(system);
}

void keepPrinterHistory(pappl_printer_t* printer) {
  const printerLink* link = printer != nullptr ? linkOf(printer) : nullptr;
  if (link == nullptr || link->config == nullptr || link->config->jobHistory < kMinJobHistory) return;
  historyRound round{link->config->jobHistory, nullptr};
  applyHistory(printer, &round);
}

void startHistoryKeeper(pappl_system_t* system, appConfig* config) {
  // At once in the framework's main loop, after the state file: a server started with a shorter
  // history than the last one had drops the oldest jobs before it prints anything.
  papplSystemAddTimerCallback(system, time(nullptr), kHistorySeconds, keepHistories, config);
}
