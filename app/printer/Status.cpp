// SPDX-License-Identifier: Apache-2.0
// The printer talks back: the host status query on a two-way link, what its answer means for the
// printer's state reasons, and jobs that wait while the printer reports an error.
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "app/printer/printer.h"

namespace {

// The reasons this file sets and clears; the framework's own are left alone.
inline constexpr pappl_preason_t kManagedReasons = PAPPL_PREASON_OTHER | PAPPL_PREASON_COVER_OPEN |
                                                   PAPPL_PREASON_MARKER_SUPPLY_EMPTY |
                                                   PAPPL_PREASON_MEDIA_EMPTY | PAPPL_PREASON_SPOOL_AREA_FULL;

// How long an answer may take, how long a printer that did not answer is left alone by the status
// callback, and how often a waiting job asks again.
inline constexpr int kAnswerMilliseconds = 1000;
inline constexpr int64_t kQuietSeconds = 10;
inline constexpr int kWaitMilliseconds = 2000;
// How often a job tries again to reach a printer that cannot be reached.
inline constexpr int kReachMilliseconds = 3000;

// 'isNetwork()' - whether the printer is reached over the network.
bool isNetwork(pappl_printer_t* printer) {
  const char* uri = papplPrinterGetDeviceURI(printer);
  return uri != nullptr && std::strncmp(uri, "socket://", 9) == 0;
}

// 'isTwoWay()' - whether the printer's device can answer: network and USB printers can, files cannot.
bool isTwoWay(pappl_printer_t* printer) {
  const char* uri = papplPrinterGetDeviceURI(printer);
  return isNetwork(printer) || (uri != nullptr && std::strncmp(uri, "usb://", 6) == 0);
}

// 'readAnswer()' - read the answer to a query sent on 'device' within the deadline, into 'answer'
// ('capacity' bytes) until 'parse' finds it complete or malformed. A network device's data begins with
// the connection's descriptor (Devices.cpp), which is polled so that a silent printer costs the
// deadline and no more; a printer that floods the link costs the buffer and no more.
template <typename Parse>
int readAnswer(pappl_device_t* device, bool network, unsigned char* answer, size_t capacity, Parse parse) {
  size_t got = 0;
  const int64_t deadline = monotonicMilliseconds() + kAnswerMilliseconds;
  while (got < capacity) {
    const int64_t left = deadline - monotonicMilliseconds();
    if (left <= 0) return kHostStatusMalformed;
    if (network) {
      pollfd in = {*static_cast<const int*>(papplDeviceGetData(device)), POLLIN, 0};
      if (poll(&in, 1, static_cast<int>(left)) <= 0) return kHostStatusMalformed;
    }
    const ssize_t count = papplDeviceRead(device, answer + got, capacity - got);
    if (count <= 0) return kHostStatusMalformed;
    got += static_cast<size_t>(count);
    const int parsed = parse(answer, got);
    if (parsed != kHostStatusIncomplete) return parsed;
  }
  return kHostStatusMalformed;
}

int readAnswer(pappl_device_t* device, bool network, hostStatus* status) {
  unsigned char answer[kMaxHostStatusBytes];
  return readAnswer(device, network, answer, sizeof answer, [status](const unsigned char* data, size_t size) {
    size_t consumed = 0;
    return parseHostStatus(data, size, status, &consumed);
  });
}

// 'askIdentity()' - ask the printer on an open device what it is: true with *identity when it
// answered in full.
bool askIdentity(pappl_device_t* device, bool network, hostIdentity* identity) {
  if (!sendToDevice(device, btHostIdentity.command, static_cast<size_t>(btHostIdentity.length))) return false;
  unsigned char answer[kMaxHostIdentityBytes];
  return readAnswer(device, network, answer, sizeof answer,
                    [identity](const unsigned char* data, size_t size) {
                      size_t consumed = 0;
                      return parseHostIdentity(data, size, identity, &consumed);
                    }) == kHostStatusComplete;
}

// 'replaceStatusLine()' - show 'words' as a line of the printer's status on its page in place of
// 'shown' ("" for none), which then holds them.
void replaceStatusLine(printerLink* link, char* shown, size_t size, const char* words) {
  std::lock_guard<std::mutex> lock(link->linesLock);
  std::snprintf(shown, size, "%s", words);
}

// 'showReach()' - show whether the printer can be reached: 'offline-report' and why ('reason') when
// it cannot, nothing when it can (reason ""). Call with the link's 'asking' held.
void showReach(pappl_printer_t* printer, printerLink* link, const std::string& reason) {
  const std::string words = reason.empty() ? "" : "Printer cannot be reached: " + reason;
  if (words == link->reachWords) return;
  papplLogPrinter(printer, reason.empty() ? PAPPL_LOGLEVEL_INFO : PAPPL_LOGLEVEL_WARN, "%s",
                  reason.empty() ? "The printer can be reached again." : words.c_str());
  replaceStatusLine(link, link->reachWords, sizeof link->reachWords, words.c_str());
  papplPrinterSetReasons(printer, reason.empty() ? PAPPL_PREASON_NONE : PAPPL_PREASON_OFFLINE,
                         reason.empty() ? PAPPL_PREASON_OFFLINE : PAPPL_PREASON_NONE);
  // The printer that answers next may be another one: it is asked again what it is.
  if (!reason.empty()) link->identityAsked = false;
}

// 'showIdentity()' - show what the printer said it is on its page (nothing when it did not say).
void showIdentity(pappl_printer_t* printer, printerLink* link, const hostIdentity* identity) {
  if (identity == nullptr) {
    link->identified = false;
    replaceStatusLine(link, link->identityWords, sizeof link->identityWords, "");
    return;
  }
  link->identity = *identity;
  link->identified = true;
  char words[sizeof link->identityWords];
  std::snprintf(words, sizeof words, "Printer: %s, firmware %s, %d dpi head", identity->model,
                identity->version, identity->dotsPerInch);
  if (std::strcmp(words, link->identityWords) != 0)
    papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "%s", words);
  replaceStatusLine(link, link->identityWords, sizeof link->identityWords, words);
}

