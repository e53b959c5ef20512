// SPDX-License-Identifier: Apache-2.0
// The service: its orderly stop (Service.cpp), who may do what (Access.cpp), the rules for the
// requests and jobs the framework hands on (Requests.cpp, SettingsRequests.cpp, RelocateRequests.cpp),
// the history of ended jobs (JobHistory.cpp), the state file (State.cpp, StateFile.cpp) and the
// subcommands (Commands.cpp). The door (app/door/) calls these in the framework's place, handing in
// the framework's own function as 'next'.
#pragma once

#include "app/web/web.h"

// The framework's internal functions of its command line, which PAPPL 1.3.1 exports but declares in no
// installed header.
extern "C" {
void _papplMainloopAddPrinterURI(ipp_t* request, const char* printer_name, char* resource, size_t size);
http_t* _papplMainloopConnect(const char* base_name, bool auto_start);
http_t* _papplMainloopConnectURI(const char* base_name, const char* printer_uri, char* resource, size_t size);
char* _papplMainloopGetDefaultPrinter(http_t* http, char* buffer, size_t size);
char* _papplMainloopGetServerPath(const char* base_name, uid_t uid, char* buffer, size_t size);
}

// The seconds a stop may take: the labels being sent get a few of them, the state is saved, and then
// the process ends even if the framework's own shutdown would wait for queued jobs.
inline constexpr int kStopSeconds = 8;

// 'startStopWatcher()' - block SIGTERM and SIGINT in every thread the process will make, start the
// thread that waits for them, and add the system's timer that carries a stop out. Call on the main
// thread before the framework starts any thread.
void startStopWatcher(pappl_system_t* system, appConfig* config);

// 'listenAddresses()' - where the server listens for the listen-hostname option's value 'name' at
// 'port': every interface on IPv4 and IPv6 for none (or "*"), each address of a host name, on both
// families, and a domain socket or one address as given; each as the framework's listener takes it
// ("192.0.2.1", "[2001:db8::1]").
std::vector<std::string> listenAddresses(const char* name, int port);

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

// 'makePrivateFile()' - make 'path' an empty file of mode 0600 (not through a symbolic link), for
// another writer that truncates it and keeps its mode: the framework's save writes with the process's
// umask. False with the reason in *error.
bool makePrivateFile(const std::string& path, std::string* error);

// 'readWholeFile()' - a file's bytes, "" when it cannot be read.
std::string readWholeFile(const std::string& path);

// 'saveState()' - the system's save callback: the framework's state with the application's additions,
// replacing the state file in one step (nothing is written when nothing changed). 'data' is the
// appConfig (State.cpp).
bool saveState(pappl_system_t* system, void* data);

// 'saveStateSoon()' - the framework's loop's save callback: saveState(), but while a request's save is
// being made the loop does not wait for it (it would take no connection meanwhile) and asks again at
// its next turn.
bool saveStateSoon(pappl_system_t* system, void* data);

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

// 'hashPassword()' - the administrator password's stored form of earlier versions, "NONCE~HASH" (HASH
// the hexadecimal SHA-256 of "NONCE:PASSWORD"): with the nonce of 'salt', a stored hash, when it has
// one, else with 'freshNonce'. Such a hash is still checked (passwordMatches()) until the password
// next changes; new passwords are stored as newPasswordHash() makes them (SignIn.cpp).
std::string hashPassword(const char* salt, const char* password, const char* freshNonce);

// 'slowPasswordHash()' - the stored form of a new administrator password: yescrypt with a fresh random
// salt and the crypt library's default cost ("$y$..."), which fits the framework's 99 characters; ""
// when the library cannot make one.
std::string slowPasswordHash(const char* password);

// 'passwordMatches()' - whether 'password' is the one whose stored form is 'stored': a crypt hash
// ("$y$...", "$6$..."), or the "NONCE~HASH" of earlier versions. False for an empty stored form.
bool passwordMatches(const std::string& stored, const char* password);

