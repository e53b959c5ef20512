// SPDX-License-Identifier: Apache-2.0
// The Printer Application: PAPPL drivers for 152, 203, 300 and 600 dpi label printers on the project's
// command writers. The framework calls the driver, raster and raw-print callbacks declared here; the pieces
// without the framework (line conversion, document typing) are plain functions the tests call alone.
#pragma once

#include <pappl/pappl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "commands/commands.h"

struct printerLink;
struct savedPlace;

// ---------------------------------------------------------------------------------------------------
// Lines into the label bitmap (Convert.cpp; no framework calls).

// What the bytes of an incoming line hold.
enum lineKind {
  kLineOneBit,       // 1 bit per dot, a 1 prints
  kLineGreyInkHigh,  // 8-bit black (K): 255 is full ink
  kLineGreyInkLow,   // 8-bit luminance (W, sW): 0 is full ink
};

// How an incoming line is read: its kind, its bytes and the pixels it holds.
struct lineLayout {
  lineKind kind;
  size_t bytes;     // readable bytes of the line; nothing past them is touched
  uint32_t pixels;  // pixels described by those bytes (at most 8 per byte, or 1 per grey byte)
  bool dither;      // grey to dots through the ordered dither matrix (photographs), else at mid-grey
};

// 'convertLine()' - write bitmap row 'y' of a label 'labelWidth' dots wide from one incoming line:
// dots past the line's pixels are white, pixels past the label are dropped. 'row' holds 'rowBytes'
// bytes (at least (labelWidth + 7) / 8); the bytes after the label's dots are left as they are.
void convertLine(const unsigned char* line, const lineLayout& layout, uint32_t y, uint32_t labelWidth,
                 unsigned char* row, size_t rowBytes);

// 'ditherThreshold()' - the ordered dither matrix's threshold (0 to 254) at a dot; ink darker than it
// prints. A 16 x 16 Bayer matrix, so that grey areas keep their tone and edges stay in place.
unsigned ditherThreshold(uint32_t x, uint32_t y);

// 'fillPadding()' - set the bitmap's bytes outside the label ('labelWidth' x 'labelHeight' dots) to
// 'fill': the columns after the label's last byte and the rows after its last row.
void fillPadding(unsigned char* bitmap, const pageGeometry& geometry, uint32_t labelWidth,
                 uint32_t labelHeight, unsigned char fill);

// The document format of data already written in the label command language.
inline constexpr char kLabelCommandFormat[] = "application/vnd.label-commands";

// 'isLabelCommandData()' - whether 'size' bytes begin a document in the label command language: after
// blanks, a command prefix ('^' or '~', or the prefix change byte 0x10) and an upper-case letter.
bool isLabelCommandData(const unsigned char* data, size_t size);

// 'documentFormatOf()' - the format of a document that begins with 'size' bytes, among those the
// printers take (PDF, PNG, JPEG, PWG and Apple raster, the label command language); nullptr for any
// other.
const char* documentFormatOf(const unsigned char* data, size_t size);

// ---------------------------------------------------------------------------------------------------
// Job settings from the IPP attributes (Options.cpp).

// The vendor attributes, job template attributes with printer defaults ("NAME-default").
inline constexpr char kTearOffsetAttr[] = "label-tear-offset";  // hundredths of mm
inline constexpr char kMediaTypeAttr[] =
    "label-media-type";  // printer-setting, thermal-transfer, direct-thermal
inline constexpr char kRotateAttr[] = "label-rotate-180";  // boolean
inline constexpr char kMirrorAttr[] = "label-mirror";      // boolean
inline constexpr char kInverseAttr[] = "label-inverse";    // boolean
inline constexpr char kPauseAttr[] = "label-pause";        // none, after-job, after-label

// A new printer's label mode and media type, until someone chooses others or the printer reports its own.
inline constexpr pappl_label_mode_t kDefaultLabelMode = PAPPL_LABEL_MODE_TEAR_OFF;
inline constexpr char kDefaultMediaType[] = "printer-setting";

// 'jobSettings()' - the settings record of a job: the job's options (which hold the printer's defaults
// for the standard attributes), the vendor attributes of the job or else of the printer's defaults
// ('defaults', named without "-default"), and the printer's configured label mode, at 'resolution'
// dots per inch vertically. Returns 0, or 1 when a vendor attribute holds a value outside its
// supported values (its name is then in *badAttribute and the record is unfinished).
int jobSettings(const pappl_pr_options_t& options, int defaultCount, cups_option_t* defaults,
                pappl_label_mode_t labelMode, int resolution, settings_* settings, const char** badAttribute);

// ---------------------------------------------------------------------------------------------------
// The server's own settings and its orderly stop (Service.cpp).

