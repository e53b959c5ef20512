// The Printer Application as clients meet it: started by the test with a private spool folder, state
// file and port on 127.0.0.1, printing to a fake socket printer whose received bytes are decoded back
// into labels. Jobs come through the application's own submit command and through ipptool.
#include <cups/cups.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/Expected.h"
#include "support/PrintSystem.h"
#include "support/Process.h"
#include "support/Raster.h"

namespace {

// The application and the fake printer, shared by the suite's tests.
struct appSystem {
  std::string directory;
  int port = 0;
  backgroundProcess server;
  fakePrinter printer;
  std::string failure;
};
appSystem* gApp = nullptr;

// 'answers()' - whether the application accepts IPP connections.
bool answers() {
  http_t* http =
      httpConnect2("127.0.0.1", gApp->port, nullptr, AF_INET, HTTP_ENCRYPTION_NEVER, 1, 1000, nullptr);
  if (http == nullptr) return false;
  httpClose(http);
  return true;
}

// 'startServer()' - start the application and wait until it answers; false with gApp->failure set.
bool startServer() {
  const std::string d = gApp->directory;
  if (!startBackground({LABEL_PRINTER_APP_PATH, "server", "-o", "server-port=" + std::to_string(gApp->port),
                        "-o", "listen-hostname=127.0.0.1", "-o", "spool-directory=" + d + "/spool", "-o",
                        "log-file=" + d + "/app.log", "-o", "log-level=debug"},
                       d + "/app.out", &gApp->server)) {
    gApp->failure = "the application could not be started";
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!answers()) {
    if (!isRunning(&gApp->server) || std::chrono::steady_clock::now() > deadline) {
      gApp->failure = "the application did not answer: " + readFile(d + "/app.out");
      return false;
    }
    usleep(50000);
  }
  return true;
}

// 'app()' - run one of the application's subcommands; it reaches the server through its domain socket.
processResult app(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), LABEL_PRINTER_APP_PATH);
  return runProcess(arguments, "");
}

// 'awaitConnections()' - the fake printer's connections once there are at least 'count'.
std::vector<std::string> awaitConnections(size_t count) {
  std::vector<std::string> connections;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while ((connections = receivedConnections(&gApp->printer)).size() < count &&
         std::chrono::steady_clock::now() < deadline)
    usleep(20000);
  return connections;
}

// 'printFile()' - submit a file to a printer with options and return what the printer received for it.
void printFile(const std::string& printer, const std::string& file, const std::vector<std::string>& options,
               std::string* received) {
  const size_t before = receivedConnections(&gApp->printer).size();
  std::vector<std::string> arguments = {"submit", "-d", printer};
  for (const auto& option : options) arguments.insert(arguments.end(), {"-o", option});
  arguments.push_back(file);
  const processResult r = app(arguments);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::vector<std::string> connections = awaitConnections(before + 1);
  ASSERT_EQ(connections.size(), before + 1) << "one connection per job";
  *received = connections.back();
}

class App : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    gApp = new appSystem;
    const std::string d = makeTemporaryDirectory("app");
    gApp->directory = d;
    for (const char* folder : {"/spool", "/home", "/tmp", "/config", "/common", "/printer", "/files"})
      mkdir((d + folder).c_str(), 0755);
    // The application keeps its socket and state in these folders; the subcommands find them there.
    setenv("HOME", (d + "/home").c_str(), 1);
    setenv("TMPDIR", (d + "/tmp").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (d + "/config").c_str(), 1);
    setenv("SNAP_COMMON", (d + "/common").c_str(), 1);
    gApp->failure = "the fake printer could not listen";
    if (!startFakePrinter(d + "/printer", &gApp->printer)) return;
    gApp->port = freeLoopbackPort();
    if (!startServer()) return;
    const std::string device = "socket://127.0.0.1:" + std::to_string(gApp->printer.port);
    for (const auto& [name, driver] :
         {std::pair{"label", "generic-label-203dpi"}, {"label300", "generic-label-300dpi"}}) {
      const processResult r = app({"add", "-d", name, "-m", driver, "-v", device});
      if (r.status != 0) {
        gApp->failure = "add failed: " + r.out + r.err;
        return;
      }
    }
    gApp->failure.clear();
  }

  static void TearDownTestSuite() {
    if (gApp == nullptr) return;
    stopBackground(&gApp->server, 10);
    stopFakePrinter(&gApp->printer);
    if (testing::UnitTest::GetInstance()->failed_test_count() > 0)
      std::fprintf(stderr, "The application's log:\n%s\n", readFile(gApp->directory + "/app.log").c_str());
    removeTree(gApp->directory);
    delete gApp;
    gApp = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(gApp != nullptr && gApp->failure.empty()) << (gApp != nullptr ? gApp->failure : "");
    ASSERT_TRUE(isRunning(&gApp->server)) << "the application has stopped";
  }
};

// 'writeJob()' - a file in the test's folder.
std::string writeJob(const std::string& name, const std::string& bytes) {
  const std::string path = gApp->directory + "/files/" + name;
  writeFile(path, bytes);
  return path;
}

// A 1-bit page of the label's exact size prints bit for bit, with the printer's default prologue and
// one page format.
TEST_F(App, OneBitPageOfTheLabelSizePrintsBitForBit) {
  const struct {
    const char* printer;
    unsigned width, height, dpi;
  } cases[] = {{"label", 812, 1218, 203}, {"label300", 1200, 1800, 300}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.printer);
    const pbmPage page = patternPage(c.width, c.height, 7);
    const std::string file = writeJob("page.ras", rasterFromPbm({page}, {"-r", std::to_string(c.dpi)}));
    std::string received;
    ASSERT_NO_FATAL_FAILURE(printFile(c.printer, file, {"document-format=image/pwg-raster"}, &received));
    const printerData data = splitPrinterData(received);
    ASSERT_TRUE(data.wellFormed);
    EXPECT_EQ(data.prologue, expectedPrologue());
    ASSERT_EQ(data.pages.size(), 1u);
    EXPECT_EQ(data.pages[0].format, expectedPageFormat(c.width, c.height));
    bytes bitmap;
    ASSERT_TRUE(referenceDecode(data.pages[0].text, static_cast<size_t>(data.pages[0].rowBytes),
                                static_cast<size_t>(data.pages[0].totalBytes / data.pages[0].rowBytes),
                                &bitmap));
    EXPECT_TRUE(bitmap == paddedBitmap(page, 0x00));
  }
}

}  // namespace
