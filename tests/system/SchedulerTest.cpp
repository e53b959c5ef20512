// SPDX-License-Identifier: Apache-2.0
// Jobs through a real, private CUPS scheduler: its own configuration, spool and program folders in a
// temporary folder, listening on 127.0.0.1 only, with queues made by lpadmin from a generated PPD that
// send to a fake raw TCP printer. Jobs are submitted with lp as a user would.
#include <cups/cups.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "support/Expected.h"
#include "support/PrintSystem.h"
#include "support/Process.h"

namespace {

const std::string kDefaultPrologue = expectedPrologue();
const std::string kSmallLabelFormat = expectedPageFormat(406, 203);

// The scheduler and the fake printer, shared by every test of the suite.
struct printSystem {
  std::string directory;
  int port = 0;
  backgroundProcess scheduler;
  fakePrinter printer;
  bool ready = false;
  std::string failure;  // why it is not ready
};
printSystem* gSystem = nullptr;

std::string server() { return "127.0.0.1:" + std::to_string(gSystem->port); }

// 'schedulerAnswers()' - whether the scheduler accepts connections on its port.
bool schedulerAnswers() {
  http_t* http =
      httpConnect2("127.0.0.1", gSystem->port, nullptr, AF_INET, HTTP_ENCRYPTION_NEVER, 1, 1000, nullptr);
  if (http == nullptr) return false;
  httpClose(http);
  return true;
}

// 'writeConfiguration()' - the scheduler's two configuration files: every folder private, loopback only,
// no sharing or browsing, and no authentication for the local administration the test does. Run by
// root, the scheduler runs the filters as its default user (lp); run by another user, as that user.
void writeConfiguration(const std::string& d, int port) {
  writeFile(d + "/cups-files.conf", "ServerRoot " + d + "/root\nServerBin " + d + "/serverbin\nRequestRoot " +
                                        d + "/spool\nTempDir " + d + "/spool/tmp\nCacheDir " + d +
                                        "/cache\nStateDir " + d + "/state\nErrorLog " + d +
                                        "/log/error_log\nAccessLog " + d + "/log/access_log\nPageLog " + d +
                                        "/log/page_log\nPrintcap " + d + "/printcap\nFileDevice No\n");
  writeFile(d + "/cupsd.conf",
            "Listen 127.0.0.1:" + std::to_string(port) +
                "\n"
                "LogLevel debug\nBrowsing Off\nBrowseLocalProtocols none\nWebInterface No\n"
                "DefaultAuthType None\nErrorPolicy abort-job\nMaxJobs 0\n"
                "<Location />\n  Order allow,deny\n  Allow from 127.0.0.1\n</Location>\n"
                "<Policy default>\n  JobPrivateAccess default\n  JobPrivateValues default\n"
                "  SubscriptionPrivateAccess default\n  SubscriptionPrivateValues default\n"
                "  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n");
}

class Scheduler : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    gSystem = new printSystem;
    const std::string d = makeTemporaryDirectory("scheduler");
    gSystem->directory = d;
    for (const char* folder : {"/root", "/spool", "/spool/tmp", "/cache", "/state", "/log", "/printer"})
      mkdir((d + folder).c_str(), 0755);
    makeServerBin(d + "/serverbin");
    gSystem->failure = "the fake printer could not listen";
    if (!startFakePrinter(d + "/printer", &gSystem->printer)) return;
    gSystem->port = freeLoopbackPort();
    writeConfiguration(d, gSystem->port);
    if (!startBackground({CUPSD_PATH, "-f", "-c", d + "/cupsd.conf", "-s", d + "/cups-files.conf"},
                         d + "/log/cupsd.out", &gSystem->scheduler)) {
      gSystem->failure = "cupsd could not be started";
      return;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!schedulerAnswers()) {
      if (!isRunning(&gSystem->scheduler) || std::chrono::steady_clock::now() > deadline) {
        gSystem->failure = "cupsd did not answer: " + readFile(d + "/log/cupsd.out");
        return;
      }
      usleep(50000);
    }