// What the server was started with and where its stop stands, made by main() and handed to the
// framework as the system and driver callbacks' data: it outlives the system.
struct appConfig {
  std::string fileFolder;    // the one folder file devices may write in (canonical); "" when they are off
  std::string statePath;     // the state file
  std::string rendererPath;  // the PDF renderer, "" when there is none
  std::string spoolFolder;   // where jobs' files are kept
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
  // One save of the state at a time, and what the last one wrote.
  std::mutex saving;
  std::string lastSaved;
  int stateLock = -1;     // the state folder's lock, held while the server runs
  int64_t stopAsked = 0;  // when the stop was asked for (monotonic milliseconds)
};

// The largest image the framework decodes for a job, in bytes of pixels and in pixels a side: the
// system's limits never exceed these, whatever sets them (a state file of an earlier version too).
// Images are scaled to the label, so this bounds a document's memory rather than its size on the label.
inline constexpr size_t kMaxImageBytes = size_t{64} << 20;
inline constexpr int kMaxImageSide = 16384;

// The seconds a stop may take: the printing jobs are cancelled, the state saved, and then the process
// ends even if the framework's own shutdown would wait for queued jobs.
inline constexpr int kStopSeconds = 8;

// 'startStopWatcher()' - block SIGTERM and SIGINT in every thread the process will make, start the
// thread that waits for them, and add the system's timer that carries a stop out. Call on the main
// thread before the framework starts any thread.
void startStopWatcher(pappl_system_t* system, appConfig* config);

// 'finishStopWatcher()' - end the watcher thread once the framework's main loop has returned.
void finishStopWatcher(appConfig* config);

// ---------------------------------------------------------------------------------------------------
// The state file (StateFile.cpp; no framework calls but the option parser).

// A queued job's place, as a state file keeps it.
struct savedPlace {
  int printerId;
  int jobId;
  uint64_t place;
};

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

// ---------------------------------------------------------------------------------------------------
// The queue's order (Queue.cpp): first in, first out, a higher job-priority first.

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

// ---------------------------------------------------------------------------------------------------
// Devices (Devices.cpp): network printers whose waits are bounded and notice cancellation, and file
// devices confined to one folder.

// How long a network connection may take to open, and how long a printer may take no data before
// the job gives up (a device URI may set its own, "socket://HOST:PORT/?timeout=SECONDS", 1 to 3600).
inline constexpr int kConnectMilliseconds = 1500;
inline constexpr int kDefaultStallSeconds = 300;

// 'addDeviceSchemes()' - register the application's socket and file devices in place of the
// framework's, then the framework's other schemes (USB, DNS-SD, SNMP). Call once, before the
// framework opens or lists any device.
void addDeviceSchemes();

// 'checkFileDevice()' - whether a printer may have the device 'uri' when file devices are confined to
// 'folder' ("" when they are off): 0 for every URI that is not a file URI, and for a file URI whose
// path lies inside the folder, names no "." or ".." and passes through no symbolic link; otherwise
// 1, with the reason in *reason.
int checkFileDevice(const char* uri, const std::string& folder, std::string* reason);

// 'openJobDevicesLate()' - whether the network devices this thread opens may stay unconnected when
// their printer cannot be reached at once: the framework pauses the printer whenever a job's device
// does not open, so the job's thread takes the device unconnected and connects it itself
// (awaitConnection()).
void openJobDevicesLate(bool late);

// 'connectDevice()' - connect the printer's network device that was opened unconnected: true when it
// is connected (or is no network device), else false with the reason in *error.
bool connectDevice(pappl_printer_t* printer, pappl_device_t* device, std::string* error);

// 'watchJob()' - make the printer's network device give up its waits as soon as 'job' is cancelled
// (nullptr: no job). Devices of other kinds are left as they are.
void watchJob(pappl_printer_t* printer, pappl_device_t* device, pappl_job_t* job);

// 'sendToDevice()' - write 'length' bytes and flush them: true only when every byte reached the
// device. The framework keeps small writes in a buffer and drops the errors of its flush, so the
// device's byte count is what tells.
bool sendToDevice(pappl_device_t* device, const void* bytes, size_t length);

// 'drainDevice()' - wait until a network printer has acknowledged every byte sent to it: false when
// the connection fails, the job is cancelled, or the printer takes nothing for its stall time.
// Devices of other kinds are done at once.
bool drainDevice(pappl_printer_t* printer, pappl_device_t* device);

// ---------------------------------------------------------------------------------------------------
// Who may do what (Access.cpp). A client on the machine itself (the domain socket, loopback) may do
// everything; a client from the network may print, see the printers and its own jobs and cancel
// them, and needs an administrator's authentication for everything else.

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

// ---------------------------------------------------------------------------------------------------
// One job at a time at a printer, and raster pages within the printer's largest label (Jobs.cpp).

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

// 'failJob()' - end a job with a reason and a message (logged); a cancelled job keeps its own. False.
bool failJob(pappl_job_t* job, pappl_jreason_t reason, const char* message);

