// SPDX-License-Identifier: Apache-2.0
// The limits of what one client may make the server hold. PAPPL 1.3.1 reads an IPP request's
// attributes whatever their number and size (a stranger's 49 MB of small attributes took the server
// past 400 MB, and glibc kept most of it after the client had gone), spools a document whatever its
// size (a gzip-compressed one decompressed: 199 KB became 200 MB), and starts a thread for every
// connection it accepts. Here: an IPP request's message, read byte by byte as the framework takes it
// in; the connections of one address; a document's size, decompressed, and the spool folder's.
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/service/service.h"

namespace {

// The parts of an IPP message (RFC 8010): the version, operation and request id; then, until the end
// tag, group tags and values, each a tag, its name's length and name, its value's length and value.
enum ippStage {
  kStageHeader,
  kStageTag,
  kStageExtension,  // the four bytes of an extension tag's own number
  kStageNameLength,
  kStageName,
  kStageValueLength,
  kStageValue,
};

inline constexpr unsigned char kEndTag = 0x03;
inline constexpr unsigned char kFirstValueTag = 0x10;
inline constexpr unsigned char kExtensionTag = 0x7F;

// 'endPart()' - the part just read is whole: on to the next.
void endPart(ippScan* scan) {
  switch (scan->stage) {
    case kStageHeader:
      scan->stage = kStageTag;
      break;
    case kStageExtension:
      scan->stage = kStageNameLength, scan->need = 2, scan->length = 0;
      break;
    case kStageName:
      scan->stage = kStageValueLength, scan->need = 2, scan->length = 0;
      break;
    default:  // a value
      ++scan->values;
      scan->stage = kStageTag;
      break;
  }
}

}  // namespace

bool scanIpp(ippScan* scan, const unsigned char* data, size_t size) {
  scan->bytes += size;
  for (size_t at = 0; at < size && !scan->ended;) {
    switch (scan->stage) {
      case kStageTag: {
        const unsigned char tag = data[at++];
        if (tag == kEndTag)
          scan->ended = true;
        else if (tag == kExtensionTag)
          scan->stage = kStageExtension, scan->need = 4;
        else if (tag >= kFirstValueTag)
          scan->stage = kStageNameLength, scan->need = 2, scan->length = 0;
        break;  // a group's tag: the next tag follows
      }
      case kStageNameLength:
      case kStageValueLength:
        scan->length = (scan->length << 8) | data[at++];
        if (--scan->need == 0) {
          scan->stage = scan->stage == kStageNameLength ? kStageName : kStageValue;
          scan->need = scan->length;
          if (scan->need == 0) endPart(scan);
        }
        break;
      default: {  // the header, an extension's number, a name or a value: skipped
        const size_t take = std::min<size_t>(scan->need, size - at);
        at += take;
        scan->need -= static_cast<uint32_t>(take);
        if (scan->need == 0) endPart(scan);
        break;
      }
    }
  }
  return scan->bytes <= kMaxRequestBytes && scan->values <= kMaxRequestValues;
}

std::string requestRefusal(const ippScan& scan) {
  if (scan.values > kMaxRequestValues)
    return "The request has more attribute values than the server takes (at most " +
           std::to_string(kMaxRequestValues) + ").";
  return "The request's attributes are larger than the server takes (at most " +
         describeBytes(static_cast<int64_t>(kMaxRequestBytes)) + ").";
}

int parseConnectionsPerAddress(const char* value, int* count) {
  if (value == nullptr || value[0] < '0' || value[0] > '9') return 1;
  char* end = nullptr;
  errno = 0;
  const long number = std::strtol(value, &end, 10);
  if (errno != 0 || *end != '\0' || number < 1 || number > kMaxConnections) return 1;
  *count = static_cast<int>(number);
  return 0;
}

std::string connectionKey(const http_addr_t* address) {
  if (address == nullptr || httpAddrFamily(const_cast<http_addr_t*>(address)) == AF_LOCAL ||
      httpAddrLocalhost(address))
    return "";
  char text[64];
  if (httpAddrFamily(const_cast<http_addr_t*>(address)) == AF_INET6) {
    const unsigned char* bytes = address->ipv6.sin6_addr.s6_addr;
    static const unsigned char kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::memcmp(bytes, kMappedPrefix, sizeof kMappedPrefix) == 0) {
      std::snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[12], bytes[13], bytes[14], bytes[15]);
      return bytes[12] == 127 ? "" : text;
    }
    std::snprintf(text, sizeof text, "%02x%02x:%02x%02x:%02x%02x:%02x%02x::/64", bytes[0], bytes[1], bytes[2],
                  bytes[3], bytes[4], bytes[5], bytes[6], bytes[7]);
    return text;
  }
  httpAddrString(address, text, sizeof text);
  return text;
}

