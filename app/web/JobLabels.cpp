// SPDX-License-Identifier: Apache-2.0
// Each job's labels as printed on the pages of jobs: the images the job's end drew from the printer
// data sent (app/documents/Labels.cpp), linked from the page and served one at a time.
#include <cstdio>
#include <cstring>
#include <string>

#include "app/web/web.h"

namespace {

// 'configOfJob()' - the server's settings, which keep the jobs' labels.
appConfig* configOfJob(pappl_job_t* job) {
  pappl_printer_t* printer = job != nullptr ? papplJobGetPrinter(job) : nullptr;
  const printerLink* link = printer != nullptr ? linkOf(printer) : nullptr;
  return link != nullptr ? link->config : nullptr;
}

}  // namespace

std::string jobLabelPath(pappl_printer_t* printer, int jobId, size_t index) {
  char path[256];
  if (papplPrinterGetPath(printer, kJobLabelPage, path, sizeof path) == nullptr) return "";
  return std::string(path) + "?job=" + std::to_string(jobId) + "&label=" + std::to_string(index + 1);
}

void showJobLabels(pappl_client_t* client, pappl_job_t* job) {
  pappl_printer_t* printer = papplJobGetPrinter(job);
  const int id = papplJobGetID(job);
  const std::vector<jobLabelImage> sizes = jobLabelSizes(configOfJob(job), papplPrinterGetID(printer), id);
  if (sizes.empty()) return;
  papplClientHTMLPuts(client, "<div class=\"job-labels\">");
  for (size_t i = 0; i < sizes.size(); ++i) {
    // The image is the label's size in dots; the page shows it no taller than a few lines of text.
    papplClientHTMLPrintf(client,
                          "<img src=\"%s\" width=\"%u\" height=\"%u\" alt=\"%s %u\" title=\"%u x %u dots\" "
                          "style=\"width:auto;height:auto;max-width:100%%;max-height:12em;margin:4px 8px 4px "
                          "0;border:1px solid #999;background:#fff;image-rendering:pixelated;\">",
                          jobLabelPath(printer, id, i).c_str(), sizes[i].width, sizes[i].length,
                          papplClientGetLocString(client, "Label"), static_cast<unsigned>(i + 1),
                          sizes[i].width, sizes[i].length);
  }
  papplClientHTMLPuts(client, "</div>");
}

bool sendJobLabel(pappl_client_t* client, pappl_job_t* job, size_t index) {
  jobLabelImage image;
  if (job == nullptr || !jobLabelOf(configOfJob(job), papplPrinterGetID(papplJobGetPrinter(job)),
                                    papplJobGetID(job), index, &image))
    return papplClientRespond(client, HTTP_STATUS_NOT_FOUND, nullptr, nullptr, 0, 0);
  if (!papplClientRespond(client, HTTP_STATUS_OK, nullptr, "image/png", 0, image.png.size())) return false;
  http_t* http = papplClientGetHTTP(client);
  if (httpWrite2(http, image.png.data(), image.png.size()) < 0) return false;
  httpFlushWrite(http);
  return true;
}