// 'isRasterStream()' - whether a document format is one the framework prints on the client's own
// thread as it reads it (PWG and Apple raster).
bool isRasterStream(const char* format);

// 'refuseRasterPage()' - end a raster job with a page that cannot print: the reason, the message,
// and (once its labels have begun) an aborted job rather than a completed one.
void refuseRasterPage(pappl_job_t* job, const char* message);

// ---------------------------------------------------------------------------------------------------
// Documents the application draws onto the label: PDF pages, PNG and JPEG images (Layout.cpp,
// Images.cpp, Pdf.cpp).

// An 8-bit grey image, 255 white, rows from the top.
struct greyImage {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<unsigned char> pixels;
};

// A box on a page, in the page's units; empty when its width is 0.
struct inkBox {
  double x, y, width, height;
};

// How a page goes onto the label: the part of it shown, turned a quarter clockwise or not, and at
// what scale, and where on the label that part lands.
struct placement {
  bool rotate;
  double dotsPerUnit;                          // label dots per unit of the page
  double cropX, cropY, cropWidth, cropHeight;  // the part shown, in page units
  uint32_t width, height;                      // its size on the label, in dots
  uint32_t left, top;                          // its place on the label
};

// A page this many times the label's area or more may be a label on a larger sheet.
inline constexpr double kSheetAreas = 2.0;

// 'findInk()' - the box around an image's ink (darker than mid-grey), in pixels.
inkBox findInk(const greyImage& image);

// 'placePage()' - the placement of a page 'pageWidth' x 'pageHeight' units ('unitsPerInch' of them to
// the inch) on a label of 'labelWidth' x 'labelHeight' dots at 'dpi', by print-scaling: a page of the
// label's size prints 1:1; 'fit' and 'fill' scale it to the label, keeping its shape; 'none' keeps its
// size; 'auto' and 'auto-fit' fit a larger page and keep a smaller one at its size, and 'auto' crops
// a sheet much larger than the label to the box of its ink ('ink', empty when unknown) and fits that.
// A page
// whose orientation is not the label's is turned a quarter. What is larger than the label is cut to
// its middle.
placement placePage(double pageWidth, double pageHeight, double unitsPerInch, const inkBox& ink,
                    uint32_t labelWidth, uint32_t labelHeight, int dpi, pappl_scaling_t scaling);

// 'drawOnLabel()' - draw the placement's part of 'source' on the label: the part begins at
// ('sourceX', 'sourceY') pixels and each pixel is 'dotsPerPixel' dots; a dot drawn from several pixels
// is their average.
void drawOnLabel(const greyImage& source, double sourceX, double sourceY, double dotsPerPixel,
                 const placement& p, greyImage* label);

// 'looksLikePhotograph()' - whether a drawn label is a continuous-tone picture (dithered), rather than
// text, bars and line art (cut at mid-grey) even when scanned or compressed.
bool looksLikePhotograph(const greyImage& label);

// The most pages of a PDF document, and the longest a page may take to render.
inline constexpr int kMaxPdfPages = 1000;
inline constexpr int kPdfPageSeconds = 20;

// 'labelFilterPNG()', 'labelFilterJPEG()', 'labelFilterPDF()' - the MIME filters from image/png,
// image/jpeg and application/pdf to the printers' own format. A document beyond the limits, or one
// that cannot be read, ends its job with a reason and a message. The PDF filter's data is the path of
// the renderer program.
bool labelFilterPNG(pappl_job_t* job, pappl_device_t* device, void* data);
bool labelFilterJPEG(pappl_job_t* job, pappl_device_t* device, void* data);
bool labelFilterPDF(pappl_job_t* job, pappl_device_t* device, void* data);

// 'printPages()' - print 'pages' labels, each drawn by 'draw' onto a white label of the job's size,
// through the driver's raster callbacks: grey is cut at mid-grey, or dithered for a photograph
// (print-content-optimize, or with 'auto' a label that looks like one). False when a page could not
// be drawn or printed.
bool printPages(
    pappl_job_t* job, pappl_device_t* device, int pages,
    const std::function<bool(int page, const pappl_pr_options_t& options, greyImage* label)>& draw);

// ---------------------------------------------------------------------------------------------------
// The printer's status (Status.cpp).

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
  char identityWords[160];    // the page's line about it, "" before it is known
  char reachWords[300];       // why the printer cannot be reached, "" when it can
  appConfig* config;          // the server's settings
  std::string refusedDevice;  // why the device may not be opened ("" when it may): a state file's
                              // file device outside the folder
  // The queue's order: each active job's place, and the raster streams that wait for the printer.
  std::mutex queue;
  std::map<int, uint64_t> places;
  std::vector<queuedJob> streams;
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