// 'queryPrinter()' - ask the printer for its status on an open device: true with *status when it
// answered in full, false when its status is unknown.
bool queryPrinter(pappl_printer_t* printer, pappl_device_t* device, hostStatus* status) {
  if (!isTwoWay(printer)) return false;
  if (!sendToDevice(device, btHostStatus.command, static_cast<size_t>(btHostStatus.length))) return false;
  const bool answered = readAnswer(device, isNetwork(printer), status) == kHostStatusComplete;
  if (printerLink* link = linkOf(printer)) {
    link->answered = answered ? 1 : 0;
    link->quietUntil = answered ? 0 : monotonicMilliseconds() / 1000 + kQuietSeconds;
  }
  return answered;
}

// 'keepDeviceError()' - a device's error callback that keeps the message (a std::string) for the
// page.
void keepDeviceError(const char* message, void* data) {
  *static_cast<std::string*>(data) = message != nullptr ? message : "";
}

// 'configuredMediaType()' - the printer's configured media type, "" when it has none.
std::string configuredMediaType(pappl_printer_t* printer) {
  char name[64], value[32] = "";
  std::snprintf(name, sizeof name, "%s-default", kMediaTypeAttr);
  ipp_t* attributes = papplPrinterGetDriverAttributes(printer);
  if (ipp_attribute_t* attribute = ippFindAttribute(attributes, name, IPP_TAG_KEYWORD))
    ippAttributeString(attribute, value, sizeof value);
  ippDelete(attributes);
  return value;
}

