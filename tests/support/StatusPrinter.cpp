// SPDX-License-Identifier: Apache-2.0
#include "support/StatusPrinter.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/Loopback.h"

namespace {

// One open connection: its bytes so far and how far they have been searched for queries.
struct openConnection {
  int fd;
  std::string received;
  size_t searched;
};

// 'sendAll()' - write the whole of 'data' to a connection, in pieces when asked; false when the other
// end has gone.
bool sendAll(int fd, const std::string& data, size_t pieceBytes) {
  const size_t piece = pieceBytes == 0 ? data.size() : pieceBytes;
  for (size_t at = 0; at < data.size();) {
    const ssize_t n = send(fd, data.data() + at, std::min(piece, data.size() - at), MSG_NOSIGNAL);
    if (n <= 0) return false;
    at += static_cast<size_t>(n);
    if (pieceBytes != 0 && at < data.size()) usleep(5000);
  }
  return true;
}

// 'answerQueries()' - answer each query that has arrived whole since the last search.
void answerQueries(statusPrinter* printer, openConnection* connection) {
  for (;;) {
    const size_t status = connection->received.find("~HS", connection->searched);
    const size_t identify = connection->received.find("~HI", connection->searched);
    const size_t found = std::min(status, identify);
    if (found == std::string::npos) {
      connection->searched = connection->received.size() < 2 ? 0 : connection->received.size() - 2;
      return;
    }
    connection->searched = found + 3;
    std::string answer;
    bool silent = false;
    size_t pieceBytes = 0;
    {
      std::lock_guard<std::mutex> lock(printer->mutex);
      if (found == status) {
        ++printer->queries;
        answer = printer->answer;
        silent = printer->silent;
        pieceBytes = printer->pieceBytes;
      } else {
        answer = printer->identity;
        silent = answer.empty();
      }
    }
    if (!silent) sendAll(connection->fd, answer, pieceBytes);
  }
}

// 'serve()' - the printer's loop: any number of connections at once, each recorded when it ends.
void serve(statusPrinter* printer) {
  std::vector<openConnection> open;
  for (;;) {
    std::vector<pollfd> fds = {{printer->wakeup[0], POLLIN, 0}, {printer->listener, POLLIN, 0}};
    for (const openConnection& c : open) fds.push_back({c.fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) continue;
    if (fds[0].revents != 0) break;
    for (size_t i = open.size(); i-- > 0;) {
      if (fds[i + 2].revents == 0) continue;
      char buffer[65536];
      const ssize_t r = read(open[i].fd, buffer, sizeof buffer);
      if (r > 0) {
        open[i].received.append(buffer, static_cast<size_t>(r));
        answerQueries(printer, &open[i]);
        continue;
      }
      close(open[i].fd);
      std::lock_guard<std::mutex> lock(printer->mutex);
      printer->connections.push_back(std::move(open[i].received));
      open.erase(open.begin() + static_cast<std::ptrdiff_t>(i));
    }
    if (fds[1].revents != 0) {
      const int fd = accept(printer->listener, nullptr, nullptr);
      if (fd >= 0) open.push_back({fd, {}, 0});
    }
  }
  for (openConnection& c : open) close(c.fd);
}

}  // namespace

bool startStatusPrinter(const std::string& answer, statusPrinter* printer) {
  printer->answer = answer;
  if (!openLoopbackListener(0, &printer->listener, &printer->port, printer->wakeup)) return false;
  printer->thread = std::thread(serve, printer);
  return true;
}

void stopStatusPrinter(statusPrinter* printer) {
  closeLoopbackListener(&printer->thread, &printer->listener, printer->wakeup);
}

void setStatusScript(statusPrinter* printer, const std::string& answer, bool silent, size_t pieceBytes) {
  std::lock_guard<std::mutex> lock(printer->mutex);
  printer->answer = answer;
  printer->silent = silent;
  printer->pieceBytes = pieceBytes;
}

int statusQueries(statusPrinter* printer) {
  std::lock_guard<std::mutex> lock(printer->mutex);
  return printer->queries;
}

std::vector<std::string> statusConnections(statusPrinter* printer) {
  std::lock_guard<std::mutex> lock(printer->mutex);
  return printer->connections;
}

std::string hostStatusAnswer(const hostStatus& s) {
  char text[256];
  const int n = std::snprintf(text, sizeof text,
                              "\002030,%d,%d,%04d,%03d,%d,%d,%d,000,%d,%d,%d\003\r\n"
                              "\002001,0,%d,%d,%d,%d,0,%d,%08d,%d,%03d\003\r\n"
                              "\0021234,0\003\r\n",
                              s.paperOut, s.paused, s.labelLength, s.formatsWaiting, s.bufferFull,
                              s.diagnosticMode, s.partialFormat, s.corruptMemory, s.underTemperature,
                              s.overTemperature, s.headOpen, s.ribbonOut, s.thermalTransfer, s.printMode,
                              s.labelWaiting, s.labelsRemaining, s.formatPrinting, s.graphicsStored);
  return std::string(text, static_cast<size_t>(n));
}

hostStatus readyStatus() {
  hostStatus s{};
  s.labelLength = 1218;
  s.thermalTransfer = 1;
  s.printMode = 2;
  return s;
}

void setIdentity(statusPrinter* printer, const std::string& identity) {
  std::lock_guard<std::mutex> lock(printer->mutex);
  printer->identity = identity;
}

std::string identityAnswer(int dotsPerMm, const std::string& model, const std::string& version) {
  return "\002" + model + "," + version + "," + std::to_string(dotsPerMm) + ",8192KB,\003\r\n";
}
