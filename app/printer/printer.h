// SPDX-License-Identifier: Apache-2.0
// The printer: the server's settings that every printer shares, the models and the driver callback
// (Driver.cpp), what the application knows of each printer's two-way link, its status, identity and
// reach (Status.cpp), one job at a time and the queue's order (Jobs.cpp, Queue.cpp), and a printer
// changed in place (Relocate.cpp).
#pragma once

#include <condition_variable>
#include <deque>
#include <set>
#include <utility>

#include "app/settings/settings.h"

struct printerLink;
struct savedPlace;

// A change of a printer's device or driver: "" keeps the present one.
struct printerMove {
  std::string deviceUri;
  std::string driver;
};

// A string the framework's printer record held until a change: other threads may still read it, so it
// lives as long as the printer.
struct freeString {
  void operator()(char* s) const { std::free(s); }
};

// The document format of data already written in the label command language.
inline constexpr char kLabelCommandFormat[] = "application/vnd.label-commands";

// The ended jobs a printer may keep in its history (the job-history server option). Each costs about a
// kilobyte of memory and a line of the state file, which is written whole when a job is accepted and
// when it ends: with 1,000 kept jobs a small job takes about a tenth of a second on the 2-core machine,
// with 10,000 it would take longer than the printer takes to print it.
inline constexpr int kMinJobHistory = 1;
inline constexpr int kMaxJobHistory = 1000;
inline constexpr int kDefaultJobHistory = 100;

// The most bytes the spool folder's files may hold together, unless the spool-limit server option
// says otherwise: a document that would take it past this is refused busy, never written half.
inline constexpr int64_t kDefaultSpoolLimit = int64_t{1} << 30;

// 'parseJobHistory()' - the job-history option's value: 0 and the count in *history, or 1 for anything
// but a whole number from kMinJobHistory to kMaxJobHistory (*history is then left as it is).
int parseJobHistory(const char* value, int* history);

// A job created without its document (Create-Job) waits this long for it (the docless-job-timeout
// option, seconds) and then ends aborted; a network client may have this many such jobs at once.
inline constexpr int kDefaultDoclessJobSeconds = 300;
inline constexpr int kMaxDoclessJobSeconds = 86400;
inline constexpr int kMaxDoclessJobsPerClient = 10;

// The subscriptions a network client may hold at once (the framework holds 100 in all).
inline constexpr int kMaxSubscriptionsPerClient = 10;

// What the server knows of who made what, beyond the framework's record: each subscription's client
// (its address, and its account when signed in) and printer and job; each job still waiting for its
// document with its client; the jobs whose document is arriving; and the ended jobs the history may
// not drop yet (a subscription still points at them, or they are being ended). The lock is the last
// one taken: nothing of the framework is called while it is held.
struct subscriptionRecord {
  std::string client;
  int printerId = 0;
  int jobId = 0;           // 0 for a printer's subscription
  bool jobGone = false;    // the history would have dropped the job
  bool cancelled = false;  // the framework drops it within seconds; until then it still points at its job
};
struct clientBook {
  std::mutex lock;
  std::map<int, subscriptionRecord> subscriptions;
  std::map<std::pair<int, int>, std::string> doclessJobs;  // (printer id, job id): the client
  std::set<std::pair<int, int>> receiving;
  std::set<std::pair<int, int>> pinned;
};

// How long a client's raster stream may take to bring its next page (or its end) while it holds the
// printer, the printer's own time not counted (the stream-timeout server option, in seconds): a client
// that stops sending, or trickles, loses the printer to the next job then.
inline constexpr int kMinStreamSeconds = 1;
inline constexpr int kMaxStreamSeconds = 3600;
inline constexpr int kDefaultStreamSeconds = 60;

// 'parseStreamTimeout()' - the stream-timeout option's value: 0 and the seconds in *seconds, or 1 for
// anything but a whole number from kMinStreamSeconds to kMaxStreamSeconds.
int parseStreamTimeout(const char* value, int* seconds);
// The longest the printing of a PDF document may wait for its pages to be rendered, in seconds, all
// its pages together (the pdf-time-limit server option); past it the job ends with the pages printed
// so far. A label renders in milliseconds: two minutes is a thousand labels of a drawing far slower
// than any label.
inline constexpr int kMinPdfSeconds = 1;
inline constexpr int kMaxPdfSeconds = 86400;
inline constexpr int kDefaultPdfSeconds = 120;

