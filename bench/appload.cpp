// SPDX-License-Identifier: Apache-2.0
// appload: the Printer Application under load, for bench/app-load.sh. It sends JOBS jobs at once,
// spread over the printers named, each from a thread of its own (a raster stream or a document in the
// label command language, in turn; a busy printer is asked again), while two other clients keep
// asking the printers for their attributes; then it waits until every job has ended.
//
//   appload PORT JOBS RASTER COMMANDS PRINTER...
//
// It prints the jobs per second from the first submission until the last job ended, and the slowest
// and median answers to Get-Printer-Attributes; its status is 0 when every job was accepted and every
// question answered.
#include <cups/cups.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using clock_ = std::chrono::steady_clock;

ipp_t* request(ipp_op_t op, int port, const std::string& printer) {
  ipp_t* r = ippNewRequest(op);
  const std::string uri = "ipp://127.0.0.1:" + std::to_string(port) + "/ipp/print/" + printer;
  ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
  ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "bench");
  return r;
}

// 'send()' - one IPP request on a connection of its own; the response's status.
ipp_status_t send(int port, ipp_t* r, const std::string& printer, const char* file, ipp_t** response) {
  http_t* http = httpConnect2("127.0.0.1", port, nullptr, AF_INET, HTTP_ENCRYPTION_NEVER, 1, 30000, nullptr);
  ipp_t* answer = cupsDoFileRequest(http, r, ("/ipp/print/" + printer).c_str(), file);
  const ipp_status_t status = answer != nullptr ? ippGetStatusCode(answer) : cupsLastError();
  if (response != nullptr)
    *response = answer;
  else
    ippDelete(answer);
  httpClose(http);
  return status;
}

// 'activeJobs()' - the printer's jobs that have not ended.
int activeJobs(int port, const std::string& printer) {
  ipp_t* r = request(IPP_OP_GET_JOBS, port, printer);
  ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "not-completed");
  ipp_t* response = nullptr;
  send(port, r, printer, nullptr, &response);
  int count = 0;
  for (ipp_attribute_t* a = ippFirstAttribute(response); a != nullptr; a = ippNextAttribute(response))
    count += ippGetName(a) != nullptr && std::string(ippGetName(a)) == "job-id";
  ippDelete(response);
  return count;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: appload PORT JOBS RASTER COMMANDS PRINTER...\n");
    return 1;
  }
  const int port = std::atoi(argv[1]), jobs = std::atoi(argv[2]);
  const char *raster = argv[3], *commands = argv[4];
  const std::vector<std::string> printers(argv + 5, argv + argc);
  std::atomic<int> accepted{0}, busy{0}, unanswered{0};
  std::atomic<bool> done{false};
  std::mutex mutex;
  std::vector<double> answers;  // seconds

  const auto start = clock_::now();
  std::vector<std::thread> pollers;
  for (int k = 0; k < 2; ++k)
    pollers.emplace_back([&, k] {
      for (size_t i = k; !done.load(); ++i) {
        const std::string& printer = printers[i % printers.size()];
        const auto asked = clock_::now();
        ipp_t* response = nullptr;
        send(port, request(IPP_OP_GET_PRINTER_ATTRIBUTES, port, printer), printer, nullptr, &response);
        const double seconds = std::chrono::duration<double>(clock_::now() - asked).count();
        unanswered += ippFindAttribute(response, "printer-state", IPP_TAG_ENUM) == nullptr;
        ippDelete(response);
        std::lock_guard<std::mutex> lock(mutex);
        answers.push_back(seconds);
      }
    });
  std::vector<std::thread> clients;
  for (int j = 0; j < jobs; ++j)
    clients.emplace_back([&, j] {
      const std::string& printer = printers[j % printers.size()];
      const bool streams = j / printers.size() % 2 == 0;
      for (int attempt = 0; attempt < 600; ++attempt) {
        ipp_t* r = request(IPP_OP_PRINT_JOB, port, printer);
        ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                     streams ? "image/pwg-raster" : "application/vnd.label-commands");
        const ipp_status_t status = send(port, r, printer, streams ? raster : commands, nullptr);
        if (status != IPP_STATUS_ERROR_BUSY) {
          accepted += status < IPP_STATUS_REDIRECTION_OTHER_SITE;
          return;
        }
        ++busy;
        usleep(100000);
      }
    });
  for (std::thread& t : clients) t.join();
  for (bool ended = false; !ended;) {
    ended = true;
    for (const std::string& printer : printers) ended = ended && activeJobs(port, printer) == 0;
    if (!ended) usleep(20000);
  }
  const double seconds = std::chrono::duration<double>(clock_::now() - start).count();
  done = true;
  for (std::thread& t : pollers) t.join();
  std::sort(answers.begin(), answers.end());
  std::printf("%d jobs to %zu printers: %d accepted (%d busy answers asked again), %.1f jobs/s\n", jobs,
              printers.size(), accepted.load(), busy.load(), jobs / seconds);
  if (!answers.empty())
    std::printf("Get-Printer-Attributes meanwhile: %zu answers, median %.1f ms, slowest %.1f ms\n",
                answers.size(), 1000 * answers[answers.size() / 2], 1000 * answers.back());
  return accepted.load() == jobs ? 0 : 1;
}
