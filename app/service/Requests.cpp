// SPDX-License-Identifier: Apache-2.0
// The application's rules for the requests and jobs the framework hands on: who may administer, and
// who may change a job; a document is taken only in a format its printer prints, and a raster stream
// in its turn; the queue's order for the jobs the framework starts; a printer added without a driver.
// PAPPL 1.3.1 lets every client of its web pages administer when no authentication is configured,
// lets any network client cancel any job, prints a raster page of whatever size a client claims, and
// can start two jobs on one printer at once. The door (app/door/) calls these before or around the
// framework's own functions, which it hands in as 'next'.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/service/service.h"

namespace {

// How long a client's raster stream waits for the printer's place before it is answered busy.
inline constexpr int kStreamWaitMilliseconds = 5000;

bool isStopping(pappl_printer_t* printer) {
  const printerLink* link = printer != nullptr ? linkOf(printer) : nullptr;
  return link != nullptr && link->config != nullptr && link->config->stopping.load();
}

// 'historyOf()' - the ended jobs a printer keeps: the server's job-history.
int historyOf(const printerLink* link) {
  return link != nullptr && link->config != nullptr ? link->config->jobHistory : kDefaultJobHistory;
}

// 'streamsRaster()' - whether a request brings a raster document, which the framework prints on the
// client's thread while reading it.
bool streamsRaster(pappl_client_t* client) {
  const char* format = ippGetString(
      ippFindAttribute(papplClientGetRequest(client), "document-format", IPP_TAG_MIMETYPE), 0, nullptr);
  pappl_job_t* job = papplClientGetJob(client);
  if (format == nullptr && job != nullptr) format = papplJobGetFormat(job);
  return isRasterStream(format);
}

// 'hideFromStranger()' - hide other users' job names and owners in the response to a network client
// that is not an administrator.
void hideFromStranger(pappl_client_t* client, pappl_printer_t* printer) {
  hideJobValuesFromStranger(client, printer);
}

// 'configOf()' - the server's settings, through the printer's link.
appConfig* configOf(pappl_printer_t* printer) {
  const printerLink* link = printer != nullptr ? linkOf(printer) : nullptr;
  return link != nullptr ? link->config : nullptr;
}

bool isSubscriptionOperation(ipp_op_t op) {
  return op == IPP_OP_CREATE_PRINTER_SUBSCRIPTIONS || op == IPP_OP_CREATE_JOB_SUBSCRIPTIONS ||
         op == IPP_OP_GET_SUBSCRIPTION_ATTRIBUTES || op == IPP_OP_GET_SUBSCRIPTIONS ||
         op == IPP_OP_RENEW_SUBSCRIPTION || op == IPP_OP_CANCEL_SUBSCRIPTION ||
         op == IPP_OP_GET_NOTIFICATIONS;
}

bool printsDocument(ipp_op_t op) {
  return op == IPP_OP_PRINT_JOB || op == IPP_OP_PRINT_URI || op == IPP_OP_CREATE_JOB ||
         op == IPP_OP_SEND_DOCUMENT || op == IPP_OP_SEND_URI;
}

bool printsFormat(pappl_printer_t* printer, const char* format) {
  const printerLink* link = linkOf(printer);
  if (std::strcmp(format, "application/pdf") == 0)
    return link != nullptr && link->config != nullptr && !link->config->rendererPath.empty();
  for (const char* printed : kPrintedFormats)
    if (std::strcmp(format, printed) == 0) return true;
  return false;
}

// 'takesDocument()' - whether the printer can print the document of a request, by its declared format
// or, for one of no declared format, by its first bytes ('peek': the document follows the request);
// else the request is answered document-format-not-supported, rather than the job accepted and
// aborted.
bool takesDocument(pappl_client_t* client, pappl_printer_t* printer, bool peek) {
  ipp_t* request = papplClientGetRequest(client);
  ipp_attribute_t* declared = ippFindAttribute(request, "document-format", IPP_TAG_MIMETYPE);
  const char* format = ippGetString(declared, 0, nullptr);
  const char* compression =
      ippGetString(ippFindAttribute(request, "compression", IPP_TAG_KEYWORD), 0, nullptr);
  if (format != nullptr && std::strcmp(format, "application/octet-stream") != 0) {
    if (printsFormat(printer, format)) return true;
    papplClientRespondIPP(client, IPP_STATUS_ERROR_DOCUMENT_FORMAT_NOT_SUPPORTED,
                          "The printer cannot print documents in '%s'.", format);
    ipp_attribute_t* unsupported = ippCopyAttribute(papplClientGetResponse(client), declared, 0);
    ippSetGroupTag(papplClientGetResponse(client), &unsupported, IPP_TAG_UNSUPPORTED_GROUP);
    return false;
  }
  char head[256];
  const ssize_t got = peek && (compression == nullptr || std::strcmp(compression, "none") == 0)
                          ? httpPeek(papplClientGetHTTP(client), head, sizeof head)
                          : 0;
  if (got <= 0) return true;
  format = documentFormatOf(reinterpret_cast<const unsigned char*>(head), static_cast<size_t>(got));
  if (format != nullptr && printsFormat(printer, format)) return true;
  papplClientRespondIPP(client, IPP_STATUS_ERROR_DOCUMENT_FORMAT_NOT_SUPPORTED,
                        "The document is in a format this printer cannot print.");
  return false;
}

// 'runSubmission()' - run a request that may bring a document: refused while the server stops, or
// when its document is one the printer cannot print; a raster stream holds the printer's place for the whole
// request, or is answered busy (its job, when it has one already, cancelled) without the framework's own busy
// path, whose locking can stop the whole server while the state is being saved.
template <typename Next>
void runSubmission(pappl_client_t* client, Next next) {
  pappl_printer_t* printer = papplClientGetPrinter(client);
  if (isStopping(printer)) {
    papplClientRespondIPP(client, IPP_STATUS_ERROR_SERVICE_UNAVAILABLE, "The server is stopping.");
    return;
  }
  const bool bringsDocument = papplClientGetOperation(client) != IPP_OP_CREATE_JOB;
  if (!takesDocument(client, printer, bringsDocument)) return;
  if (!bringsDocument || !streamsRaster(client)) {
    next(client);
    saveAfterRequest(client);
    return;
  }
  // A raster stream waits for its turn: after the jobs accepted before it (a Send-Document's job was
  // accepted with its Create-Job).
  pappl_job_t* job = papplClientGetJob(client);
  printerLink* link = linkOf(printer);
  const int id = job != nullptr ? papplJobGetID(job) : 0;
  uint64_t place = job != nullptr ? placeOf(printer, id) : 0;
  if (place == 0 && link != nullptr && link->config != nullptr) place = takePlace(link->config);
  ipp_attribute_t* priority =
      ippFindAttribute(papplClientGetRequest(client), "job-priority", IPP_TAG_INTEGER);
  const queuedJob turn{id, priority != nullptr ? ippGetInteger(priority, 0) : 50, place, true};
  if (!claimPrinterInTurn(printer, kStreamWaitMilliseconds, turn, &link)) {
    if (job != nullptr && !_papplPrinterIsAuthorized(client)) return;
    papplClientRespondIPP(client, IPP_STATUS_ERROR_BUSY, "Currently printing another job.");
    if (job != nullptr) papplJobCancel(job);
    return;
  }
  next(client);
  saveAfterRequest(client);
  releasePrinter(link, printer);
}

// 'rankHeldJobs()' - give the printer's held jobs places in the queue, oldest first, as they are
// released together.
void rankHeldJobs(pappl_printer_t* printer) {
  printerLink* link = linkOf(printer);
  if (link == nullptr || link->config == nullptr) return;
  std::vector<int> held;
  papplPrinterIterateActiveJobs(
      printer,
      [](pappl_job_t* job, void* data) {
        if (papplJobGetState(job) == IPP_JSTATE_HELD)
          static_cast<std::vector<int>*>(data)->push_back(papplJobGetID(job));
      },
      &held, 1, 0);
  std::sort(held.begin(), held.end());
  for (const int id : held) givePlace(printer, id, takePlace(link->config));
}

}  // namespace

