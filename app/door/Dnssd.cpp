// SPDX-License-Identifier: Apache-2.0
// Network discovery without a DNS-SD daemon. When no daemon runs, the framework still asks the DNS-SD
// library for a service browser with the client it failed to make, and the library aborts the whole
// process on that: the device list (the "devices" subcommand, the web page that adds a printer) would
// end the server. These two functions stand before the library's own: without a client there is no
// browser, which the framework reports as "Unable to create service browser" and lists the other
// devices; with one, the library's functions are called as they are. The printers that the framework
// finds by DNS-SD and SNMP are opened through the application's own network device.
#include <dlfcn.h>

#include <string>

#include "app/door/door.h"

namespace {

template <typename Function>
Function libraryFunction(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

// The library's types are opaque pointers and enumerations, passed here as such.
void* avahi_service_browser_new(void* client, int interface, int protocol, const char* type,
                                const char* domain, int flags, void* callback, void* userdata) {
  using browserNew = void* (*)(void*, int, int, const char*, const char*, int, void*, void*);
  if (client == nullptr) return nullptr;
  const auto next = libraryFunction<browserNew>("avahi_service_browser_new");
  return next != nullptr ? next(client, interface, protocol, type, domain, flags, callback, userdata)
                         : nullptr;
}

int avahi_service_browser_free(void* browser) {
  using browserFree = int (*)(void*);
  if (browser == nullptr) return 0;
  const auto next = libraryFunction<browserFree>("avahi_service_browser_free");
  return next != nullptr ? next(browser) : 0;
}

// A printer found by DNS-SD or SNMP (dnssd://, snmp://) is written as a socket:// one: the framework's
// own device for them waits without limit to connect and to write, under the printer's lock.
pappl_device_t* papplDeviceOpen(const char* uri, const char* name, pappl_deverror_cb_t error, void* data) {
  using deviceOpen = pappl_device_t* (*)(const char*, const char*, pappl_deverror_cb_t, void*);
  const std::string own = discoveredDeviceUri(uri);
  return frameworkFunction<deviceOpen>("papplDeviceOpen")(own.empty() ? uri : own.c_str(), name, error, data);
}
}
