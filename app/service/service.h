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

// 'trustsServerPeer()' - whether the subcommands may talk to a server that listens as 'peer': root, the
// service's user ('service'; (uid_t)-1 when there is none) or the caller. Another local user who plants
// a socket where the subcommands look would otherwise receive their documents and answer in the
// server's name.
bool trustsServerPeer(uid_t peer, uid_t caller, uid_t service);

// 'checkServerPeer()' - whether the connected domain socket 'fd' leads to a server the caller may trust
// (trustsServerPeer(), the service's user being 'label-printer-app'): 0, or 1 with the reason.
int checkServerPeer(int fd, std::string* reason);

// 'printUsage()' - the --help text: the subcommands, the options, the server options, files and log.
void printUsage(const char* base);

// 'rewriteCopies()' - make each "-n COPIES" of the arguments "-o copies=COPIES", which the framework
// sends; 1 with the reason for a count that is not 1 to kMaxCopies.
int rewriteCopies(std::vector<char*>& arguments, std::string* error);