bool authorizeAdminPage(pappl_client_t* client, bool (*next)(pappl_client_t*)) {
  if (client == nullptr) return false;
  if (isLocalClient(client)) return true;
  pappl_system_t* system = papplClientGetSystem(client);
  if (!usesPam(system) && !hasPassword(system)) {
    respondRemoteAdminOff(client);
    return false;
  }
  if (!papplClientIsEncrypted(client)) {
    // A page asked for by GET is sent on to its https address.
    papplClientRespond(client, HTTP_STATUS_UPGRADE_REQUIRED, nullptr, nullptr, 0, 0);
    return false;
  }
  return next(client);
}

std::string newPasswordHash(pappl_system_t* system, const char* salt, const char* password) {
  if (system == nullptr || password == nullptr) return "";
  if (salt != nullptr && (salt[0] == '$' || std::strchr(salt, '~') != nullptr)) {
    // A check: the framework compares what it gets with the stored hash.
    const std::string stored = salt;
    const auto check = [&stored, password] { return passwordMatches(stored, password); };
    pappl_client_t* client = requestClient();
    return (client != nullptr ? checkSignIn(serverSettings(system), client, check) : check()) ? stored : "!";
  }
  std::string hash = slowPasswordHash(password);
  if (hash.empty()) {
    // The earlier versions' hash, which is still taken, rather than no password at all.
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "The crypt library made no hash of the new password.");
    char nonce[32];
    std::snprintf(nonce, sizeof nonce, "%08x%08x", papplGetRand(), papplGetRand());
    hash = hashPassword(nullptr, password, nonce);
  }
  return hash;
}

