// SPDX-License-Identifier: Apache-2.0
// The history of ended jobs, bounded. PAPPL 1.3.1 keeps a printer's ended jobs newest first, and its
// clean-up (_papplPrinterCleanJobsNoLock in job.c) stops at the first one that ended less than a minute
// ago: while jobs keep coming it removes none. It runs a minute after a job ends, at that very second,
// when the job that ended then is not yet older than a minute, so it mostly removes none even after
// the jobs stop; and where it does, it removes the newest and keeps the oldest. Each kept job holds
// about a kilobyte and a line of the state file: the server grew by every job it printed.
//
// The clean-up below stands before the framework's: the oldest ended jobs go, down to the printer's
// limit, which is the server's job-history. The framework's own papplSystemCleanJobs calls it with
// each printer locked for writing; the application calls that after every job it prints and every
// few seconds (keepHistory(), app/service/JobHistory.cpp). A job cancelled before it prints has the
// state saved as an ended one does.
#include <cups/cups.h>

#include "app/door/door.h"

namespace {

// While this thread asks the framework for the size of one of a printer's job lists, the list it counts.
thread_local cups_array_t** tCountedList = nullptr;

// 'listCountedBy()' - the framework's job list that the accessor 'count' counts for 'printer', or
// nullptr. The accessors read the list without locking the printer (PAPPL 1.3.1), so this may be
// asked with the printer locked.
cups_array_t* listCountedBy(int (*count)(pappl_printer_t*), pappl_printer_t* printer) {
  cups_array_t* list = nullptr;
  tCountedList = &list;
  count(printer);
  tCountedList = nullptr;
  return list;
}

}  // namespace

extern "C" {

// Every count of a list, process-wide; the one that listCountedBy() asks for is noted on the way.
int cupsArrayCount(cups_array_t* list) {
  static const auto next = frameworkFunction<int (*)(cups_array_t*)>("cupsArrayCount");
  if (tCountedList != nullptr && *tCountedList == nullptr) *tCountedList = list;
  return next(list);
}

// A job cancelled before it printed ends without the framework's end of a job, which marks the state
// changed: the state file kept the job as queued, and its attributes' file stayed in the spool folder,
// until something else changed. (The job may be gone from the history once the call returns.)
void papplJobCancel(pappl_job_t* job) {
  pappl_system_t* system = job != nullptr ? papplPrinterGetSystem(papplJobGetPrinter(job)) : nullptr;
  frameworkFunction<void (*)(pappl_job_t*)>("papplJobCancel")(job);
  if (system != nullptr) _papplSystemConfigChanged(system);
}

void papplPrinterCancelAllJobs(pappl_printer_t* printer) {
  frameworkFunction<void (*)(pappl_printer_t*)>("papplPrinterCancelAllJobs")(printer);
  if (printer != nullptr) _papplSystemConfigChanged(papplPrinterGetSystem(printer));
}

// A printer's history trimmed to its limit, the oldest job first: called with the printer locked for
// writing (papplSystemCleanJobs). A job's document went when it ended; its attributes' file, which
// the state file's writer leaves for a job that was queued when it wrote, and its labels as printed
// go with the job.
void _papplPrinterCleanJobsNoLock(pappl_printer_t* printer) {
  cups_array_t* ended = listCountedBy(papplPrinterGetNumberOfCompletedJobs, printer);
  cups_array_t* all = listCountedBy(papplPrinterGetNumberOfJobs, printer);
  const int keep = papplPrinterGetMaxCompletedJobs(printer);
  if (ended != nullptr && all != nullptr && ended != all && keep > 0 && cupsArrayCount(ended) > keep) {
    const printerLink* link = linkOf(printer);
    appConfig* config = link != nullptr ? link->config : nullptr;
    bool removed = false;
    // The list is in the order of job ids, newest first: the jobs past the newest 'keep' go, but one
    // that a subscription still points at, or that is being ended, stays until a later round.
    for (int index = cupsArrayCount(ended) - 1; index >= keep; --index) {
      auto* job = static_cast<pappl_job_t*>(cupsArrayIndex(ended, index));
      if (jobPinned(config, papplPrinterGetID(printer), papplJobGetID(job))) continue;
      char path[1024];
      papplJobOpenFile(job, path, sizeof path, nullptr, "ipp", "x");
      forgetJobLabels(config, papplPrinterGetID(printer), papplJobGetID(job));
      cupsArrayRemove(ended, job);
      cupsArrayRemove(all, job);  // the list of all jobs frees what it loses
      removed = true;
    }
    if (removed) _papplSystemConfigChanged(papplPrinterGetSystem(printer));
  }
  // What is left to the framework's own: the documents of preserved jobs, removed past the newest
  // kept-documents. With the history within its limit it removes no job; above it (jobs kept for their
  // subscriptions) it would remove them regardless, so it is not asked.
  if (ended == nullptr || keep <= 0 || cupsArrayCount(ended) <= keep)
    frameworkFunction<void (*)(pappl_printer_t*)>("_papplPrinterCleanJobsNoLock")(printer);
}

}  // extern "C"
