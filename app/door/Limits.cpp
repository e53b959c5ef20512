// SPDX-License-Identifier: Apache-2.0
// The framework's reading of a request's attributes and of a document, and its making and ending of a
// client (the rules: app/service/Limits.cpp).
#include <utility>

#include "app/door/door.h"

namespace {

// The request whose attributes this thread reads: the framework reads them with ippRead() on the
// connection's own thread, and answers a request it could not read on it.
thread_local requestReading* tReading = nullptr;

// Whether this thread's client had a request whose memory goes back once the client has ended.
thread_local bool tTrimAtEnd = false;

// The document this thread spools: the framework copies it with httpRead2().
thread_local documentReading* tDocument = nullptr;

// The open connections of each address: the process's listeners are the framework's, and its making of
// a client carries nothing of the application's, so the count is the process's own.
connectionCounts& openConnections() {
  static connectionCounts counts;
  return counts;
}

}  // namespace

void limitConnections(pappl_system_t* system, int perAddress) {
  openConnections().limit = perAddress;
  papplSystemSetMaxClients(system, kMaxConnections);
}

extern "C" {

// Each HTTP request of a client, on its thread: its IPP attributes are read within the limits, its
// Host and Origin checked (answerRequest()).
bool _papplClientProcessHTTP(pappl_client_t* client) {
  requestReading reading;
  reading.http = papplClientGetHTTP(client);
  requestReading* outer = std::exchange(tReading, &reading);
  const bool result =
      answerRequest(client, frameworkFunction<bool (*)(pappl_client_t*)>("_papplClientProcessHTTP"));
  tReading = outer;
  tTrimAtEnd = tTrimAtEnd || returnsMemory(reading);
  return result;
}

// A client's request's attributes; elsewhere (the subcommands reading a server's answers) the
// library's own reading.
ipp_state_t ippRead(http_t* http, ipp_t* ipp) {
  requestReading* reading = tReading;
  if (reading == nullptr || http == nullptr || reading->http != http)
    return frameworkFunction<ipp_state_t (*)(http_t*, ipp_t*)>("ippRead")(http, ipp);
  return readRequestWithinLimits(reading, ipp);
}

bool papplClientRespond(pappl_client_t* client, http_status_t code, const char* contentEncoding,
                        const char* type, time_t lastModified, size_t length) {
  return respondToRequest(client, tReading, code, contentEncoding, type, lastModified, length,
                          frameworkFunction<respondFunction>("papplClientRespond"));
}

void _papplJobCopyDocumentData(pappl_client_t* client, pappl_job_t* job) {
  documentReading reading;
  documentReading* outer = std::exchange(tDocument, &reading);
  copyDocumentWithinLimits(
      client, job, &reading,
      frameworkFunction<void (*)(pappl_client_t*, pappl_job_t*)>("_papplJobCopyDocumentData"));
  tDocument = outer;
}

ssize_t httpRead2(http_t* http, char* buffer, size_t length) {
  const auto next = frameworkFunction<ssize_t (*)(http_t*, char*, size_t)>("httpRead2");
  documentReading* reading = tDocument;
  if (reading == nullptr || reading->http == nullptr || reading->http != http)
    return next(http, buffer, length);
  return readDocumentBytes(reading, buffer, length, next);
}

// A connection just accepted: refused when its address has connections-per-address open already.
pappl_client_t* _papplClientCreate(pappl_system_t* system, int sock) {
  return admitClient(
      &openConnections(), system,
      frameworkFunction<pappl_client_t* (*)(pappl_system_t*, int)>("_papplClientCreate")(system, sock));
}

void _papplClientDelete(pappl_client_t* client) {
  endClient(&openConnections(), client, std::exchange(tTrimAtEnd, false),
            frameworkFunction<void (*)(pappl_client_t*)>("_papplClientDelete"));
}

}  // extern "C"