// 'followPrinterSettings()' - show the print mode and the media type that the printer reports as the
// configured values, unless someone has chosen others since they were last followed.
void followPrinterSettings(pappl_printer_t* printer, const hostStatus* status, printerLink* link) {
  static const struct {
    int printMode;
    pappl_label_mode_t mode;
  } kModes[] = {{0, PAPPL_LABEL_MODE_REWIND}, {1, PAPPL_LABEL_MODE_PEEL_OFF}, {2, PAPPL_LABEL_MODE_TEAR_OFF}};
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  pappl_label_mode_t mode = data.mode_configured;
  for (const auto& m : kModes)
    if (m.printMode == status->printMode && (data.mode_supported & m.mode) != 0) mode = m.mode;
  const bool followMode = data.mode_configured == link->followedMode && mode != data.mode_configured;

  const char* reported = status->thermalTransfer != 0 ? "thermal-transfer" : "direct-thermal";
  const std::string configured = configuredMediaType(printer);
  const bool followType = configured == link->followedMediaType && configured != reported;
  if (!followMode && !followType) return;

  cups_option_t* vendor = nullptr;
  int count = 0;
  if (followType) count = cupsAddOption(kMediaTypeAttr, reported, count, &vendor);
  if (followMode) data.mode_configured = mode;
  if (papplPrinterSetDriverDefaults(printer, &data, count, vendor)) {
    link->followedMode = data.mode_configured;
    if (followType) std::snprintf(link->followedMediaType, sizeof link->followedMediaType, "%s", reported);
  }
  cupsFreeOptions(count, vendor);
}

// 'showStatus()' - the printer's state reasons from an answer (or none when its status is unknown),
// the words logged when they change; true when the answer holds jobs back.
bool showStatus(pappl_printer_t* printer, const hostStatus* status) {
  statusReport report{};
  if (status != nullptr) reportHostStatus(*status, &report);
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  printerLink* link = static_cast<printerLink*>(data.extension);
  // A head of another resolution than the driver's prints every label at the wrong size.
  const std::string mismatch =
      resolutionMismatch(link != nullptr && link->identified ? &link->identity : nullptr, data.x_default);
  if (!mismatch.empty()) {
    report.reasons |= PAPPL_PREASON_OTHER;
    std::snprintf(report.words + std::strlen(report.words), sizeof report.words - std::strlen(report.words),
                  "%s%s", report.words[0] != '\0' ? ", " : "", mismatch.c_str());
  }
  if (link != nullptr && (link->shown != report.reasons || std::strcmp(link->words, report.words) != 0)) {
    papplLogPrinter(printer, report.words[0] != '\0' ? PAPPL_LOGLEVEL_WARN : PAPPL_LOGLEVEL_INFO,
                    "Printer status: %s", report.words[0] != '\0' ? report.words : "ready");
    // The web page shows the trouble in words as a line of the printer's status.
    link->shown = report.reasons;
    replaceStatusLine(link, link->words, sizeof link->words, report.words);
  }
  papplPrinterSetReasons(printer, report.reasons, kManagedReasons & ~report.reasons);
  if (status != nullptr && status->labelLength > 0) updateReadyLength(printer, data, status->labelLength);
  if (status != nullptr && link != nullptr) followPrinterSettings(printer, status, link);
  return report.hold;
}

// How long a printer's deletion waits for its status query to end: longer than the query's own
// waits (the connection, the answer and the identity).
inline constexpr int kProbeEndMilliseconds = 5000;
// The least time between two status queries of one printer.
inline constexpr int64_t kProbeEveryMilliseconds = 1000;

// 'endProbe()' - the query's thread hands over what it found; the link is freed here when its printer
// went while the query ran.
void endProbe(printerLink* link, const statusProbe& found) {
  bool owns = false;
  {
    std::lock_guard<std::mutex> lock(link->probeLock);
    link->probe = found;
    link->probeDone = true;
    link->probing = false;
    owns = link->probeOwns;
  }
  link->probeEnded.notify_all();
  if (!owns) return;
  {
    // Gone with its place taken: the job's thread frees it when it gives the place back.
    std::lock_guard<std::mutex> lock(link->claim);
    if (link->claimed) {
      link->orphaned = true;
      return;
    }
  }
  delete link;
}

// 'probeEnding()' - whether a query is to end early: its printer is being deleted or the server stops.
bool probeEnding(printerLink* link) {
  std::lock_guard<std::mutex> lock(link->probeLock);
  return link->deleting || (link->config != nullptr && link->config->stopping.load());
}

