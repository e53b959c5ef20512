// SPDX-License-Identifier: Apache-2.0
// The subcommands that must do what they say. The framework's modify drops a name it does not know
// and a value it cannot read, and exits 0, and never sends a new device or driver; its options leaves out the
// label settings; its shutdown returns while the server still holds its port; its submit reads -n and never
// sends it; its jobs leaves out why a job ended without printing. The subcommands below take their
// place (app/door/Mainloop.cpp); 'next' is the framework's own.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "app/service/service.h"

namespace {

// How long shutdown waits for the server to be gone.
inline constexpr int kShutdownMilliseconds = 5000;

// A connection to the printer the options name (-d, -u, or the default printer), with the resource
// its requests go to; 'http' is nullptr when there is none (the reason is then printed).
struct printerConnection {
  http_t* http = nullptr;
  char resource[1024] = "";
  std::string uri;
  std::string name;
};

printerConnection connectPrinter(const char* base, int count, cups_option_t* options) {
  printerConnection c;
  const char* uri = cupsGetOption("printer-uri", count, options);
  const char* name = cupsGetOption("printer-name", count, options);
  c.http = uri != nullptr ? _papplMainloopConnectURI(base, uri, c.resource, sizeof c.resource)
                          : _papplMainloopConnect(base, false);
  if (c.http == nullptr) return c;
  char fallback[256];
  if (uri == nullptr && name == nullptr &&
      (name = _papplMainloopGetDefaultPrinter(c.http, fallback, sizeof fallback)) == nullptr) {
    std::fprintf(stderr, "%s: No default printer available.\n", base);
    httpClose(c.http);
    c.http = nullptr;
    return c;
  }
  c.uri = uri != nullptr ? uri : "";
  c.name = name != nullptr ? name : "";
  return c;
}

void addPrinterURI(ipp_t* request, printerConnection& c) {
  if (!c.uri.empty())
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, c.uri.c_str());
  else
    _papplMainloopAddPrinterURI(request, c.name.c_str(), c.resource, sizeof c.resource);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
}

// 'printerAttributes()' - all of the printer's attributes, or nullptr (the reason printed).
ipp_t* printerAttributes(const char* base, printerConnection& c) {
  ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
  addPrinterURI(request, c);
  ipp_t* response = cupsDoRequest(c.http, request, c.resource);
  if (cupsLastError() >= IPP_STATUS_ERROR_BAD_REQUEST) {
    std::fprintf(stderr, "%s: Unable to get the printer's settings: %s\n", base, cupsLastErrorString());
    ippDelete(response);
    return nullptr;
  }
  return response;
}

// 'serverIsGone()' - whether nothing answers on the server's socket any more.
bool serverIsGone(const char* base) {
  char path[1024];
  _papplMainloopGetServerPath(base, getuid(), path, sizeof path);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (std::strlen(path) >= sizeof address.sun_path) {
    close(fd);
    return false;
  }
  std::memcpy(address.sun_path, path, std::strlen(path) + 1);
  const bool gone = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0;
  close(fd);
  return gone;
}

}  // namespace

