// SPDX-License-Identifier: Apache-2.0
// The application's network and file devices, registered in place of the framework's own. A network
// printer is written without ever blocking: each wait is a slice of a tenth of a second, after which
// the job's cancellation and the printer's progress are looked at, so that a printer that stops
// reading costs at most its stall time and a cancelled job ends at once. A file device is opened one
// path component at a time without following symbolic links, so that it writes exactly where its URI
// says, and printers get file devices only inside the folder the administrator named; its output is
// a regular file, opened without waiting (a FIFO planted there is refused at once), and in a folder a
// new file whose name the server chooses.
#include "app/devices/devices.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/address.h>
#include <avahi-common/error.h>
#include <avahi-common/simple-watch.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

// The framework's own schemes other than socket and file; it adds them only while it has none.
extern "C" void _papplDeviceAddNetworkSchemes(void);
extern "C" void _papplDeviceAddUSBScheme(void);

namespace {

inline constexpr int kSliceMilliseconds = 100;
inline constexpr int kReadMilliseconds = 1000;
inline constexpr int kMaxStallSeconds = 3600;
// The names a folder's file device tries for one job's output before it gives up.
inline constexpr int kMaxOutputNames = 1000;

// How long the DNS-SD daemon may take to resolve a printer's service to its address and port.
inline constexpr int kResolveMilliseconds = 5000;

// The application's own schemes for the printers that the framework's discovery names (dnssd://,
// snmp://): the door opens their devices through these, so that they are written as socket:// ones.
inline constexpr char kOwnDnssd[] = "label-dnssd";
inline constexpr char kOwnSnmp[] = "label-snmp";

// A connection to a network printer. The descriptor comes first: the status reader polls it. A job's
// device may be opened before its printer can be reached: its descriptor is then -1 until
// connectDevice() connects it. A printer found by DNS-SD is known by its service's name until the
// DNS-SD daemon resolves it.
struct socketDevice {
  int fd;
  int stallSeconds;               // no progress for this long ends a write
  std::atomic<pappl_job_t*> job;  // the job whose cancellation ends a wait, if any
  char address[300];              // "host:port", for messages
  char host[256];                 // "" until a service is resolved
  int port;
  char service[256];  // the DNS-SD service instance, "" for a printer named by its host
  char reason[300];   // why the last connection failed
};

// Whether this thread's network devices may open unconnected (openJobDevicesLate()).
thread_local bool tOpenLate = false;

// The parts of a device URI this file needs: its scheme, host, port, path and "?" options.
struct uriParts {
  char scheme[32];
  char host[256];
  int port;
  char path[1024];
  const char* options;  // into 'path' after its '?', or ""
};

bool splitUri(const char* uri, uriParts* parts) {
  char userpass[256];
  if (uri == nullptr || httpSeparateURI(HTTP_URI_CODING_ALL, uri, parts->scheme, sizeof parts->scheme,
                                        userpass, sizeof userpass, parts->host, sizeof parts->host,
                                        &parts->port, parts->path, sizeof parts->path) < HTTP_URI_STATUS_OK)
    return false;
  char* question = std::strchr(parts->path, '?');
  parts->options = "";
  if (question != nullptr) {
    *question = '\0';
    parts->options = question + 1;
  }
  return true;
}

// 'optionValue()' - the value of "name=value" among '&'-separated options, or nullptr.
const char* optionValue(const char* options, const char* name, char* value, size_t size) {
  const size_t length = std::strlen(name);
  for (const char* option = options; *option != '\0';) {
    const char* end = std::strchr(option, '&');
    if (end == nullptr) end = option + std::strlen(option);
    if (static_cast<size_t>(end - option) > length && std::strncmp(option, name, length) == 0 &&
        option[length] == '=') {
      std::snprintf(value, size, "%.*s", static_cast<int>(end - option - length - 1), option + length + 1);
      return value;
    }
    option = *end == '&' ? end + 1 : end;
  }
  return nullptr;
}

// 'socketOf()' - the printer's network device record, or nullptr when its device is another kind.
socketDevice* socketOf(pappl_printer_t* printer, pappl_device_t* device) {
  if (device == nullptr || !isNetworkUri(papplPrinterGetDeviceURI(printer))) return nullptr;
  return static_cast<socketDevice*>(papplDeviceGetData(device));
}

// 'unescapeService()' - a DNS-SD service name with its "\DDD" and "\C" escapes undone.
std::string unescapeService(const std::string& escaped) {
  std::string name;
  for (size_t i = 0; i < escaped.size(); ++i) {
    if (escaped[i] != '\\' || i + 1 >= escaped.size()) {
      name += escaped[i];
    } else if (i + 3 < escaped.size() && std::isdigit(static_cast<unsigned char>(escaped[i + 1])) &&
               std::isdigit(static_cast<unsigned char>(escaped[i + 2])) &&
               std::isdigit(static_cast<unsigned char>(escaped[i + 3]))) {
      name += static_cast<char>((escaped[i + 1] - '0') * 100 + (escaped[i + 2] - '0') * 10 + escaped[i + 3] -
                                '0');
      i += 3;
    } else {
      name += escaped[++i];
    }
  }
  return name;
}

// What the DNS-SD daemon answered for a service.
struct resolution {
  bool done = false;
  bool found = false;
  char address[AVAHI_ADDRESS_STR_MAX + IF_NAMESIZE + 1] = "";
  uint16_t port = 0;
};

// A link-local IPv6 address is reached through the interface it was found on ("fe80::1%eth0").
void resolved(AvahiServiceResolver*, AvahiIfIndex interface, AvahiProtocol, AvahiResolverEvent event,
              const char*, const char*, const char*, const char*, const AvahiAddress* address, uint16_t port,
              AvahiStringList*, AvahiLookupResultFlags, void* data) {
  resolution* r = static_cast<resolution*>(data);
  if (r->done) return;
  r->done = true;
  if (event != AVAHI_RESOLVER_FOUND || address == nullptr) return;
  avahi_address_snprint(r->address, sizeof r->address, address);
  char name[IF_NAMESIZE];
  if (address->proto == AVAHI_PROTO_INET6 && address->data.ipv6.address[0] == 0xFE &&
      (address->data.ipv6.address[1] & 0xC0) == 0x80 && interface >= 0 &&
      if_indextoname(static_cast<unsigned>(interface), name) != nullptr) {
    const size_t length = std::strlen(r->address);
    std::snprintf(r->address + length, sizeof r->address - length, "%%%s", name);
  }
  r->port = port;
  r->found = true;
}

// 'resolveService()' - the address and port of the printer whose DNS-SD service instance is 'instance'
// ("NAME._pdl-datastream._tcp.local.", as the framework's discovery names it), asked of the DNS-SD
// daemon within kResolveMilliseconds and given up at once when the device's job is cancelled. False
// with the reason in s->reason.
bool resolveService(socketDevice* s) {
  std::string full = s->service;
  const size_t tcp = full.find("._tcp.");
  const size_t type = tcp != std::string::npos ? full.rfind("._", tcp - 1) : std::string::npos;
  if (tcp == std::string::npos || type == std::string::npos || type == 0) {
    std::snprintf(s->reason, sizeof s->reason, "'%s' is no DNS-SD service name", s->service);
    return false;
  }
  const std::string domain = full.substr(tcp + 6), kind = full.substr(type + 1, tcp + 5 - type - 1),
                    name = unescapeService(full.substr(0, type));
  AvahiSimplePoll* poll = avahi_simple_poll_new();
  int error = 0;
  AvahiClient* client = poll != nullptr ? avahi_client_new(
                                              avahi_simple_poll_get(poll), static_cast<AvahiClientFlags>(0),
                                              [](AvahiClient*, AvahiClientState, void*) {}, nullptr, &error)
                                        : nullptr;
  resolution r;
  AvahiServiceResolver* resolver =
      client != nullptr
          ? avahi_service_resolver_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, name.c_str(),
                                       kind.c_str(), domain.c_str(), AVAHI_PROTO_UNSPEC,
                                       static_cast<AvahiLookupFlags>(0), resolved, &r)
          : nullptr;
  const int64_t deadline = monotonicMilliseconds() + kResolveMilliseconds;
  bool canceled = false;
  while (resolver != nullptr && !r.done && monotonicMilliseconds() < deadline && !canceled) {
    if (avahi_simple_poll_iterate(poll, kSliceMilliseconds) != 0) break;
    pappl_job_t* job = s->job.load();
    canceled = job != nullptr && papplJobIsCanceled(job);
  }
  if (client == nullptr)
    std::snprintf(s->reason, sizeof s->reason, "no DNS-SD daemon answers to resolve '%s' (%s)", name.c_str(),
                  avahi_strerror(error));
  else if (resolver == nullptr)
    std::snprintf(s->reason, sizeof s->reason, "'%s' cannot be resolved (%s)", name.c_str(),
                  avahi_strerror(avahi_client_errno(client)));
  else if (!r.found)
    std::snprintf(s->reason, sizeof s->reason, "'%s' %s", name.c_str(),
                  canceled ? "was not resolved: the job was cancelled"
                  : r.done ? "is not on the network"
                           : "was not resolved in time");
  if (resolver != nullptr) avahi_service_resolver_free(resolver);
  if (client != nullptr) avahi_client_free(client);
  if (poll != nullptr) avahi_simple_poll_free(poll);
  if (!r.found) return false;
  std::snprintf(s->host, sizeof s->host, "%s", r.address);
  s->port = r.port;
  std::snprintf(s->address, sizeof s->address, "%s (%s:%d)", name.c_str(), s->host, s->port);
  return true;
}
// The resolver's failure in this thread's last connectWithin(), 0 when the host's name resolved.
thread_local int tResolveFailure = 0;

