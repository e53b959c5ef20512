// SPDX-License-Identifier: Apache-2.0
// applongrun: a long run of small jobs through one printer of the Printer Application, for
// bench/app-long-run.sh. It sends JOBS jobs one after another on one connection, each a copy of
// DOCUMENT in FORMAT, never more than WINDOW of them unfinished (a client that sends without waiting
// measures how long the queue grows rather than how fast jobs print), and after every EVERY jobs waits
// until the printer has no job left and the spool folder holds no job's file, then reads the server's
// resident memory, threads and open files (from /proc/PID), the spool folder's files and the state
// file's size.
//
//   applongrun PORT PRINTER JOBS EVERY WINDOW PID SPOOL STATE DOCUMENT FORMAT
//
// It prints one row for each sample and then the growth from the first sample to the last; its status
// is 0 when every job was accepted, the printer ended them all, and no finished job's file was left.
//
//   applongrun printer COUNT MARKER
//
// is the fake printer: it listens on 127.0.0.1 (the port on standard output), reads each connection to
// its end as fast as it comes, and keeps in the file COUNT how often MARKER has arrived.
#include <arpa/inet.h>
#include <cups/cups.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using clock_ = std::chrono::steady_clock;

// What the server holds after a drained batch.
struct sample {
  int jobs = 0;
  double seconds = 0;
  long rssKiB = 0;
  long threads = 0;
  long files = 0;       // open file descriptors
  long spoolFiles = 0;  // the spool folder's entries
  long stateBytes = 0;
};

// 'statusValue()' - a field of /proc/PID/status, in its own units (kB for memory); -1 when absent.
long statusValue(int pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.compare(0, field.size() + 1, field + ":") == 0)
      return std::atol(line.c_str() + field.size() + 1);
  return -1;
}

// 'entries()' - the entries of a folder, without "." and ".."; -1 when it cannot be read.
long entries(const std::string& folder) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return -1;
  long count = 0;
  while (const dirent* entry = readdir(dir))
    count += std::string(entry->d_name) != "." && std::string(entry->d_name) != "..";
  closedir(dir);
  return count;
}

ipp_t* request(ipp_op_t op, const std::string& uri) {
  ipp_t* r = ippNewRequest(op);
  ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
  ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "bench");
  return r;
}

// 'unfinishedJobs()' - the printer's jobs that have not ended; -1 when the server does not answer.
int unfinishedJobs(http_t* http, const std::string& uri, const std::string& resource) {
  ipp_t* r = request(IPP_OP_GET_JOBS, uri);
  ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "not-completed");
  ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, "job-id");
  ipp_t* response = cupsDoRequest(http, r, resource.c_str());
  if (response == nullptr) return -1;
  int count = 0;
  for (ipp_attribute_t* a = ippFirstAttribute(response); a != nullptr; a = ippNextAttribute(response))
    count += ippGetName(a) != nullptr && std::string(ippGetName(a)) == "job-id";
  ippDelete(response);
  return count;
}

// 'awaitFewerThan()' - wait until the printer has fewer than 'limit' jobs unfinished; false after two
// minutes without.
bool awaitFewerThan(int limit, http_t* http, const std::string& uri, const std::string& resource) {
  const auto deadline = clock_::now() + std::chrono::seconds(120);
  while (unfinishedJobs(http, uri, resource) >= limit)
    if (clock_::now() >= deadline)
      return false;
    else
      usleep(1000);
  return true;
}

// 'writeCount()' - the count in the file, replaced whole.
void writeCount(const std::string& path, long count) {
  const std::string temporary = path + ".new";
  if (FILE* f = std::fopen(temporary.c_str(), "w")) {
    std::fprintf(f, "%ld\n", count);
    std::fclose(f);
    std::rename(temporary.c_str(), path.c_str());
  }
}

