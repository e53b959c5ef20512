// SPDX-License-Identifier: Apache-2.0
// The order in which a printer's jobs print: first in, first out. The framework keeps a printer's
// jobs newest first and starts the first one that waits, so whenever jobs wait the newest would go
// next; each job therefore gets a place when it is accepted (and a new one when it is released from
// a hold), kept in the state file across restarts, and the printer's thread prints the job with the
// earliest place, a higher job-priority first. A client's raster stream, printed as it arrives, takes
// a place too and waits for the jobs before it.
#include <algorithm>

#include "app/printer/printer.h"

bool goesBefore(const queuedJob& a, const queuedJob& b) {
  if (a.priority != b.priority) return a.priority > b.priority;
  if (a.place != b.place) return a.place < b.place;
  return a.id < b.id;
}

int firstInQueue(const std::vector<queuedJob>& jobs) {
  int first = -1;
  for (size_t i = 0; i < jobs.size(); ++i)
    if (first < 0 || goesBefore(jobs[i], jobs[static_cast<size_t>(first)])) first = static_cast<int>(i);
  return first;
}

uint64_t takePlace(appConfig* config) { return config->nextPlace.fetch_add(1); }

void givePlace(pappl_printer_t* printer, int jobId, uint64_t place) {
  printerLink* link = linkOf(printer);
  if (link == nullptr) return;
  std::lock_guard<std::mutex> lock(link->queue);
  link->places[jobId] = place;
}

uint64_t placeOf(pappl_printer_t* printer, int jobId) {
  printerLink* link = linkOf(printer);
  if (link == nullptr) return 0;
  std::lock_guard<std::mutex> lock(link->queue);
  const auto found = link->places.find(jobId);
  return found != link->places.end() ? found->second : 0;
}

namespace {

// What the queue's order needs of a printer's active jobs.
struct activeJob {
  int id;
  ipp_jstate_t state;
  int priority;
};

std::vector<activeJob> activeJobs(pappl_printer_t* printer) {
  std::vector<activeJob> jobs;
  papplPrinterIterateActiveJobs(
      printer,
      [](pappl_job_t* job, void* data) {
        ipp_attribute_t* priority = papplJobGetAttribute(job, "job-priority");
        static_cast<std::vector<activeJob>*>(data)->push_back(
            {papplJobGetID(job), papplJobGetState(job),
             priority != nullptr ? ippGetInteger(priority, 0) : 50});
      },
      &jobs, 1, 0);
  return jobs;
}

}  // namespace

queuedJob nextQueuedJob(pappl_printer_t* printer) {
  printerLink* link = linkOf(printer);
  const std::vector<activeJob> jobs = activeJobs(printer);
  std::vector<queuedJob> waiting;
  if (link == nullptr) {
    for (const activeJob& job : jobs)
      if (job.state == IPP_JSTATE_PENDING) waiting.push_back({job.id, job.priority, 0, false});
  } else {
    std::lock_guard<std::mutex> lock(link->queue);
    // The places of jobs that have ended go.
    std::erase_if(link->places, [&](const auto& entry) {
      return std::none_of(jobs.begin(), jobs.end(),
                          [&](const activeJob& job) { return job.id == entry.first; });
    });
    for (const activeJob& job : jobs) {
      if (job.state != IPP_JSTATE_PENDING) continue;
      const auto found = link->places.find(job.id);
      waiting.push_back(
          {job.id, job.priority, found != link->places.end() ? found->second : UINT64_MAX, false});
    }
    for (const queuedJob& stream : link->streams) waiting.push_back(stream);
  }
  const int first = firstInQueue(waiting);
  return first < 0 ? queuedJob{0, 0, 0, false} : waiting[static_cast<size_t>(first)];
}
