// SPDX-License-Identifier: Apache-2.0
// The server's settings that every printer shares (Server.cpp), the limits of its options, what it
// knows of its clients beside the framework, and the queue's order, first in first out (Queue.cpp).
// Part of the printer room, included by its header (printer.h).
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
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
// The document formats the printers take (a PDF only where the renderer is); records of the framework
// that keep a format's pointer are given one of these.
inline constexpr const char* kPrintedFormats[] = {"application/octet-stream",
                                                  kLabelCommandFormat,
                                                  "image/pwg-raster",
                                                  "image/urf",
                                                  "image/png",
                                                  "image/jpeg",
                                                  "application/pdf"};

// The ended jobs a printer may keep in its history (the job-history server option). Each costs about a
// kilobyte of memory and a line of the state file, which is written whole when a job is accepted and
// when it ends: with 1,000 kept jobs a small job takes about a tenth of a second on the 2-core machine,
// with 10,000 it would take longer than the printer takes to print it.
inline constexpr int kMinJobHistory = 1;
inline constexpr int kMaxJobHistory = 1000;
inline constexpr int kDefaultJobHistory = 100;

// The documents of ended jobs each printer keeps for a reprint (the kept-documents server option), the
// newest ones; 0 keeps none. Each is a file in the spool folder, which counts against the spool limit,
// and goes with its job when the history drops it.
inline constexpr int kMaxKeptDocuments = kMaxJobHistory;
inline constexpr int kDefaultKeptDocuments = 10;

// 'parseKeptDocuments()' - the kept-documents option's value: 0 and the count in *kept, or 1 for
// anything but a whole number from 0 to kMaxKeptDocuments (*kept is then left as it is).
int parseKeptDocuments(const char* value, int* kept);

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

// The labels that jobs printed, as PNG images drawn from the printer data sent (app/documents/Labels.cpp):
// each job's first few, by printer and job id, the oldest job's dropped first once they hold too much.
struct jobLabelImage {
  uint32_t width = 0, length = 0;  // dots
  std::string png;
};
struct jobLabelBook {
  std::mutex lock;
  std::map<std::pair<int, int>, std::vector<jobLabelImage>> jobs;
  std::deque<std::pair<int, int>> order;  // oldest first
  size_t bytes = 0;                       // of the images together
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
  int jobHistory = kDefaultJobHistory;        // the ended jobs each printer keeps (job-history)
  int keptDocuments = kDefaultKeptDocuments;  // their documents kept for a reprint (kept-documents)
  int pdfSeconds = kDefaultPdfSeconds;        // a PDF document's time to render (pdf-time-limit)
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
  jobLabelBook jobLabels;             // each job's labels as printed
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
