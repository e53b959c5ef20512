// SPDX-License-Identifier: Apache-2.0
// The Printer Application keeps its word over time: labels print in the order they were sent, behind a
// printer that is off and then comes up and behind a slow one, while other printers print; the jobs
// and settings it said yes to survive SIGTERM, shutdown and SIGKILL; a printer added without a driver
// survives restarts while its printer is off; and the subcommands say so when no server runs. Each
// test runs its own server.
#include <cups/cups.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <list>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/PrintSystem.h"
#include "support/Process.h"
#include "support/Raster.h"
#include "support/StatusPrinter.h"

namespace {

using clock_ = std::chrono::steady_clock;

// 'label()' - a label-command document that names itself, so that the printer's data says which job it is.
std::string label(const std::string& name) { return "^XA^FO10,10^FD" + name + "^FS^XZ\n"; }

// 'named()' - "PREFIX" followed by a number (appended: GCC 12 at -O3 takes the inlined copies of the
// string operator + for overlapping ones).
std::string named(const char* prefix, int number) {
  return std::string(prefix).append(std::to_string(number));
}

class Queue : public testing::Test {
 protected:
  void SetUp() override {
    directory = makeTemporaryDirectory("queue");
    for (const char* folder : {"/spool", "/home", "/tmp", "/config", "/common", "/files"})
      mkdir((directory + folder).c_str(), 0755);
    setenv("HOME", (directory + "/home").c_str(), 1);
    setenv("TMPDIR", (directory + "/tmp").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (directory + "/config").c_str(), 1);
    setenv("SNAP_COMMON", (directory + "/common").c_str(), 1);
    setenv("LSAN_OPTIONS", "suppressions=" FRAMEWORK_LEAKS ":symbolize=0", 1);
    port = freeLoopbackPort();
    ASSERT_TRUE(start());
  }

  void TearDown() override {
    stopBackground(&server, 10);
    const std::string out = readFile(directory + "/app.out");
    EXPECT_EQ(out.find("Sanitizer"), std::string::npos) << out;
    for (fakePrinter& p : printers) stopFakePrinter(&p);
    if (HasFailure())
      std::fprintf(stderr, "The application's log:\n%s\n", readFile(directory + "/app.log").c_str());
    removeTree(directory);
  }

  // 'start()' - start the server and wait until it answers on its port and its socket.
  bool start() {
    if (!startBackground({LABEL_PRINTER_APP_PATH, "server", "-o", "server-port=" + std::to_string(port), "-o",
                          "listen-hostname=127.0.0.1", "-o", "spool-directory=" + directory + "/spool", "-o",
                          "log-file=" + directory + "/app.log", "-o", "log-level=info"},
                         directory + "/app.out", &server))
      return false;
    return await([this] { return isRunning(&server) && app({"printers"}).status == 0; });
  }

  // 'restart()' - stop the server as 'how' says ("SIGTERM", "shutdown", "SIGKILL") and start it again.
  void restart(const std::string& how) {
    if (how == "shutdown") {
      ASSERT_EQ(app({"shutdown"}).status, 0);
    } else {
      kill(server.pid, how == "SIGKILL" ? SIGKILL : SIGTERM);
    }
    ASSERT_TRUE(await([this] { return !isRunning(&server); })) << how;
    ASSERT_TRUE(start()) << readFile(directory + "/app.out");
  }

