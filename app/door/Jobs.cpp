// SPDX-License-Identifier: Apache-2.0
// The jobs' threads and the clients' raster streams (the rules: app/service/Requests.cpp).
#include "app/door/door.h"

namespace {

// The raster job whose stream this thread reads: the framework reads each page header with no more
// than the stream in hand.
thread_local pappl_job_t* tRasterJob = nullptr;

}  // namespace

extern "C" {

// A queued job's thread prints the job that is first in the queue, with the printer's place taken.
void* _papplJobProcess(pappl_job_t* job) {
  processQueuedJob(job, frameworkFunction<void* (*)(pappl_job_t*)>("_papplJobProcess"));
  return nullptr;
}

// Every job the framework makes, accepted or read from the state file, takes its place in the queue.
pappl_job_t* _papplJobCreate(pappl_printer_t* printer, int jobId, const char* username, const char* format,
                             const char* name, ipp_t* attributes) {
  using createJob = pappl_job_t* (*)(pappl_printer_t*, int, const char*, const char*, const char*, ipp_t*);
  pappl_job_t* job =
      frameworkFunction<createJob>("_papplJobCreate")(printer, jobId, username, format, name, attributes);
  placeNewJob(printer, job);
  return job;
}

void _papplJobProcessRaster(pappl_job_t* job, pappl_client_t* client) {
  tRasterJob = job;
  processRasterJob(job, client,
                   frameworkFunction<void (*)(pappl_job_t*, pappl_client_t*)>("_papplJobProcessRaster"));
  tRasterJob = nullptr;
}

// Each page header of a client's raster stream: a page larger than the printer's largest label ends
// the stream before the framework allocates anything for it.
unsigned cupsRasterReadHeader2(cups_raster_t* raster, cups_page_header2_t* header) {
  const auto next =
      frameworkFunction<unsigned (*)(cups_raster_t*, cups_page_header2_t*)>("cupsRasterReadHeader2");
  const unsigned read = next(raster, header);
  if (read == 0 || tRasterJob == nullptr) return read;
  return takeRasterPage(tRasterJob, *header) ? read : 0;
}

}  // extern "C"