    // Three queues on the fake printer: with the PPD's defaults; with a PPD whose default mirrors; and
    // with a queue default that mirrors. The CUPS library takes a Mirror option for its own mirror, so
    // "lpadmin -o Mirror=1" would leave the PPD alone: a queue default is "Mirror-default", which the
    // scheduler adds to every job's options. Supply levels are not asked for, as the printer does not
    // answer SNMP.
    const std::string uri = "socket://127.0.0.1:" + std::to_string(gSystem->printer.port);
    const std::string ppd = std::string(LABEL_PPD_DIR) + "/glp203.ppd";
    std::string mirroring = readFile(ppd);
    const size_t mirrorDefault = mirroring.find("*DefaultMirror: 0");
    if (mirrorDefault == std::string::npos) {
      gSystem->failure = "the PPD has no Mirror default";
      return;
    }
    mirroring.replace(mirrorDefault, 17, "*DefaultMirror: 1");
    writeFile(d + "/mirroring.ppd", mirroring);
    for (const auto& queue :
         {std::vector<std::string>{"label", ppd}, std::vector<std::string>{"mirroring", d + "/mirroring.ppd"},
          std::vector<std::string>{"mirrordefault", ppd, "-o", "Mirror-default=1"}}) {
      // "-E" after the queue's name enables it; before it, it would ask for encryption.
      std::vector<std::string> argv = {LPADMIN_PATH, "-h",     server(), "-p",
                                       queue[0],     "-E",     "-v",     uri,
                                       "-P",         queue[1], "-o",     "cupsSNMPSupplies=false"};
      argv.insert(argv.end(), queue.begin() + 2, queue.end());
      const processResult r = runProcess(argv, "");
      if (r.status != 0) {
        gSystem->failure = "lpadmin failed: " + r.err;
        return;
      }
    }
    gSystem->ready = true;
  }

  static void TearDownTestSuite() {
    if (gSystem == nullptr) return;
    stopBackground(&gSystem->scheduler, 10);
    stopFakePrinter(&gSystem->printer);
    if (testing::UnitTest::GetInstance()->failed_test_count() > 0) {
      std::ifstream log(gSystem->directory + "/log/error_log");
      std::fprintf(stderr, "The scheduler's log of the jobs:\n");
      for (std::string line; std::getline(log, line);)
        if (line.find("[Job ") != std::string::npos && line.find("envp[") == std::string::npos &&
            line.find(" bytes of print data") == std::string::npos)
          std::fprintf(stderr, "%s\n", line.c_str());
    }
    removeTree(gSystem->directory);
    delete gSystem;
    gSystem = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(gSystem != nullptr && gSystem->ready) << (gSystem != nullptr ? gSystem->failure : "");
  }
};

// 'printAndReceive()' - submit 'file' with lp, wait until the job has ended, and return what the printer
// received for it; fails the test if the job does not complete on one connection.
void printAndReceive(const std::string& queue, const std::string& file,
                     const std::vector<std::string>& options, std::string* received) {
  const size_t before = receivedConnections(&gSystem->printer).size();
  std::vector<std::string> argv = {LP_PATH, "-h", server(), "-d", queue};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back(file);
  const processResult r = runProcess(argv, "");
  ASSERT_EQ(r.status, 0) << r.err;
  int job = 0;
  ASSERT_EQ(std::sscanf(r.out.c_str(), ("request id is " + queue + "-%d").c_str(), &job), 1) << r.out;

  http_t* http =
      httpConnect2("127.0.0.1", gSystem->port, nullptr, AF_INET, HTTP_ENCRYPTION_NEVER, 1, 5000, nullptr);
  ASSERT_NE(http, nullptr);
  ipp_jstate_t state = IPP_JSTATE_PENDING;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (state < IPP_JSTATE_CANCELED && std::chrono::steady_clock::now() < deadline) {
    usleep(50000);
    cups_job_t* jobs = nullptr;
    const int count = cupsGetJobs2(http, &jobs, queue.c_str(), 0, CUPS_WHICHJOBS_ALL);
    for (int i = 0; i < count; ++i)
      if (jobs[i].id == job) state = jobs[i].state;
    cupsFreeJobs(count, jobs);
  }
  httpClose(http);
  ASSERT_EQ(state, IPP_JSTATE_COMPLETED) << "job " << job;

  // The printer closes its end before the back end can report the job done; give it a moment.
  std::vector<std::string> connections;
  for (int wait = 0; wait < 100 && (connections = receivedConnections(&gSystem->printer)).size() == before;
       ++wait)
    usleep(50000);
  ASSERT_EQ(connections.size(), before + 1) << "one connection per job";
  *received = connections.back();
}

