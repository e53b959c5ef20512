// SPDX-License-Identifier: Apache-2.0
// PDF documents, each page one label, rendered by the separate program label-pdf-render (poppler, in
// a process of its own: a PDF is a stranger's input and its parser is large). The renderer gets a
// bounded address space, no files to write and no more than a page's time for each answer; whatever it
// does, it ends its own job with a reason and never the server. Each page is rendered at the scale and
// over the part of the page that its placement on the label asks for, so that bars and letters are
// drawn by the renderer at the printer's dots, never resampled.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/documents/documents.h"

namespace {

// The renderer's address space, and the resolution of the look at a page for its ink.
inline constexpr rlim_t kRendererBytes = rlim_t{1} << 30;
inline constexpr double kInkLookDpi = 36;

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
bool startRenderer(const char* program, const char* document, renderer* r) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return false;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]), close(in[1]);
    return false;
  }
  const std::string pages = std::to_string(kMaxPdfPages);
  const pid_t pid = fork();
  if (pid == 0) {
    // Only what is safe between fork and exec: the limits, the pipes, the signals back to normal.
    const rlimit space = {kRendererBytes, kRendererBytes}, noFiles = {0, 0};
    setrlimit(RLIMIT_AS, &space);
    setrlimit(RLIMIT_FSIZE, &noFiles);
    setrlimit(RLIMIT_CORE, &noFiles);
    const int null = open("/dev/null", O_WRONLY);
    dup2(in[0], 0), dup2(out[1], 1), dup2(null, 2);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const char* argv[] = {program, document, pages.c_str(), nullptr};
    execv(program, const_cast<char* const*>(argv));
    _exit(127);
  }
  close(in[0]), close(out[1]);
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

// 'deadline()' - when an answer asked for now is late.
int64_t deadline() { return monotonicMilliseconds() + int64_t{kPdfPageSeconds} * 1000; }

// 'why()' - the renderer's own words for an answer that is not the one asked for.
std::string why(const std::string& answer) {
  return answer.rfind("error ", 0) == 0 ? answer.substr(6) : "The renderer did not answer in time.";
}

// 'askRender()' - ask for a region of a page: 'width' x 'height' dots at (x, y) at 'dpi'.
bool askRender(renderer* r, int page, double dpi, long x, long y, uint32_t width, uint32_t height) {
  char command[160];
  std::snprintf(command, sizeof command, "render %d %.4f %ld %ld %u %u", page, dpi, x, y, width, height);
  return send(r, command);
}

// 'collectRender()' - the image a render asked for.
bool collectRender(pappl_job_t* job, renderer* r, uint32_t width, uint32_t height, greyImage* image,
                   std::string* problem) {
  std::string answer;
  unsigned w = 0, h = 0;
  const int64_t late = deadline();
  if (!answerLine(job, r, late, &answer) || std::sscanf(answer.c_str(), "image %u %u", &w, &h) != 2 ||
      w != width || h != height) {
    *problem = why(answer);
    return false;
  }
  image->width = w, image->height = h;
  image->pixels.resize(size_t{w} * h);
  if (receivePixels(job, r, image->pixels.data(), image->pixels.size(), late)) return true;
  *problem = "The renderer did not answer in time.";
  return false;
}

// A document being printed: two renderers work ahead of the printing, each on every other page, so
// that a page is rendered while the one before is sent.
struct pdfDocument {
  pappl_job_t* job;
  renderer workers[2];
  int pages = 0;
  int asked = 0;  // pages whose render has been asked for
  placement placements[2];
  std::string problem;
};

// 'askPage()' - place the next page on the label and ask its renderer for it (a look at a sheet much
// larger than the label first tells where its ink is).
bool askPage(pdfDocument* d, const pappl_pr_options_t& options, uint32_t labelWidth, uint32_t labelHeight) {
  const int page = d->asked++;
  renderer* r = &d->workers[page % 2];
  std::string answer;
  double width = 0, height = 0;
  if (!send(r, "size " + std::to_string(page)) || !answerLine(d->job, r, deadline(), &answer) ||
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
        collectRender(d->job, r, lookWidth, lookHeight, &look, &d->problem)) {
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
  if (!collectRender(d->job, &d->workers[page % 2], p.rotate ? p.height : p.width,
                     p.rotate ? p.width : p.height, &part, &d->problem))
    return false;
  if (d->asked < d->pages && !askPage(d, options, label->width, label->height)) return false;
  drawOnLabel(part, 0, 0, 1, p, label);
  return true;
}

}  // namespace

bool labelFilterPDF(pappl_job_t* job, pappl_device_t* device, void* data) {
  const char* program = static_cast<const char*>(data);
  const char* document = papplJobGetFilename(job);
  pdfDocument d;
  d.job = job;
  for (renderer& worker : d.workers)
    if (program == nullptr || document == nullptr || !startRenderer(program, document, &worker))
      return failJob(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Unable to start the PDF renderer.");
  for (renderer& worker : d.workers) {
    std::string answer;
    int pages = 0;
    if (!answerLine(job, &worker, deadline(), &answer) ||
        std::sscanf(answer.c_str(), "pages %d", &pages) != 1 || pages < 1) {
      const bool said = answer.rfind("error ", 0) == 0;
      return failJob(job, said ? PAPPL_JREASON_DOCUMENT_FORMAT_ERROR : PAPPL_JREASON_ABORTED_BY_SYSTEM,
                     said ? answer.substr(6).c_str() : "The PDF renderer ended without an answer.");
    }
    d.pages = pages;
  }
  const bool printed =
      printPages(job, device, d.pages, [&](int page, const pappl_pr_options_t& options, greyImage* label) {
        return drawPage(&d, page, options, label);
      });
  if (!printed && !d.problem.empty())
    return failJob(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
                   ("Page of the PDF document not printed: " + d.problem).c_str());
  return printed;
}
