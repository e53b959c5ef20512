// SPDX-License-Identifier: Apache-2.0
// The Printer Application and what its printers say they are: a printer added without a driver gets
// the one of its head's resolution, a printer that does not say is refused, a head of another
// resolution than its driver's is reported, and a printer that cannot be reached shows it, is not
// paused, and prints once it answers. Each test runs its own server, so that CTest runs them apart.
#include <cups/cups.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/PrintSystem.h"
#include "support/Process.h"
#include "support/StatusPrinter.h"

namespace {

class AppIdentity : public testing::Test {
 protected:
  void SetUp() override {
    directory = makeTemporaryDirectory("identity");
    for (const char* folder : {"/spool", "/home", "/tmp", "/config", "/common", "/printer"})
      mkdir((directory + folder).c_str(), 0755);
    setenv("HOME", (directory + "/home").c_str(), 1);
    setenv("TMPDIR", (directory + "/tmp").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (directory + "/config").c_str(), 1);
    setenv("SNAP_COMMON", (directory + "/common").c_str(), 1);
    setenv("LSAN_OPTIONS", "suppressions=" FRAMEWORK_LEAKS, 1);
    port = freeLoopbackPort();
    ASSERT_TRUE(
        startBackground({LABEL_PRINTER_APP_PATH, "server", "-o", "server-port=" + std::to_string(port), "-o",
                         "listen-hostname=127.0.0.1", "-o", "spool-directory=" + directory + "/spool", "-o",
                         "log-file=" + directory + "/app.log", "-o", "log-level=info"},
                        directory + "/app.out", &server));
    // The server answers on its port before its socket, which the subcommands use, is made.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    const std::string socket = directory + "/common/label-printer-app.sock";
    for (;;) {
      http_t* http =
          httpConnect2("127.0.0.1", port, nullptr, AF_INET, HTTP_ENCRYPTION_NEVER, 1, 1000, nullptr);
      http_t* local =
          httpConnect2(socket.c_str(), 0, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_NEVER, 1, 1000, nullptr);
      httpClose(local);
      if (http != nullptr && local != nullptr) {
        httpClose(http);
        break;
      }
      httpClose(http);
      ASSERT_TRUE(isRunning(&server) && std::chrono::steady_clock::now() < deadline)
          << readFile(directory + "/app.out");
      usleep(50000);
    }
  }

  void TearDown() override {
    stopBackground(&server, 10);
    // Under the sanitizers, the server's own faults show in its output.
    const std::string out = readFile(directory + "/app.out");
    EXPECT_EQ(out.find("Sanitizer"), std::string::npos) << out;
    if (HasFailure())
      std::fprintf(stderr, "The application's log:\n%s\n", readFile(directory + "/app.log").c_str());
    removeTree(directory);
  }

  static processResult app(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), LABEL_PRINTER_APP_PATH);
    return runProcess(arguments, "");
  }

  // 'ipp()' - the first values of attributes 'names' (joined by ": ") in the answer to a printer's
  // Get-Printer-Attributes (which asks the printer's status on the way) or Get-Jobs (its first job).
  std::string ipp(const std::string& printer, std::vector<const char*> names,
                  ipp_op_t op = IPP_OP_GET_PRINTER_ATTRIBUTES) {
    http_t* http = httpConnect2("127.0.0.1", port, nullptr, AF_INET, HTTP_ENCRYPTION_NEVER, 1, 5000, nullptr);
    if (http == nullptr) return "(no connection)";
    ipp_t* request = ippNewRequest(op);
    const std::string uri = "ipp://127.0.0.1:" + std::to_string(port) + "/ipp/print/" + printer;
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  static_cast<int>(names.size()), nullptr, names.data());
    ipp_t* response = cupsDoRequest(http, request, "/");
    std::string words;
    for (const char* name : names) {
      char text[1024] = "";
      if (ipp_attribute_t* a = ippFindAttribute(response, name, IPP_TAG_ZERO))
        ippAttributeString(a, text, sizeof text);
      words += std::string(words.empty() ? "" : ": ") + text;
    }
    ippDelete(response);
    httpClose(http);
    return words;
  }
  std::string attribute(const std::string& printer, const char* name) { return ipp(printer, {name}); }
  std::string jobWords(const std::string& printer) {
    return ipp(printer, {"job-state-reasons", "job-state-message"}, IPP_OP_GET_JOBS);
  }

  // 'page()' - the printer's web page.
  std::string page(const std::string& printer) {
    std::string text;
    http_t* http = httpConnect2("127.0.0.1", port, nullptr, AF_INET, HTTP_ENCRYPTION_NEVER, 1, 5000, nullptr);
    if (http == nullptr) return text;
    httpClearFields(http);
    httpSetField(http, HTTP_FIELD_HOST, "127.0.0.1");
    if (httpGet(http, ("/" + printer + "/").c_str()) == 0) {
      while (httpUpdate(http) == HTTP_STATUS_CONTINUE) {
      }
      char buffer[4096];
      for (ssize_t count; (count = httpRead2(http, buffer, sizeof buffer)) > 0;) text.append(buffer, count);
    }
    httpClose(http);
    return text;
  }

  // 'await()' - wait up to 30 seconds for 'check' to hold.
  template <typename Check>
  static bool await(Check check) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!check()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      usleep(200000);
    }
    return true;
  }

  static std::string socketUri(int port) { return "socket://127.0.0.1:" + std::to_string(port); }

  std::string directory;
  int port = 0;
  backgroundProcess server;
};

