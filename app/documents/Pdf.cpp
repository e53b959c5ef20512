// SPDX-License-Identifier: Apache-2.0
// PDF documents, each page one label, rendered by the separate program label-pdf-render (poppler, in
// a process of its own: a PDF is a stranger's input and its parser is large). The renderer starts
// with nothing of the server's: an empty environment, no descriptor but its pipes and the document
// (opened read-only here), no way to gain privileges, bounded address space, processor time and open
// files, no files to write, and another user than root; it then confines its own system calls. It
// gets no more than a page's time for each answer, and the document as a whole no more than the
// server's pdf-time-limit of waiting for its pages; whatever it does, it ends its own job with a
// reason and never the server. Each page is rendered at the scale and over the part of the page that
// its placement on the label asks for, so that bars and letters are drawn by the renderer at the
// printer's dots, never resampled.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/documents/documents.h"

namespace {

// The renderer's address space and open files, and the resolution of the look at a page for its ink.
inline constexpr rlim_t kRendererBytes = rlim_t{1} << 30;
inline constexpr rlim_t kRendererFiles = 64;
inline constexpr double kInkLookDpi = 36;

// The renderer's descriptor for the document.
inline constexpr int kDocumentDescriptor = 3;

// 'rendererSeconds()' - the processor time a renderer may take: its pages wait on the printer, not
// only the printing on them, so it is well beyond the document's time limit; it ends a renderer that
// spins on where nobody reads it.
rlim_t rendererSeconds(int documentSeconds) { return std::max<rlim_t>(600, rlim_t(documentSeconds) * 5); }

// Who the renderer runs as: the server's own user, or "nobody" when the server runs as root.
struct rendererUser {
  bool change = false;
  uid_t uid = 65534;
  gid_t gid = 65534;
};

rendererUser rendererUserFor() {
  rendererUser user;
  if (geteuid() != 0) return user;
  user.change = true;
  passwd entry, *found = nullptr;
  char buffer[4096];
  if (getpwnam_r("nobody", &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
      found->pw_uid != 0)
    user.uid = found->pw_uid, user.gid = found->pw_gid;
  return user;
}

// A running renderer: its process and the two ends of its pipes.
struct renderer {
  pid_t pid = -1;
  int commands = -1;  // its standard input
  int answers = -1;   // its standard output
  std::string pending;
  ~renderer() {
    if (commands >= 0) close(commands);
    if (answers >= 0) close(answers);
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};

// 'startRenderer()' - run the renderer on the document; false when it cannot be started.
bool startRenderer(const char* program, const char* document, int documentSeconds, renderer* r) {
  const rendererUser user = rendererUserFor();
  const int file = open(document, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  int in[2] = {-1, -1}, out[2] = {-1, -1};
  const auto closeAll = [&] {
    for (const int fd : {file, null, in[0], in[1], out[0], out[1]})
      if (fd >= 0) close(fd);
  };
  if (file < 0 || null < 0 || pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
    closeAll();
    return false;
  }
  const std::string pages = std::to_string(kMaxPdfPages);
  const std::string path = "/dev/fd/" + std::to_string(kDocumentDescriptor);
  const char* argv[] = {program, path.c_str(), pages.c_str(), nullptr};
  const char* environment[] = {nullptr};
  const rlim_t seconds = rendererSeconds(documentSeconds);
  const pid_t pid = fork();
  if (pid == 0) {
    // Only system calls between fork and exec (the server has other threads). The descriptors: its
    // pipes, nothing on standard error, the document; every other one is closed.
    const rlimit space = {kRendererBytes, kRendererBytes}, none = {0, 0},
                 files = {kRendererFiles, kRendererFiles};
    const rlimit cpu = {seconds, seconds + 1};
    if (dup2(in[0], 0) < 0 || dup2(out[1], 1) < 0 || dup2(null, 2) < 0) _exit(127);
    if (file == kDocumentDescriptor ? fcntl(file, F_SETFD, 0) != 0 : dup2(file, kDocumentDescriptor) < 0)
      _exit(127);
    if (syscall(SYS_close_range, kDocumentDescriptor + 1, ~0U, 0) != 0) {
      rlimit limit{};
      getrlimit(RLIMIT_NOFILE, &limit);
      for (rlim_t fd = kDocumentDescriptor + 1; fd < std::min<rlim_t>(limit.rlim_cur, 1 << 20); ++fd)
        close(static_cast<int>(fd));
    }
    if (setrlimit(RLIMIT_AS, &space) != 0 || setrlimit(RLIMIT_FSIZE, &none) != 0 ||
        setrlimit(RLIMIT_CORE, &none) != 0 || setrlimit(RLIMIT_CPU, &cpu) != 0 ||
        setrlimit(RLIMIT_NOFILE, &files) != 0 || chdir("/") != 0)
      _exit(127);
    // Never root: the raw system calls change this process alone, which is all there is of it.
    if (user.change && (syscall(SYS_setgroups, 0, nullptr) != 0 ||
                        syscall(SYS_setresgid, user.gid, user.gid, user.gid) != 0 ||
                        syscall(SYS_setresuid, user.uid, user.uid, user.uid) != 0))
      _exit(127);
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) _exit(127);
    sigset_t all;
    sigemptyset(&all);
    sigprocmask(SIG_SETMASK, &all, nullptr);
    execve(program, const_cast<char* const*>(argv), const_cast<char* const*>(environment));
    _exit(127);
  }
  close(file), close(null), close(in[0]), close(out[1]);
  // Room in the pipe for a whole label, so that the renderer goes on with the next page at once.
  fcntl(out[0], F_SETPIPE_SZ, 1 << 20);
  r->commands = in[1], r->answers = out[0];
  if (pid < 0) return false;
  r->pid = pid;
  return true;
}

// 'fill()' - more of the renderer's answers, within the deadline; false when it has ended, the job
// is cancelled or the deadline has passed.
bool fill(pappl_job_t* job, renderer* r, int64_t deadline) {
  for (;;) {
    if (papplJobIsCanceled(job)) return false;
    const int64_t left = deadline - monotonicMilliseconds();
    if (left <= 0) return false;
    pollfd ready = {r->answers, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(std::min<int64_t>(left, 100))) <= 0) continue;
    char buffer[65536];
    const ssize_t count = read(r->answers, buffer, sizeof buffer);
    if (count <= 0) return false;
    r->pending.append(buffer, static_cast<size_t>(count));
    return true;
  }
}

// 'answerLine()' - the renderer's next answer line, without its newline.
bool answerLine(pappl_job_t* job, renderer* r, int64_t deadline, std::string* line) {
  size_t end;
  while ((end = r->pending.find('\n')) == std::string::npos)
    if (r->pending.size() > 4096 || !fill(job, r, deadline)) return false;
  *line = r->pending.substr(0, end);
  r->pending.erase(0, end + 1);
  return true;
}

// 'receivePixels()' - the next 'length' bytes of answers, into 'pixels'.
bool receivePixels(pappl_job_t* job, renderer* r, unsigned char* pixels, size_t length, int64_t deadline) {
  size_t got = std::min(length, r->pending.size());
  std::memcpy(pixels, r->pending.data(), got);
  r->pending.erase(0, got);
  while (got < length) {
    if (papplJobIsCanceled(job) || monotonicMilliseconds() >= deadline) return false;
    pollfd ready = {r->answers, POLLIN, 0};
    if (poll(&ready, 1, 100) <= 0) continue;
    const ssize_t count = read(r->answers, pixels + got, length - got);
    if (count <= 0) return false;
    got += static_cast<size_t>(count);
  }
  return true;
}

// 'send()' - a command to the renderer.
bool send(renderer* r, const std::string& command) {
  const std::string line = command + "\n";
  return write(r->commands, line.data(), line.size()) == static_cast<ssize_t>(line.size());
}

// 'askRender()' - ask for a region of a page: 'width' x 'height' dots at (x, y) at 'dpi'.
bool askRender(renderer* r, int page, double dpi, long x, long y, uint32_t width, uint32_t height) {
  char command[160];
  std::snprintf(command, sizeof command, "render %d %.4f %ld %ld %u %u", page, dpi, x, y, width, height);
  return send(r, command);
}

// A document being printed: two renderers work ahead of the printing, each on every other page, so
// that a page is rendered while the one before is sent. The time the printing waits for them is
// counted against the document's limit.
struct pdfDocument {
  pappl_job_t* job;
  renderer workers[2];
  int pages = 0;
  int asked = 0;  // pages whose render has been asked for
  placement placements[2];
  std::string problem;
  int64_t limitMilliseconds = 0;   // the document's time limit
  int64_t waitedMilliseconds = 0;  // what the printing has waited for the renderers so far
};

// 'awaitAnswer()' - wait for a renderer's answer through 'wait', which is given its deadline: a page's
// time, or what is left of the document's, whichever is sooner. The time waited is counted.
template <typename wait_t>
bool awaitAnswer(pdfDocument* d, wait_t wait) {
  const int64_t start = monotonicMilliseconds();
  const int64_t left = d->limitMilliseconds - d->waitedMilliseconds;
  const bool answered = wait(start + std::min<int64_t>(int64_t{kPdfPageSeconds} * 1000, left));
  d->waitedMilliseconds += monotonicMilliseconds() - start;
  return answered;
}

// 'why()' - the renderer's own words for an answer that is not the one asked for.
std::string why(const std::string& answer) {
  return answer.rfind("error ", 0) == 0 ? answer.substr(6) : "The renderer did not answer in time.";
}

// 'collectRender()' - the image a render asked for.
bool collectRender(pdfDocument* d, renderer* r, uint32_t width, uint32_t height, greyImage* image) {
  std::string answer;
  unsigned w = 0, h = 0;
  const bool received = awaitAnswer(d, [&](int64_t late) {
    if (!answerLine(d->job, r, late, &answer) || std::sscanf(answer.c_str(), "image %u %u", &w, &h) != 2 ||
        w != width || h != height)
      return false;
    image->width = w, image->height = h;
    image->pixels.resize(size_t{w} * h);
    answer.clear();
    return receivePixels(d->job, r, image->pixels.data(), image->pixels.size(), late);
  });
  if (!received) d->problem = why(answer);
  return received;
}

// 'askPage()' - place the next page on the label and ask its renderer for it (a look at a sheet much
// larger than the label first tells where its ink is).
bool askPage(pdfDocument* d, const pappl_pr_options_t& options, uint32_t labelWidth, uint32_t labelHeight) {
  const int page = d->asked++;
  renderer* r = &d->workers[page % 2];
  std::string answer;
  double width = 0, height = 0;
  if (!send(r, "size " + std::to_string(page)) ||
      !awaitAnswer(d, [&](int64_t late) { return answerLine(d->job, r, late, &answer); }) ||
      std::sscanf(answer.c_str(), "size %lf %lf", &width, &height) != 2 || width <= 0 || height <= 0) {
    d->problem = why(answer);
    return false;
  }
  const int dpi = options.printer_resolution[0] > 0 ? options.printer_resolution[0] : 203;
  inkBox ink{0, 0, 0, 0};
  const double labelArea = double(labelWidth) * labelHeight / (double(dpi) * dpi) * 72 * 72;
  if (options.print_scaling == PAPPL_SCALING_AUTO && width * height >= kSheetAreas * labelArea) {
    const uint32_t lookWidth = uint32_t(std::ceil(width / 72 * kInkLookDpi));
    const uint32_t lookHeight = uint32_t(std::ceil(height / 72 * kInkLookDpi));
    greyImage look;
    if (size_t{lookWidth} * lookHeight <= (size_t{8} << 20) &&
        askRender(r, page, kInkLookDpi, 0, 0, lookWidth, lookHeight) &&
        collectRender(d, r, lookWidth, lookHeight, &look)) {
      ink = findInk(look);
      const double pointsPerDot = 72 / kInkLookDpi;
      ink = {ink.x * pointsPerDot, ink.y * pointsPerDot, ink.width * pointsPerDot, ink.height * pointsPerDot};
    }
  }
  const placement p = placePage(width, height, 72, ink, labelWidth, labelHeight, dpi, options.print_scaling);
  d->placements[page % 2] = p;
  return askRender(r, page, p.dotsPerUnit * 72, std::lround(p.cropX * p.dotsPerUnit),
                   std::lround(p.cropY * p.dotsPerUnit), p.rotate ? p.height : p.width,
                   p.rotate ? p.width : p.height);
}

// 'drawPage()' - a page of the document on the label; the renderers are kept two pages ahead.
bool drawPage(pdfDocument* d, int page, const pappl_pr_options_t& options, greyImage* label) {
  while (d->asked < std::min(page + 2, d->pages))
    if (!askPage(d, options, label->width, label->height)) return false;
  const placement p = d->placements[page % 2];
  greyImage part;
  if (!collectRender(d, &d->workers[page % 2], p.rotate ? p.height : p.width, p.rotate ? p.width : p.height,
                     &part))
    return false;
  if (d->asked < d->pages && !askPage(d, options, label->width, label->height)) return false;
  drawOnLabel(part, 0, 0, 1, p, label);
  return true;
}

}  // namespace

bool labelFilterPDF(pappl_job_t* job, pappl_device_t* device, void* data) {
  const appConfig* config = static_cast<const appConfig*>(data);
  const char* document = papplJobGetFilename(job);
  pdfDocument d;
  d.job = job;
  d.limitMilliseconds = int64_t{config->pdfSeconds} * 1000;
  for (renderer& worker : d.workers)
    if (config->rendererPath.empty() || document == nullptr ||
        !startRenderer(config->rendererPath.c_str(), document, config->pdfSeconds, &worker))
      return failJob(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Unable to start the PDF renderer.");
  for (renderer& worker : d.workers) {
    std::string answer;
    int pages = 0;
    if (!awaitAnswer(&d, [&](int64_t late) { return answerLine(job, &worker, late, &answer); }) ||
        std::sscanf(answer.c_str(), "pages %d", &pages) != 1 || pages < 1) {
      const bool said = answer.rfind("error ", 0) == 0;
      return failJob(job, said ? PAPPL_JREASON_DOCUMENT_FORMAT_ERROR : PAPPL_JREASON_ABORTED_BY_SYSTEM,
                     said ? answer.substr(6).c_str() : "The PDF renderer ended without an answer.");
    }
    d.pages = pages;
  }
  int printedPages = 0;
  const bool printed =
      printPages(job, device, d.pages, [&](int page, const pappl_pr_options_t& options, greyImage* label) {
        printedPages = page;
        return drawPage(&d, page, options, label);
      });
  if (!printed && d.waitedMilliseconds >= d.limitMilliseconds) {
    char message[256];
    std::snprintf(message, sizeof message,
                  "The PDF document took longer than its %d seconds to render (pdf-time-limit); %d of its "
                  "%d pages printed.",
                  config->pdfSeconds, printedPages, d.pages);
    return failJob(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, message);
  }
  if (!printed && !d.problem.empty())
    return failJob(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
                   ("Page of the PDF document not printed: " + d.problem).c_str());
  return printed;
}
