// SPDX-License-Identifier: Apache-2.0
// The rules of the pages of jobs (app/web/JobPages.cpp): who may see and change a job there, as for
// the jobs' requests, and a reprint of an ended job's kept document as a new job, which takes the next
// place in its printer's queue and counts against the spool limit as a document received does.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "app/service/service.h"

// The framework's making of a job and handing it its document (PAPPL 1.3.1, exported but declared in
// no installed header); the program stands before the first (app/door/Jobs.cpp), which gives the job
// its place in the queue.
extern "C" {
pappl_job_t* _papplJobCreate(pappl_printer_t* printer, int jobId, const char* username, const char* format,
                             const char* name, ipp_t* attributes);
void _papplJobSubmitFile(pappl_job_t* job, const char* filename);
}

namespace {

// The job attributes a reprint carries over: how the job asked to be printed, and who printed it.
inline constexpr const char* kReprintedAttributes[] = {"copies",
                                                       "media",
                                                       "media-col",
                                                       "orientation-requested",
                                                       "print-color-mode",
                                                       "print-content-optimize",
                                                       "print-darkness",
                                                       "print-quality",
                                                       "print-scaling",
                                                       "print-speed",
                                                       "printer-resolution",
                                                       "page-ranges",
                                                       "job-priority",
                                                       "multiple-document-handling",
                                                       "sides",
                                                       "output-bin",
                                                       "finishings",
                                                       kSignedInOwnerAttr};

const char* knownFormat(const char* format) {
  for (const char* known : kPrintedFormats)
    if (format != nullptr && std::strcmp(format, known) == 0) return known;
  return nullptr;
}

// 'copyDocument()' - copy 'size' bytes from 'in' to 'out': false with the reason in *error.
bool copyDocument(int in, int out, int64_t size, std::string* error) {
  char buffer[65536];
  int64_t left = size;
  while (left > 0) {
    const ssize_t got = read(in, buffer, static_cast<size_t>(std::min<int64_t>(left, sizeof buffer)));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      *error = got < 0 ? std::strerror(errno) : "the document is shorter than it was";
      return false;
    }
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = write(out, buffer + done, static_cast<size_t>(got - done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) {
        *error = std::strerror(errno);
        return false;
      }
      done += put;
    }
    left -= got;
  }
  return true;
}

jobViewer viewerOf(pappl_client_t* client) {
  jobViewer viewer;
  viewer.administrator = isTrustedClient(client);
  if (!viewer.administrator) {
    // Credentials sent with the page sign the client in; without them it is a stranger.
    signInClient(client);
    const char* user = papplClientGetUsername(client);
    if (user != nullptr) viewer.account = user;
  }
  return viewer;
}

bool mayChange(const jobViewer& viewer, pappl_job_t* job) {
  if (viewer.administrator) return true;
  if (viewer.account.empty()) return false;
  const char* owner = papplJobGetUsername(job);
  const char* signedIn = ippGetString(papplJobGetAttribute(job, kSignedInOwnerAttr), 0, nullptr);
  return ownsJob(owner != nullptr ? owner : "", signedIn != nullptr ? signedIn : "", viewer.account,
                 viewer.account);
}

bool maySendForm(pappl_client_t* client, jobViewer* viewer) {
  *viewer = viewerOf(client);
  if (viewer->administrator || !viewer->account.empty()) return true;
  // Anyone else signs in as an administrator, or is told how administration from the network is set up.
  if (!papplClientHTMLAuthorize(client)) return false;
  viewer->administrator = true;
  return true;
}

bool reprint(pappl_job_t* job, std::string* words) {
  pappl_printer_t* printer = papplJobGetPrinter(job);
  appConfig* config = serverSettings(papplPrinterGetSystem(printer));
  if (config != nullptr && config->stopping.load()) {
    *words = "The server is stopping.";
    return false;
  }
  const char* file = papplJobGetFilename(job);
  const int in = keptDocument(job) ? open(file, O_RDONLY | O_CLOEXEC | O_NOFOLLOW) : -1;
  struct stat info;
  if (in < 0 || fstat(in, &info) != 0 || !S_ISREG(info.st_mode)) {
    if (in >= 0) close(in);
    *words = "Its document is no longer kept.";
    return false;
  }
  if (config != nullptr && refuseDocument(config->spoolLimit, info.st_size, spoolBytes(config->spoolFolder),
                                          config->receiving.load() + info.st_size, words) != IPP_STATUS_OK) {
    close(in);
    return false;
  }
  ipp_t* attributes = ippNew();
  for (const char* name : kReprintedAttributes)
    if (ipp_attribute_t* given = papplJobGetAttribute(job, name)) ippCopyAttribute(attributes, given, 0);
  const char* jobName = papplJobGetName(job);
  ippAddString(attributes, IPP_TAG_JOB, IPP_TAG_NAME, "job-name", nullptr,
               jobName != nullptr ? jobName : "Untitled");
  // The new job's record keeps the name's pointer: the string the attributes share with it.
  const char* name = ippGetString(ippFindAttribute(attributes, "job-name", IPP_TAG_NAME), 0, nullptr);
  const char* format = knownFormat(papplJobGetFormat(job));
  const std::string owner = papplJobGetUsername(job) != nullptr ? papplJobGetUsername(job) : "guest";
  pappl_job_t* copy =
      format != nullptr ? _papplJobCreate(printer, 0, owner.c_str(), format, name, attributes) : nullptr;
  ippDelete(attributes);
  if (copy == nullptr) {
    close(in);
    *words = format == nullptr ? "The document's format is unknown." : "The printer takes no more jobs now.";
    return false;
  }
  char path[1024];
  const std::string folder = config != nullptr ? config->spoolFolder : papplGetTempDir();
  const int out = papplJobOpenFile(copy, path, sizeof path, folder.c_str(), nullptr, "w");
  std::string error = out < 0 ? std::strerror(errno) : "";
  const bool copied = out >= 0 && copyDocument(in, out, info.st_size, &error) && fsync(out) == 0;
  close(in);
  if (out >= 0 && close(out) != 0 && copied) error = std::strerror(errno);
  if (!copied || !error.empty()) {
    if (out >= 0) unlink(path);
    papplJobCancel(copy);
    *words = "The document could not be copied (" + error + ").";
    return false;
  }
  _papplJobSubmitFile(copy, path);
  *words = "Job " + std::to_string(papplJobGetID(job)) + " reprinted as job " +
           std::to_string(papplJobGetID(copy)) + ".";
  return true;
}

}  // namespace

jobPageRules webJobRules() { return {viewerOf, mayChange, maySendForm, reprint}; }

bool serveAllJobsPage(pappl_client_t* client, void*) {
  showJobsPage(client, papplClientGetSystem(client), nullptr, webJobRules());
  return true;
}