// How a sign-in's waits grow: none before the first failure from an address, then kFirstSignInDelay
// milliseconds, doubled with each failure up to kLastSignInDelay. An attempt that would wait longer
// than kLongestSignInWait behind those of its address is refused unchecked; an address's failures are
// forgotten kForgetSignIns after its last one, and at most kSignInAddresses addresses are kept.
inline constexpr int64_t kFirstSignInDelay = 250;
inline constexpr int64_t kLastSignInDelay = 4000;
inline constexpr int64_t kLongestSignInWait = 8000;
inline constexpr int64_t kForgetSignIns = 15 * 60 * 1000;
inline constexpr size_t kSignInAddresses = 1024;
inline constexpr int kChecksAtOnce = 2;

// 'signInDelay()' - the milliseconds between checks from an address with 'failures' failures.
int64_t signInDelay(int failures);

// 'reserveSignIn()' - an attempt from 'address' at 'now' (monotonic milliseconds): how long it waits
// before its password is checked, its turn taken so that the address's next attempt waits behind it;
// -1 when it would wait longer than kLongestSignInWait and is refused unchecked.
int64_t reserveSignIn(signInGate* gate, const std::string& address, int64_t now);

// 'noteSignIn()' - the outcome of a checked attempt from 'address': a right one forgets its failures,
// a wrong one adds one and puts the address's next check signInDelay() after it.
void noteSignIn(signInGate* gate, const std::string& address, bool right, int64_t now);

// 'signInAddress()' - the address whose failures a client's sign-in counts towards: its IP address,
// an IPv6 one by its /64 network (one machine's share), "" for the domain socket.
std::string signInAddress(pappl_client_t* client);

// 'checkSignIn()' - whether 'check' finds a client's password right, once the client's address has
// waited its turn (reserveSignIn()) and one of kChecksAtOnce places is free; a wait ends early, the
// password unchecked, when the server stops. 'config' nullptr checks at once.
bool checkSignIn(appConfig* config, pappl_client_t* client, const std::function<bool()>& check);

// 'checkAdminPassword()' - the answer to a network client's Basic credentials when the administrator
// has set a password: continue (the client is named after the user it gave), unauthorized, or
// upgrade-required on a connection without TLS. A wrong password makes the address's next attempt
// wait (checkSignIn()).
http_status_t checkAdminPassword(pappl_client_t* client);

// A request's Host field split: its name (an IPv6 address without its brackets) and port, 0 for none.
struct hostField {
  std::string name;
  int port = 0;
};

// 'splitHostField()' - a Host field ("name", "name:port", "[v6]", "[v6]:port") split; false for one of
// no name, a bad port or a bare IPv6 address.
bool splitHostField(const std::string& field, hostField* split);

// The names and addresses by which the server is its own: the names in lower case without a final
// dot, the addresses as inet_ntop() writes them.
struct serverNames {
  std::vector<std::string> names;
  std::vector<std::string> addresses;
};

// 'ownServerNames()' - the server's names: localhost, the system's host name and the machine's, each
// with its ".local" name, and 'listenName' (the listen-hostname, "" for none); its addresses: those of
// the machine's interfaces (Hosts.cpp).
serverNames ownServerNames(pappl_system_t* system, const std::string& listenName);

// 'isServerHost()' - whether a Host field names the server: a loopback address (127.0.0.0/8, ::1, in
// brackets for IPv6), one of 'own' addresses, or one of its names, in any case, with or without a
// final dot, with any port. The other names a stranger's page may be served under, rebound to this
// machine, are not.
bool isServerHost(const std::string& field, const serverNames& own);

// 'isSameOrigin()' - whether a request's Origin field is the origin of its own Host field: the scheme
// of the connection (https on TLS), the same name in any case and the same port (80 or 443 when not
// given). "null" and anything else are not.
bool isSameOrigin(const std::string& origin, const std::string& host, bool encrypted);

// 'answerRequest()' - one request of a client through 'next' (the framework's), on the client's own
// thread: while it runs, requestClient() names the client and checkedHostField() checks its Host.
bool answerRequest(pappl_client_t* client, bool (*next)(pappl_client_t*));

// 'requestClient()' - the client whose request this thread answers, nullptr when none.
pappl_client_t* requestClient();

// 'checkedHostField()' - the field 'value' of 'http' as the framework is to see it: for the Host field
// of the request this thread answers, "" (which the framework answers 400 Bad Request) when the
// request is foreign (foreignRequestReason(), logged once), else 'value' as it is.
const char* checkedHostField(http_t* http, http_field_t field, const char* value);