// 'connectWithin()' - a non-blocking connection to one of the host's addresses, made within the
// deadline; -1 with errno otherwise (connectFailure() says why).
int connectWithin(const char* host, int port, int64_t deadline) {
  char service[16];
  std::snprintf(service, sizeof service, "%d", port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* addresses = nullptr;
  const int found = getaddrinfo(host, service, &hints, &addresses);
  tResolveFailure = found == EAI_SYSTEM ? 0 : found;
  if (found != 0) {
    if (found != EAI_SYSTEM) errno = EHOSTUNREACH;
    return -1;
  }
  int fd = -1, error = ETIMEDOUT;
  for (addrinfo* address = addresses; address != nullptr && fd < 0; address = address->ai_next) {
    fd = socket(address->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      error = errno;
      continue;
    }
    if (connect(fd, address->ai_addr, address->ai_addrlen) == 0) break;
    if (errno == EINPROGRESS) {
      pollfd ready = {fd, POLLOUT, 0};
      const int64_t left = deadline - monotonicMilliseconds();
      socklen_t length = sizeof error;
      error = ETIMEDOUT;
      if (left > 0 && poll(&ready, 1, static_cast<int>(left)) == 1 &&
          getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0)
        break;
    } else {
      error = errno;
    }
    close(fd);
    fd = -1;
  }
  freeaddrinfo(addresses);
  if (fd < 0) errno = error;
  return fd;
}

// 'connectFailure()' - why this thread's last connectWithin() failed, with errno as it left it: a
// name that did not resolve in the resolver's words (not as a route that is missing), else errno's.
const char* connectFailure() {
  return tResolveFailure != 0 ? gai_strerror(tResolveFailure) : std::strerror(errno);
}

// 'connectSocket()' - connect a device opened unconnected, a DNS-SD service resolved first; false with
// the reason in s->reason when it cannot be.
bool connectSocket(socketDevice* s) {
  if (s->fd >= 0) return true;
  if (s->host[0] == '\0' && !resolveService(s)) return false;
  s->fd = connectWithin(s->host, s->port, monotonicMilliseconds() + kConnectMilliseconds);
  if (s->fd < 0) {
    std::snprintf(s->reason, sizeof s->reason, "%s", connectFailure());
    return false;
  }
  const int on = 1;
  setsockopt(s->fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  return true;
}

// A socket:// printer, or one found by DNS-SD or SNMP (the application's own schemes for them): the
// service that DNS-SD found is resolved as the printer is connected, and a printer found by SNMP is
// reached by the name it reported, as a host name.
bool socketOpen(pappl_device_t* device, const char* uri, const char*) {
  uriParts parts;
  if (!splitUri(uri, &parts) || parts.host[0] == '\0') {
    papplDeviceError(device, "Bad device URI '%s'.", uri != nullptr ? uri : "");
    return false;
  }
  const bool discovered = std::strcmp(parts.scheme, kOwnDnssd) == 0;
  const int port = parts.port > 0 ? parts.port : 9100;
  int stallSeconds = kDefaultStallSeconds;
  char value[32];
  if (optionValue(parts.options, "timeout", value, sizeof value) != nullptr) {
    char* end = nullptr;
    const long seconds = std::strtol(value, &end, 10);
    if (end == value || *end != '\0' || seconds < 1 || seconds > kMaxStallSeconds) {
      papplDeviceError(device, "Bad timeout '%s' in '%s': 1 to %d seconds.", value, uri, kMaxStallSeconds);
      return false;
    }
    stallSeconds = static_cast<int>(seconds);
  }
  socketDevice* s = new (std::nothrow) socketDevice;
  if (s == nullptr) {
    papplDeviceError(device, "Out of memory.");
    return false;
  }
  s->fd = -1;
  s->stallSeconds = stallSeconds;
  s->job.store(nullptr);
  s->port = port;
  s->reason[0] = '\0';
  std::snprintf(s->address, sizeof s->address, "%s:%d", parts.host, port);
  std::snprintf(s->host, sizeof s->host, "%s", discovered ? "" : parts.host);
  std::snprintf(s->service, sizeof s->service, "%s", discovered ? parts.host : "");
  if (!connectSocket(s) && !tOpenLate) {
    papplDeviceError(device, "Unable to connect to %s: %s", s->address, s->reason);
    delete s;
    return false;
  }
  papplDeviceSetData(device, s);
  return true;
}

void socketClose(pappl_device_t* device) {
  socketDevice* s = static_cast<socketDevice*>(papplDeviceGetData(device));
  if (s == nullptr) return;
  if (s->fd >= 0) close(s->fd);
  delete s;
  papplDeviceSetData(device, nullptr);
}

// 'awaitSocket()' - wait one slice ('slice' milliseconds) for the connection to be ready for
// 'events'; false, reported, when the watched job is cancelled or the printer has made no progress
// for its stall time since 'progress'.
bool awaitSocket(pappl_device_t* device, socketDevice* s, short events, int64_t progress,
                 int slice = kSliceMilliseconds) {
  pollfd ready = {s->fd, events, 0};
  if (poll(&ready, 1, slice) < 0 && errno != EINTR) {
    papplDeviceError(device, "Unable to wait for the printer at %s: %s", s->address, std::strerror(errno));
    return false;
  }
  if (pappl_job_t* job = s->job.load(); job != nullptr && papplJobIsCanceled(job)) return false;
  if (monotonicMilliseconds() - progress >= int64_t{s->stallSeconds} * 1000) {
    papplDeviceError(device, "The printer at %s took no data for %d seconds.", s->address, s->stallSeconds);
    return false;
  }
  return true;
}

ssize_t socketWrite(pappl_device_t* device, const void* buffer, size_t bytes) {
  socketDevice* s = static_cast<socketDevice*>(papplDeviceGetData(device));
  if (s == nullptr) return -1;
  if (!connectSocket(s)) {
    papplDeviceError(device, "Unable to connect to %s: %s", s->address, s->reason);
    return -1;
  }
  const char* data = static_cast<const char*>(buffer);
  size_t sent = 0;
  int64_t progress = monotonicMilliseconds();
  while (sent < bytes) {
    const ssize_t count = send(s->fd, data + sent, bytes - sent, MSG_NOSIGNAL);
    if (count > 0) {
      sent += static_cast<size_t>(count);
      progress = monotonicMilliseconds();
      continue;
    }
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      papplDeviceError(device, "Unable to send to the printer at %s: %s", s->address, std::strerror(errno));
      return -1;
    }
    if (!awaitSocket(device, s, POLLOUT, progress)) return -1;
  }
  return static_cast<ssize_t>(bytes);
}

ssize_t socketRead(pappl_device_t* device, void* buffer, size_t bytes) {
  socketDevice* s = static_cast<socketDevice*>(papplDeviceGetData(device));
  if (s == nullptr || s->fd < 0) return -1;
  const int64_t deadline = monotonicMilliseconds() + kReadMilliseconds;
  for (;;) {
    const ssize_t count = recv(s->fd, buffer, bytes, 0);
    if (count >= 0) return count;
    if (errno == EINTR) continue;
    const int64_t left = deadline - monotonicMilliseconds();
    if ((errno != EAGAIN && errno != EWOULDBLOCK) || left <= 0) return -1;
    pollfd ready = {s->fd, POLLIN, 0};
    poll(&ready, 1, static_cast<int>(left));
  }
}

// 'openParent()' - walk an absolute path's folders from the root without following a symbolic link:
// the descriptor (O_PATH) of the folder that holds the path's last component, whose name goes to
// *last. -1 with errno when a folder is missing or is a link, and for paths with empty, "." or ".."
// components. A trailing '/' is ignored.
int openParent(const char* path, std::string* last) {
  std::string rest = path;
  while (rest.size() > 1 && rest.back() == '/') rest.pop_back();
  if (rest.size() < 2 || rest[0] != '/') {
    errno = EINVAL;
    return -1;
  }
  int folder = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  for (size_t start = 1; folder >= 0;) {
    const size_t end = rest.find('/', start);
    const std::string name = rest.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (name.empty() || name == "." || name == "..") {
      close(folder);
      errno = EINVAL;
      return -1;
    }
    if (end == std::string::npos) {
      *last = name;
      return folder;
    }
    const int next = openat(folder, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int error = errno;
    close(folder);
    errno = error;
    folder = next;
    start = end + 1;
  }
  return -1;
}

// A file device. Its output is opened at the job's first write (or when the job connects it), on
// the job's thread: never while the framework holds the printer's lock, which the open of the device
// itself takes. Nothing is created for the framework's status and maintenance opens, which write nothing.
struct fileDevice {
  int fd;                // the output, -1 until opened
  int folder;            // O_PATH: the folder that holds the output
  bool perJob;           // the URI names a folder: each job's output is a new file in it
  std::string name;      // the named file's name in 'folder'
  char extension[17];    // of a folder's files
  std::atomic<int> job;  // the id of the job whose output it is (watchJob()), 0 when unknown
  char error[300];       // why the output could not be opened, "" when it could or was not tried
};

bool isFileUri(const char* uri) { return uri != nullptr && std::strncmp(uri, "file:", 5) == 0; }

fileDevice* fileOf(pappl_printer_t* printer, pappl_device_t* device) {
  if (device == nullptr || !isFileUri(papplPrinterGetDeviceURI(printer))) return nullptr;
  return static_cast<fileDevice*>(papplDeviceGetData(device));
}

// 'openRegular()' - open 'name' in 'folder' for writing ('flags' besides) without following a link
// and without waiting for a reader: the descriptor of a regular file, or -1 with errno (EINVAL for
// anything else, which is closed again at once).
int openRegular(int folder, const char* name, int flags) {
  const int fd =
      openat(folder, name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | flags, 0640);
  if (fd < 0) return -1;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

// 'openOutput()' - open the device's output if it is not open yet: the named file, appended to, or in
// a folder a new file whose name the server chooses ("job-ID.EXT", then "job-ID-2.EXT", ...): an
// existing file of that name, or anything else planted there, is never opened. False with the reason
// in the record.
bool openOutput(fileDevice* f) {
  if (f->fd >= 0) return true;
  if (!f->perJob) {
    f->fd = openRegular(f->folder, f->name.c_str(), O_APPEND | O_CREAT);
    if (f->fd < 0)
      std::snprintf(
          f->error, sizeof f->error, "'%s' is %s", f->name.c_str(),
          errno == EINVAL || errno == ENXIO || errno == ELOOP ? "not a regular file" : std::strerror(errno));
  } else {
    const int job = f->job.load();
    char stem[32], file[64];
    if (job > 0)
      std::snprintf(stem, sizeof stem, "job-%d", job);
    else
      std::snprintf(stem, sizeof stem, "label");
    errno = EEXIST;
    for (int n = 1; n <= kMaxOutputNames && f->fd < 0 && errno == EEXIST; ++n) {
      if (n == 1)
        std::snprintf(file, sizeof file, "%s.%s", stem, f->extension);
      else
        std::snprintf(file, sizeof file, "%s-%d.%s", stem, n, f->extension);
      f->fd = openRegular(f->folder, file, O_CREAT | O_EXCL);
    }
    if (f->fd < 0)
      std::snprintf(f->error, sizeof f->error, "no new file could be made in the folder: %s",
                    std::strerror(errno));
  }
  if (f->fd >= 0) f->error[0] = '\0';
  return f->fd >= 0;
}

// 'validExtension()' - whether a folder's files may take 'extension': 1 to 16 letters and digits.
bool validExtension(const char* extension) {
  const size_t length = std::strlen(extension);
  if (length == 0 || length > 16) return false;
  for (size_t i = 0; i < length; ++i)
    if (!std::isalnum(static_cast<unsigned char>(extension[i]))) return false;
  return true;
}

// The job's name ('name') never names a file: a client chose it.
bool fileOpen(pappl_device_t* device, const char* uri, const char*) {
  uriParts parts;
  std::string last;
  const int parent = splitUri(uri, &parts) ? openParent(parts.path, &last) : (errno = EINVAL, -1);
  if (parent < 0) {
    papplDeviceError(device, "Unable to open '%s': %s", uri != nullptr ? uri : "", std::strerror(errno));
    return false;
  }
  fileDevice* f = new (std::nothrow) fileDevice;
  if (f == nullptr) {
    close(parent);
    papplDeviceError(device, "Unable to open '%s': %s", uri, std::strerror(ENOMEM));
    return false;
  }
  f->fd = -1;
  f->job.store(0);
  f->error[0] = '\0';
  if (optionValue(parts.options, "ext", f->extension, sizeof f->extension) == nullptr ||
      !validExtension(f->extension))
    std::snprintf(f->extension, sizeof f->extension, "prn");
  // A folder is opened as a path only; a named file stays a name until its output is opened.
  const int folder = openat(parent, last.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  f->perJob = folder >= 0;
  if (folder >= 0) {
    close(parent);
    f->folder = folder;
  } else {
    f->folder = parent;
    f->name = last;
  }
  papplDeviceSetData(device, f);
  return true;
}

void fileClose(pappl_device_t* device) {
  fileDevice* f = static_cast<fileDevice*>(papplDeviceGetData(device));
  if (f == nullptr) return;
  if (f->fd >= 0) close(f->fd);
  close(f->folder);
  delete f;
  papplDeviceSetData(device, nullptr);
}

ssize_t fileWrite(pappl_device_t* device, const void* buffer, size_t bytes) {
  fileDevice* f = static_cast<fileDevice*>(papplDeviceGetData(device));
  if (f == nullptr) return -1;
  if (!openOutput(f)) {
    papplDeviceError(device, "Unable to open the output file: %s", f->error);
    return -1;
  }
  const char* data = static_cast<const char*>(buffer);
  for (size_t written = 0; written < bytes;) {
    const ssize_t count = write(f->fd, data + written, bytes - written);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      papplDeviceError(device, "Unable to write the output file: %s", std::strerror(errno));
      return -1;
    }
    written += static_cast<size_t>(count);
  }
  return static_cast<ssize_t>(bytes);
}

}  // namespace

void addDeviceSchemes() {
  papplDeviceAddScheme("socket", PAPPL_DEVTYPE_SOCKET, nullptr, socketOpen, socketClose, socketRead,
                       socketWrite, nullptr, nullptr);
  papplDeviceAddScheme("file", PAPPL_DEVTYPE_FILE, nullptr, fileOpen, fileClose, nullptr, fileWrite, nullptr,
                       nullptr);
  // The printers found by DNS-SD and SNMP: the framework keeps its own schemes for finding them.
  papplDeviceAddScheme(kOwnDnssd, PAPPL_DEVTYPE_DNS_SD, nullptr, socketOpen, socketClose, socketRead,
                       socketWrite, nullptr, nullptr);
  papplDeviceAddScheme(kOwnSnmp, PAPPL_DEVTYPE_SNMP, nullptr, socketOpen, socketClose, socketRead,
                       socketWrite, nullptr, nullptr);
  // The framework's own socket scheme is skipped: ours is there first.
  _papplDeviceAddNetworkSchemes();
  _papplDeviceAddUSBScheme();
}

int checkFileDevice(const char* uri, const std::string& folder, std::string* reason) {
  if (uri == nullptr || std::strncmp(uri, "file:", 5) != 0) return 0;
  uriParts parts;
  if (folder.empty()) {
    *reason = "file devices are off (the server takes them only with -o file-device-folder=DIR)";
    return 1;
  }
  if (!splitUri(uri, &parts) || (parts.host[0] != '\0' && std::strcmp(parts.host, "localhost") != 0)) {
    *reason = "not a file URI of this machine";
    return 1;
  }
  std::string path = parts.path;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path != folder && path.rfind(folder + "/", 0) != 0) {
    *reason = "'" + path + "' is outside the file device folder '" + folder + "'";
    return 1;
  }
  std::string last;
  const int parent = openParent(path.c_str(), &last);
  if (parent < 0) {
    *reason =
        "'" + path + "' cannot be reached without a link or a \".\" or \"..\" (" + std::strerror(errno) + ")";
    return 1;
  }
  struct stat info;
  const bool exists = fstatat(parent, last.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
  close(parent);
  if (exists && !S_ISDIR(info.st_mode) && !S_ISREG(info.st_mode)) {
    *reason = "'" + path + "' is neither a folder nor a regular file";
    return 1;
  }
  return 0;
}

void openJobDevicesLate(bool late) { tOpenLate = late; }

bool connectDevice(pappl_printer_t* printer, pappl_device_t* device, std::string* error) {
  if (fileDevice* f = fileOf(printer, device)) {
    if (openOutput(f)) return true;
    *error = f->error;
    return false;
  }
  socketDevice* s = socketOf(printer, device);
  if (s == nullptr || connectSocket(s)) return true;
  *error = std::string("Unable to connect to ") + s->address + ": " + s->reason;
  return false;
}

void watchJob(pappl_printer_t* printer, pappl_device_t* device, pappl_job_t* job) {
  if (socketDevice* s = socketOf(printer, device)) s->job.store(job);
  if (fileDevice* f = fileOf(printer, device); f != nullptr && job != nullptr)
    f->job.store(papplJobGetID(job));
}

bool sendToDevice(pappl_device_t* device, const void* bytes, size_t length) {
  if (length == 0) return true;
  pappl_devmetrics_t before, after;
  papplDeviceGetMetrics(device, &before);
  const bool written = papplDeviceWrite(device, bytes, length) == static_cast<ssize_t>(length);
  papplDeviceFlush(device);
  papplDeviceGetMetrics(device, &after);
  return written && after.write_bytes - before.write_bytes >= length;
}

bool drainDevice(pappl_printer_t* printer, pappl_device_t* device) {
  socketDevice* s = socketOf(printer, device);
  if (s == nullptr) return true;
  int64_t progress = monotonicMilliseconds();
  int last = -1;
  // Nothing wakes the wait for an acknowledgement, which mostly comes within a millisecond: the
  // slices begin at a millisecond and grow to the full one while the printer takes nothing.
  int slice = 1;
  for (;;) {
    int pending = 0, error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(s->fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error != 0) {
      papplDeviceError(device, "The connection to the printer at %s failed: %s", s->address,
                       std::strerror(error));
      return false;
    }
    // Bytes still unsent or unacknowledged; a system that cannot tell is taken at its word.
    if (ioctl(s->fd, SIOCOUTQ, &pending) != 0 || pending == 0) return true;
    if (pending != last) {
      last = pending;
      progress = monotonicMilliseconds();
      slice = 1;
    }
    pollfd closed = {s->fd, POLLRDHUP, 0};
    if (poll(&closed, 1, 0) == 1 && (closed.revents & (POLLHUP | POLLERR)) != 0) {
      papplDeviceError(device, "The printer at %s closed the connection before taking the labels.",
                       s->address);
      return false;
    }
    if (!awaitSocket(device, s, 0, progress, slice)) return false;
    slice = std::min(2 * slice, kSliceMilliseconds);
  }
}

bool isNetworkUri(const char* uri) {
  if (uri == nullptr) return false;
  for (const char* scheme : {"socket://", "dnssd://", "snmp://", "label-dnssd://", "label-snmp://"})
    if (std::strncmp(uri, scheme, std::strlen(scheme)) == 0) return true;
  return false;
}

std::string discoveredDeviceUri(const char* uri) {
  if (uri == nullptr) return "";
  if (std::strncmp(uri, "dnssd://", 8) == 0) return std::string(kOwnDnssd) + (uri + 5);
  if (std::strncmp(uri, "snmp://", 7) == 0) return std::string(kOwnSnmp) + (uri + 4);
  return "";
}
