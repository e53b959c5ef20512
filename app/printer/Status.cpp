// SPDX-License-Identifier: Apache-2.0
// The printer talks back: the host status query on a two-way link, what its answer means for the
// printer's state reasons, and jobs that wait while the printer reports an error.
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

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
bool isNetwork(pappl_printer_t* printer) { return isNetworkUri(papplPrinterGetDeviceURI(printer)); }

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
void replaceStatusLine(pappl_printer_t* printer, char* shown, size_t size, const char* words) {
  if (std::strcmp(shown, words) == 0) return;
  if (shown[0] != '\0') papplPrinterRemoveLink(printer, shown);
  char path[256];
  if (words[0] != '\0')
    papplPrinterAddLink(printer, words, papplPrinterGetPath(printer, nullptr, path, sizeof path),
                        PAPPL_LOPTIONS_STATUS);
  std::snprintf(shown, size, "%s", words);
}

// 'showReach()' - show whether the printer can be reached: 'offline-report' and why ('reason') when
// it cannot, nothing when it can (reason ""). Call with the link's 'asking' held.
void showReach(pappl_printer_t* printer, printerLink* link, const std::string& reason) {
  const std::string words = reason.empty() ? "" : "Printer cannot be reached: " + reason;
  if (words == link->reachWords) return;
  papplLogPrinter(printer, reason.empty() ? PAPPL_LOGLEVEL_INFO : PAPPL_LOGLEVEL_WARN, "%s",
                  reason.empty() ? "The printer can be reached again." : words.c_str());
  replaceStatusLine(printer, link->reachWords, sizeof link->reachWords, words.c_str());
  papplPrinterSetReasons(printer, reason.empty() ? PAPPL_PREASON_NONE : PAPPL_PREASON_OFFLINE,
                         reason.empty() ? PAPPL_PREASON_OFFLINE : PAPPL_PREASON_NONE);
  // The printer that answers next may be another one: it is asked again what it is.
  if (!reason.empty()) link->identityAsked = false;
}

// 'learnIdentity()' - ask a printer that answered the status query what it is, once, and show its
// model and firmware on its page.
void learnIdentity(pappl_printer_t* printer, pappl_device_t* device, bool network, printerLink* link) {
  if (link->identityAsked) return;
  link->identityAsked = true;
  hostIdentity identity;
  if (!askIdentity(device, network, &identity)) {
    link->identified = false;
    replaceStatusLine(printer, link->identityWords, sizeof link->identityWords, "");
    return;
  }
  link->identity = identity;
  link->identified = true;
  char words[sizeof link->identityWords];
  std::snprintf(words, sizeof words, "Printer: %s, firmware %s, %d dpi head", identity.model,
                identity.version, identity.dotsPerInch);
  if (std::strcmp(words, link->identityWords) != 0)
    papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "%s", words);
  replaceStatusLine(printer, link->identityWords, sizeof link->identityWords, words);
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
    // The web page shows the trouble in words as a line of the printer's status, linked to its page.
    char label[300], path[256];
    std::snprintf(label, sizeof label, "Printer reports: %s", link->words);
    if (link->words[0] != '\0') papplPrinterRemoveLink(printer, label);
    std::snprintf(label, sizeof label, "Printer reports: %s", report.words);
    if (report.words[0] != '\0')
      papplPrinterAddLink(printer, label, papplPrinterGetPath(printer, nullptr, path, sizeof path),
                          PAPPL_LOPTIONS_STATUS);
    link->shown = report.reasons;
    std::snprintf(link->words, sizeof link->words, "%s", report.words);
  }
  papplPrinterSetReasons(printer, report.reasons, kManagedReasons & ~report.reasons);
  if (status != nullptr && status->labelLength > 0) updateReadyLength(printer, data, status->labelLength);
  if (status != nullptr && link != nullptr) followPrinterSettings(printer, status, link);
  return report.hold;
}

}  // namespace

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
  printerLink* link = linkOf(printer);
  if (!isTwoWay(printer) || link == nullptr) return true;
  // Printers are not asked while the state file is read: the server answers first.
  if (!papplSystemIsRunning(papplPrinterGetSystem(printer))) return true;
  // A printer with jobs to print is asked by them; a query already under way is not repeated (the
  // framework may call this from several clients at once).
  if (papplPrinterGetNumberOfActiveJobs(printer) > 0) return true;
  std::unique_lock<std::mutex> asking(link->asking, std::try_to_lock);
  if (!asking.owns_lock()) return true;
  if (link->answered == 0 && monotonicMilliseconds() / 1000 < link->quietUntil) return true;
  // A network printer is asked on a connection of its own. The framework's device for status and
  // maintenance can be taken over by a job that starts while it is open and then closed under that
  // job (PAPPL 1.3.1); a USB printer has only that one.
  const bool network = isNetwork(printer);
  std::string unreachable;
  pappl_device_t* device =
      network ? papplDeviceOpen(papplPrinterGetDeviceURI(printer), "status", keepDeviceError, &unreachable)
              : papplPrinterOpenDevice(printer);
  if (network) showReach(printer, link, device == nullptr ? unreachable : "");
  if (device == nullptr) {
    link->answered = 0;
    link->quietUntil = monotonicMilliseconds() / 1000 + kQuietSeconds;
    return true;
  }
  hostStatus status;
  const bool answered = queryPrinter(printer, device, &status);
  if (answered) learnIdentity(printer, device, network, link);
  if (network)
    papplDeviceClose(device);
  else
    papplPrinterCloseDevice(printer);
  showStatus(printer, answered ? &status : nullptr);
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
  showReach(printer, link, "");
  link->identityAsked = false;
  link->identified = false;
  replaceStatusLine(printer, link->identityWords, sizeof link->identityWords, "");
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

const char* identifyDriver(pappl_system_t* system, const char* deviceUri) {
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
