// SPDX-License-Identifier: Apache-2.0
// The application's network and file devices, registered in place of the framework's own. A network
// printer is written without ever blocking: each wait is a slice of a tenth of a second, after which
// the job's cancellation and the printer's progress are looked at, so that a printer that stops
// reading costs at most its stall time and a cancelled job ends at once. A file device is opened one
// path component at a time without following symbolic links, so that it writes exactly where its URI
// says, and printers get file devices only inside the folder the administrator named.
#include "app/devices/devices.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
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

// A connection to a network printer. The descriptor comes first: the status reader polls it. A job's
// device may be opened before its printer can be reached: its descriptor is then -1 until
// connectDevice() connects it.
struct socketDevice {
  int fd;
  int stallSeconds;               // no progress for this long ends a write
  std::atomic<pappl_job_t*> job;  // the job whose cancellation ends a wait, if any
  char address[300];              // "host:port", for messages
  char host[256];
  int port;
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

bool isSocketUri(const char* uri) { return uri != nullptr && std::strncmp(uri, "socket://", 9) == 0; }

// 'socketOf()' - the printer's network device record, or nullptr when its device is another kind.
socketDevice* socketOf(pappl_printer_t* printer, pappl_device_t* device) {
  if (device == nullptr || !isSocketUri(papplPrinterGetDeviceURI(printer))) return nullptr;
  return static_cast<socketDevice*>(papplDeviceGetData(device));
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

bool socketOpen(pappl_device_t* device, const char* uri, const char*) {
  uriParts parts;
  if (!splitUri(uri, &parts) || parts.host[0] == '\0') {
    papplDeviceError(device, "Bad device URI '%s'.", uri != nullptr ? uri : "");
    return false;
  }
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
  const int fd = connectWithin(parts.host, port, monotonicMilliseconds() + kConnectMilliseconds);
  if (fd < 0 && !tOpenLate) {
    papplDeviceError(device, "Unable to connect to %s:%d: %s", parts.host, port, connectFailure());
    return false;
  }
  if (fd >= 0) {
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  }
  socketDevice* s = new (std::nothrow) socketDevice;
  if (s == nullptr) {
    close(fd);
    papplDeviceError(device, "Out of memory.");
    return false;
  }
  s->fd = fd;
  s->stallSeconds = stallSeconds;
  s->job.store(nullptr);
  std::snprintf(s->address, sizeof s->address, "%s:%d", parts.host, port);
  std::snprintf(s->host, sizeof s->host, "%s", parts.host);
  s->port = port;
  papplDeviceSetData(device, s);
  return true;
}

// 'connectSocket()' - connect a device opened unconnected; false with errno when it cannot be.
bool connectSocket(socketDevice* s) {
  if (s->fd >= 0) return true;
  s->fd = connectWithin(s->host, s->port, monotonicMilliseconds() + kConnectMilliseconds);
  if (s->fd < 0) return false;
  const int on = 1;
  setsockopt(s->fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
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
    papplDeviceError(device, "Unable to connect to %s: %s", s->address, connectFailure());
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

// 'jobFileName()' - a file name for a job's output in a folder: the job's name with '/', control and
// non-ASCII bytes as '_', and the extension.
std::string jobFileName(const char* name, const char* extension) {
  std::string file = name != nullptr && name[0] != '\0' ? name : "job";
  if (file.size() > 200) file.resize(200);
  for (char& c : file)
    if (c == '/' || static_cast<unsigned char>(c) < ' ' || static_cast<unsigned char>(c) >= 0x7F) c = '_';
  if (file[0] == '.') file[0] = '_';
  return file + "." + extension;
}

bool fileOpen(pappl_device_t* device, const char* uri, const char* name) {
  uriParts parts;
  std::string last;
  const int parent = splitUri(uri, &parts) ? openParent(parts.path, &last) : (errno = EINVAL, -1);
  if (parent < 0) {
    papplDeviceError(device, "Unable to open '%s': %s", uri != nullptr ? uri : "", std::strerror(errno));
    return false;
  }
  char extension[32] = "prn";
  if (optionValue(parts.options, "ext", extension, sizeof extension) == nullptr ||
      std::strchr(extension, '/') != nullptr)
    std::snprintf(extension, sizeof extension, "prn");
  struct stat info;
  int fd = -1;
  const bool exists = fstatat(parent, last.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
  if (exists && S_ISDIR(info.st_mode)) {
    const int folder = openat(parent, last.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder >= 0) {
      fd = openat(folder, jobFileName(name, extension).c_str(),
                  O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0640);
      close(folder);
    }
  } else if (exists && !S_ISREG(info.st_mode)) {
    errno = EINVAL;
  } else {
    fd = openat(parent, last.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0640);
  }
  const int error = errno;
  close(parent);
  int* record = fd >= 0 ? new (std::nothrow) int(fd) : nullptr;
  if (record == nullptr) {
    if (fd >= 0) close(fd);
    papplDeviceError(device, "Unable to open '%s': %s", uri, std::strerror(fd >= 0 ? ENOMEM : error));
    return false;
  }
  papplDeviceSetData(device, record);
  return true;
}

void fileClose(pappl_device_t* device) {
  int* fd = static_cast<int*>(papplDeviceGetData(device));
  if (fd == nullptr) return;
  close(*fd);
  delete fd;
  papplDeviceSetData(device, nullptr);
}

ssize_t fileWrite(pappl_device_t* device, const void* buffer, size_t bytes) {
  const int* fd = static_cast<const int*>(papplDeviceGetData(device));
  if (fd == nullptr) return -1;
  const char* data = static_cast<const char*>(buffer);
  for (size_t written = 0; written < bytes;) {
    const ssize_t count = write(*fd, data + written, bytes - written);
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
  socketDevice* s = socketOf(printer, device);
  if (s == nullptr || connectSocket(s)) return true;
  *error = std::string("Unable to connect to ") + s->address + ": " + connectFailure();
  return false;
}

void watchJob(pappl_printer_t* printer, pappl_device_t* device, pappl_job_t* job) {
  if (socketDevice* s = socketOf(printer, device)) s->job.store(job);
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