// 'parsePdfTimeLimit()' - the pdf-time-limit option's value: 0 and the seconds in *seconds, or 1 for
// anything but a whole number from kMinPdfSeconds to kMaxPdfSeconds (*seconds is then left as it is).
int parsePdfTimeLimit(const char* value, int* seconds);

// The driver's callbacks that print a job's documents and the test label, which belong to the rooms
// above the printer's: the program hands them to the driver callback with the server's settings.
struct printerCallbacks {
  pappl_pr_printfile_cb_t printfile = nullptr;
  pappl_pr_rstartjob_cb_t startJob = nullptr;
  pappl_pr_rstartpage_cb_t startPage = nullptr;
  pappl_pr_rwriteline_cb_t writeLine = nullptr;
  pappl_pr_rendpage_cb_t endPage = nullptr;
  pappl_pr_rendjob_cb_t endJob = nullptr;
  pappl_pr_testpage_cb_t testPage = nullptr;
};

// A client address's failed sign-ins: how many since its last right one, when the last one was (or the
// record was made; it is forgotten some time after), and from when its next attempt may be checked
// (monotonic milliseconds).
struct signInRecord {
  std::string address;
  int failures = 0;
  int64_t lastFailure = 0;
  int64_t nextCheck = 0;
};

// The server's sign-ins: each address's failures, and how many password checks run (each takes a
// slow hash's memory and time, so only a few run at once).
struct signInGate {
  std::mutex lock;
  std::condition_variable freed;
  int checking = 0;
  std::vector<signInRecord> records;
};

// What the server was started with and where its stop stands, made by main() and handed to the
// framework as the system and driver callbacks' data: it outlives the system.
struct appConfig {
  std::string fileFolder;      // the one folder file devices may write in (canonical); "" when they are off
  std::string statePath;       // the state file
  std::string rendererPath;    // the PDF renderer, "" when there is none
  std::string spoolFolder;     // where jobs' files are kept
  std::string listenName;      // the listen-hostname the server was started with, "" for none
  printerCallbacks callbacks;  // the driver's printing callbacks
  int jobHistory = kDefaultJobHistory;  // the ended jobs each printer keeps (job-history)
  int pdfSeconds = kDefaultPdfSeconds;  // a PDF document's time to render (pdf-time-limit)
  // The spool's limits: the most its files may hold together (spool-limit), and the bytes of the
  // documents being received now, which count against it until they are written.
  int64_t spoolLimit = kDefaultSpoolLimit;
  std::atomic<int64_t> receiving{0};
  int doclessJobSeconds = kDefaultDoclessJobSeconds;  // docless-job-timeout
  clientBook clients;
  int streamSeconds = kDefaultStreamSeconds;  // a raster stream's time for each page (stream-timeout)
  // The stop: a signal asks for it (the watcher thread), the system's timer carries it out, and the
  // watcher ends the process should the system not end in time.
  std::atomic<bool> stopRequested{false};  // SIGTERM or SIGINT arrived
  std::atomic<bool> stopping{false};       // no new job starts; the printing ones are being cancelled
  std::atomic<bool> stopped{false};        // the printing jobs have ended and the state is saved
  std::atomic<bool> exiting{false};        // main() is returning: the watcher ends
  std::thread watcher;
  pappl_system_t* system = nullptr;  // the server's system, for the log of the driver choice
  // The queue's order: the next place a job takes (Queue.cpp), and the places a state file brought,
  // given to its jobs as the framework makes them.
  std::atomic<uint64_t> nextPlace{1};
  std::vector<savedPlace> loadedPlaces;
  // One save of the state at a time, what the last one wrote, and how many saves were asked for and
  // how many of them the last one made covered.
  std::mutex saving;
  std::string lastSaved;
  std::atomic<uint64_t> saveRequests{0};
  uint64_t savesMade = 0;
  int stateLock = -1;                 // the state folder's lock, held while the server runs
  int64_t stopAsked = 0;              // when the stop was asked for (monotonic milliseconds)
  std::deque<std::string> pageWords;  // the pages' words made at the start, which the framework reads
  signInGate signIns;                 // the administrator's sign-ins from each address
};