// 'updateReadyLength()' - make the loaded stock's length the one the printer measured, in dots at the
// printer's resolution; changes under a millimetre are ignored.
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

// 'identifyDriver()' - the driver of the printer at 'deviceUri' as identifyPrinter() finds it, logged
// to 'system' (nullptr: not logged).
const char* identifyDriver(pappl_system_t* system, const char* deviceUri);

// 'driverForResolution()' - the driver of a head of 'dotsPerInch', or nullptr.
const char* driverForResolution(int dotsPerInch);

// 'newPrinterLink()' - a printer's link record, nothing known yet; 'labelDelete()' frees it.
printerLink* newPrinterLink(appConfig* config);

// 'monotonicMilliseconds()' - a steady clock, for deadlines.
int64_t monotonicMilliseconds();

// 'linkOf()' - the printer's link record, made by the driver callback (nullptr if it could not be).
printerLink* linkOf(pappl_printer_t* printer);
void labelDelete(pappl_printer_t* printer, pappl_pr_driver_data_t* data);

// ---------------------------------------------------------------------------------------------------
// The framework's callbacks (Driver.cpp, Raster.cpp, Status.cpp).

extern const pappl_pr_driver_t kDrivers[];
extern const int kDriverCount;

bool labelDriver(pappl_system_t* system, const char* driverName, const char* deviceUri, const char* deviceId,
                 pappl_pr_driver_data_t* data, ipp_t** attributes, void* context);
bool labelStatus(pappl_printer_t* printer);
bool labelStartJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
bool labelStartPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);
bool labelWriteLine(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned y,
                    const unsigned char* line);
bool labelEndPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);
bool labelEndJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
bool labelPrintRaw(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);

// ---------------------------------------------------------------------------------------------------
// The printer's settings from the command line and over IPP (Settings.cpp).

// 'addSettings()' - add to a Set-Printer-Attributes 'request' the settings of the command line's
// options, each checked against the 'printer''s attributes (what it supports, its media defaults):
// 0, or 1 with the reason in *error for a name that is no setting or a value the printer does not
// take, nothing then being worth sending. Options that name the printer or the server are skipped.
int addSettings(int count, cups_option_t* options, ipp_t* printer, ipp_t* request, std::string* error);

// 'checkSettingsRequest()' - whether the settings of a Set-Printer-Attributes request are all values
// the printer takes: 0, or 1 with the reason.
int checkSettingsRequest(ipp_t* request, ipp_t* printer, std::string* error);

// 'describeSettings()' - every setting with what it does, its values and the printer's present one,
// for the options subcommand.
std::string describeSettings(ipp_t* printer);

// ---------------------------------------------------------------------------------------------------
// The program's command line (Commands.cpp, linked into the program only).

// 'printUsage()' - the --help text: the subcommands, the options, the server options, files and log.
void printUsage(const char* base);

// 'rewriteCopies()' - make each "-n COPIES" of the arguments "-o copies=COPIES", which the framework
// sends; 1 with the reason for a count that is not 1 to 9999.
int rewriteCopies(std::vector<char*>& arguments, std::string* error);

// 'refuseBadSettings()' - answer a Set-Printer-Attributes request that holds a value the printer does
// not take with the reason, before the framework stores it as none: true when refused (Repairs.cpp).
bool refuseBadSettings(pappl_client_t* client);

// 'repairPrinterValues()' - make a printer's response carry the printer's own printer-id, and no
// printer-supply-info-uri to a page the printer does not have.
void repairPrinterValues(ipp_t* response, pappl_printer_t* printer);

// 'addLabelWords()' - the pages' words for the application's settings, in every language the framework
// has (Words.cpp).
void addLabelWords(pappl_system_t* system);

// ---------------------------------------------------------------------------------------------------
// The test label (TestLabel.cpp).

// What the test label says and its size in dots.
struct testLabelFacts {
  std::string name;   // the printer's
  std::string model;  // its make and model
  int dpi = 203;
  uint32_t width = 0, height = 0;
  int darkness = 50;    // percent
  int speedInches = 0;  // per second; 0 is the printer's own
};

// 'drawTestLabel()' - the test label: the facts in words, a border one dot inside the edges, a
// millimetre ruler, a ladder of lines 1 to 4 dots thick, and a Code 128 barcode of
// testLabelBarcode(name). False for a label too small to draw on.
bool drawTestLabel(const testLabelFacts& facts, greyImage* label);

// 'testLabelBarcode()' - what the test label's barcode holds: the printer's name in printable ASCII.
std::string testLabelBarcode(const std::string& printerName);

// 'writeTestLabel()' - the driver's test page callback: the test label for the loaded labels as a PNG
// file in the spool folder, its path in 'buffer'; nullptr when it cannot be written.
const char* writeTestLabel(pappl_printer_t* printer, char* buffer, size_t size);
