// Grey pages, failed writes and cancellation: the filter must neither print wrongly nor report a failed
// job as printed, and must leave the printer between commands.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/PrinterData.h"
#include "support/Raster.h"

namespace {

// Grey pages print as the same dots as the 1-bit page they were made from.
TEST(GreyPages, ThresholdAtMidGreyGivesTheOneBitLabel) {
  const std::vector<pbmPage> pages = {patternPage(203, 100, 21), patternPage(41, 9, 22)};
  const processResult oneBit = runFilter(rasterFromPbm(pages), "Inverse=1");
  ASSERT_EQ(oneBit.status, 0);
  for (const char* space : {"K", "W", "SW"}) {
    const processResult grey = runFilter(rasterFromPbm(pages, {"-g", space}), "Inverse=1");
    EXPECT_EQ(grey.status, 0) << space;
    EXPECT_EQ(grey.err, "INFO: Ready to print.\n");
    EXPECT_EQ(grey.out, oneBit.out) << space;
  }
}

TEST(GreyPages, MidGreyIsTheThreshold) {
  cups_page_header2_t k = oneBitHeader(8, 1), w = oneBitHeader(8, 1);
  for (auto* h : {&k, &w}) {
    h->cupsBitsPerColor = h->cupsBitsPerPixel = 8;
    h->cupsBytesPerLine = 8;
  }
  w.cupsColorSpace = CUPS_CSPACE_W;
  const std::string values = {0,
                              1,
                              126,
                              127,
                              static_cast<char>(128),
                              static_cast<char>(129),
                              static_cast<char>(254),
                              static_cast<char>(255)};
  const struct {
    cups_page_header2_t header;
    const char* firstRow;  // the first row of the page's text
  } cases[] = {{k, "0F,\r\n"}, {w, "F,\r\n"}};
  for (const auto& c : cases) {
    const processResult r = runFilter(rawRaster({{c.header, values}}));
    ASSERT_EQ(r.status, 0);
    const printerData data = splitPrinterData(r.out);
    ASSERT_EQ(data.pages.size(), 1u);
    EXPECT_EQ(data.pages[0].text.substr(0, data.pages[0].text.find('\n') + 1), c.firstRow);
  }
}

struct spawned {
  pid_t pid;
  int input;  // write end of the filter's standard input
};

// 'spawnFilter()' - start the filter with standard output on 'outFd' and standard error on 'errFd'.
spawned spawnFilter(int outFd, int errFd) {
  int in[2];
  EXPECT_EQ(pipe(in), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(outFd, 1);
    dup2(errFd, 2);
    close(in[0]);
    close(in[1]);
    setenv("PPD", TEST_PPD_PATH, 1);
    execl(RASTERTOXXX_PATH, RASTERTOXXX_PATH, "1", "user", "title", "1", "", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(in[0]);
  return {pid, in[1]};
}

// 'waitExit()' - the exit status, or -1 if the filter has not ended within five seconds (then it is killed).
int waitExit(pid_t pid) {
  for (int i = 0; i < 500; ++i) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid)
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

void writeAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

TEST(WriteFailures, AreReportedAndNeverTakenForSuccess) {
  signal(SIGPIPE, SIG_IGN);
  const std::string raster = rasterFromPbm({patternPage(832, 1218, 23), patternPage(832, 1218, 24)});
  int closedPipe[2];
  ASSERT_EQ(pipe(closedPipe), 0);
  close(closedPipe[0]);
  const int full = open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  const struct {
    int fd;
    const char* err;
  } cases[] = {{closedPipe[1], "ERROR: Unable to write the printer data: Broken pipe\n"},
               {full, "ERROR: Unable to write the printer data: No space left on device\n"}};
  for (const auto& c : cases) {
    const std::string errPath = temporaryPath("stderr");
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const spawned filter = spawnFilter(c.fd, err);
    close(err);
    writeAll(filter.input, raster);
    close(filter.input);
    EXPECT_EQ(waitExit(filter.pid), 1);
    EXPECT_EQ(readFile(errPath), c.err);
    unlink(errPath.c_str());
  }
  close(closedPipe[1]);
  close(full);
}

// The scheduler cancels with SIGTERM while the filter waits on a slow writer. The graphic being
// downloaded is finished and deleted unprinted, and the filter ends without waiting for more input.
TEST(Cancellation, FinishesTheGraphicThenDeletesItUnprinted) {
  const pbmPage page = patternPage(64, 40, 25);
  const std::string rows(page.bits.begin(), page.bits.end());
  const std::string pageBytes = rawRaster({{oneBitHeader(64, 40), rows}}).substr(4);
  const std::string sync = rawRaster({});
  const struct {
    std::string name;
    std::string sent;  // the writer sends this much, then stalls with the pipe open
    size_t pages;      // downloads started
    std::string err;
  } cases[] = {
      {"in the middle of a page", sync + pageBytes + pageBytes.substr(0, pageBytes.size() - 100), 2,
       "ERROR: Job canceled after 1 printed labels\n"},
      {"between pages", sync + pageBytes + pageBytes, 2, "ERROR: Job canceled after 2 printed labels\n"},
  };
  for (const auto& c : cases) {
    const std::string outPath = temporaryPath("out"), errPath = temporaryPath("err");
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const spawned filter = spawnFilter(out, err);
    close(out);
    close(err);
    writeAll(filter.input, c.sent);
    // Every complete page reaches the output before the filter waits for more; then it reads what is
    // left of the input and blocks.
    const size_t complete = c.name == "between pages" ? 2 : 1;
    for (int i = 0; i < 500 && splitPrinterData(readFile(outPath)).pages.size() < complete; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    kill(filter.pid, SIGTERM);
    EXPECT_EQ(waitExit(filter.pid), 1) << c.name;
    close(filter.input);
    EXPECT_EQ(readFile(errPath), c.err) << c.name;

    const printerData data = splitPrinterData(readFile(outPath));
    ASSERT_EQ(data.pages.size(), c.pages) << c.name;
    for (size_t i = 0; i < data.pages.size(); ++i) {
      bytes bitmap;
      EXPECT_TRUE(referenceDecode(data.pages[i].text, 8, 64, &bitmap)) << c.name;
      const bool deleted = i + 1 == data.pages.size() && c.name == "in the middle of a page";
      if (deleted)
        EXPECT_EQ(data.pages[i].format, "^XA^ID000.GRF^FS^XZ");
      else
        EXPECT_EQ(data.pages[i].format.substr(0, 7), "^XA^MMT") << c.name;
    }
    unlink(outPath.c_str());
    unlink(errPath.c_str());
  }
}

}  // namespace
