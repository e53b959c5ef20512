// SPDX-License-Identifier: Apache-2.0
// label-printer-app: a Printer Application that makes label printers driverless IPP printers. Its
// subcommands, server options and state file are the framework's main loop's; the server adds its
// own options (file-device-folder, job-history, pdf-time-limit), its devices, its limits and its stop.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "app/door/door.h"

namespace {

// The pages' footer: the version, and the add-printer form's address field taking "host:port" as its
// server side does (the framework's pattern for the field refuses any port in the browser). A form
// sent back with the reason it failed keeps the device and the address typed (the framework's page
// would offer the device list anew and the address without its port).
inline constexpr char kFooter[] =
    "label-printer-app " LABEL_APP_VERSION
    "<script>document.querySelectorAll('input#hostname').forEach(function(h){"
    "h.removeAttribute('pattern');h.placeholder='host or host:port';"
    "var f=h.form,d=f.elements['device_uri'],s=window.sessionStorage,k='label-add-printer',"
    "v=s.getItem(k);s.removeItem(k);"
    "if(v&&document.querySelector('div.banner')){v=JSON.parse(v);d.value=v.d;"
    "if(d.value==='socket'){h.disabled=false;h.required=true;h.value=v.h;}}"
    "f.addEventListener('submit',function(){s.setItem(k,JSON.stringify({d:d.value,h:h.value}));});"
    "});</script>";

// The port when none is given.
inline constexpr int kDefaultPort = 8000;

// 'typeDocument()' - the framework's document typing for what it does not know itself (the label
// command language, and a JPEG image without a JFIF or Exif header).
const char* typeDocument(const unsigned char* header, size_t size, void*) {
  return documentFormatOf(header, size);
}

// 'logLevel()' - the log-level option's value.
pappl_loglevel_t logLevel(const char* value) {
  const struct {
    const char* name;
    pappl_loglevel_t level;
  } levels[] = {{"fatal", PAPPL_LOGLEVEL_FATAL},
                {"error", PAPPL_LOGLEVEL_ERROR},
                {"warn", PAPPL_LOGLEVEL_WARN},
                {"info", PAPPL_LOGLEVEL_INFO},
                {"debug", PAPPL_LOGLEVEL_DEBUG}};
  for (const auto& level : levels)
    if (value != nullptr && std::strcmp(value, level.name) == 0) return level.level;
  return PAPPL_LOGLEVEL_WARN;
}

// 'serverOptions()' - the server-options option's comma-separated keywords, from the web interface on.
pappl_soptions_t serverOptions(const char* value) {
  const struct {
    const char* name;
    pappl_soptions_t set, clear;
  } keywords[] = {{"none", PAPPL_SOPTIONS_NONE, ~pappl_soptions_t{0}},
                  {"dnssd-host", PAPPL_SOPTIONS_DNSSD_HOST, 0},
                  {"no-multi-queue", 0, PAPPL_SOPTIONS_MULTI_QUEUE},
                  {"raw-socket", PAPPL_SOPTIONS_RAW_SOCKET, 0},
                  {"usb-printer", PAPPL_SOPTIONS_USB_PRINTER, 0},
                  {"no-web-interface", 0, PAPPL_SOPTIONS_WEB_INTERFACE},
                  {"web-log", PAPPL_SOPTIONS_WEB_LOG, 0},
                  {"no-web-log", 0, PAPPL_SOPTIONS_WEB_LOG},
                  {"web-network", PAPPL_SOPTIONS_WEB_NETWORK, 0},
                  {"web-remote", PAPPL_SOPTIONS_WEB_REMOTE, 0},
                  {"web-security", PAPPL_SOPTIONS_WEB_SECURITY, 0},
                  {"no-web-security", 0, PAPPL_SOPTIONS_WEB_SECURITY},
                  {"no-tls", PAPPL_SOPTIONS_NO_TLS, 0}};
  // The security page is where the administrator sets the password that lets administrators in from
  // the network; the log page (an administrator's) shows the log file's last lines.
  pappl_soptions_t options = PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE |
                             PAPPL_SOPTIONS_WEB_SECURITY | PAPPL_SOPTIONS_WEB_LOG;
  std::string list = value != nullptr ? value : "";
  for (size_t start = 0; start < list.size();) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    const std::string keyword = list.substr(start, end - start);
    for (const auto& k : keywords)
      if (keyword == k.name) options = (options & ~k.clear) | k.set;
    start = end + 1;
  }
  return options;
}