void printUsage(const char* base) {
  std::printf(
      "Usage: %s SUBCOMMAND [OPTIONS] [FILE]\n"
      "A Printer Application for thermal label printers: each printer becomes a driverless IPP printer.\n"
      "\n"
      "Subcommands:\n"
      "  server            Run the server (in the foreground).\n"
      "  shutdown          Stop the running server; returns once it has stopped (at most 5 s).\n"
      "  add               Add a printer: -d NAME -v DEVICE-URI [-m DRIVER]; without -m the printer is\n"
      "                    asked its resolution and the driver chosen by it.\n"
      "  autoadd           Add every printer found that says what it is.\n"
      "  delete            Delete a printer (-d NAME).\n"
      "  modify            Change a printer's settings (-d NAME -o NAME=VALUE ...); an unknown name or\n"
      "                    a value the printer does not take changes nothing and exits 1. -v DEVICE-URI\n"
      "                    and -m DRIVER move the printer in place: it keeps its name, settings and\n"
      "                    jobs; while a job prints, the change is made when it ends.\n"
      "  options           List every setting and job option, its values and the printer's present one.\n"
      "  submit            Print files (-d NAME [-n COPIES] [-o NAME=VALUE] FILE ...).\n"
      "  cancel, jobs, printers, devices, drivers, default, pause, resume, status\n"
      "                    As their names say.\n"
      "\n"
      "Options:\n"
      "  -d NAME           The printer.\n"
      "  -m DRIVER         The driver (add, modify; see 'drivers'): generic-label-152dpi ... -600dpi.\n"
      "  -v DEVICE-URI     The device (add, modify): socket://HOST[:PORT][/?timeout=SECONDS], usb://...,\n"
      "                    file:///PATH (inside the server's file-device-folder).\n"
      "  -n COPIES         Copies of each file, 1 to %d (submit).\n"
      "  -o NAME=VALUE     A setting or job option (see 'options').\n"
      "  -u URI            A printer or server by its ipp: or ipps: URI.\n"
      "  --help, --version\n"
      "\n"
      "Server options (server -o NAME=VALUE):\n"
      "  server-port=N             Listen on port N (default 8000); a port already taken is an error.\n"
      "  listen-hostname=NAME      Listen on this address only.\n"
      "  file-device-folder=DIR    The one folder file: devices may write in (none by default).\n"
      "  auth-service=PAM-SERVICE  Let network administrators sign in through PAM over TLS.\n"
      "  admin-group=GROUP         Their group.\n"
      "  job-history=N             Keep the N newest ended jobs of each printer (default %d, at most\n"
      "                            %d); the older ones are forgotten, also at the next start.\n"
      "  kept-documents=N          Keep the documents of each printer's N newest ended jobs for a\n"
      "                            reprint (default %d, 0 for none); they count against spool-limit.\n"
      "  docless-job-timeout=SECONDS  A job created without its document ends aborted when the\n"
      "                            document has not come after SECONDS (default %d).\n"
      "  pdf-time-limit=SECONDS    The longest a PDF document's pages may take to render, all together\n"
      "                            (default %d); past it the job ends with the pages printed so far.\n"
      "  spool-limit=SIZE          The most the spool's jobs may hold together (default 1G; K, M, G, T);\n"
      "                            a document past it is refused busy, one over %s (or SIZE) too large.\n"
      "  connections-per-address=N The most connections open at once from one network address, or IPv6\n"
      "                            /64 (default %d, at most %d); the machine itself counts only in all.\n"
      "  stream-timeout=SECONDS    A client's raster stream that brings no page for this long (default\n"
      "                            %d) ends aborted, and the printer goes on to the next job.\n"
      "  spool-directory=DIR, log-file=FILE|-|syslog, log-level=error|warn|info|debug\n"
      "  server-options=LIST       dnssd-host, no-web-interface, web-remote, no-tls, ...\n"
      "\n"
      "Files:\n"
      "  The state: /var/lib/label-printer-app/label-printer-app.state (the service), else\n"
      "    /var/lib/label-printer-app.state (root) or ~/.config/label-printer-app.state.\n"
      "  The spool: /var/lib/label-printer-app/spool (the service), else /var/spool/label-printer-app\n"
      "    (root) or ~/.config/label-printer-app.d.\n"
      "  The commands' socket: /run/label-printer-app.sock (the service), else\n"
      "    $TMPDIR/label-printer-appUID.sock.\n"
      "\n"
      "Log: as log-file says; without it, standard error under systemd (the journal: journalctl -u\n"
      "label-printer-app), else $TMPDIR/pappl<PID>.log.\n"
      "Web pages: http://localhost:8000/. Manual: label-printer-app(8).\n",
      base, kMaxCopies, kDefaultJobHistory, kMaxJobHistory, kDefaultKeptDocuments, kDefaultDoclessJobSeconds, kDefaultPdfSeconds,
      describeBytes(kMaxDocumentBytes).c_str(), kDefaultConnectionsPerAddress, kMaxConnections,
      kDefaultStreamSeconds);
}

int rewriteCopies(std::vector<char*>& arguments, std::string* error) {
  for (size_t i = 1; i < arguments.size(); ++i) {
    if (std::strcmp(arguments[i], "-n") != 0) continue;
    if (i + 1 >= arguments.size()) {
      *error = "Missing copy count after '-n'.";
      return 1;
    }
    char* end = nullptr;
    const long copies = std::strtol(arguments[i + 1], &end, 10);
    if (end == arguments[i + 1] || *end != '\0' || copies < 1 || copies > kMaxCopies) {
      *error =
          std::string("Bad copy count '") + arguments[i + 1] + "': 1 to " + std::to_string(kMaxCopies) + ".";
      return 1;
    }
    // Kept in a deque: its strings stay where they are as more are added.
    static thread_local std::deque<std::string> kept;
    kept.push_back("copies=" + std::to_string(copies));
    arguments[i] = const_cast<char*>("-o");
    arguments[i + 1] = kept.back().data();
  }
  return 0;
}