// 'runProbe()' - a query's thread: open the printer's device (a network printer's connection of its
// own; a USB printer's one device, which its deletion waits for), ask the status and, when it answered
// and is to be asked, what it is. Every wait is bounded (readAnswer()).
void runProbe(pappl_printer_t* printer, printerLink* link, std::string uri, statusProbe found) {
  pappl_device_t* device = nullptr;
  if (!probeEnding(link))
    device = found.network ? papplDeviceOpen(uri.c_str(), "status", keepDeviceError, &found.unreachable)
                           : papplPrinterOpenDevice(printer);
  found.opened = device != nullptr;
  if (device != nullptr) {
    found.answered = sendToDevice(device, btHostStatus.command, static_cast<size_t>(btHostStatus.length)) &&
                     readAnswer(device, found.network, &found.status) == kHostStatusComplete;
    found.identityAsked = found.identityAsked && found.answered && !probeEnding(link);
    found.identified = found.identityAsked && askIdentity(device, found.network, &found.identity);
    if (found.network)
      papplDeviceClose(device);
    else
      papplPrinterCloseDevice(printer);
  }
  endProbe(link, found);
}

// 'showProbe()' - show what a query found; a query of a device the printer no longer has is forgotten.
// Call with the link's 'asking' held.
void showProbe(pappl_printer_t* printer, printerLink* link, const statusProbe& found) {
  if (found.generation != link->generation) return;
  if (found.network) showReach(printer, link, found.opened ? "" : found.unreachable);
  link->answered = found.answered ? 1 : 0;
  link->quietUntil = found.answered ? 0 : monotonicMilliseconds() / 1000 + kQuietSeconds;
  if (!found.opened) return;
  if (found.identityAsked) showIdentity(printer, link, found.identified ? &found.identity : nullptr);
  showStatus(printer, found.answered ? &found.status : nullptr);
}

// 'keepStatus()' - one printer at the timer's turn: show the last query's answer, and start the next
// when a client wanted the status, the printer is idle and was not asked in the last second.
void keepStatus(pappl_printer_t* printer, void*) {
  printerLink* link = linkOf(printer);
  if (link == nullptr || !isTwoWay(printer)) return;
  // A job's own query holds 'asking' for its answer: this waits for the next turn.
  std::unique_lock<std::mutex> asking(link->asking, std::try_to_lock);
  if (!asking.owns_lock()) return;
  statusProbe found;
  bool done = false, probing = false;
  {
    std::lock_guard<std::mutex> lock(link->probeLock);
    std::swap(done, link->probeDone);
    if (done) found = link->probe;
    probing = link->probing;
  }
  if (done) showProbe(printer, link, found);
  const int64_t now = monotonicMilliseconds();
  if (probing || !link->statusWanted.load() || now - link->lastAsked < kProbeEveryMilliseconds ||
      (link->answered == 0 && now / 1000 < link->quietUntil) ||
      papplPrinterGetNumberOfActiveJobs(printer) > 0 ||
      (link->config != nullptr && link->config->stopping.load()))
    return;
  link->statusWanted.store(false);
  link->lastAsked = now;
  statusProbe ask;
  ask.network = isNetwork(printer);
  ask.generation = link->generation;
  // What the printer is, asked once it answers, and again after it could not be reached.
  ask.identityAsked = !link->identityAsked;
  link->identityAsked = true;
  const char* uri = papplPrinterGetDeviceURI(printer);
  {
    std::lock_guard<std::mutex> lock(link->probeLock);
    link->probing = true;
  }
  try {
    std::thread(runProbe, printer, link, std::string(uri != nullptr ? uri : ""), ask).detach();
  } catch (const std::system_error&) {
    std::lock_guard<std::mutex> lock(link->probeLock);
    link->probing = false;
    link->identityAsked = !ask.identityAsked;
  }
}

// 'keepStatuses()' - the status keeper's timer, every second (with the system locked for reading, so
// that no printer goes while it is looked at).
bool keepStatuses(pappl_system_t* system, void* data) {
  if (papplSystemIsRunning(system)) papplSystemIteratePrinters(system, keepStatus, data);
  return true;
}

}  // namespace

void startStatusKeeper(pappl_system_t* system, appConfig* config) {
  papplSystemAddTimerCallback(system, 0, 1, keepStatuses, config);
}