// 'defaultSpool()' - the spool folder when none is given: as the framework chooses it.
std::string defaultSpool(const char* base) {
  if (const char* snap = std::getenv("SNAP_COMMON")) return std::string(snap) + "/" + base + ".d";
  if (getuid() == 0) return std::string("/var/spool/") + base;
  if (const char* home = std::getenv("HOME")) return std::string(home) + "/.config/" + base + ".d";
  return std::string(papplGetTempDir()) + "/" + base + std::to_string(getuid()) + ".d";
}

// 'logFile()' - the log-file option's value. Without one, a server that systemd runs (it sets
// INVOCATION_ID, and JOURNAL_STREAM when standard error is the journal) logs to standard error; the
// framework's own default is a file /tmp/papplPID.log that nobody reads and each run leaves behind.
const char* logFile(const char* value) {
  if (value != nullptr) return value;
  if (std::getenv("JOURNAL_STREAM") != nullptr || std::getenv("INVOCATION_ID") != nullptr) return "-";
  return nullptr;
}

// 'fileDeviceFolder()' - the file-device-folder option's folder, canonical; false (reported) when it
// names no folder.
bool fileDeviceFolder(const char* value, std::string* folder) {
  if (value == nullptr || value[0] == '\0') return true;
  char* canonical = realpath(value, nullptr);
  struct stat info;
  const bool isFolder = canonical != nullptr && stat(canonical, &info) == 0 && S_ISDIR(info.st_mode);
  if (isFolder) *folder = canonical;
  std::free(canonical);
  if (!isFolder) std::fprintf(stderr, "label-printer-app: 'file-device-folder' names no folder: %s\n", value);
  return isFolder;
}

// 'rendererPath()' - the PDF renderer: beside the program (its build folder), or in
// ../libexec/label-printer-app from the program's folder (installed); "" when neither is there.
std::string rendererPath() {
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return "";
  const std::string folder =
      std::string(self, static_cast<size_t>(length)).substr(0, std::string(self, length).rfind('/'));
  for (const std::string& path :
       {folder + "/label-pdf-render", folder + "/../libexec/label-printer-app/label-pdf-render"})
    if (access(path.c_str(), X_OK) == 0) return path;
  return "";
}

// 'portTaken()' - whether another program listens on the port, on IPv4 or IPv6: the framework's
// listeners count as made when either is, so a server would share the port with another.
bool portTaken(int port) {
  for (const int family : {AF_INET, AF_INET6}) {
    const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) continue;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_storage address{};
    socklen_t length = 0;
    if (family == AF_INET) {
      auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
      v4->sin_family = AF_INET;
      v4->sin_port = htons(static_cast<uint16_t>(port));
      length = sizeof *v4;
    } else {
      setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
      auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
      v6->sin6_family = AF_INET6;
      v6->sin6_port = htons(static_cast<uint16_t>(port));
      length = sizeof *v6;
    }
    const bool taken = bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 && errno == EADDRINUSE;
    close(fd);
    if (taken) return true;
  }
  return false;
}