namespace {

// 'printerMissing()' - whether a request to the printer of 'c' failed because there is no such
// printer, the reason then printed.
bool printerMissing(const char* base, const printerConnection& c) {
  if (cupsLastError() < IPP_STATUS_ERROR_BAD_REQUEST) return false;
  if (cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND)
    std::fprintf(stderr, "%s: There is no printer '%s' ('printers' lists them).\n", base,
                 !c.name.empty() ? c.name.c_str() : c.uri.c_str());
  else
    std::fprintf(stderr, "%s: %s\n", base, cupsLastErrorString());
  return true;
}

// The words of the state reasons a printer or the server may show.
struct reasonWords {
  const char* keyword;
  const char* words;
};
inline constexpr reasonWords kReasonWords[] = {
    {"offline-report", "the printer cannot be reached"},
    {"media-empty", "out of labels"},
    {"cover-open", "print head open"},
    {"marker-supply-empty", "out of ribbon"},
    {"spool-area-full", "the printer's receive buffer is full"},
    {"paused", "paused"},
    {"moving-to-paused", "pausing after the job that prints"},
    {"other", "the printer reports trouble (its page says what)"},
};

// 'stateLine()' - a printer's or the server's state in words: "idle since Thu, 10 Dec 2026 10:00:00
// GMT; paused, the printer cannot be reached."
std::string stateLine(ipp_t* response, const char* prefix) {
  const std::string p = prefix;
  const int state = ippGetInteger(ippFindAttribute(response, (p + "-state").c_str(), IPP_TAG_ENUM), 0);
  const char* names[] = {"idle", "printing", "stopped"};
  std::string line =
      state >= IPP_PSTATE_IDLE && state <= IPP_PSTATE_STOPPED ? names[state - IPP_PSTATE_IDLE] : "unknown";
  ipp_attribute_t* changed =
      ippFindAttribute(response, (p + "-state-change-date-time").c_str(), IPP_TAG_DATE);
  if (changed != nullptr) {
    char date[256];
    line +=
        std::string(" since ") + httpGetDateString2(ippDateToTime(ippGetDate(changed, 0)), date, sizeof date);
  }
  std::string reasons;
  ipp_attribute_t* list = ippFindAttribute(response, (p + "-state-reasons").c_str(), IPP_TAG_KEYWORD);
  for (int i = 0; i < ippGetCount(list); ++i) {
    const std::string keyword = ippGetString(list, i, nullptr);
    if (keyword == "none") continue;
    std::string words = keyword;
    for (const reasonWords& r : kReasonWords)
      if (keyword == r.keyword) words = r.words;
    reasons += (reasons.empty() ? "" : ", ") + words;
  }
  return line + (reasons.empty() ? "." : "; " + reasons + ".");
}

}  // namespace

// The system's socket comes first, then the caller's own in $TMPDIR (which other users may reach), and
// a socket whose server runs as another user than root, the service's or the caller's is refused: the
// command then fails before anything is sent.
http_t* connectServer(const char* base) {
  const uid_t uids[] = {0, getuid()};
  for (const uid_t uid : uids) {
    if (uid != 0 && getuid() == 0) break;
    char path[1024];
    _papplMainloopGetServerPath(base, uid, path, sizeof path);
    http_t* http = httpConnect2(path, 0, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_IF_REQUESTED, 1, 30000, nullptr);
    if (http == nullptr) continue;
    std::string reason;
    if (checkServerPeer(httpGetFd(http), &reason) == 0) return http;
    httpClose(http);
    std::fprintf(stderr, "%s: Refused the server socket '%s': %s.\n", base, path, reason.c_str());
    return nullptr;
  }
  std::fprintf(stderr,
               "%s: The server is not running. Start it with 'systemctl start label-printer-app' (the "
               "service) or '%s server' (in the foreground).\n",
               base, base);
  return nullptr;
}

