// label-printer-app: a Printer Application that makes label printers driverless IPP printers. Its
// subcommands, server options and state file are the framework's main loop's; the server adds its
// own options (file-device-folder), its devices, its limits and its stop.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/app.h"

namespace {

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
                  {"web-network", PAPPL_SOPTIONS_WEB_NETWORK, 0},
                  {"web-remote", PAPPL_SOPTIONS_WEB_REMOTE, 0},
                  {"web-security", PAPPL_SOPTIONS_WEB_SECURITY, 0},
                  {"no-web-security", 0, PAPPL_SOPTIONS_WEB_SECURITY},
                  {"no-tls", PAPPL_SOPTIONS_NO_TLS, 0}};
  // The security page is where the administrator sets the password that lets administrators in from
  // the network.
  pappl_soptions_t options =
      PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE | PAPPL_SOPTIONS_WEB_SECURITY;
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

// 'createSystem()' - the system object for the server and the subcommands: the framework's standard
// server options, the application's devices, drivers, limits and stop, and document typing for the
// label command language. The framework's main loop then reads the state file.
pappl_system_t* createSystem(int count, cups_option_t* options, void* data) {
  appConfig* config = static_cast<appConfig*>(data);
  const auto option = [&](const char* name) { return cupsGetOption(name, static_cast<int>(count), options); };
  int port = 0;
  if (const char* value = option("server-port")) {
    char* end = nullptr;
    const long number = std::strtol(value, &end, 10);
    if (*end != '\0' || end == value || number < 0 || number > 65535) {
      std::fprintf(stderr, "label-printer-app: Bad 'server-port' value.\n");
      return nullptr;
    }
    port = static_cast<int>(number);
  }
  if (!fileDeviceFolder(option("file-device-folder"), &config->fileFolder)) return nullptr;
  const char* spool = option("spool-directory");
  const std::string spoolFolder = spool != nullptr ? spool : defaultSpool("label-printer-app");
  pappl_system_t* system = papplSystemCreate(
      serverOptions(option("server-options")), "label-printer-app", port, "_print,_universal",
      spoolFolder.c_str(), option("log-file"), logLevel(option("log-level")), option("auth-service"), false);
  if (system == nullptr) return nullptr;
  if (const char* group = option("admin-group")) papplSystemSetAdminGroup(system, group);
  if (option("private-server") == nullptr) papplSystemAddListeners(system, option("listen-hostname"));
  // Run by systemd, the server also listens in its runtime folder, where the commands of the
  // administrators find it (the package links /run/label-printer-app.sock to it).
  if (const char* runtime = std::getenv("RUNTIME_DIRECTORY"); runtime != nullptr && runtime[0] == '/')
    papplSystemAddListeners(system, (std::string(runtime) + "/label-printer-app.sock").c_str());
  papplSystemSetMIMECallback(system, typeDocument, nullptr);
  // PNG and JPEG images and PDF documents, drawn by the application; the framework looks for a filter
  // to the printer's own format before its own to raster.
  papplSystemAddMIMEFilter(system, "image/png", kLabelCommandFormat, labelFilterPNG, nullptr);
  papplSystemAddMIMEFilter(system, "image/jpeg", kLabelCommandFormat, labelFilterJPEG, nullptr);
  config->rendererPath = rendererPath();
  if (!config->rendererPath.empty())
    papplSystemAddMIMEFilter(system, "application/pdf", kLabelCommandFormat, labelFilterPDF,
                             const_cast<char*>(config->rendererPath.c_str()));
  // The web pages end with the footer and name the version: the framework's pages read both without
  // checking that they were set.
  papplSystemSetFooterHTML(system, "label-printer-app " LABEL_APP_VERSION);
  pappl_version_t version{};
  std::snprintf(version.name, sizeof version.name, "%s", "label-printer-app");
  std::snprintf(version.sversion, sizeof version.sversion, "%s", LABEL_APP_VERSION);
  version.version[0] = LABEL_APP_VERSION_MAJOR, version.version[1] = LABEL_APP_VERSION_MINOR;
  papplSystemSetVersions(system, 1, &version);

  addDeviceSchemes();
  // A printer added without a driver gets the one of its head's resolution, which it is asked for.
  config->system = system;
  papplSystemSetPrinterDrivers(system, kDriverCount, const_cast<pappl_pr_driver_t*>(kDrivers),
                               identifyPrinter, nullptr, labelDriver, config);
  config->statePath = stateFilePath("label-printer-app");
  papplSystemSetMaxImageSize(system, kMaxImageBytes, kMaxImageSide, kMaxImageSide);
  startStopWatcher(system, config);
  return system;
}

}  // namespace

int main(int argc, char* argv[]) {
  appConfig config;
  const int status = papplMainloop(argc, argv, LABEL_APP_VERSION, nullptr, kDriverCount,
                                   const_cast<pappl_pr_driver_t*>(kDrivers), identifyPrinter, labelDriver,
                                   nullptr, nullptr, createSystem, nullptr, &config);
  finishStopWatcher(&config);
  return status;
}