// 'keepServerSettings()' - make the server's settings the system's, for serverSettings() to find from
// any client's thread; call before the system runs. The framework keeps no data of the application's
// that a function gives back but a document filter's, so the settings ride on a filter between two
// formats of the application's own, which no document has and no printer lists (Server.cpp).
void keepServerSettings(pappl_system_t* system, appConfig* config);

// 'serverSettings()' - the server's settings that keepServerSettings() gave the system, nullptr when it
// has none.
appConfig* serverSettings(pappl_system_t* system);

// A queued job's place, as a state file keeps it.
struct savedPlace {
  int printerId;
  int jobId;
  uint64_t place;
};

// A job that waits at a printer, or a client's raster stream waiting for it ('stream').
struct queuedJob {
  int id;          // the job's id (0 for a stream whose job does not exist yet)
  int priority;    // job-priority, 1 to 100
  uint64_t place;  // taken when the job was accepted or released from a hold
  bool stream;
};

// 'goesBefore()' - whether 'a' prints before 'b': the higher priority, else the earlier place.
bool goesBefore(const queuedJob& a, const queuedJob& b);

// 'firstInQueue()' - the index of the job that prints first, -1 when there is none.
int firstInQueue(const std::vector<queuedJob>& jobs);

// 'takePlace()' - the next place in the server's queues.
uint64_t takePlace(appConfig* config);

// 'givePlace()' - set the place of a printer's job; 'placeOf()' - its place, 0 when it has none.
void givePlace(pappl_printer_t* printer, int jobId, uint64_t place);
uint64_t placeOf(pappl_printer_t* printer, int jobId);

// 'nextQueuedJob()' - the printer's pending job or waiting raster stream that prints next (id 0 and
// not a stream when there is none).
queuedJob nextQueuedJob(pappl_printer_t* printer);

// The largest page a printer takes, in dots: its largest label at its resolution.
struct pageLimits {
  uint32_t width;
  uint32_t height;
};
pageLimits labelLimits(const pappl_pr_driver_data_t& data);

// 'pageFits()' - whether a raster page header's page is within the limits; else false with the
// refusal in 'message' ("The page is W x H dots; the largest label here is ...").
bool pageFits(const cups_page_header2_t& header, const pageLimits& limits, char* message, size_t size);

// 'claimPrinter()' / 'releasePrinter()' - the printer's one place for a job that prints: taken by a
// job the printer's thread starts, or by a client's raster stream for its whole request. claimPrinter
// returns false when the place stays taken for 'waitMilliseconds'; else *link is what releasePrinter
// takes back, even after the job's end has deleted the printer (a deleted printer's link then goes).
// releasePrinter starts the next queued job, if there is one.
bool claimPrinter(pappl_printer_t* printer, int waitMilliseconds, printerLink** link);
void releasePrinter(printerLink* link, pappl_printer_t* printer, bool lookAtQueue = true);

// 'claimPrinterInTurn()' - claimPrinter for a client's raster stream that holds 'turn' in the queue:
// the place is taken only when no job or stream before it waits.
bool claimPrinterInTurn(pappl_printer_t* printer, int waitMilliseconds, const queuedJob& turn,
                        printerLink** link);

// The client's raster stream that holds a printer: the connection it comes on and by when it must
// bring its next page (0 while the printer, not the client, is at work). The stream watcher cuts the
// connection's reading side when the time has passed or the job was cancelled, which ends any read
// of the stream at once, however the client trickles.
struct rasterStream {
  std::mutex lock;
  pappl_job_t* job = nullptr;  // nullptr when no stream holds the printer
  int fd = -1;
  int seconds = kDefaultStreamSeconds;
  int64_t deadline = 0;
  bool cut = false;
};