bool takeConnection(connectionCounts* counts, const std::string& key) {
  if (key.empty()) return true;
  std::lock_guard<std::mutex> lock(counts->lock);
  int& open = counts->open[key];
  if (open >= counts->limit) {
    if (open == 0) counts->open.erase(key);
    return false;
  }
  ++open;
  return true;
}

void giveConnection(connectionCounts* counts, const std::string& key) {
  if (key.empty()) return;
  std::lock_guard<std::mutex> lock(counts->lock);
  const auto found = counts->open.find(key);
  if (found == counts->open.end()) return;
  if (--found->second <= 0) counts->open.erase(found);
}

int parseSize(const char* value, int64_t* bytes) {
  if (value == nullptr || value[0] < '0' || value[0] > '9') return 1;
  char* end = nullptr;
  errno = 0;
  const unsigned long long number = std::strtoull(value, &end, 10);
  if (errno != 0) return 1;
  int shift = 0;
  if (*end != '\0') {
    const char* units = "KMGT";
    const char* unit = std::strchr(units, *end);
    if (unit == nullptr || end[1] != '\0') return 1;
    shift = 10 * static_cast<int>(unit - units + 1);
  }
  constexpr unsigned long long kLeast = 1ull << 20, kMost = 1ull << 40;
  if (number > (kMost >> shift)) return 1;
  const unsigned long long size = number << shift;
  if (size < kLeast) return 1;
  *bytes = static_cast<int64_t>(size);
  return 0;
}

int64_t spoolBytes(const std::string& folder) {
  DIR* directory = opendir(folder.c_str());
  if (directory == nullptr) return 0;
  int64_t total = 0;
  for (const dirent* entry; (entry = readdir(directory)) != nullptr;) {
    struct stat info;
    if (fstatat(dirfd(directory), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode))
      total += info.st_size;
  }
  closedir(directory);
  return total;
}

ipp_status_t refuseDocument(int64_t spoolLimit, int64_t bytes, int64_t spooled, int64_t receiving,
                            std::string* message) {
  const int64_t largest = std::min(kMaxDocumentBytes, spoolLimit);
  if (bytes > largest) {
    *message = "The document is larger than the " + describeBytes(largest) +
               " the server takes (a compressed one counts as decompressed).";
    return IPP_STATUS_ERROR_REQUEST_ENTITY;
  }
  if (spooled + receiving > spoolLimit) {
    *message = "The spool is full (" + describeBytes(spoolLimit) +
               " for all jobs); try again once the jobs before this one have printed.";
    return IPP_STATUS_ERROR_BUSY;
  }
  return IPP_STATUS_OK;
}

std::string describeBytes(int64_t bytes) {
  const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (unit < 4 && bytes >= 1024 && bytes % 1024 == 0) bytes /= 1024, ++unit;
  return std::to_string(bytes) + " " + units[unit];
}

namespace {

// 'readRequestBytes()' - the IPP reading callback of a request's attributes: exactly 'length' bytes but
// at its end, each taken into the request's scan; -1 once the request is past the limits.
ssize_t readRequestBytes(void* data, ipp_uchar_t* buffer, size_t length) {
  auto* reading = static_cast<requestReading*>(data);
  if (reading->refused) return -1;
  size_t got = 0;
  while (got < length) {
    if (!httpGetBlocking(reading->http) && !httpWait(reading->http, 10000)) break;
    const ssize_t read = httpRead2(reading->http, reinterpret_cast<char*>(buffer) + got, length - got);
    if (read < 0 && errno == EINTR) continue;
    if (read <= 0) break;
    got += static_cast<size_t>(read);
  }
  if (!scanIpp(&reading->scan, buffer, got)) {
    reading->refused = true;
    return -1;
  }
  return static_cast<ssize_t>(got);
}

// 'drainRequest()' - read away what is left of a refused request, within kDrainBytes and kDrainSeconds,
// so that a client still sending it hears the answer.
void drainRequest(http_t* http) {
  const int64_t until = monotonicMilliseconds() + kDrainSeconds * 1000;
  char buffer[16384];
  for (uint64_t drained = 0; drained < kDrainBytes;) {
    const int64_t left = until - monotonicMilliseconds();
    if (left <= 0 || !httpWait(http, static_cast<int>(left))) break;
    const ssize_t read = httpRead2(http, buffer, sizeof buffer);
    if (read <= 0) break;
    drained += static_cast<uint64_t>(read);
  }
}

}  // namespace

ipp_state_t readRequestWithinLimits(requestReading* reading, ipp_t* ipp) {
  return ippReadIO(reading, readRequestBytes, httpGetBlocking(reading->http), nullptr, ipp);
}