// The status subcommand: the server's or a printer's state in words, and exit status 1 when there is
// no such printer.
int statusCommand(const char* base, int count, cups_option_t* options) {
  const bool ofPrinter = cupsGetOption("printer-name", count, options) != nullptr ||
                         cupsGetOption("printer-uri", count, options) != nullptr;
  if (!ofPrinter) {
    http_t* http = _papplMainloopConnect(base, false);
    if (http == nullptr) return 1;
    ipp_t* request = ippNewRequest(IPP_OP_GET_SYSTEM_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "system-uri", nullptr,
                 "ipp://localhost/ipp/system");
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    ipp_t* response = cupsDoRequest(http, request, "/ipp/system");
    httpClose(http);
    const bool failed = cupsLastError() >= IPP_STATUS_ERROR_BAD_REQUEST;
    if (failed)
      std::fprintf(stderr, "%s: %s\n", base, cupsLastErrorString());
    else
      std::printf("Running, %s\n", stateLine(response, "system").c_str());
    ippDelete(response);
    return failed ? 1 : 0;
  }
  printerConnection c = connectPrinter(base, count, options);
  if (c.http == nullptr) return 1;
  ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
  addPrinterURI(request, c);
  static const char* const wanted[] = {"printer-state", "printer-state-change-date-time",
                                       "printer-state-reasons"};
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 3, nullptr, wanted);
  ipp_t* response = cupsDoRequest(c.http, request, c.resource);
  httpClose(c.http);
  const bool missing = printerMissing(base, c);
  if (!missing)
    std::printf("%s: %s\n", !c.name.empty() ? c.name.c_str() : c.uri.c_str(),
                stateLine(response, "printer").c_str());
  ippDelete(response);
  return missing ? 1 : 0;
}

// The jobs subcommand: each job as the framework lists it, and for a job that ended without printing
// the reason in words ("aborted  root  label.pdf: The PDF document cannot be read.").
int jobsCommand(const char* base, int count, cups_option_t* options) {
  printerConnection c = connectPrinter(base, count, options);
  if (c.http == nullptr) return 1;
  ipp_t* request = ippNewRequest(IPP_OP_GET_JOBS);
  addPrinterURI(request, c);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "all");
  static const char* const wanted[] = {"job-id", "job-name", "job-originating-user-name", "job-state",
                                       "job-state-message"};
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 5, nullptr, wanted);
  ipp_t* response = cupsDoRequest(c.http, request, c.resource);
  if (printerMissing(base, c)) {
    ippDelete(response);
    httpClose(c.http);
    return 1;
  }
  for (ipp_attribute_t* a = ippFirstAttribute(response); a != nullptr; a = ippNextAttribute(response)) {
    if (ippGetGroupTag(a) != IPP_TAG_JOB) continue;
    int id = 0, state = IPP_JSTATE_PENDING;
    std::string job = "(none)", user = "(unknown)", message;
    for (; a != nullptr && ippGetGroupTag(a) == IPP_TAG_JOB; a = ippNextAttribute(response)) {
      const std::string attribute = ippGetName(a);
      if (attribute == "job-id") id = ippGetInteger(a, 0);
      if (attribute == "job-state") state = ippGetInteger(a, 0);
      if (attribute == "job-name") job = ippGetString(a, 0, nullptr);
      if (attribute == "job-originating-user-name") user = ippGetString(a, 0, nullptr);
      if (attribute == "job-state-message") message = ippGetString(a, 0, nullptr);
    }
    const bool failed = state == IPP_JSTATE_ABORTED && !message.empty();
    std::printf("%d %-12s %-16s %s%s%s\n", id, ippEnumString("job-state", state), user.c_str(), job.c_str(),
                failed ? ": " : "", failed ? message.c_str() : "");
    if (a == nullptr) break;
  }
  ippDelete(response);
  httpClose(c.http);
  return 0;
}