// 'watchStream()' / 'unwatchStream()' - begin and end the watch of the raster stream of 'job' on the
// client connection 'fd', its first page due within the server's stream-timeout.
void watchStream(pappl_job_t* job, int fd);
void unwatchStream(pappl_job_t* job);

// 'holdStreamClock()' - while the printer's work for the raster stream of 'job' goes on (true), the
// stream's clock stands; once it is done (false) the next page is due within the stream-timeout.
// Jobs that are no watched stream are left alone.
void holdStreamClock(pappl_job_t* job, bool held);

// 'streamWasCut()' - whether the watcher cut the raster stream of 'job' because it brought no page
// in time (the job then ends aborted with the reason, never completed).
bool streamWasCut(pappl_job_t* job);

// 'checkStreams()' - the watcher's round: cut each watched stream whose page is overdue (its job
// given the reason) or whose job was cancelled. 'startStreamWatcher()' runs it every second as a
// system timer.
void checkStreams(pappl_system_t* system);
void startStreamWatcher(pappl_system_t* system);

// What one background status query found: whether the printer's device opened (why not, for a network
// printer), whether the printer answered and what, and its identity when that was asked too.
struct statusProbe {
  bool network = false;
  bool opened = false;
  std::string unreachable;
  bool answered = false;
  hostStatus status{};
  bool identityAsked = false;
  bool identified = false;
  hostIdentity identity{};
  uint64_t generation = 0;  // the link's device generation when it was asked
};

// What the application knows of one printer's two-way link, kept in the driver data's extension from
// the driver callback to the printer's deletion.
struct printerLink {
  int answered;           // the last status query: 1 answered, 0 not (silent or garbled), -1 never asked
  int64_t quietUntil;     // a printer that did not answer is left alone until then (seconds)
  std::mutex asking;      // held while the printer is asked and its answer shown
  pappl_preason_t shown;  // the reasons its last answer gave
  char words[256];        // and what they say, "" when nothing is wrong
  // The configured values that follow what the printer reports: while the label mode and the media
  // type are still these, nobody has chosen them, and they take the printer's own.
  pappl_label_mode_t followedMode;
  char followedMediaType[32];
  // The printer's one place for a printing job (claimPrinter), and whether the printer was deleted
  // while it was taken (the link then outlives it until the place is given back).
  std::mutex claim;
  bool claimed;
  bool orphaned;
  // What the printer says it is: asked once it answers the status query, and again after it could not
  // be reached; the page shows it, and the state reasons a head of another resolution than the driver's.
  bool identityAsked;
  bool identified;
  hostIdentity identity;
  std::mutex linesLock;     // held while the lines of the page below (and 'words') change or are read
  char identityWords[160];  // the page's line about it, "" before it is known
  char reachWords[300];     // why the printer cannot be reached, "" when it can
  // The loaded labels: whether someone chose their size (the length the printer measures then no longer
  // replaces it), and the length the printer last measured, hundredths of mm (0 before it has).
  bool sizeChosen;
  int32_t measuredLength;
  appConfig* config;          // the server's settings
  std::string refusedDevice;  // why the device may not be opened ("" when it may): a state file's
                              // file device outside the folder
  // The queue's order: each active job's place, and the raster streams that wait for the printer.
  std::mutex queue;
  std::map<int, uint64_t> places;
  std::vector<queuedJob> streams;
  // A change of device or driver (Relocate.cpp): made with 'moving' held and the printer's place
  // taken, or kept in 'pendingMove' until the printing job gives the place back.
  std::mutex moving;
  printerMove pendingMove;
  std::vector<std::unique_ptr<char, freeString>> retired;
  rasterStream stream;  // the client's raster stream that holds the printer, if any
  // The status asked in the background (startStatusKeeper()): a client's request for the printer's
  // attributes wants it, the system's timer starts the query on a thread of its own and shows what it
  // found at its next turn; nothing waits on the printer but that thread. 'lastAsked' and
  // 'generation' belong to the timer; the rest is under 'probeLock'.
  std::atomic<bool> statusWanted{false};
  int64_t lastAsked = 0;    // monotonic milliseconds
  uint64_t generation = 0;  // counts the changes of device, whose earlier answers are then forgotten
  std::mutex probeLock;
  std::condition_variable probeEnded;
  bool probing = false;    // a query runs
  bool probeDone = false;  // its result waits to be shown
  bool deleting = false;   // the printer is being deleted: a query ends early
  bool probeOwns = false;  // the printer went while its query ran: the query's thread frees the link
  statusProbe probe;
};

