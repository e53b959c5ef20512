// SPDX-License-Identifier: Apache-2.0
// The service: its orderly stop (Service.cpp), who may do what (Access.cpp), the rules for the
// requests and jobs the framework hands on (Requests.cpp, SettingsRequests.cpp, RelocateRequests.cpp),
// the history of ended jobs (JobHistory.cpp), the state file (State.cpp, StateFile.cpp) and the
// subcommands (Commands.cpp). The door (app/door/) calls these in the framework's place, handing in
// the framework's own function as 'next'.
#pragma once

#include "app/service/access.h"
#include "app/service/limits.h"
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
// administrator; a refused client is answered. A client that sent credentials is signed in first
// (signInClient()); with a print group set, printing needs a member of it (admitPrinting()).
bool authorizePrinterRequest(pappl_client_t* client);

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

// The pages of jobs (JobActions.cpp). 'webJobRules()' - who may see and change a job on them, as for
// the jobs' requests, and the reprint of an ended job's kept document: a new job of the same owner,
// attributes and document, in the next place of the queue, refused when the spool has no room for it.
// 'serveAllJobsPage()' - the system's page of every printer's jobs (/jobs).
jobPageRules webJobRules();
bool serveAllJobsPage(pappl_client_t* client, void* data);

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

// 'keepPrinterHistory()' - give one printer the server's limits of ended jobs and of their kept
// documents, before a job of it ends: a printer added since the keeper's last round had the framework's
// (no documents kept), and its first jobs' documents were removed as they ended.
void keepPrinterHistory(pappl_printer_t* printer);

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
// creation callback: the printer's "Device and driver" page, linked from its page, and the page of its
// jobs' labels as printed (kJobLabelPage), for the job's owner, the machine itself and administrators.
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

// The subcommands (Commands.cpp), in the framework's place. 'connectServer()' - the server that runs,
// never one started for the command: on the system's socket, else the caller's own, and only a server
// run by root, the service's user or the caller (checkServerPeer()); else nullptr with the reason, or
// how to start a server, printed.
http_t* connectServer(const char* base);

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