void reportHostStatus(const hostStatus& s, statusReport* report) {
  const struct {
    bool present;
    pappl_preason_t reason;
    bool hold;
    const char* words;
  } rows[] = {
      {s.paperOut != 0, PAPPL_PREASON_MEDIA_EMPTY, true, "out of labels"},
      {s.headOpen != 0, PAPPL_PREASON_COVER_OPEN, true, "print head open"},
      {s.ribbonOut != 0 && s.thermalTransfer != 0, PAPPL_PREASON_MARKER_SUPPLY_EMPTY, true, "out of ribbon"},
      {s.bufferFull != 0, PAPPL_PREASON_SPOOL_AREA_FULL, true, "receive buffer full"},
      {s.paused != 0, PAPPL_PREASON_OTHER, true, "paused at its control panel"},
      {s.underTemperature != 0, PAPPL_PREASON_OTHER, true, "print head too cold"},
      {s.overTemperature != 0, PAPPL_PREASON_OTHER, true, "print head too hot"},
      {s.corruptMemory != 0, PAPPL_PREASON_OTHER, true, "memory corrupt"},
      {s.diagnosticMode != 0, PAPPL_PREASON_OTHER, true, "in diagnostic mode"},
      {s.labelWaiting != 0 && s.printMode == kPrintModePeelOff, PAPPL_PREASON_OTHER, false,
       "a printed label waits to be taken"},
  };
  report->reasons = PAPPL_PREASON_NONE;
  report->hold = false;
  report->words[0] = '\0';
  std::string words;
  for (const auto& row : rows) {
    if (!row.present) continue;
    report->reasons |= row.reason;
    report->hold = report->hold || row.hold;
    words += words.empty() ? "" : ", ";
    words += row.words;
  }
  std::snprintf(report->words, sizeof report->words, "%s", words.c_str());
}

bool measuredReady(const pappl_pr_driver_data_t& data, int32_t lengthDots, bool sizeChosen,
                   pappl_media_col_t* ready) {
  const int resolution = data.y_default > 0 ? data.y_default : 203;
  const int length = static_cast<int>(int64_t{lengthDots} * 2540 / resolution);
  // Changes below a millimetre are the printer's measuring, not other stock.
  if (sizeChosen || ready->size_width <= 0 || std::abs(ready->size_length - length) < 100) return false;
  // A length outside the printer's custom size range is no label it could print; stock of a size in
  // the printer's own list takes that size's name, any other a custom one.
  const char* listed = nullptr;
  int listedLength = 0;
  for (int i = 0; i < data.num_media; ++i) {
    const pwg_media_t* size = pwgMediaForPWG(data.media[i]);
    if (size == nullptr) continue;
    if ((std::strncmp(data.media[i], "custom_min_", 11) == 0 && length < size->length) ||
        (std::strncmp(data.media[i], "custom_max_", 11) == 0 && length > size->length))
      return false;
    if (listed == nullptr && std::strncmp(data.media[i], "custom_", 7) != 0 &&
        std::abs(size->width - ready->size_width) < 100 && std::abs(size->length - length) < 100) {
      listed = data.media[i];
      listedLength = size->length;
    }
  }
  if (listed != nullptr) {
    ready->size_length = listedLength;
    std::snprintf(ready->size_name, sizeof ready->size_name, "%s", listed);
  } else {
    ready->size_length = length;
    pwgFormatSizeName(ready->size_name, sizeof ready->size_name, "custom", nullptr, ready->size_width, length,
                      nullptr);
  }
  return true;
}

void updateReadyLength(pappl_printer_t* printer, const pappl_pr_driver_data_t& data, int32_t lengthDots) {
  printerLink* link = static_cast<printerLink*>(data.extension);
  if (link == nullptr) return;
  const int resolution = data.y_default > 0 ? data.y_default : 203;
  link->measuredLength = static_cast<int32_t>(int64_t{lengthDots} * 2540 / resolution);
  pappl_media_col_t ready[PAPPL_MAX_SOURCE];
  std::memcpy(ready, data.media_ready, sizeof ready);
  if (measuredReady(data, lengthDots, link->sizeChosen, &ready[0]))
    papplPrinterSetReadyMedia(printer, data.num_source > 0 ? data.num_source : 1, ready);
}

bool labelStatus(pappl_printer_t* printer) {
  if (printerLink* link = linkOf(printer)) link->statusWanted.store(true);
  return true;
}