// What an answer to the status query means: the printer's state reasons, whether jobs wait, and the
// trouble in words ("out of labels, print head open"; "" when there is none).
struct statusReport {
  pappl_preason_t reasons;
  bool hold;
  char words[256];
};

// The print mode that hands each label over to be taken.
inline constexpr int kPrintModePeelOff = 1;

// 'reportHostStatus()' - what a status answer means: paper out is media-empty, head open cover-open,
// ribbon out (in thermal-transfer mode only) marker-supply-empty, a full receive buffer
// spool-area-full; paused at the printer, a head too cold or too hot, corrupt memory and diagnostic mode
// are 'other'; all of these hold jobs. A label waiting to be taken in peel-off mode is 'other' too, but
// holds nothing.
void reportHostStatus(const hostStatus& status, statusReport* report);

// 'measuredReady()' - the loaded labels 'ready' after the printer measured them 'lengthDots' long (at
// its resolution): the stock of that length, a size of the printer's list or else a custom size of
// the loaded width. False, 'ready' unchanged, when the user chose the size ('sizeChosen'): a measured
// length never replaces it; and when the change is under a millimetre or the length is no label the
// printer could print.
bool measuredReady(const pappl_pr_driver_data_t& data, int32_t lengthDots, bool sizeChosen,
                   pappl_media_col_t* ready);

// 'updateReadyLength()' - keep the length the printer measured, in dots at its resolution, for its Media
// page, and make it the loaded stock's as measuredReady() says.
void updateReadyLength(pappl_printer_t* printer, const pappl_pr_driver_data_t& data, int32_t lengthDots);

// 'awaitPrinter()' - the status check of a job, before its labels or after them: ask the printer and,
// while it reports trouble that holds jobs, wait (the job says why) and ask again. A printer whose
// status is unknown never holds a job. Returns false when the job was cancelled meanwhile.
bool awaitPrinter(pappl_job_t* job, pappl_device_t* device, bool afterLabels);

// 'awaitConnection()' - before a job's labels, connect its network device: while the printer cannot
// be reached the printer shows 'offline-report' with the reason in words and the job waits and says
// so, trying again every few seconds, until it connects (true) or the job is cancelled, the printer
// deleted or the server stopped (false).
bool awaitConnection(pappl_job_t* job, pappl_device_t* device);

// 'resolutionMismatch()' - the words for a printer whose head has another resolution than its driver
// ("" when they agree or the head is unknown).
std::string resolutionMismatch(const hostIdentity* identity, int driverResolution);

// 'identifyPrinter()' - the framework's auto-add callback: open the device, ask the printer what it is
// and answer the driver of its head's resolution; nullptr (logged) when it cannot be opened, does not
// answer in time, answers what cannot be read or has a head no driver has.
const char* identifyPrinter(const char* deviceInfo, const char* deviceUri, const char* deviceId, void* data);

// Why a printer added without a driver was not added: it could not be asked what it is. The command
// line and the web page say it with what to do there instead.
inline constexpr char kNotIdentified[] =
    "The printer gave no readable answer to the identification query, or cannot be reached";
inline constexpr char kNotIdentifiedCommand[] =
    "The printer gave no readable answer to the identification query, or cannot be reached; name its "
    "driver with -m (the drivers subcommand lists them).";
inline constexpr char kNotIdentifiedPage[] =
    "The printer gave no readable answer to the identification query, or cannot be reached; choose its "
    "driver from the list.";

// 'takeNotIdentified()' - whether this thread's last identifyDriver() found no driver, and no longer
// from here: the page that adds printers says why.
bool takeNotIdentified();

// 'identifyDriver()' - the driver of the printer at 'deviceUri' as identifyPrinter() finds it, logged
// to 'system' (nullptr: not logged).
const char* identifyDriver(pappl_system_t* system, const char* deviceUri);