  static processResult app(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), LABEL_PRINTER_APP_PATH);
    return runProcess(arguments, "");
  }

  // 'addPrinter()' - a printer at a fake printer's port ('up': listening now, else later).
  fakePrinter* addPrinter(const std::string& name, bool up, unsigned pauseMicroseconds = 0) {
    printers.emplace_back();
    fakePrinter* p = &printers.back();
    p->pauseMicroseconds = pauseMicroseconds;
    p->port = freeLoopbackPort();
    p->directory = directory + "/printer-" + name;
    mkdir(p->directory.c_str(), 0755);
    if (up) {
      EXPECT_TRUE(startFakePrinter(p->directory, p, p->port));
    }
    const processResult r = app({"add", "-d", name, "-m", "generic-label-203dpi", "-v",
                                 "socket://127.0.0.1:" + std::to_string(p->port)});
    EXPECT_EQ(r.status, 0) << r.err;
    return p;
  }

  // 'send()' - submit a file over IPP, held when 'hold' names a job-hold-until: its job id, 0 when it
  // was refused.
  int send(const std::string& printer, const std::string& file, const char* format,
           const char* hold = nullptr) {
    http_t* http = httpConnect2("127.0.0.1", port, nullptr, AF_INET, HTTP_ENCRYPTION_NEVER, 1, 5000, nullptr);
    if (http == nullptr) return 0;
    ipp_t* request = jobRequest(IPP_OP_PRINT_JOB, printer, 0);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, format);
    if (hold != nullptr) ippAddString(request, IPP_TAG_JOB, IPP_TAG_KEYWORD, "job-hold-until", nullptr, hold);
    ipp_t* response = cupsDoFileRequest(http, request, "/ipp/print", file.c_str());
    const int id = ippGetInteger(ippFindAttribute(response, "job-id", IPP_TAG_INTEGER), 0);
    ippDelete(response);
    httpClose(http);
    return id;
  }

  // 'print()' - submit a label named 'name'.
  int print(const std::string& printer, const std::string& name, const char* hold = nullptr) {
    const std::string file = directory + "/files/" + name;
    writeFile(file, label(name));
    return send(printer, file, "application/vnd.label-commands", hold);
  }

  ipp_t* jobRequest(ipp_op_t op, const std::string& printer, int id) {
    ipp_t* request = ippNewRequest(op);
    const std::string uri = "ipp://127.0.0.1:" + std::to_string(port) + "/ipp/print/" + printer;
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
    if (id > 0) ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", id);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "test");
    return request;
  }

  // 'ask()' - send a request to the server; the response's status.
  ipp_status_t ask(ipp_t* request, ipp_t** response = nullptr) {
    http_t* http = httpConnect2("127.0.0.1", port, nullptr, AF_INET, HTTP_ENCRYPTION_NEVER, 1, 5000, nullptr);
    if (http == nullptr) {
      ippDelete(request);
      return IPP_STATUS_ERROR_SERVICE_UNAVAILABLE;
    }
    ipp_t* answer = cupsDoRequest(http, request, "/ipp/print");
    const ipp_status_t status = cupsLastError();
    if (response != nullptr)
      *response = answer;
    else
      ippDelete(answer);
    httpClose(http);
    return status;
  }

  ipp_jstate_t jobState(const std::string& printer, int id) {
    ipp_t* response = nullptr;
    ask(jobRequest(IPP_OP_GET_JOB_ATTRIBUTES, printer, id), &response);
    const int state = ippGetInteger(ippFindAttribute(response, "job-state", IPP_TAG_ENUM), 0);
    ippDelete(response);
    return static_cast<ipp_jstate_t>(state);
  }

  // 'printedNames()' - the names of the labels a printer has printed, in the order it received them
  // (jobs that follow each other share a connection), once it has 'count' ("?" for a raster page).
  std::vector<std::string> printedNames(fakePrinter* p, size_t count) {
    std::vector<std::string> names;
    await(
        [&] {
          names.clear();
          std::string data;
          for (const std::string& connection : receivedConnections(p)) data += connection;
          for (size_t at = 0; (at = data.find_first_of("^~", at)) != std::string::npos; ++at) {
            if (data.compare(at, 3, "^FD") == 0)
              names.push_back(data.substr(at + 3, data.find("^FS", at) - at - 3));
            else if (data.compare(at, 3, "~DG") == 0)
              names.push_back("?");
          }
          return names.size() >= count;
        },
        60);
    return names;
  }

  // 'await()' - wait for 'check' to hold, up to 'seconds'.
  template <typename Check>
  static bool await(Check check, int seconds = 30) {
    const auto deadline = clock_::now() + std::chrono::seconds(seconds);
    while (!check()) {
      if (clock_::now() > deadline) return false;
      usleep(50000);
    }
    return true;
  }

  std::string directory;
  int port = 0;
  backgroundProcess server;
  std::list<fakePrinter> printers;
};

std::vector<std::string> names(const char* prefix, std::initializer_list<int> numbers) {
  std::vector<std::string> list;
  for (const int n : numbers) list.push_back(named(prefix, n));
  return list;
}

