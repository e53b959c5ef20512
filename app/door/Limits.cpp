// SPDX-License-Identifier: Apache-2.0
// What one client may make the server hold. PAPPL 1.3.1 reads an IPP request's attributes whatever
// their number and size (a stranger's 49 MB of small attributes took the server past 400 MB, and glibc
// kept most of it after the client had gone), spools a document whatever its size (a gzip-compressed
// one decompressed: 199 KB became 200 MB), and starts a thread for every connection it accepts. The
// functions below stand before the framework's reading of a request and of a document, and before its
// making and ending of a client; the limits themselves are app/service/Limits.cpp's.
#include <malloc.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "app/door/door.h"

namespace {

// A request whose attributes this thread reads: the framework reads them with ippRead() on the
// connection's own thread.
struct requestReading {
  http_t* http = nullptr;
  ippScan scan;
  bool refused = false;
};
thread_local requestReading* tReading = nullptr;

// Whether this thread's client had a large request: its memory goes back to the system once the
// client has ended.
thread_local bool tTrimAtEnd = false;

// A document this thread spools: the framework copies it with httpRead2().
struct documentReading {
  http_t* http = nullptr;
  appConfig* config = nullptr;
  int64_t spooled = 0;  // the spool folder's bytes when it began
  int64_t bytes = 0;    // its own so far, decompressed
  ipp_status_t refusal = IPP_STATUS_OK;
  std::string message;
  uint64_t drained = 0;  // of its rest, read away once refused
  int64_t drainUntil = 0;
};
thread_local documentReading* tDocument = nullptr;

// The open connections of each address: the process's listeners are the framework's, and its making of a
// client carries nothing of the application's, so the record is the process's own.
connectionCounts& openConnections() {
  static connectionCounts counts;
  return counts;
}

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

// 'refuseConnection()' - close a connection just accepted, telling the client why if it listens.
void refuseConnection(pappl_system_t* system, pappl_client_t* client, const std::string& key, int limit) {
  http_t* http = papplClientGetHTTP(client);
  papplLog(system, PAPPL_LOGLEVEL_WARN, "Refused a connection from %s, which has %d open already.",
           key.c_str(), limit);
  const std::string words =
      "Too many connections from this address (at most " + std::to_string(limit) + " at once).\n";
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
}

}  // namespace

void limitConnections(pappl_system_t* system, int perAddress) {
  openConnections().limit = perAddress;
  papplSystemSetMaxClients(system, kMaxConnections);
}