// 'foreignRequestReason()' - why the server refuses a request whose Host field is 'host', "" when it
// takes it: on a loopback connection a Host that is none of the server's names ('listenName' one of
// them), and from anywhere a POST whose Origin is not the server's own origin.
std::string foreignRequestReason(pappl_client_t* client, const char* host, const std::string& listenName);

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

// Access (Requests.cpp). 'authorizeAdminPage()' - whether a client may see an administrative page: the
// machine itself; from the network, the framework's sign-in over TLS ('next') when authentication is
// configured, else a page that says how to set it up.
bool authorizeAdminPage(pappl_client_t* client, bool (*next)(pappl_client_t*));

// 'authorizeAdmin()' - whether a client may change the system: the machine itself, else an
// administrator who signs in (PAM over TLS through 'pam', or the administrator password), else
// forbidden.
http_status_t authorizeAdmin(pappl_client_t* client, http_status_t (*pam)(pappl_client_t*));

// 'authorizePrinterRequest()' - whether a client may do what its request on a printer or a job asks:
// printing and reading are open, a job is changed by its owner or an administrator, the printer by an
// administrator; a refused client is answered. A client that signs in is signed in first ('signIn').
using signInForGroup = std::function<void(pappl_client_t*)>;
bool authorizePrinterRequest(pappl_client_t* client, const signInForGroup& signIn);

// 'newPasswordHash()' - a new administrator password's stored form ('salt' nullptr, or no stored
// hash): slowPasswordHash()'s, or should the crypt library fail, the earlier versions' with a fresh
// nonce; or the check of a password against the stored one ('salt'): the stored one when it is right,
// "!" when not, after the waits of the address of the client whose request this thread answers
// (checkSignIn()). The framework compares what it gets with the stored hash.
std::string newPasswordHash(pappl_system_t* system, const char* salt, const char* password);

// Requests (Requests.cpp, SettingsRequests.cpp): each runs a request through the application's rules
// and the framework's processing ('next'), and saves the state before the client hears of a change.
void processSystemRequest(pappl_client_t* client, void (*next)(pappl_client_t*));
void processPrinterRequest(pappl_client_t* client, void (*next)(pappl_client_t*));
void processJobRequest(pappl_client_t* client, void (*next)(pappl_client_t*));

// 'numberPrinters()' - make each printer's group of a Get-Printers response carry its printer-id as
// the printer has it.
void numberPrinters(ipp_t* response, pappl_system_t* system);

// 'showPrinterHome()' - a printer's web page: its actions (pause, test page, default printer, ...)
// are an administrator's ('next', the framework's page); a stranger sees the printer's status and
// its jobs without their names and owners.
void showPrinterHome(pappl_client_t* client, pappl_printer_t* printer,
                     void (*next)(pappl_client_t*, pappl_printer_t*));

// Jobs (Requests.cpp). 'processQueuedJob()' - a queued job's thread: with the printer's place taken,
// it prints through 'next' the job that is first in the queue (the framework starts the newest one
// that waits), only one that still waits and has its file; when a client's raster stream is first it
// leaves the printer to it. A network device opens even when the printer cannot be reached, and the
// job then waits for it without the framework's pause. The history is trimmed afterwards.
void processQueuedJob(pappl_job_t* job, void* (*next)(pappl_job_t*));

// 'placeNewJob()' - give a job the framework made, accepted or read from the state file, its place in
// the queue (the saved one, else the next).
void placeNewJob(pappl_printer_t* printer, pappl_job_t* job);

// 'processRasterJob()' - a client's raster stream printed through 'next', its device opened as a
// queued job's is; the history is trimmed afterwards.
void processRasterJob(pappl_job_t* job, pappl_client_t* client, void (*next)(pappl_job_t*, pappl_client_t*));

// 'takeRasterPage()' - whether a raster stream's page fits the printer's largest label; else the job
// is told why and the stream ends.
bool takeRasterPage(pappl_job_t* job, const cups_page_header2_t& header);

// 'keepHistory()' - trim every printer's history of ended jobs to 'history', the oldest going first,
// with their files in the spool folder; the state file is then saved without them (JobHistory.cpp).
// Call with no printer or job of the framework locked.
void keepHistory(pappl_system_t* system, int history);