// 'runPrinter()' - the fake printer; it runs until it is killed.
int runPrinter(const std::string& countPath, const std::string& marker) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener < 0 || marker.empty() || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener, 16) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("applongrun printer");
    return 1;
  }
  std::printf("%d\n", ntohs(address.sin_port));
  std::fflush(stdout);
  long count = 0;
  auto written = clock_::now();
  std::vector<char> buffer(65536);
  for (;;) {
    const int connection = accept(listener, nullptr, nullptr);
    if (connection < 0) continue;
    std::string data;  // what has not been searched yet: at most the marker's length less one byte
    for (ssize_t got; (got = read(connection, buffer.data(), buffer.size())) > 0;) {
      data.append(buffer.data(), static_cast<size_t>(got));
      for (size_t at = data.find(marker); at != std::string::npos; at = data.find(marker, at + 1)) ++count;
      data.erase(0, data.size() - std::min(data.size(), marker.size() - 1));
      if (clock_::now() - written > std::chrono::milliseconds(200)) {
        writeCount(countPath, count);
        written = clock_::now();
      }
    }
    close(connection);
    writeCount(countPath, count);
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc == 4 && std::string(argv[1]) == "printer") return runPrinter(argv[2], argv[3]);
  if (argc != 11) {
    std::fprintf(stderr,
                 "usage: applongrun PORT PRINTER JOBS EVERY WINDOW PID SPOOL STATE DOCUMENT FORMAT\n");
    return 2;
  }
  const int port = std::atoi(argv[1]), jobs = std::atoi(argv[3]), every = std::max(1, std::atoi(argv[4])),
            window = std::max(1, std::atoi(argv[5])), pid = std::atoi(argv[6]);
  const std::string printer = argv[2], spool = argv[7], state = argv[8];
  const char *document = argv[9], *format = argv[10];
  const std::string resource = "/ipp/print/" + printer;
  const std::string uri = "ipp://127.0.0.1:" + std::to_string(port) + resource;
  http_t* http = httpConnect2("127.0.0.1", port, nullptr, AF_INET, HTTP_ENCRYPTION_NEVER, 1, 30000, nullptr);
  if (http == nullptr) {
    std::fprintf(stderr, "applongrun: no server at port %d\n", port);
    return 1;
  }
  std::vector<sample> samples;
  int refused = 0;
  bool leftFiles = false, stuck = false;
  const auto start = clock_::now();
  std::printf("%8s %8s %7s %9s %7s %5s %5s %9s\n", "jobs", "seconds", "jobs/s", "RSS KiB", "threads", "files",
              "spool", "state B");
  for (int j = 1; j <= jobs; ++j) {
    ipp_t* r = request(IPP_OP_PRINT_JOB, uri);
    ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, format);
    ipp_t* response = cupsDoFileRequest(http, r, resource.c_str(), document);
    refused += response == nullptr || ippGetStatusCode(response) >= IPP_STATUS_REDIRECTION_OTHER_SITE;
    ippDelete(response);
    if (j % window == 0 && !awaitFewerThan(window, http, uri, resource)) stuck = true;
    if (j % every != 0 && j != jobs) continue;
    // Drained: no job left, and the files of the last ones removed (the attributes' files of queued
    // jobs go with the next save of the state).
    if (!awaitFewerThan(1, http, uri, resource)) stuck = true;
    const auto settled = clock_::now() + std::chrono::seconds(2);
    while (entries(spool) > 0 && clock_::now() < settled) usleep(10000);
    // A job's thread ends, and closes the printer's connection, just after the job: the fewest seen
    // within a second, or at once when they are down to the first sample's.
    sample s;
    s.jobs = j;
    s.threads = s.files = LONG_MAX;
    for (const auto deadline = clock_::now() + std::chrono::seconds(1); clock_::now() < deadline;
         usleep(10000)) {
      s.threads = std::min(s.threads, statusValue(pid, "Threads"));
      s.files = std::min(s.files, entries("/proc/" + std::to_string(pid) + "/fd"));
      if (!samples.empty() && s.threads <= samples.front().threads && s.files <= samples.front().files) break;
    }
    s.seconds = std::chrono::duration<double>(clock_::now() - start).count();
    s.rssKiB = statusValue(pid, "VmRSS");
    s.spoolFiles = entries(spool);
    struct stat info;
    s.stateBytes = stat(state.c_str(), &info) == 0 ? static_cast<long>(info.st_size) : -1;
    leftFiles = leftFiles || s.spoolFiles != 0;
    const double rate = samples.empty()
                            ? s.jobs / s.seconds
                            : (s.jobs - samples.back().jobs) / (s.seconds - samples.back().seconds);
    std::printf("%8d %8.1f %7.0f %9ld %7ld %5ld %5ld %9ld\n", s.jobs, s.seconds, rate, s.rssKiB, s.threads,
                s.files, s.spoolFiles, s.stateBytes);
    std::fflush(stdout);
    samples.push_back(s);
  }
  httpClose(http);
  const sample& first = samples.front();
  const auto range = [&](long sample::*field) {
    long low = first.*field, high = first.*field;
    for (const sample& s : samples) low = std::min(low, s.*field), high = std::max(high, s.*field);
    return std::to_string(low) + ".." + std::to_string(high);
  };
  std::printf("%d jobs, %d refused, in %.0f s; from %d jobs to %d: RSS %+ld KiB (%.1f bytes a job)\n", jobs,
              refused, samples.back().seconds, first.jobs, samples.back().jobs,
              samples.back().rssKiB - first.rssKiB,
              samples.size() > 1
                  ? 1024.0 * (samples.back().rssKiB - first.rssKiB) / (samples.back().jobs - first.jobs)
                  : 0.0);
  std::printf("threads %s, open files %s, spool files %s, state file %s bytes\n",
              range(&sample::threads).c_str(), range(&sample::files).c_str(),
              range(&sample::spoolFiles).c_str(), range(&sample::stateBytes).c_str());
  return refused == 0 && !leftFiles && !stuck ? 0 : 1;
}