// 'createSystem()' - the system object for the server and the subcommands: the framework's standard
// server options, the application's devices, drivers, limits and stop, and document typing for the
// label command language. The framework's main loop then reads the state file.
pappl_system_t* createSystem(int count, cups_option_t* options, void* data) {
  appConfig* config = static_cast<appConfig*>(data);
  const auto option = [&](const char* name) { return cupsGetOption(name, static_cast<int>(count), options); };
  // The port is the printers' address in every CUPS queue and phone that knows them: it is never
  // moved to another when taken.
  int port = kDefaultPort;
  if (const char* value = option("server-port")) {
    char* end = nullptr;
    const long number = std::strtol(value, &end, 10);
    if (*end != '\0' || end == value || number < 1 || number > 65535) {
      std::fprintf(stderr, "label-printer-app: Bad 'server-port' value.\n");
      return nullptr;
    }
    port = static_cast<int>(number);
  }
  if (!fileDeviceFolder(option("file-device-folder"), &config->fileFolder)) return nullptr;
  if (const char* value = option("job-history");
      value != nullptr && parseJobHistory(value, &config->jobHistory) != 0) {
    std::fprintf(stderr, "label-printer-app: Bad 'job-history' value (a number of jobs from %d to %d).\n",
                 kMinJobHistory, kMaxJobHistory);
    return nullptr;
  }
  if (const char* value = option("kept-documents");
      value != nullptr && parseKeptDocuments(value, &config->keptDocuments) != 0) {
    std::fprintf(stderr,
                 "label-printer-app: Bad 'kept-documents' value (a number of documents from 0 to %d).\n",
                 kMaxKeptDocuments);
    return nullptr;
  }
  if (const char* value = option("docless-job-timeout");
      value != nullptr && parseDoclessTimeout(value, &config->doclessJobSeconds) != 0) {
    std::fprintf(stderr,
                 "label-printer-app: Bad 'docless-job-timeout' value (a number of seconds from 1 to %d).\n",
                 kMaxDoclessJobSeconds);
    return nullptr;
  }
  if (const char* value = option("stream-timeout");
      value != nullptr && parseStreamTimeout(value, &config->streamSeconds) != 0) {
    std::fprintf(stderr, "label-printer-app: Bad 'stream-timeout' value (seconds from %d to %d).\n",
                 kMinStreamSeconds, kMaxStreamSeconds);
    return nullptr;
  }
  if (const char* value = option("pdf-time-limit");
      value != nullptr && parsePdfTimeLimit(value, &config->pdfSeconds) != 0) {
    std::fprintf(stderr, "label-printer-app: Bad 'pdf-time-limit' value (seconds from %d to %d).\n",
                 kMinPdfSeconds, kMaxPdfSeconds);
    return nullptr;
  }
  if (const char* value = option("spool-limit");
      value != nullptr && parseSize(value, &config->spoolLimit) != 0) {
    std::fprintf(stderr,
                 "label-printer-app: Bad 'spool-limit' value (a size from 1M to 1T, such as 512M).\n");
    return nullptr;
  }
  int perAddress = kDefaultConnectionsPerAddress;
  if (const char* value = option("connections-per-address");
      value != nullptr && parseConnectionsPerAddress(value, &perAddress) != 0) {
    std::fprintf(stderr, "label-printer-app: Bad 'connections-per-address' value (a number from 1 to %d).\n",
                 kMaxConnections);
    return nullptr;
  }
  // One server to a state: a second one would overwrite the first one's printers and jobs.
  config->statePath = stateFilePath("label-printer-app");
  if (option("private-server") == nullptr) {
    int holder = 0;
    std::string error;
    config->stateLock = lockStateFolder(config->statePath, &holder, &error);
    if (config->stateLock < 0 && error.empty()) {
      std::fprintf(stderr,
                   "label-printer-app: Another server%s runs with the state '%s'; stop it first "
                   "('label-printer-app shutdown').\n",
                   holder > 0 ? (" (process " + std::to_string(holder) + ")").c_str() : "",
                   config->statePath.c_str());
      return nullptr;
    }
    if (config->stateLock < 0) {
      std::fprintf(stderr, "label-printer-app: Cannot lock the state: %s.\n", error.c_str());
      return nullptr;
    }
  }
  if (option("private-server") == nullptr && portTaken(port)) {
    std::fprintf(stderr,
                 "label-printer-app: Port %d is taken: is another server running? Stop it "
                 "('label-printer-app shutdown') or choose another port (-o server-port=N).\n",
                 port);
    return nullptr;
  }
  const char* spool = option("spool-directory");
  config->spoolFolder = spool != nullptr ? spool : defaultSpool("label-printer-app");
  const std::string& spoolFolder = config->spoolFolder;
  pappl_system_t* system =
      papplSystemCreate(serverOptions(option("server-options")), "label-printer-app", port,
                        "_print,_universal", spoolFolder.c_str(), logFile(option("log-file")),
                        logLevel(option("log-level")), option("auth-service"), false);
  if (system == nullptr) return nullptr;
  std::string pappl;
  const int tested = checkFrameworkVersion(&pappl);
  if (tested == 1) {
    std::fprintf(
        stderr,
        "label-printer-app: It runs with PAPPL %s, but was built and tested with PAPPL " LABEL_PAPPL_TESTED
        ".x. It does not start.\n",
        pappl.empty() ? "of an unknown version" : pappl.c_str());
    papplSystemDelete(system);
    return nullptr;
  }
  if (tested == 2)
    papplLog(system, PAPPL_LOGLEVEL_WARN, "Running with PAPPL %s, which this program was not tested with.",
             pappl.c_str());
  if (const char* group = option("admin-group")) papplSystemSetAdminGroup(system, group);
  // The settings, for every client's thread: the names the server is reached by, the sign-ins' waits.
  if (const char* name = option("listen-hostname")) config->listenName = name;
  keepServerSettings(system, config);
  bool listening = option("private-server") != nullptr;
  if (!listening)
    for (const std::string& address : listenAddresses(option("listen-hostname"), port))
      listening = papplSystemAddListeners(system, address.c_str()) || listening;
  if (!listening) {
    std::fprintf(stderr,
                 "label-printer-app: Cannot listen on port %d: %s. Is another server running? Stop it "
                 "('label-printer-app shutdown') or choose another port (-o server-port=N).\n",
                 port, std::strerror(errno));
    papplSystemDelete(system);
    return nullptr;
  }
  // Run by systemd, the server also listens in its runtime folder, where the commands of the
  // administrators find it (the package links /run/label-printer-app.sock to it).
  if (const char* runtime = std::getenv("RUNTIME_DIRECTORY"); runtime != nullptr && runtime[0] == '/')
    papplSystemAddListeners(system, (std::string(runtime) + "/label-printer-app.sock").c_str());
  papplSystemSetMIMECallback(system, typeDocument, nullptr);
  addLabelWords(system, &config->pageWords);
  // PNG and JPEG images and PDF documents, drawn by the application; the framework looks for a filter
  // to the printer's own format before its own to raster.
  papplSystemAddMIMEFilter(system, "image/png", kLabelCommandFormat, labelFilterPNG, nullptr);
  papplSystemAddMIMEFilter(system, "image/jpeg", kLabelCommandFormat, labelFilterJPEG, nullptr);
  config->rendererPath = rendererPath();
  if (!config->rendererPath.empty())
    papplSystemAddMIMEFilter(system, "application/pdf", kLabelCommandFormat, labelFilterPDF, config);
  // The web pages end with the footer and name the version: the framework's pages read both without
  // checking that they were set.
  papplSystemSetFooterHTML(system, kFooter);
  // The page of every printer's jobs, linked from every page.
  papplSystemAddResourceCallback(system, "/jobs", "text/html", serveAllJobsPage, config);
  papplSystemAddLink(system, "Jobs", "/jobs", PAPPL_LOPTIONS_NAVIGATION);
  pappl_version_t version{};
  std::snprintf(version.name, sizeof version.name, "%s", "label-printer-app");
  std::snprintf(version.sversion, sizeof version.sversion, "%s", LABEL_APP_VERSION);
  version.version[0] = LABEL_APP_VERSION_MAJOR, version.version[1] = LABEL_APP_VERSION_MINOR;
  papplSystemSetVersions(system, 1, &version);

  addDeviceSchemes();
  // A printer added without a driver gets the one of its head's resolution, which it is asked for;
  // each printer gets the page that changes its device and driver.
  config->system = system;
  papplSystemSetPrinterDrivers(system, kDriverCount, const_cast<pappl_pr_driver_t*>(kDrivers),
                               identifyPrinter, addPrinterPages, labelDriver, config);
  papplSystemSetMaxImageSize(system, kMaxImageBytes, kMaxImageSide, kMaxImageSide);
  limitConnections(system, perAddress);
  // The state is the application's to read and write (the framework's main loop then leaves both to
  // it): saved whole in one step, read with the faults of earlier versions mended.
  papplSystemSetSaveCallback(system, saveStateSoon, config);
  loadState(system, config);
  // The files of jobs that no longer wait (a job that never got its document, a crash before an ended
  // job's file went) would stay for ever.
  if (option("private-server") == nullptr) removeLeftoverSpoolFiles(system, spoolFolder);
  startStopWatcher(system, config);
  startHistoryKeeper(system, config);
  startStreamWatcher(system);
  startStatusKeeper(system, config);
  startDoclessKeeper(system, config);
  return system;
}