bool awaitConnection(pappl_job_t* job, pappl_device_t* device) {
  pappl_printer_t* printer = papplJobGetPrinter(job);
  printerLink* link = linkOf(printer);
  std::string error;
  bool waited = false;
  while (!connectDevice(printer, device, &error)) {
    if (link != nullptr) {
      std::lock_guard<std::mutex> asking(link->asking);
      showReach(printer, link, error);
    }
    if (!waited) papplJobSetReasons(job, PAPPL_JREASON_JOB_QUEUED, PAPPL_JREASON_NONE);
    waited = true;
    papplJobSetMessage(job, "Waiting: the printer cannot be reached (%s); trying again every %d seconds.",
                       error.c_str(), kReachMilliseconds / 1000);
    for (int slept = 0; slept < kReachMilliseconds; slept += 100) {
      if (papplJobIsCanceled(job) || papplPrinterIsDeleted(printer) ||
          !papplSystemIsRunning(papplPrinterGetSystem(printer)))
        return false;
      usleep(100000);
    }
  }
  if (link != nullptr && isNetwork(printer)) {
    std::lock_guard<std::mutex> asking(link->asking);
    showReach(printer, link, "");
  }
  if (waited) {
    papplJobSetReasons(job, PAPPL_JREASON_NONE, PAPPL_JREASON_JOB_QUEUED);
    papplJobSetMessage(job, "Printing.");
  }
  return true;
}

bool awaitPrinter(pappl_job_t* job, pappl_device_t* device, bool afterLabels) {
  if (!afterLabels && !awaitConnection(job, device)) return false;
  pappl_printer_t* printer = papplJobGetPrinter(job);
  printerLink* link = linkOf(printer);
  if (link == nullptr || !isTwoWay(printer)) return true;
  // Before the labels, only a printer known to answer, or to be in trouble, is asked; after them, only
  // one that answered.
  const bool ask = link->answered == 1 || (!afterLabels && (link->shown & kManagedReasons) != 0);
  if (!ask) return true;
  bool waited = false;
  for (;;) {
    hostStatus status;
    std::unique_lock<std::mutex> asking(link->asking);
    const bool answered = queryPrinter(printer, device, &status);
    if (!showStatus(printer, answered ? &status : nullptr)) break;
    asking.unlock();
    waited = true;
    papplJobSetMessage(job, "Waiting: the printer reports %s.", link->words);
    for (int slept = 0; slept < kWaitMilliseconds; slept += 100) {
      if (papplJobIsCanceled(job)) return false;
      usleep(100000);
    }
  }
  if (waited) papplJobSetMessage(job, "%s", afterLabels ? "Printed." : "Printing.");
  return !papplJobIsCanceled(job);
}

int64_t monotonicMilliseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

printerLink* linkOf(pappl_printer_t* printer) {
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  return static_cast<printerLink*>(data.extension);
}

void forgetDevice(pappl_printer_t* printer, printerLink* link) {
  ++link->generation;
  showReach(printer, link, "");
  link->identityAsked = false;
  link->identified = false;
  replaceStatusLine(link, link->identityWords, sizeof link->identityWords, "");
  link->answered = -1;
  link->quietUntil = 0;
  showStatus(printer, nullptr);
}

printerLink* newPrinterLink(appConfig* config) {
  printerLink* link = new (std::nothrow) printerLink;
  if (link != nullptr) {
    link->answered = -1;
    link->quietUntil = 0;
    link->shown = PAPPL_PREASON_NONE;
    link->words[0] = '\0';
    link->followedMode = kDefaultLabelMode;
    std::snprintf(link->followedMediaType, sizeof link->followedMediaType, "%s", kDefaultMediaType);
    link->claimed = false;
    link->orphaned = false;
    link->identityAsked = false;
    link->identified = false;
    std::memset(&link->identity, 0, sizeof link->identity);
    link->identityWords[0] = '\0';
    link->reachWords[0] = '\0';
    link->sizeChosen = false;
    link->measuredLength = 0;
    link->config = config;
  }
  return link;
}