TEST_F(Scheduler, PdfLabelArrivesCompleteWithItsDrawing) {
  std::string received;
  ASSERT_NO_FATAL_FAILURE(printAndReceive("label", SHIPPING_LABEL_PDF, {}, &received));
  const printerData data = splitPrinterData(received);
  ASSERT_TRUE(data.wellFormed);
  EXPECT_EQ(data.prologue, kDefaultPrologue);
  ASSERT_EQ(data.pages.size(), 1u);
  EXPECT_EQ(data.pages[0].format, expectedPageFormat(812, 1218));
  monoImage label, reference;
  ASSERT_TRUE(decodeLabel(data.pages[0], 812, 1218, &label));
  ASSERT_TRUE(renderPdfPage(SHIPPING_LABEL_PDF, 1, 203, &reference));
  EXPECT_GT(inkCoverage(reference, label, 2), 0.99);
  EXPECT_GT(inkCoverage(label, reference, 2), 0.99);
}

// Every job arrives whole on its own connection: one prologue, then one label per page per copy in the
// order the options ask for, each decoding to its page; a mirror is made once, by the printer for the
// PPD's Mirror option (as a job option, the PPD's default or the queue's default) or by the page filters for
// the print system's own mirror option.
TEST_F(Scheduler, JobsArriveCompleteOneLabelPerPagePerCopy) {
  const struct {
    const char* queue;
    std::vector<std::string> options;
    std::vector<int> labels;
    const char* mirrorCommand;
    bool pagesMirrored;
  } cases[] = {
      {"label", {}, {1, 2, 3}, "^PMN", false},
      {"label", {"-n", "3"}, {1, 1, 1, 2, 2, 2, 3, 3, 3}, "^PMN", false},
      {"label", {"-n", "3", "-o", "collate=true"}, {1, 2, 3, 1, 2, 3, 1, 2, 3}, "^PMN", false},
      {"label", {"-P", "2"}, {2}, "^PMN", false},
      {"label", {"-o", "Mirror=1"}, {1, 2, 3}, "^PMY", false},
      {"mirroring", {}, {1, 2, 3}, "^PMY", false},
      {"mirroring", {"-o", "Mirror=0"}, {1, 2, 3}, "^PMN", false},
      {"mirrordefault", {}, {1, 2, 3}, "^PMY", false},
      {"label", {"-o", "mirror"}, {1, 2, 3}, "^PMN", true},
  };
  for (const auto& c : cases) {
    std::string trace = c.queue;
    for (const auto& option : c.options) trace += " " + option;
    SCOPED_TRACE(trace);
    std::vector<std::string> options = c.options;
    options.insert(options.end(), {"-o", "PageSize=5"});
    std::string received;
    ASSERT_NO_FATAL_FAILURE(printAndReceive(c.queue, NUMBERED_LABELS_PDF, options, &received));

    const printerData data = splitPrinterData(received);
    ASSERT_TRUE(data.wellFormed);
    std::string prologue = kDefaultPrologue;
    prologue.replace(prologue.find("^PMN"), 4, c.mirrorCommand);
    EXPECT_EQ(data.prologue, prologue);
    ASSERT_EQ(data.pages.size(), c.labels.size());
    for (size_t i = 0; i < data.pages.size(); ++i) {
      EXPECT_EQ(data.pages[i].format, kSmallLabelFormat) << "label " << i;
      monoImage label;
      ASSERT_TRUE(decodeLabel(data.pages[i], 406, 203, &label)) << "label " << i;
      bool mirror = !c.pagesMirrored;
      EXPECT_EQ(readNumberedLabel(label, 203, &mirror), c.labels[i]) << "label " << i;
      EXPECT_EQ(mirror, c.pagesMirrored) << "label " << i;
    }
  }
}

}  // namespace