void usage(void*) { printUsage("label-printer-app"); }

}  // namespace

int main(int argc, char* argv[]) {
  // The program does not start on a framework that lacks a function it stands before or calls.
  std::string missing;
  if (checkFrameworkDoor(&missing) != 0) {
    std::string version;
    checkFrameworkVersion(&version);
    std::fprintf(
        stderr,
        "label-printer-app: The PAPPL it runs with (%s) has no '%s', which the application needs; it "
        "was built and tested with PAPPL " LABEL_PAPPL_TESTED ".x. It does not start.\n",
        version.empty() ? "of an unknown version" : version.c_str(), missing.c_str());
    return 1;
  }
  appConfig config;
  config.callbacks = {labelPrintRaw, labelStartJob, labelStartPage, labelWriteLine,
                      labelEndPage,  labelEndJob,   writeTestLabel};
  std::vector<char*> arguments(argv, argv + argc);
  // A value with blanks is one value ("-o printer-location=Dock 4"), not the framework's list of options.
  std::deque<std::string> joined;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "-o") == 0)
      arguments[i + 1] = joined.emplace_back(joinOptionWords(argv[i + 1])).data();
  std::string error;
  if (rewriteCopies(arguments, &error) != 0) {
    std::fprintf(stderr, "label-printer-app: %s\n", error.c_str());
    return 1;
  }
  arguments.push_back(nullptr);
  const int status = papplMainloop(argc, arguments.data(), LABEL_APP_VERSION, nullptr, kDriverCount,
                                   const_cast<pappl_pr_driver_t*>(kDrivers), identifyPrinter, labelDriver,
                                   nullptr, nullptr, createSystem, usage, &config);
  finishStopWatcher(&config);
  return status;
}