int modifyCommand(const char* base, int count, cups_option_t* options) {
  printerConnection c = connectPrinter(base, count, options);
  if (c.http == nullptr) return 1;
  ipp_t* printer = printerAttributes(base, c);
  if (printer == nullptr) {
    httpClose(c.http);
    return 1;
  }
  ipp_t* request = ippNewRequest(IPP_OP_SET_PRINTER_ATTRIBUTES);
  addPrinterURI(request, c);
  std::string error;
  const int status = addSettings(count, options, printer, request, &error);
  ippDelete(printer);
  if (status != 0) {
    std::fprintf(stderr, "%s: Nothing changed: %s.\n", base, error.c_str());
    ippDelete(request);
    httpClose(c.http);
    return 1;
  }
  // A new device or driver: the server checks and makes the change, and says what it did.
  const char* deviceUri = cupsGetOption(kDeviceUriAttr, count, options);
  const char* driver = cupsGetOption(kDriverAttr, count, options);
  if (deviceUri != nullptr)
    ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_URI, kDeviceUriAttr, nullptr, deviceUri);
  if (driver != nullptr)
    ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, kDriverAttr, nullptr, driver);
  ippDelete(cupsDoRequest(c.http, request, c.resource));
  httpClose(c.http);
  if (cupsLastError() >= IPP_STATUS_ERROR_BAD_REQUEST) {
    std::fprintf(stderr, "%s: Unable to modify the printer: %s\n", base, cupsLastErrorString());
    return 1;
  }
  if (deviceUri != nullptr || driver != nullptr) std::printf("%s\n", cupsLastErrorString());
  return 0;
}

int optionsCommand(const char* base, int count, cups_option_t* options) {
  printerConnection c = connectPrinter(base, count, options);
  if (c.http == nullptr) return 1;
  ipp_t* printer = printerAttributes(base, c);
  httpClose(c.http);
  if (printer == nullptr) return 1;
  std::printf(
      "Settings of the printer, for 'modify -o NAME=VALUE'; a job takes those ending in -default\n"
      "without that ending ('submit -o print-speed=4in'), and -n COPIES:\n%s",
      describeSettings(printer).c_str());
  ippDelete(printer);
  return 0;
}

// The drivers subcommand: the list, without the server's system object the framework would make for
// it (which opens a log file and, for root, the spool folder).
int driversCommand(const char*, int count, pappl_pr_driver_t* drivers, pappl_pr_autoadd_cb_t autoadd,
                   pappl_pr_driver_cb_t, int optionCount, cups_option_t* options, void*, void* data) {
  const char* deviceId = cupsGetOption("device-id", optionCount, options);
  const char* chosen =
      deviceId != nullptr && autoadd != nullptr ? autoadd(nullptr, nullptr, deviceId, data) : nullptr;
  if (deviceId != nullptr && chosen == nullptr) return 0;
  for (int i = 0; i < count; ++i)
    if (chosen == nullptr || std::strcmp(chosen, drivers[i].name) == 0)
      std::printf("%s \"%s\" \"%s\"\n", drivers[i].name, drivers[i].description,
                  drivers[i].device_id != nullptr ? drivers[i].device_id : "");
  return 0;
}

int shutdownCommand(const char* base, int count, cups_option_t* options,
                    int (*next)(const char*, int, cups_option_t*)) {
  const int status = next(base, count, options);
  if (status != 0) return status;
  // The server stops its printing and saves its state in a second or two; the command returns when
  // it has gone, so that a server started next finds its port free.
  for (int waited = 0; waited < kShutdownMilliseconds; waited += 100) {
    if (serverIsGone(base)) return 0;
    poll(nullptr, 0, 100);
  }
  std::fprintf(stderr, "%s: The server did not stop within %d seconds.\n", base,
               kShutdownMilliseconds / 1000);
  return 1;
}

int addCommand(const char* base, int count, cups_option_t* options,
               int (*next)(const char*, int, cups_option_t*)) {
  if (cupsGetOption("smi55357-driver", count, options) != nullptr || count == 0)
    return next(base, count, options);
  cups_option_t* withDriver = nullptr;
  int withCount = 0;
  for (int i = 0; i < count; ++i)
    withCount = cupsAddOption(options[i].name, options[i].value, withCount, &withDriver);
  withCount = cupsAddOption("smi55357-driver", "auto", withCount, &withDriver);
  const int status = next(base, withCount, withDriver);
  cupsFreeOptions(withCount, withDriver);
  const char* error = cupsLastErrorString();
  if (status != 0 && error != nullptr && std::strstr(error, "'auto'") != nullptr)
    std::fprintf(stderr, "%s: %s\n", base, kNotIdentifiedCommand);
  return status;
}