void labelDelete(pappl_printer_t*, pappl_pr_driver_data_t* data) {
  printerLink* link = static_cast<printerLink*>(data->extension);
  data->extension = nullptr;
  if (link == nullptr) return;
  {
    // A status query that runs ends first (a USB printer's uses the printer's device); one that does
    // not end in time frees the link itself.
    std::unique_lock<std::mutex> lock(link->probeLock);
    link->deleting = true;
    if (!link->probeEnded.wait_for(lock, std::chrono::milliseconds(kProbeEndMilliseconds),
                                   [link] { return !link->probing; })) {
      link->probeOwns = true;
      return;
    }
  }
  {
    // A printer deleted as its job ends: the job's thread still has to give the place back.
    std::lock_guard<std::mutex> lock(link->claim);
    if (link->claimed) {
      link->orphaned = true;
      return;
    }
  }
  delete link;
}

std::string resolutionMismatch(const hostIdentity* identity, int driverResolution) {
  if (identity == nullptr || identity->dotsPerInch == driverResolution) return "";
  return "a " + std::to_string(identity->dotsPerInch) + " dpi head on a driver for " +
         std::to_string(driverResolution) + " dpi: labels print at the wrong size";
}

const char* identifyPrinter(const char*, const char* deviceUri, const char*, void* data) {
  // Asked with a device ID alone (the drivers subcommand), there is no printer to ask.
  if (deviceUri == nullptr) return nullptr;
  const appConfig* config = static_cast<const appConfig*>(data);
  return identifyDriver(config != nullptr ? config->system : nullptr, deviceUri);
}

namespace {

// 'identifyDriverOnce()' - identifyDriver()'s work: the printer asked and its answer logged.
const char* identifyDriverOnce(pappl_system_t* system, const char* deviceUri);

// Whether this thread's last identifyDriver() found no driver (takeNotIdentified()).
thread_local bool tNotIdentified = false;

// 'noteDriver()' - the driver identifyDriver() found, noted when there is none.
const char* noteDriver(const char* driver) {
  tNotIdentified = driver == nullptr;
  return driver;
}

}  // namespace

bool takeNotIdentified() { return std::exchange(tNotIdentified, false); }

const char* identifyDriver(pappl_system_t* system, const char* deviceUri) {
  return noteDriver(identifyDriverOnce(system, deviceUri));
}

namespace {

const char* identifyDriverOnce(pappl_system_t* system, const char* deviceUri) {
  const auto log = [system](const std::string& words) {
    if (system != nullptr) papplLog(system, PAPPL_LOGLEVEL_ERROR, "%s", words.c_str());
  };
  const bool network = std::strncmp(deviceUri, "socket://", 9) == 0;
  if (!network && std::strncmp(deviceUri, "usb://", 6) != 0) {
    log(std::string("The printer at '") + deviceUri + "' cannot be asked what it is: name its driver.");
    return nullptr;
  }
  std::string error;
  pappl_device_t* device = papplDeviceOpen(deviceUri, "identify", keepDeviceError, &error);
  if (device == nullptr) {
    log(std::string("The printer at '") + deviceUri + "' cannot be reached: " + error);
    return nullptr;
  }
  hostIdentity identity;
  const bool answered = askIdentity(device, network, &identity);
  papplDeviceClose(device);
  if (!answered) {
    log(std::string("The printer at '") + deviceUri +
        "' did not say what it is (no readable answer to the identification query): name its driver.");
    return nullptr;
  }
  const char* driver = driverForResolution(identity.dotsPerInch);
  if (system != nullptr)
    papplLog(system, PAPPL_LOGLEVEL_INFO,
             "The printer at '%s' is a %s, firmware %s, %d dpi head: driver '%s'.", deviceUri, identity.model,
             identity.version, identity.dotsPerInch, driver != nullptr ? driver : "none");
  return driver;
}

}  // namespace

std::vector<std::string> statusLines(pappl_printer_t* printer) {
  printerLink* link = linkOf(printer);
  if (link == nullptr) return {};
  std::vector<std::string> lines;
  std::lock_guard<std::mutex> lock(link->linesLock);
  const auto add = [&lines](const std::string& words) {
    if (words.empty()) return;
    lines.push_back(words.back() == '.' ? words : words + ".");
  };
  add(link->identityWords);
  add(link->reachWords);
  if (link->words[0] != '\0') add(std::string("Printer reports: ") + link->words);
  return lines;
}