// Eight labels behind a printer that is off print in the order they were sent once it comes up, a held
// one in the order it was released; eight behind a slow printer likewise, a raster stream sent among
// them in its turn; while a third printer prints its own.
TEST_F(Queue, LabelsPrintInTheOrderTheyWereSent) {
  fakePrinter* off = addPrinter("off", false);
  fakePrinter* slow = addPrinter("slow", true, 300000);
  fakePrinter* busy = addPrinter("busy", true);
  std::thread other([&] {
    for (int n = 1; n <= 8; ++n) EXPECT_GT(print("busy", named("b", n)), 0);
  });
  int held = 0;
  for (int n = 1; n <= 8; ++n) {
    const int id = print("off", named("o", n), n == 3 ? "indefinite" : nullptr);
    ASSERT_GT(id, 0);
    if (n == 3) held = id;
    if (n == 6) {
      ASSERT_EQ(ask(jobRequest(IPP_OP_RELEASE_JOB, "off", held)), IPP_STATUS_OK);
    }
  }
  for (int n = 1; n <= 3; ++n) ASSERT_GT(print("slow", named("s", n)), 0);
  const std::string raster = directory + "/files/page.pwg";
  writeFile(raster, rasterFromPbm({patternPage(64, 64, 1)}, {"-r", "203"}));
  std::thread stream([&] { EXPECT_GT(send("slow", raster, "image/pwg-raster"), 0); });
  usleep(300000);
  for (int n = 5; n <= 7; ++n) ASSERT_GT(print("slow", named("s", n)), 0);
  stream.join();
  other.join();
  EXPECT_TRUE(startFakePrinter(off->directory, off, off->port));
  EXPECT_EQ(printedNames(off, 8), names("o", {1, 2, 4, 5, 6, 3, 7, 8}));
  std::vector<std::string> expected = names("s", {1, 2, 3, 0, 5, 6, 7});
  expected[3] = "?";
  EXPECT_EQ(printedNames(slow, 7), expected);
  EXPECT_EQ(printedNames(busy, 8), names("b", {1, 2, 3, 4, 5, 6, 7, 8}));
}

// Queued jobs survive every way the server stops and print in order by themselves once the printer
// comes up; a printer added without a driver survives those restarts while its printer is off.
TEST_F(Queue, QueuedJobsSurviveRestarts) {
  fakePrinter* off = addPrinter("off", false);
  statusPrinter talker;
  ASSERT_TRUE(startStatusPrinter(hostStatusAnswer(readyStatus()), &talker));
  setIdentity(&talker, identityAnswer(12));
  const processResult added =
      app({"add", "-d", "asked", "-v", "socket://127.0.0.1:" + std::to_string(talker.port)});
  ASSERT_EQ(added.status, 0) << added.err;
  stopStatusPrinter(&talker);
  std::vector<int> ids;
  for (const char* how : {"SIGTERM", "shutdown", "SIGKILL"}) {
    ids.push_back(print("off", std::string("q-") + how));
    ASSERT_GT(ids.back(), 0);
    ASSERT_NO_FATAL_FAILURE(restart(how));
    for (const int id : ids) EXPECT_LT(jobState("off", id), IPP_JSTATE_STOPPED) << how << " job " << id;
    EXPECT_NE(app({"printers"}).out.find("asked"), std::string::npos) << how;
  }
  const std::string state = readFile(directory + "/common/label-printer-app.state");
  EXPECT_NE(state.find("driver=\"generic-label-300dpi\""), std::string::npos) << state;
  EXPECT_EQ(state.find("driver=\"auto\""), std::string::npos) << state;
  EXPECT_TRUE(startFakePrinter(off->directory, off, off->port));
  EXPECT_EQ(printedNames(off, 3), (std::vector<std::string>{"q-SIGTERM", "q-shutdown", "q-SIGKILL"}));

  // A state an earlier version wrote, with the driver "auto", loads with the driver of the printer's
  // saved resolution.
  stopBackground(&server, 10);
  std::string old = state;
  old.replace(old.find("driver=\"generic-label-300dpi\""), 29, "driver=\"auto\"");
  writeFile(directory + "/common/label-printer-app.state", old);
  ASSERT_TRUE(start());
  ipp_t* response = nullptr;
  ipp_t* request = jobRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, "asked", 0);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
               "printer-make-and-model");
  ASSERT_EQ(ask(request, &response), IPP_STATUS_OK);
  EXPECT_STREQ(ippGetString(ippFindAttribute(response, "printer-make-and-model", IPP_TAG_TEXT), 0, nullptr),
               "Generic Label Printer 300dpi");
  ippDelete(response);
}