// 'driverForResolution()' - the driver of a head of 'dotsPerInch', or nullptr.
const char* driverForResolution(int dotsPerInch);

// 'newPrinterLink()' - a printer's link record, nothing known yet; 'labelDelete()' frees it.
printerLink* newPrinterLink(appConfig* config);

// 'linkOf()' - the printer's link record, made by the driver callback (nullptr if it could not be).
printerLink* linkOf(pappl_printer_t* printer);

// 'forgetDevice()' - after a change of device: what the printer at the old one answered (reach,
// identity, reported trouble) goes from its state reasons and page until the new one is asked. Call
// with the link's 'asking' held.
void forgetDevice(pappl_printer_t* printer, printerLink* link);
void labelDelete(pappl_printer_t* printer, pappl_pr_driver_data_t* data);

extern const pappl_pr_driver_t kDrivers[];
extern const int kDriverCount;

bool labelDriver(pappl_system_t* system, const char* driverName, const char* deviceUri, const char* deviceId,
                 pappl_pr_driver_data_t* data, ipp_t** attributes, void* context);

// 'labelStatus()' - the driver's status callback, which the framework calls as it answers a client:
// it returns at once, the printer's last known state standing, and notes that the status is wanted.
bool labelStatus(pappl_printer_t* printer);

// 'statusLines()' - the lines of the printer's status that its page shows as text, each a sentence:
// what the printer is, why it cannot be reached, the trouble it reports.
std::vector<std::string> statusLines(pappl_printer_t* printer);

// 'startStatusKeeper()' - the system's timer that asks each two-way printer whose status was wanted for
// it in the background, at most once a second and only while the printer is idle (a printer that did
// not answer is left alone for some seconds), and shows the answers.
void startStatusKeeper(pappl_system_t* system, appConfig* config);

// The Set-Printer-Attributes attributes of the change (the names Create-Printer uses).
inline constexpr char kDeviceUriAttr[] = "smi55357-device-uri";
inline constexpr char kDriverAttr[] = "smi55357-driver";

// 'isDriverName()' - whether 'name' is one of the application's drivers; 'driverNames()' lists them.
bool isDriverName(const std::string& name);
std::string driverNames();

// 'findPointerSlot()' - the offset of the one pointer-aligned word of the 'size' bytes at 'record' that
// holds 'value': 0, or 1 when no word or more than one holds it.
int findPointerSlot(const void* record, size_t size, const void* value, size_t* offset);

// 'carrySettings()' - give the new driver's data 'to' and attributes 'toAttributes' every setting of
// 'from' and 'fromAttributes' (the printer's present driver data and driver attributes) that the new
// driver takes: defaults, label mode, darkness, speed, loaded and default media, vendor defaults. The
// names of those it does not take, left at the new driver's defaults, go to *reset.
void carrySettings(const pappl_pr_driver_data_t& from, ipp_t* fromAttributes, pappl_pr_driver_data_t* to,
                   ipp_t* toAttributes, std::vector<std::string>* reset);

// 'checkMove()' - whether 'move' can be made on the printer: its device URI, its driver, and the
// framework's record. 0, or 1 with the reason ("Nothing changed: ..." follows from it).
int checkMove(pappl_printer_t* printer, const printerMove& move, std::string* reason);

// 'movePrinter()' - make 'move' on the printer, keeping its name, id, settings and jobs: at once when
// no job prints, else when the printing job ends (a later change of the same thing replaces one that
// waits). 0 with what was done in *words (settings the new driver resets included), or 1 with the
// reason, nothing changed.
int movePrinter(pappl_printer_t* printer, const printerMove& move, std::string* words);

// 'applyPendingMove()' - make the change that waits for the printing job, if there is one: the job's
// thread calls it with the printer's place still taken and the link's 'moving' held.
void applyPendingMove(pappl_printer_t* printer, printerLink* link);

// 'collectDeviceRefusals()' - while 'sink' is set, the driver callback on this thread puts there why it
// refused a new printer's device (nullptr ends it): the framework's own answer names only the driver.
void collectDeviceRefusals(std::string* sink);
void noteDeviceRefusal(const std::string& reason);