// 'startHistoryKeeper()' - the system's timer that trims the histories with the server's job-history
// at the start (after the state file) and every few seconds (jobs cancelled before they printed).
void startHistoryKeeper(pappl_system_t* system, appConfig* config);

// Settings requests (SettingsRequests.cpp). 'setPrinterSettings()' - a Set-Printer-Attributes request,
// with 'next' the framework's processing: a value the printer does not take is refused with the
// reason before anything changes; the settings the framework cannot set are set by the application
// once the rest are; a new default label size is the loaded one too.
void setPrinterSettings(pappl_client_t* client, void (*next)(pappl_client_t*));

// 'takeSheetMedia()' - take out of a job request a media (media, or media-col by size name or size)
// that is a sheet rather than a label: a size the printer does not list, narrower side wider than its
// widest label (Letter, A4 and the like, as carriers' shipping labels come: a label on a quarter of
// the sheet). The job then prints on the loaded labels, and automatic scaling cuts the label from the
// sheet. True when it took one.
bool takeSheetMedia(ipp_t* request, const pappl_pr_driver_data_t& data);

// 'applyCopiesDefault()' - give a Print-Job or Create-Job request without copies the printer's default
// copies.
void applyCopiesDefault(pappl_client_t* client);

// 'repairPrinterValues()' - make a printer's response to 'request' carry the printer's own printer-id,
// its default copies, print speed and darkness change as asked for, no printer-supply-info-uri to
// a page the printer does not have, and its media-col-database when 'database' says so.
void repairPrinterValues(ipp_t* response, pappl_printer_t* printer, ipp_t* request, bool database);

// 'expandRequestGroups()' - a Get-Printer-Attributes request's requested-attributes rewritten as
// expandRequestedAttributes() says, before the framework reads them: true when media-col-database is
// to be added to the answer (repairPrinterValues()).
bool expandRequestGroups(ipp_t* request);

// A printer's device and driver (RelocateRequests.cpp). 'addPrinterPages()' - the framework's printer
// creation callback: the printer's "Device and driver" page, linked from its page.
void addPrinterPages(pappl_printer_t* printer, void* data);

// 'takeDeviceChange()' - a Set-Printer-Attributes request that changes the device or the driver: checked
// and made here, its other settings handed to 'next', the client answered; false for a request that
// changes neither.
bool takeDeviceChange(pappl_client_t* client, const std::function<void(pappl_client_t*)>& next);

// 'createPrinterWithReason()' - a Create-Printer request through 'next', answered with the reason
// when its device is refused.
void createPrinterWithReason(pappl_client_t* client, void (*next)(pappl_client_t*));

// 'takesDeviceUri()' - whether a new printer may have a device URI: a file URI that parses (which file
// devices a printer may have is the driver callback's decision, which says why it refuses one), else
// as 'next' (the framework's) says.
bool takesDeviceUri(const char* uri, bool (*next)(const char*));

// The subcommands (Commands.cpp), in the framework's place. 'connectServer()' - the server that runs
// through 'next', never one started for the command, else nullptr with how to start it printed.
http_t* connectServer(const char* base, http_t* (*next)(const char*, bool));

// status: the server's or a printer's state in words, exit status 1 when there is no such printer;
// jobs: each job, with the reason in words for one that ended without printing; modify: every
// setting checked before anything is sent, a new device or driver too; options: every setting with
// its values; drivers: the list, without the server's system object; shutdown: returns once the
// server has gone; add: a printer without a driver is asked what it is.
int statusCommand(const char* base, int count, cups_option_t* options);
int jobsCommand(const char* base, int count, cups_option_t* options);
int modifyCommand(const char* base, int count, cups_option_t* options);
int optionsCommand(const char* base, int count, cups_option_t* options);
int driversCommand(const char* base, int count, pappl_pr_driver_t* drivers, pappl_pr_autoadd_cb_t autoadd,
                   pappl_pr_driver_cb_t driver, int optionCount, cups_option_t* options, void* system,
                   void* data);
int shutdownCommand(const char* base, int count, cups_option_t* options,
                    int (*next)(const char*, int, cups_option_t*));
int addCommand(const char* base, int count, cups_option_t* options,
               int (*next)(const char*, int, cups_option_t*));
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