// Twenty SIGKILLs at random moments among settings changes and submissions: every change and job
// the server said yes to is there after the next start, and every start finds the printer. Eight under
// the sanitizers, where each subcommand costs several times as much and what is checked is the memory.
TEST_F(Queue, KillsDuringChangesLoseNothing) {
#ifdef LABEL_SANITIZED
  constexpr int kRounds = 8;
#else
  constexpr int kRounds = 20;
#endif
  addPrinter("off", false);
  std::mt19937 random(12345);
  int darkness = 50;
  std::vector<int> jobs;
  for (int round = 0; round < kRounds; ++round) {
    int attempted = darkness;
    std::thread changes([&] {
      for (int n = 0;; ++n) {
        attempted = 1 + (round * 7 + n) % 99;
        if (app({"modify", "-d", "off", "-o", "printer-darkness-configured=" + std::to_string(attempted)})
                .status != 0)
          return;
        darkness = attempted;
        const int id = print("off", named("k", round) + "-" + std::to_string(n));
        if (id == 0) return;
        jobs.push_back(id);
      }
    });
    usleep(100000 + random() % 400000);
    kill(server.pid, SIGKILL);
    changes.join();
    ASSERT_TRUE(await([this] { return !isRunning(&server); }));
    ASSERT_TRUE(start()) << "round " << round << ": " << readFile(directory + "/app.out");
    const processResult options = app({"options", "-d", "off"});
    ASSERT_EQ(options.status, 0) << "round " << round << ": " << options.err;
    const std::string now = options.out.substr(options.out.find("printer-darkness-configured"));
    const std::string value =
        now.substr(now.find("now: ") + 5, now.find('\n', now.find("now: ")) - now.find("now: ") - 5);
    EXPECT_TRUE(value == std::to_string(darkness) || value == std::to_string(attempted))
        << "round " << round << ": " << value;
    darkness = std::atoi(value.c_str());
  }
  // Each is still waiting, the first of them perhaps for its printer to answer.
  for (const int id : jobs) {
    const ipp_jstate_t state = jobState("off", id);
    EXPECT_TRUE(state == IPP_JSTATE_PENDING || state == IPP_JSTATE_PROCESSING)
        << "job " << id << ": " << state;
  }
}

// Without a server the subcommands say so and how to start one, and start none of their own; a
// printer that does not exist is an error.
TEST_F(Queue, CommandsTellTheTruth) {
  for (const std::vector<std::string>& command : {std::vector<std::string>{"status", "-d", "nosuch"},
                                                  {"jobs", "-d", "nosuch"},
                                                  {"cancel", "-d", "nosuch", "-j", "1"}}) {
    const processResult r = app(command);
    EXPECT_EQ(r.status, 1) << command[0] << ": " << r.out << r.err;
    EXPECT_NE(r.err.find("nosuch"), std::string::npos) << command[0] << ": " << r.err;
  }
  EXPECT_EQ(app({"status"}).out.find("Running, idle since "), 0u);
  stopBackground(&server, 10);
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"printers"},
        {"status"},
        {"add", "-d", "x", "-m", "generic-label-203dpi", "-v", "socket://127.0.0.1:9"},
        {"submit", "-d", "off", "/etc/hostname"}}) {
    const processResult r = app(command);
    EXPECT_EQ(r.status, 1) << command[0];
    EXPECT_NE(r.err.find("The server is not running. Start it with"), std::string::npos)
        << command[0] << ": " << r.err;
  }
  usleep(500000);
  http_t* http = httpConnect2((directory + "/common/label-printer-app.sock").c_str(), 0, nullptr, AF_UNSPEC,
                              HTTP_ENCRYPTION_NEVER, 1, 500, nullptr);
  EXPECT_EQ(http, nullptr) << "a subcommand started a server";
  httpClose(http);
}

}  // namespace