extern "C" {

// Each HTTP request of a client, on its thread: its IPP attributes are read within the limits.
bool _papplClientProcessHTTP(pappl_client_t* client) {
  requestReading reading;
  reading.http = papplClientGetHTTP(client);
  requestReading* outer = std::exchange(tReading, &reading);
  const bool result = frameworkFunction<bool (*)(pappl_client_t*)>("_papplClientProcessHTTP")(client);
  tReading = outer;
  if (reading.refused || reading.scan.bytes >= kTrimAfterBytes) tTrimAtEnd = true;
  return result;
}

// The attributes of a client's request, counted as they come; elsewhere (the subcommands reading a
// server's answers) the library's own reading.
ipp_state_t ippRead(http_t* http, ipp_t* ipp) {
  requestReading* reading = tReading;
  if (reading == nullptr || http == nullptr || reading->http != http)
    return frameworkFunction<ipp_state_t (*)(http_t*, ipp_t*)>("ippRead")(http, ipp);
  return ippReadIO(reading, readRequestBytes, httpGetBlocking(http), nullptr, ipp);
}

// The framework answers a request it could not read "400 Bad Request"; one past the limits is answered
// 413 with the reason, once its rest has been read away.
bool papplClientRespond(pappl_client_t* client, http_status_t code, const char* contentEncoding,
                        const char* type, time_t lastModified, size_t length) {
  using respond = bool (*)(pappl_client_t*, http_status_t, const char*, const char*, time_t, size_t);
  const auto next = frameworkFunction<respond>("papplClientRespond");
  requestReading* reading = tReading;
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

// A document the framework spools (raster streams are printed as they come, never spooled): within the
// document limit, decompressed, and the spool's; past either, the job ends with the reason, its file
// removed, and the request is answered too-large or busy.
void _papplJobCopyDocumentData(pappl_client_t* client, pappl_job_t* job) {
  const auto next = frameworkFunction<void (*)(pappl_client_t*, pappl_job_t*)>("_papplJobCopyDocumentData");
  const printerLink* link = linkOf(papplJobGetPrinter(job));
  appConfig* config = link != nullptr ? link->config : nullptr;
  if (config == nullptr || isRasterStream(papplJobGetFormat(job))) {
    next(client, job);
    return;
  }
  documentReading reading;
  reading.http = papplClientGetHTTP(client);
  reading.config = config;
  reading.spooled = spoolBytes(config->spoolFolder);
  documentReading* outer = std::exchange(tDocument, &reading);
  next(client, job);
  tDocument = outer;
  config->receiving -= reading.bytes;
  if (reading.refusal == IPP_STATUS_OK) return;
  papplLogJob(job, PAPPL_LOGLEVEL_WARN, "%s", reading.message.c_str());
  papplJobSetMessage(job, "%s", reading.message.c_str());
  ipp_t* response = papplClientGetResponse(client);
  ippSetStatusCode(response, reading.refusal);
  ipp_attribute_t* message = ippFindAttribute(response, "status-message", IPP_TAG_TEXT);
  if (message != nullptr)
    ippSetString(response, &message, 0, reading.message.c_str());
  else
    ippAddString(response, IPP_TAG_OPERATION, IPP_TAG_TEXT, "status-message", nullptr,
                 reading.message.c_str());
}

// The framework's copy of a document, counted; once refused, the framework reads the rest away before
// it answers, within kDrainBytes and kDrainSeconds.
ssize_t httpRead2(http_t* http, char* buffer, size_t length) {
  const auto next = frameworkFunction<ssize_t (*)(http_t*, char*, size_t)>("httpRead2");
  documentReading* reading = tDocument;
  if (reading == nullptr || reading->http != http) return next(http, buffer, length);
  if (reading->refusal != IPP_STATUS_OK) {
    const int64_t left = reading->drainUntil - monotonicMilliseconds();
    if (reading->drained >= kDrainBytes || left <= 0 || !httpWait(http, static_cast<int>(left))) return -1;
    const ssize_t read = next(http, buffer, length);
    if (read > 0) reading->drained += static_cast<uint64_t>(read);
    return read;
  }
  const ssize_t read = next(http, buffer, length);
  if (read <= 0) return read;
  reading->bytes += read;
  const int64_t receiving = reading->config->receiving += read;
  reading->refusal = refuseDocument(reading->config->spoolLimit, reading->bytes, reading->spooled, receiving,
                                    &reading->message);
  if (reading->refusal == IPP_STATUS_OK) return read;
  reading->drainUntil = monotonicMilliseconds() + kDrainSeconds * 1000;
  return -1;
}

// A connection just accepted: refused when its address has connections-per-address open already.
pappl_client_t* _papplClientCreate(pappl_system_t* system, int sock) {
  pappl_client_t* client =
      frameworkFunction<pappl_client_t* (*)(pappl_system_t*, int)>("_papplClientCreate")(system, sock);
  if (client == nullptr) return nullptr;
  const std::string key = connectionKey(httpGetAddress(papplClientGetHTTP(client)));
  connectionCounts& counts = openConnections();
  if (takeConnection(&counts, key)) return client;
  refuseConnection(system, client, key, counts.limit);
  return nullptr;
}

// A client's end: its address's count goes down, and a large request's memory back to the system.
void _papplClientDelete(pappl_client_t* client) {
  const std::string key = connectionKey(httpGetAddress(papplClientGetHTTP(client)));
  frameworkFunction<void (*)(pappl_client_t*)>("_papplClientDelete")(client);
  giveConnection(&openConnections(), key);
  if (std::exchange(tTrimAtEnd, false)) malloc_trim(0);
}

}  // extern "C"
