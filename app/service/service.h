// SPDX-License-Identifier: Apache-2.0
// The service: its orderly stop (Service.cpp), who may do what (Access.cpp), the state file
// (State.cpp, StateFile.cpp) and the command line's own (in app/door/Commands.cpp).
#pragma once

#include "app/web/web.h"

// The seconds a stop may take: the labels being sent get a few of them, the state is saved, and then
// the process ends even if the framework's own shutdown would wait for queued jobs.
inline constexpr int kStopSeconds = 8;

// 'startStopWatcher()' - block SIGTERM and SIGINT in every thread the process will make, start the
// thread that waits for them, and add the system's timer that carries a stop out. Call on the main
// thread before the framework starts any thread.
void startStopWatcher(pappl_system_t* system, appConfig* config);

// 'finishStopWatcher()' - end the watcher thread once the framework's main loop has returned.
void finishStopWatcher(appConfig* config);

// Chooses the driver of a printer saved without one: from its device URI and the resolution it was
// saved with (0 when unknown).
using driverResolver = std::function<std::string(const std::string& uri, int dotsPerInch)>;

// 'prepareStateForLoad()' - the state text as the framework is to read it: a printer saved with the
// driver "auto" (which the framework drops when its printer cannot be asked at the start) gets the
// driver 'resolve' chooses, a job that was printing when the server stopped waits to print again,
// whole, and a job line without a format (a job whose document never came) gets one, so that the
// framework reads on past it. The queued jobs' places go to *places, and what was mended to *notes.
std::string prepareStateForLoad(const std::string& text, const driverResolver& resolve,
                                std::vector<savedPlace>* places, std::vector<std::string>* notes);

// 'annotateSavedState()' - the framework's state text with what it leaves out: 'extraLines' of each
// printer (by id) in its block before its jobs, and on each queued job's line its place ('placeOf' a
// printer and job id; 0 for none).
std::string annotateSavedState(const std::string& text, const std::function<std::string(int)>& extraLines,
                               const std::function<uint64_t(int, int)>& placeOf);

// 'replaceFile()' - replace 'path' with 'text' through a temporary file beside it, flushed to the disk
// and renamed over it, mode 0600: a crash at any moment leaves the old file or the new one. False with
// the reason in *error.
bool replaceFile(const std::string& path, const std::string& text, std::string* error);

// 'readWholeFile()' - a file's bytes, "" when it cannot be read.
std::string readWholeFile(const std::string& path);

// 'saveState()' - the system's save callback: the framework's state with the application's additions,
// replacing the state file in one step (nothing is written when nothing changed). 'data' is the
// appConfig (State.cpp).
bool saveState(pappl_system_t* system, void* data);

// 'loadState()' - read the state file, mended as prepareStateForLoad() says, into a system that does
// not run yet; its queued jobs keep their places (State.cpp).
bool loadState(pappl_system_t* system, appConfig* config);

// 'changesState()' - whether an operation may change what the state file keeps.
bool changesState(ipp_op_t op);

// 'saveAfterRequest()' - save the state once a request that changed it is done, before the client
// hears of it: what the server said yes to survives a crash or a power cut from then on (State.cpp).
void saveAfterRequest(pappl_client_t* client);

// 'savedLines()' - what the framework leaves out of a printer's block in the state file (State.cpp).
std::string savedLines(pappl_printer_t* printer);

// 'lockStateFolder()' - take the lock beside the state file that one server holds while it runs: its
// descriptor, or -1 when another server holds it (its process id in *holder, 0 when unknown) or the lock
// cannot be made (the reason in *error).
int lockStateFolder(const std::string& statePath, int* holder, std::string* error);

// 'stateFilePath()' - the state file the framework's main loop would choose for 'base', from the
// environment (SNAP_COMMON, XDG_CONFIG_HOME, HOME, TMPDIR) and the user id.
std::string stateFilePath(const char* base);

// What an operation on a printer or a job asks of a client from the network.
enum accessNeed {
  kNeedNothing,  // printing, reading, subscriptions
  kNeedOwner,    // changing a job: its owner, or an administrator
  kNeedAdmin,    // changing the printer
};
accessNeed operationNeed(ipp_op_t op);

// 'isLocalClient()' - whether a client is on the machine itself.
bool isLocalClient(pappl_client_t* client);

// 'requestingUser()' - the name a client acts under: the authenticated user, else the
// requesting-user-name it sent, else "guest" (as the framework names a job's owner).
std::string requestingUser(pappl_client_t* client);

// 'hashPassword()' - the administrator password's stored form, "NONCE~HASH" (HASH the hexadecimal
// SHA-256 of "NONCE:PASSWORD"): with the nonce of 'salt', a stored hash, when it has one, else with
// 'freshNonce'. A password is right when its hash with the stored one as salt is the stored one.
std::string hashPassword(const char* salt, const char* password, const char* freshNonce);

// 'checkAdminPassword()' - the answer to a network client's Basic credentials when the administrator
// has set a password: continue (the client is named after the user it gave), unauthorized, or
// upgrade-required on a connection without TLS.
http_status_t checkAdminPassword(pappl_client_t* client);

// 'hidePrivateJobValues()' - remove the job name and originating user and host of every job in an
// IPP response whose owner ('ownerOf' a job id, "" when unknown) is not 'viewer'. A job group
// without job-id or job-uri counts as another's.
void hidePrivateJobValues(ipp_t* response, const std::string& viewer,
                          const std::function<std::string(int)>& ownerOf);

// 'respondRemoteAdminOff()' - the page a network client gets for an administrative page when no
// authentication is configured: 403 and how to enable remote administration.
void respondRemoteAdminOff(pappl_client_t* client);

// 'respondStrangerPrinterHome()' - a printer's page for a network client that is not an
// administrator: its status and its jobs, their names and owners hidden.
void respondStrangerPrinterHome(pappl_client_t* client, pappl_printer_t* printer);

// 'printUsage()' - the --help text: the subcommands, the options, the server options, files and log.
void printUsage(const char* base);

// 'rewriteCopies()' - make each "-n COPIES" of the arguments "-o copies=COPIES", which the framework
// sends; 1 with the reason for a count that is not 1 to kMaxCopies.
int rewriteCopies(std::vector<char*>& arguments, std::string* error);

// The limits of what one client may make the server hold (Limits.cpp).

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
