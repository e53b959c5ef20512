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

#include "app/printer/server.h"

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

// 'identifyByFeed()' - the driver's identify callback: the printer, when idle, feeds one blank label
// of the loaded size on a connection of its own (Identify.cpp); 'takeIdentifyWords()' - what this
// thread's last one did, in words ("" when there was none since).
void identifyByFeed(pappl_printer_t* printer, pappl_identify_actions_t actions, const char* message);
std::string takeIdentifyWords();

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
