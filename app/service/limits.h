// SPDX-License-Identifier: Apache-2.0
// What one client may make the server hold: a request's attributes, an address's connections, a
// document and the spool (Limits.cpp). Part of the service room, included by its header (service.h).
#pragma once

#include "app/web/web.h"

// An IPP request's message (its attributes; a document that follows is not part of it), as it is read:
// past either limit the request is answered 413 (client-error-request-entity-too-large). Each value costs
// the server a few hundred bytes of memory whatever its size on the wire.
inline constexpr uint64_t kMaxRequestBytes = uint64_t{1} << 20;
inline constexpr uint32_t kMaxRequestValues = 10000;

// What is read of a refused request's rest before it is answered, so that a client that is still
// sending hears why; past either, the connection is closed.
inline constexpr uint64_t kDrainBytes = uint64_t{64} << 20;
inline constexpr int kDrainSeconds = 10;

// A request's message larger than this returns its memory to the system once it is answered.
inline constexpr uint64_t kTrimAfterBytes = uint64_t{256} << 10;

// Where the reading of an IPP message stands, byte by byte: its size, its values, whether its end has
// come. A value is an attribute's first value or a further one, a collection member's name or a
// collection's end.
struct ippScan {
  uint64_t bytes = 0;
  uint32_t values = 0;
  bool ended = false;
  int stage = 0;      // the part being read: header, tag, extension, name length, name, value length, value
  uint32_t need = 8;  // its bytes still to come
  uint32_t length = 0;
};

// 'scanIpp()' - take 'size' more bytes of an IPP message into *scan: true while it stays within
// kMaxRequestBytes and kMaxRequestValues.
bool scanIpp(ippScan* scan, const unsigned char* data, size_t size);

// 'requestRefusal()' - the words for a request past the limits.
std::string requestRefusal(const ippScan& scan);

// The connections the server takes at once, from all clients together (each is a thread), and from one
// address unless the connections-per-address server option says otherwise: past it a connection is
// closed as soon as it is accepted.
inline constexpr int kMaxConnections = 256;
inline constexpr int kDefaultConnectionsPerAddress = 16;

// 'parseConnectionsPerAddress()' - the connections-per-address option's value: 0 and the count in
// *count, or 1 for anything but a whole number from 1 to kMaxConnections (*count is then unchanged).
int parseConnectionsPerAddress(const char* value, int* count);

// 'connectionKey()' - whom a connection from 'address' counts against: an IPv4 address, an IPv6
// address's /64 network (one host holds a whole one), "" for the machine itself (its domain socket
// and loopback, which count only towards kMaxConnections).
std::string connectionKey(const http_addr_t* address);

// The open connections by key; 'limit' is connections-per-address.
struct connectionCounts {
  std::mutex lock;
  std::map<std::string, int> open;
  int limit = kDefaultConnectionsPerAddress;
};

// 'takeConnection()' - count one more connection of 'key': false (nothing counted) when it has
// 'limit' already. 'giveConnection()' - count one of them down. The key "" is never counted.
bool takeConnection(connectionCounts* counts, const std::string& key);
void giveConnection(connectionCounts* counts, const std::string& key);

// The largest document (as the printer gets it: a compressed one counts decompressed), however much of
// the spool is free.
inline constexpr int64_t kMaxDocumentBytes = int64_t{128} << 20;

// 'parseSize()' - a size such as "1G", "512M", "64K" or "1048576" (bytes): 0 and the bytes in *bytes,
// or 1 for anything else, a size under 1 MiB or over 1 TiB (*bytes is then unchanged).
int parseSize(const char* value, int64_t* bytes);

// 'spoolBytes()' - what the files in the spool folder hold together.
int64_t spoolBytes(const std::string& folder);

// 'refuseDocument()' - whether a document must be refused once 'bytes' of it have come, the spool folder
// holding 'spooled' bytes when it began and the documents on their way 'receiving' bytes (its own among
// them), under 'spoolLimit': IPP_STATUS_OK while it may go on, else the answer's status with its words
// in *message: client-error-request-entity-too-large past kMaxDocumentBytes or the spool limit itself,
// server-error-busy when it would fit an emptier spool.
ipp_status_t refuseDocument(int64_t spoolLimit, int64_t bytes, int64_t spooled, int64_t receiving,
                            std::string* message);

// 'describeBytes()' - a size in words: "16 MiB", "1 GiB", "700 KiB".
std::string describeBytes(int64_t bytes);

// A client's request whose attributes are being read: its connection, their scan, whether it was
// refused for the limits.
struct requestReading {
  http_t* http = nullptr;
  ippScan scan;
  bool refused = false;
};

// 'readRequestWithinLimits()' - read a request's attributes into 'ipp' as the library's ippRead()
// does, each byte taken into reading->scan: past the limits, reading->refused and IPP_STATE_ERROR.
ipp_state_t readRequestWithinLimits(requestReading* reading, ipp_t* ipp);

// 'returnsMemory()' - whether the request's memory goes back to the system once its client has ended.
bool returnsMemory(const requestReading& reading);

// 'respondToRequest()' - the framework's answer 'code' through 'next' (papplClientRespond()); the
// framework's 400 to a request refused for the limits becomes a 413 with the reason, once the request's
// rest has been read away (within kDrainBytes and kDrainSeconds).
using respondFunction = bool (*)(pappl_client_t*, http_status_t, const char*, const char*, time_t, size_t);
bool respondToRequest(pappl_client_t* client, const requestReading* reading, http_status_t code,
                      const char* contentEncoding, const char* type, time_t lastModified, size_t length,
                      respondFunction next);

// A document being spooled: its connection (nullptr when it is not counted), the server's settings,
// the spool's bytes when it began, its own so far (decompressed), and once refused the answer and
// what has been read away of its rest.
struct documentReading {
  http_t* http = nullptr;
  appConfig* config = nullptr;
  int64_t spooled = 0;
  int64_t bytes = 0;
  ipp_status_t refusal = IPP_STATUS_OK;
  std::string message;
  uint64_t drained = 0;
  int64_t drainUntil = 0;
};

// 'copyDocumentWithinLimits()' - the framework's copy of a job's document into the spool ('next'),
// counted in *reading by readDocumentBytes() as the framework reads it: past the document or the
// spool limit the framework removes the file and ends the job, which gets the reason, and the request
// is answered too-large or busy. Raster streams are printed as they come and are not counted.
void copyDocumentWithinLimits(pappl_client_t* client, pappl_job_t* job, documentReading* reading,
                              void (*next)(pappl_client_t*, pappl_job_t*));

// 'readDocumentBytes()' - the framework's read of a counted document ('next', httpRead2()): -1 once
// past a limit; then the rest is read away as the framework asks, within kDrainBytes and kDrainSeconds.
ssize_t readDocumentBytes(documentReading* reading, char* buffer, size_t length,
                          ssize_t (*next)(http_t*, char*, size_t));

// 'admitClient()' - a client the framework has just accepted: counted against its address, or past
// connections-per-address closed (logged, and told why if it listens), nullptr.
pappl_client_t* admitClient(connectionCounts* counts, pappl_system_t* system, pappl_client_t* client);

// 'endClient()' - the framework's end of a client ('next'), its address counted down; with 'trim', the
// memory glibc keeps goes back to the system.
void endClient(connectionCounts* counts, pappl_client_t* client, bool trim, void (*next)(pappl_client_t*));