http_status_t authorizeAdmin(pappl_client_t* client, http_status_t (*pam)(pappl_client_t*)) {
  if (client == nullptr) return HTTP_STATUS_BAD_REQUEST;
  if (isLocalClient(client)) return HTTP_STATUS_CONTINUE;
  pappl_system_t* system = papplClientGetSystem(client);
  if (usesPam(system)) return pam(client);
  return hasPassword(system) ? checkAdminPassword(client) : HTTP_STATUS_FORBIDDEN;
}

bool authorizePrinterRequest(pappl_client_t* client) {
  if (isLocalClient(client)) return true;
  // A network client that signs in owns what it prints under its account's name.
  signInClient(client);
  const ipp_op_t op = papplClientGetOperation(client);
  if (printsDocument(op) && !admitPrinting(client)) return false;
  const accessNeed need = operationNeed(op);
  if (need == kNeedNothing) return true;
  pappl_job_t* job = papplClientGetJob(client);
  if (need == kNeedOwner && (job == nullptr || clientOwnsJob(client, job))) return true;
  const http_status_t status = papplClientIsAuthorized(client);
  if (status == HTTP_STATUS_CONTINUE) return true;
  papplClientRespond(client, status, nullptr, nullptr, 0, 0);
  return false;
}

void processPrinterRequest(pappl_client_t* client, void (*next)(pappl_client_t*)) {
  const ipp_op_t op = papplClientGetOperation(client);
  bool database = false;  // media-col-database asked for beside "all"
  if (op == IPP_OP_PRINT_JOB || op == IPP_OP_CREATE_JOB || op == IPP_OP_VALIDATE_JOB) {
    // A sheet's size is no label's: the framework would refuse Validate-Job for it, and CUPS then
    // cancels the job.
    pappl_pr_driver_data_t data;
    papplPrinterGetDriverData(papplClientGetPrinter(client), &data);
    takeSheetMedia(papplClientGetRequest(client), data);
  }
  if (op == IPP_OP_PRINT_JOB || op == IPP_OP_CREATE_JOB) {
    applyCopiesDefault(client);
    markJobOwner(client);
    if (op == IPP_OP_CREATE_JOB && !admitDoclessJob(client, configOf(papplClientGetPrinter(client)))) return;
    runSubmission(client, next);
    if (op == IPP_OP_CREATE_JOB) noteDoclessJob(client, configOf(papplClientGetPrinter(client)));
  } else if (isSubscriptionOperation(op)) {
    appConfig* config = configOf(papplClientGetPrinter(client));
    if (!admitSubscriptionRequest(client, config)) return;
    next(client);
    if (config != nullptr) finishSubscriptionRequest(client, config);
  } else if (op == IPP_OP_RELEASE_HELD_NEW_JOBS) {
    if (!_papplPrinterIsAuthorized(client)) return;
    rankHeldJobs(papplClientGetPrinter(client));
    next(client);
  } else if (op == IPP_OP_SET_PRINTER_ATTRIBUTES) {
    // A new device or driver is taken by the application; the request's settings go on through the
    // application's checks to the framework.
    const auto setSettings = [next](pappl_client_t* c) { setPrinterSettings(c, next); };
    if (_papplPrinterIsAuthorized(client) && !takeDeviceChange(client, setSettings)) setSettings(client);
  } else if (op != IPP_OP_VALIDATE_JOB || takesDocument(client, papplClientGetPrinter(client), false)) {
    database = op == IPP_OP_GET_PRINTER_ATTRIBUTES && expandRequestGroups(papplClientGetRequest(client));
    next(client);
  }
  if (op != IPP_OP_PRINT_JOB && op != IPP_OP_CREATE_JOB && changesState(op)) saveAfterRequest(client);
  if (op == IPP_OP_GET_JOBS) hideFromStranger(client, papplClientGetPrinter(client));
  if (op == IPP_OP_GET_PRINTER_ATTRIBUTES)
    repairPrinterValues(papplClientGetResponse(client), papplClientGetPrinter(client),
                        papplClientGetRequest(client), database);
}

