// SPDX-License-Identifier: Apache-2.0
// The limits of what one client may make the server hold: an IPP request's message, read byte by byte
// as the framework takes it in; the connections of one address; a document's size, decompressed, and
// the spool folder's together.
#include <dirent.h>
#include <fcntl.h>
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

}  // namespace

namespace {

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
