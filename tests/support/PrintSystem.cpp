// SPDX-License-Identifier: Apache-2.0
#include "support/PrintSystem.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "support/Process.h"

std::string makeTemporaryDirectory(const std::string& name) {
  std::string path = temporaryPath(name + "-XXXXXX");
  if (mkdtemp(path.data()) == nullptr) return "";
  chmod(path.c_str(), 0755);
  return path;
}

void removeTree(const std::string& path) {
  std::error_code ignored;
  if (!path.empty()) std::filesystem::remove_all(path, ignored);
}

void makeServerBin(const std::string& path) {
  namespace fs = std::filesystem;
  const fs::path system = LABEL_CUPS_SERVERBIN;
  const fs::path filters = fs::path(path) / "filter";
  fs::create_directories(filters);
  fs::create_directories(fs::path(path) / "backend");
  for (const auto& entry : fs::directory_iterator(system / "filter"))
    if (entry.path().filename() != "rastertoxxx")
      fs::create_symlink(entry.path(), filters / entry.path().filename());
  // The scheduler runs only filters that no one but their owner may change.
  fs::copy_file(RASTERTOXXX_PATH, filters / "rastertoxxx");
  chmod((filters / "rastertoxxx").c_str(), 0755);
  fs::create_symlink(system / "backend" / "socket", fs::path(path) / "backend" / "socket");
  fs::create_symlink(system / "daemon", fs::path(path) / "daemon");
  for (const auto& folder : {fs::path(path), filters, fs::path(path) / "backend"})
    chmod(folder.c_str(), 0755);
}

int freeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  close(fd);
  return port;
}

bool startBackground(const std::vector<std::string>& argv, const std::string& logPath,
                     backgroundProcess* process) {
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // Die with the test: nothing stays behind if the test process is killed.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    dup2(log, 1);
    dup2(log, 2);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  process->pid = pid;
  return true;
}

bool isRunning(backgroundProcess* process) {
  if (process->pid <= 0) return false;
  if (waitpid(process->pid, nullptr, WNOHANG) == 0) return true;
  process->pid = -1;
  return false;
}

