// SPDX-License-Identifier: Apache-2.0
// A library the system tests preload into the Printer Application: every client that reaches it over
// TCP, loopback included, then looks like a client from the network (192.0.2.1 or 2001:db8::1,
// addresses kept for documentation), while its domain socket stays the machine itself. A client from
// 127.0.0.N looks like 192.0.2.N, so that a test can be several hosts. The server learns a client's
// address only through the CUPS library's httpGetAddress(), which this replaces.
#include <arpa/inet.h>
#include <cups/http.h>
#include <dlfcn.h>

extern "C" http_addr_t* httpGetAddress(http_t* http) {
  using getAddress = http_addr_t* (*)(http_t*);
  const auto next = reinterpret_cast<getAddress>(dlsym(RTLD_NEXT, "httpGetAddress"));
  http_addr_t* address = next != nullptr ? next(http) : nullptr;
  if (address == nullptr || httpAddrFamily(address) == AF_LOCAL) return address;
  // One address a thread: the framework reads it on the client's own thread.
  thread_local http_addr_t remote;
  remote = *address;
  if (httpAddrFamily(&remote) == AF_INET) {
    const uint32_t host = ntohl(remote.ipv4.sin_addr.s_addr) & 0xFF;
    inet_pton(AF_INET, "192.0.2.0", &remote.ipv4.sin_addr);
    remote.ipv4.sin_addr.s_addr = htonl(ntohl(remote.ipv4.sin_addr.s_addr) | host);
  } else {
    inet_pton(AF_INET6, "2001:db8::1", &remote.ipv6.sin6_addr);
  }
  return &remote;
}