bool returnsMemory(const requestReading& reading) {
  return reading.refused || reading.scan.bytes >= kTrimAfterBytes;
}

bool respondToRequest(pappl_client_t* client, const requestReading* reading, http_status_t code,
                      const char* contentEncoding, const char* type, time_t lastModified, size_t length,
                      respondFunction next) {
  if (reading == nullptr || !reading->refused || code != HTTP_STATUS_BAD_REQUEST)
    return next(client, code, contentEncoding, type, lastModified, length);
  http_t* http = papplClientGetHTTP(client);
  const std::string words = requestRefusal(reading->scan);
  papplLogClient(client, PAPPL_LOGLEVEL_WARN, "%s", words.c_str());
  drainRequest(http);
  const std::string text = words + "\n";
  if (!next(client, HTTP_STATUS_REQUEST_TOO_LARGE, nullptr, "text/plain", 0, text.size())) return false;
  httpWrite2(http, text.data(), text.size());
  httpFlushWrite(http);
  return false;
}

void copyDocumentWithinLimits(pappl_client_t* client, pappl_job_t* job, documentReading* reading,
                              void (*next)(pappl_client_t*, pappl_job_t*)) {
  const printerLink* link = linkOf(papplJobGetPrinter(job));
  appConfig* config = link != nullptr ? link->config : nullptr;
  if (config == nullptr || isRasterStream(papplJobGetFormat(job))) {
    next(client, job);
    return;
  }
  reading->http = papplClientGetHTTP(client);
  reading->config = config;
  reading->spooled = spoolBytes(config->spoolFolder);
  next(client, job);
  config->receiving -= reading->bytes;
  if (reading->refusal == IPP_STATUS_OK) return;
  papplLogJob(job, PAPPL_LOGLEVEL_WARN, "%s", reading->message.c_str());
  papplJobSetMessage(job, "%s", reading->message.c_str());
  // The framework answers a document it could not read as its own fault; the answer says why.
  ipp_t* response = papplClientGetResponse(client);
  ippSetStatusCode(response, reading->refusal);
  ipp_attribute_t* message = ippFindAttribute(response, "status-message", IPP_TAG_TEXT);
  if (message != nullptr)
    ippSetString(response, &message, 0, reading->message.c_str());
  else
    ippAddString(response, IPP_TAG_OPERATION, IPP_TAG_TEXT, "status-message", nullptr,
                 reading->message.c_str());
}

ssize_t readDocumentBytes(documentReading* reading, char* buffer, size_t length,
                          ssize_t (*next)(http_t*, char*, size_t)) {
  if (reading->refusal != IPP_STATUS_OK) {
    const int64_t left = reading->drainUntil - monotonicMilliseconds();
    if (reading->drained >= kDrainBytes || left <= 0 || !httpWait(reading->http, static_cast<int>(left)))
      return -1;
    const ssize_t read = next(reading->http, buffer, length);
    if (read > 0) reading->drained += static_cast<uint64_t>(read);
    return read;
  }
  const ssize_t read = next(reading->http, buffer, length);
  if (read <= 0) return read;
  reading->bytes += read;
  const int64_t receiving = reading->config->receiving += read;
  reading->refusal = refuseDocument(reading->config->spoolLimit, reading->bytes, reading->spooled, receiving,
                                    &reading->message);
  if (reading->refusal == IPP_STATUS_OK) return read;
  reading->drainUntil = monotonicMilliseconds() + kDrainSeconds * 1000;
  return -1;
}

pappl_client_t* admitClient(connectionCounts* counts, pappl_system_t* system, pappl_client_t* client) {
  if (client == nullptr) return nullptr;
  http_t* http = papplClientGetHTTP(client);
  const std::string key = connectionKey(httpGetAddress(http));
  if (takeConnection(counts, key)) return client;
  papplLog(system, PAPPL_LOGLEVEL_WARN, "Refused a connection from %s, which has %d open already.",
           key.c_str(), counts->limit);
  const std::string words =
      "Too many connections from this address (at most " + std::to_string(counts->limit) + " at once).\n";
  const std::string answer =
      "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\nRetry-After: 30\r\n"
      "Content-Type: text/plain\r\nContent-Length: " +
      std::to_string(words.size()) + "\r\n\r\n" + words;
  if (send(httpGetFd(http), answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {
    // The client is gone already or cannot take even this; it is closed all the same.
  }
  httpClose(http);
  // The framework's client record holds nothing else yet.
  std::free(client);
  return nullptr;
}

void endClient(connectionCounts* counts, pappl_client_t* client, bool trim, void (*next)(pappl_client_t*)) {
  const std::string key = connectionKey(httpGetAddress(papplClientGetHTTP(client)));
  next(client);
  giveConnection(counts, key);
  if (trim) malloc_trim(0);
}