void processJobRequest(pappl_client_t* client, void (*next)(pappl_client_t*)) {
  const ipp_op_t op = papplClientGetOperation(client);
  pappl_printer_t* printer = papplClientGetPrinter(client);
  pappl_job_t* job = papplClientGetJob(client);
  if (op == IPP_OP_SEND_DOCUMENT) {
    noteReceiving(configOf(printer), printer, job, true);
    runSubmission(client, next);
    noteReceiving(configOf(printer), printer, job, false);
  } else if (op == IPP_OP_RELEASE_JOB || op == IPP_OP_HOLD_JOB) {
    // A job released from a hold takes its place in the queue when it is released.
    const printerLink* link = printer != nullptr ? linkOf(printer) : nullptr;
    if (op == IPP_OP_RELEASE_JOB && job != nullptr && papplJobGetState(job) == IPP_JSTATE_HELD &&
        link != nullptr && link->config != nullptr && _papplPrinterIsAuthorized(client))
      givePlace(printer, papplJobGetID(job), takePlace(link->config));
    next(client);
    saveAfterRequest(client);
  } else {
    next(client);
    if (changesState(op)) saveAfterRequest(client);
  }
  if (op == IPP_OP_GET_JOB_ATTRIBUTES) hideFromStranger(client, papplClientGetPrinter(client));
}

void showPrinterHome(pappl_client_t* client, pappl_printer_t* printer,
                     void (*next)(pappl_client_t*, pappl_printer_t*)) {
  if (isLocalClient(client)) {
    next(client, printer);
  } else if (papplClientGetMethod(client) == HTTP_STATE_POST || offersCredentials(client)) {
    if (papplClientHTMLAuthorize(client)) next(client, printer);
  } else {
    respondStrangerPrinterHome(client, printer);
  }
}

void processQueuedJob(pappl_job_t* job, void* (*next)(pappl_job_t*)) {
  pappl_printer_t* printer = papplJobGetPrinter(job);
  keepPrinterHistory(printer);
  if (isStopping(printer)) return;
  printerLink* link = nullptr;
  if (!claimPrinter(printer, 0, &link)) return;
  pappl_system_t* system = papplPrinterGetSystem(printer);
  const int history = historyOf(link);
  const queuedJob first = nextQueuedJob(printer);
  pappl_job_t* chosen = first.stream || first.id == 0 ? nullptr : papplPrinterFindJob(printer, first.id);
  if (chosen == nullptr || papplJobGetFilename(chosen) == nullptr ||
      papplJobGetState(chosen) != IPP_JSTATE_PENDING) {
    // The stream's end, or the next job's acceptance, looks at the queue again.
    releasePrinter(link, printer, false);
    return;
  }
  openJobDevicesLate(true);
  next(chosen);
  openJobDevicesLate(false);
  // The job's end reaches the state file with the main loop's next save, within a second: a crash
  // before it prints the job again, which costs a label, while a save here would cost every job the
  // time of a flush to the disk.
  keepHistory(system, history);
  releasePrinter(link, printer);
}

void placeNewJob(pappl_printer_t* printer, pappl_job_t* job) {
  printerLink* link = job != nullptr ? linkOf(printer) : nullptr;
  if (link == nullptr || link->config == nullptr) return;
  const int id = papplJobGetID(job), printerId = papplPrinterGetID(printer);
  uint64_t place = 0;
  for (const savedPlace& saved : link->config->loadedPlaces)
    if (saved.printerId == printerId && saved.jobId == id) place = saved.place;
  givePlace(printer, id, place != 0 ? place : takePlace(link->config));
}

void processRasterJob(pappl_job_t* job, pappl_client_t* client, void (*next)(pappl_job_t*, pappl_client_t*)) {
  pappl_printer_t* printer = papplJobGetPrinter(job);
  pappl_system_t* system = papplPrinterGetSystem(printer);
  const int history = historyOf(linkOf(printer));
  keepPrinterHistory(printer);
  openJobDevicesLate(true);
  // A client that brings no page for the stream-timeout loses the printer (checkStreams()).
  watchStream(job, httpGetFd(papplClientGetHTTP(client)));
  next(job, client);
  unwatchStream(job);
  openJobDevicesLate(false);
  keepHistory(system, history);
}

bool takeRasterPage(pappl_job_t* job, const cups_page_header2_t& header) {
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(papplJobGetPrinter(job), &data);
  char message[256];
  if (pageFits(header, labelLimits(data), message, sizeof message)) return true;
  refuseRasterPage(job, message);
  return false;
}
