// SPDX-License-Identifier: Apache-2.0
#include "support/Loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

bool openLoopbackListener(int port, int* listener, int* boundPort, int wakeup[2]) {
  *listener = socket(AF_INET, SOCK_STREAM, 0);
  const int reuse = 1;
  setsockopt(*listener, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (*listener < 0 || bind(*listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(*listener, 8) != 0 ||
      getsockname(*listener, reinterpret_cast<sockaddr*>(&address), &length) != 0 || pipe(wakeup) != 0)
    return false;
  *boundPort = ntohs(address.sin_port);
  return true;
}

void closeLoopbackListener(std::thread* thread, int* listener, int wakeup[2]) {
  if (thread->joinable()) {
    if (write(wakeup[1], "x", 1) != 1) std::abort();
    thread->join();
  }
  for (int* fd : {listener, &wakeup[0], &wakeup[1]}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}