// A printer added without a driver gets the driver of the resolution it answers, and its page names
// its model and firmware.
TEST_F(AppIdentity, AddWithoutADriverTakesTheHeadsResolution) {
  for (const auto& [dotsPerMm, dpi] : {std::pair{8, 203}, {12, 300}, {24, 600}}) {
    statusPrinter printer;
    ASSERT_TRUE(startStatusPrinter(hostStatusAnswer(readyStatus()), &printer));
    setIdentity(&printer, identityAnswer(dotsPerMm));
    const std::string name = "head" + std::to_string(dpi);
    const processResult r = app({"add", "-d", name, "-v", socketUri(printer.port)});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(attribute(name, "printer-make-and-model"),
              "Generic Label Printer " + std::to_string(dpi) + "dpi");
    const std::string words = "Printer: LP-4, firmware V1.2.3, " + std::to_string(dpi) + " dpi head";
    EXPECT_TRUE(await([&] {
      return attribute(name, "printer-state-reasons") == "none" &&
             page(name).find(words) != std::string::npos;
    })) << page(name);
    stopStatusPrinter(&printer);
  }
}

// A printer that answers garbage, a megabyte, nothing, or cannot be reached is not added, at once and
// with a message that says what to do.
TEST_F(AppIdentity, AddWithoutADriverRefusesAPrinterThatDoesNotSay) {
  const struct {
    const char* name;
    std::string answer;
    bool reachable;
  } cases[] = {{"garbage", "\x02garbage,x,9,1,\x03\r\n", true},
               {"megabyte", std::string(1 << 20, '8'), true},
               {"silence", "", true},
               {"unreachable", "", false}};
  for (const auto& c : cases) {
    statusPrinter printer;
    ASSERT_TRUE(startStatusPrinter(hostStatusAnswer(readyStatus()), &printer));
    setIdentity(&printer, c.answer);
    const int printerPort = c.reachable ? printer.port : freeLoopbackPort();
    const auto start = std::chrono::steady_clock::now();
    const processResult r = app({"add", "-d", c.name, "-v", socketUri(printerPort)});
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_NE(r.err.find("name its driver with -m"), std::string::npos) << c.name << ": " << r.err;
    EXPECT_LE(seconds, 5) << c.name;
    EXPECT_EQ(app({"printers"}).out.find(c.name), std::string::npos) << c.name;
    stopStatusPrinter(&printer);
  }
  EXPECT_EQ(app({"status"}).status, 0) << "the server still answers";
}

// A printer whose head has another resolution than its driver's shows a reason and says so on its page.
TEST_F(AppIdentity, AHeadOfAnotherResolutionIsReported) {
  statusPrinter printer;
  ASSERT_TRUE(startStatusPrinter(hostStatusAnswer(readyStatus()), &printer));
  setIdentity(&printer, identityAnswer(12));
  ASSERT_EQ(
      app({"add", "-d", "mismatch", "-m", "generic-label-203dpi", "-v", socketUri(printer.port)}).status, 0);
  EXPECT_TRUE(await([&] { return attribute("mismatch", "printer-state-reasons") == "other"; }));
  EXPECT_NE(page("mismatch").find("a 300 dpi head on a driver for 203 dpi"), std::string::npos)
      << page("mismatch");
  stopStatusPrinter(&printer);
}

// A printer that cannot be reached is offline, not paused: its job waits and says why, and prints once
// the printer answers, or ends at once when cancelled; an administrator's pause stays a pause.
TEST_F(AppIdentity, AnUnreachablePrinterIsOfflineNotPaused) {
  const int printerPort = freeLoopbackPort();
  ASSERT_EQ(app({"add", "-d", "off", "-m", "generic-label-203dpi", "-v", socketUri(printerPort)}).status, 0);
  const std::string label = directory + "/label.txt";
  writeFile(label, "^XA^FO10,10^GB100,100,3^FS^XZ\n");
  ASSERT_EQ(app({"submit", "-d", "off", label}).status, 0);
  EXPECT_TRUE(await([&] { return attribute("off", "printer-state-reasons") == "offline-report"; }));
  EXPECT_NE(attribute("off", "printer-state"), "stopped");
  EXPECT_NE(page("off").find("Printer cannot be reached"), std::string::npos);
  EXPECT_NE(app({"jobs", "-d", "off"}).out.find("processing"), std::string::npos);
  EXPECT_EQ(jobWords("off").find("job-queued: Waiting: the printer cannot be reached"), 0u)
      << jobWords("off");

  fakePrinter late;
  ASSERT_TRUE(startFakePrinter(directory + "/printer", &late, printerPort));
  EXPECT_TRUE(await([&] { return receivedConnections(&late).size() == 1; }));
  EXPECT_NE(receivedConnections(&late)[0].find("^GB100,100,3"), std::string::npos);
  EXPECT_TRUE(await([&] { return attribute("off", "printer-state-reasons") == "none"; }));

  ASSERT_EQ(app({"pause", "-d", "off"}).status, 0);
  stopFakePrinter(&late);
  EXPECT_TRUE(await([&] { return attribute("off", "printer-state-reasons") == "offline-report,paused"; }))
      << attribute("off", "printer-state-reasons");
  EXPECT_EQ(attribute("off", "printer-state"), "stopped");
  ASSERT_EQ(app({"resume", "-d", "off"}).status, 0);
  EXPECT_EQ(attribute("off", "printer-state"), "idle");

  // A waiting job ends at once when it is cancelled.
  ASSERT_EQ(app({"submit", "-d", "off", label}).status, 0);
  ASSERT_TRUE(await([&] { return jobWords("off").find("job-queued") == 0; })) << jobWords("off");
  ASSERT_EQ(app({"cancel", "-d", "off", "-a"}).status, 0);
  EXPECT_TRUE(await([&] { return attribute("off", "printer-state") == "idle"; }));
  EXPECT_NE(app({"jobs", "-d", "off"}).out.find("canceled"), std::string::npos);
}

}  // namespace