void stopBackground(backgroundProcess* process, int graceSeconds) {
  if (process->pid <= 0) return;
  kill(process->pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(graceSeconds);
  while (waitpid(process->pid, nullptr, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(process->pid, SIGKILL);
      waitpid(process->pid, nullptr, 0);
      break;
    }
    usleep(20000);
  }
  process->pid = -1;
}

namespace {

// 'serve()' - the fake printer's loop: one connection at a time, read to its end, then recorded.
void serve(fakePrinter* printer) {
  for (;;) {
    pollfd fds[2] = {{printer->listener, POLLIN, 0}, {printer->wakeup[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents != 0) return;
    const int connection = accept(printer->listener, nullptr, nullptr);
    if (connection < 0) continue;
    std::string received;
    char buffer[65536];
    for (;;) {
      const size_t left = printer->takes - std::min(printer->takes, received.size());
      if (left == 0 && printer->hangsUp) break;
      // A printer that has stopped reading holds the connection until it is stopped.
      pollfd in[2] = {{connection, static_cast<short>(left > 0 ? POLLIN : 0), 0},
                      {printer->wakeup[0], POLLIN, 0}};
      if (poll(in, 2, -1) < 0) continue;
      if (in[1].revents != 0) {
        close(connection);
        return;
      }
      if (left == 0) continue;
      const ssize_t r = read(connection, buffer, std::min(sizeof buffer, left));
      if (r <= 0) break;
      received.append(buffer, static_cast<size_t>(r));
      if (printer->pauseMicroseconds > 0) usleep(printer->pauseMicroseconds);
    }
    close(connection);
    // A connection that only asked for the printer's status is no print job; this printer never answers.
    if (received == "~HS") continue;
    std::lock_guard<std::mutex> lock(printer->mutex);
    if (!printer->counts.empty())
      for (size_t at = received.find(printer->counts); at != std::string::npos;
           at = received.find(printer->counts, at + 1))
        ++printer->found;
    if (!printer->keeps) continue;
    printer->connections.push_back(received);
    writeFile(printer->directory + "/connection-" + std::to_string(printer->connections.size()) + ".prn",
              received);
  }
}

}  // namespace

bool startFakePrinter(const std::string& directory, fakePrinter* printer, int port) {
  printer->directory = directory;
  if (!openLoopbackListener(port, &printer->listener, &printer->port, printer->wakeup)) return false;
  printer->thread = std::thread(serve, printer);
  return true;
}

void stopFakePrinter(fakePrinter* printer) {
  closeLoopbackListener(&printer->thread, &printer->listener, printer->wakeup);
}

std::vector<std::string> receivedConnections(fakePrinter* printer) {
  std::lock_guard<std::mutex> lock(printer->mutex);
  return printer->connections;
}

size_t countedSoFar(fakePrinter* printer) {
  std::lock_guard<std::mutex> lock(printer->mutex);
  return printer->found;
}

bool inkAt(const monoImage& image, unsigned x, unsigned y) {
  if (x >= image.width || y >= image.height) return false;
  const size_t rowBytes = (image.width + 7) / 8;
  return (image.bits[y * rowBytes + x / 8] & (0x80 >> (x % 8))) != 0;
}

bool readPgm(const std::string& pgm, monoImage* image) {
  unsigned width = 0, height = 0, maximum = 0;
  int consumed = 0;
  if (std::sscanf(pgm.c_str(), "P5 %u %u %u%n", &width, &height, &maximum, &consumed) != 3 || maximum > 255)
    return false;
  const size_t start = static_cast<size_t>(consumed) + 1;  // one white space after the maximum
  if (pgm.size() < start + static_cast<size_t>(width) * height) return false;
  const size_t rowBytes = (width + 7) / 8;
  image->width = width;
  image->height = height;
  image->bits.assign(rowBytes * height, 0);
  for (size_t y = 0; y < height; ++y)
    for (size_t x = 0; x < width; ++x)
      if (static_cast<unsigned char>(pgm[start + y * width + x]) * 2 < maximum)
        image->bits[y * rowBytes + x / 8] |= static_cast<unsigned char>(0x80 >> (x % 8));
  return true;
}

bool decodeLabel(const downloadedPage& page, unsigned width, unsigned height, monoImage* image) {
  if (page.rowBytes <= 0 || page.totalBytes % page.rowBytes != 0) return false;
  const size_t rowBytes = static_cast<size_t>(page.rowBytes);
  const size_t rows = static_cast<size_t>(page.totalBytes) / rowBytes;
  if (width > rowBytes * 8 || height > rows) return false;
  bytes bitmap;
  if (!referenceDecode(page.text, rowBytes, rows, &bitmap)) return false;
  image->width = width;
  image->height = height;
  const size_t imageRowBytes = (width + 7) / 8;
  image->bits.assign(imageRowBytes * height, 0);
  for (size_t y = 0; y < height; ++y)
    for (size_t x = 0; x < width; ++x)
      if (bitmap[y * rowBytes + x / 8] & (0x80 >> (x % 8)))
        image->bits[y * imageRowBytes + x / 8] |= 0x80 >> (x % 8);
  return true;
}

monoImage mirrored(const monoImage& image) {
  monoImage flipped{image.width, image.height, bytes(image.bits.size(), 0)};
  const size_t rowBytes = (image.width + 7) / 8;
  for (unsigned y = 0; y < image.height; ++y)
    for (unsigned x = 0; x < image.width; ++x)
      if (inkAt(image, x, y)) {
        const unsigned to = image.width - 1 - x;
        flipped.bits[y * rowBytes + to / 8] |= static_cast<unsigned char>(0x80 >> (to % 8));
      }
  return flipped;
}

double inkCoverage(const monoImage& reference, const monoImage& image, int radius) {
  size_t inked = 0, covered = 0;
  for (unsigned y = 0; y < reference.height; ++y)
    for (unsigned x = 0; x < reference.width; ++x) {
      if (!inkAt(reference, x, y)) continue;
      ++inked;
      bool found = false;
      for (int dy = -radius; dy <= radius && !found; ++dy)
        for (int dx = -radius; dx <= radius && !found; ++dx)
          found = inkAt(image, static_cast<unsigned>(static_cast<int>(x) + dx),
                        static_cast<unsigned>(static_cast<int>(y) + dy));
      if (found) ++covered;
    }
  return inked == 0 ? 0.0 : static_cast<double>(covered) / static_cast<double>(inked);
}

bool renderPdfPage(const std::string& pdf, int page, int dpi, monoImage* image) {
  const processResult r = runProcess({PDFTOPPM_PATH, "-gray", "-r", std::to_string(dpi), "-f",
                                      std::to_string(page), "-l", std::to_string(page), pdf},
                                     "");
  return r.status == 0 && readPgm(r.out, image);
}

int readNumberedLabel(const monoImage& image, int dpi, bool* mirror) {
  // A point of the drawing (in points, from the lower left) as a dot of the bitmap, mirrored or not.
  const auto at = [&](double x, double y, bool flipped) {
    if (flipped) x = 144 - x;
    return inkAt(image, static_cast<unsigned>(x * dpi / 72), static_cast<unsigned>((72 - y) * dpi / 72));
  };
  const bool plain = at(132, 36, false) && !at(132, 36, true);
  const bool flipped = at(132, 36, true) && !at(132, 36, false);
  if (plain == flipped) return 0;
  int number = 0;
  while (number < 3 && at(38 + 30 * number, 36, flipped)) ++number;
  for (int slot = number; slot < 3; ++slot)
    if (at(38 + 30 * slot, 36, flipped)) return 0;
  *mirror = flipped;
  return number;
}
