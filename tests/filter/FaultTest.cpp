// SPDX-License-Identifier: Apache-2.0
// Grey pages, failed writes and cancellation: the filter must neither print wrongly nor report a failed
// job as printed, and must leave the printer between commands.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "support/Expected.h"
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
        EXPECT_EQ(data.pages[i].format, kExpectedDeletion);
      else
        EXPECT_EQ(data.pages[i].format.substr(0, 7), "^XA^MMT") << c.name;
    }
    unlink(outPath.c_str());
    unlink(errPath.c_str());
  }
}

// The printer is busy, so the back end takes the printer data slowly and the filter waits in its
// writes; the scheduler cancels at any moment. Every download that was started must still arrive whole
// (its text is what its header announced) and be followed by its label format or by its deletion.
TEST(Cancellation, WhileWritingToASlowPrinterNoDownloadIsCut) {
  signal(SIGPIPE, SIG_IGN);
  std::vector<pbmPage> pages;
  for (uint32_t seed = 30; seed < 36; ++seed) pages.push_back(patternPage(832, 1218, seed));
  const std::string raster = rasterFromPbm(pages);
  for (int delayMs = 0; delayMs <= 180; delayMs += 20) {
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const std::string errPath = temporaryPath("err");
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const spawned filter = spawnFilter(out[1], err);
    close(out[1]);
    close(err);
    std::thread writer([&] {
      writeAll(filter.input, raster);
      close(filter.input);
    });
    // A slow reader: 16 KiB every 2 ms.
    std::string received;
    std::atomic<bool> started = false;
    std::thread reader([&] {
      char chunk[16384];
      ssize_t got;
      while ((got = read(out[0], chunk, sizeof chunk)) > 0) {
        received.append(chunk, static_cast<size_t>(got));
        started = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
    // The moment counts from the first printer data, when the filter is surely running.
    for (int i = 0; i < 5000 && !started; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    kill(filter.pid, SIGTERM);
    const int status = waitExit(filter.pid);
    writer.join();
    reader.join();
    close(out[0]);

    const printerData data = splitPrinterData(received);
    ASSERT_TRUE(data.wellFormed) << delayMs;
    size_t printed = 0;
    for (size_t i = 0; i < data.pages.size(); ++i) {
      bytes bitmap;
      EXPECT_TRUE(referenceDecode(data.pages[i].text, 104, 1248, &bitmap)) << delayMs << " ms, page " << i;
      if (data.pages[i].format.rfind("^XA^MMT", 0) == 0)
        ++printed;
      else
        EXPECT_EQ(data.pages[i].format, kExpectedDeletion) << delayMs << " ms, page " << i;
    }
    const std::string log = readFile(errPath);
    if (status == 0) {
      EXPECT_EQ(printed, pages.size()) << delayMs;
      EXPECT_EQ(log, "INFO: Ready to print.\n");
    } else {
      EXPECT_EQ(status, 1) << delayMs;
      EXPECT_EQ(log, "ERROR: Job canceled after " + std::to_string(printed) + " printed labels\n") << delayMs;
    }
    unlink(errPath.c_str());
  }
}

#if !defined(__SANITIZE_ADDRESS__)
// The largest page the filter takes, in its worst shape for memory: rows of 4 bytes (the text of a row
// can be 2.5 times the row) that all differ. The page bitmap is the one large block; the text goes out
// a stretch of rows at a time. (The sanitizer build's shadow memory would swamp the measure.)
TEST(MemoryBound, LargestPageNeedsLittleBeyondItsBitmap) {
  signal(SIGPIPE, SIG_IGN);
  const uint32_t rows = 33554432;  // 4 bytes x 33,554,432 rows = 128 MiB
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const int err = open("/dev/null", O_WRONLY);
  const spawned filter = spawnFilter(out[1], err);
  close(out[1]);
  close(err);
  std::thread writer([&] {
    const cups_page_header2_t header = oneBitHeader(32, rows);
    writeAll(filter.input, rawRaster({{header, ""}}));
    std::string chunk(4 << 16, '\0');
    for (uint32_t row = 0; row < rows; row += 1 << 16) {
      for (uint32_t i = 0; i < 1 << 16; ++i) {
        const uint32_t bits = (row + i) * 2654435761u;
        std::memcpy(&chunk[4 * i], &bits, 4);
      }
      writeAll(filter.input, chunk);
    }
    close(filter.input);
  });
  uint64_t received = 0;
  char buffer[1 << 16];
  for (ssize_t got; (got = read(out[0], buffer, sizeof buffer)) > 0;) received += static_cast<uint64_t>(got);
  writer.join();
  close(out[0]);
  int status = 0;
  rusage usage{};
  ASSERT_EQ(wait4(filter.pid, &status, 0, &usage), filter.pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_GT(received, uint64_t{2} * (128 << 20));  // the text is large: more than twice the bitmap
  const long peakKiB = usage.ru_maxrss;
  EXPECT_LT(peakKiB, (128 + 16) << 10) << "peak " << peakKiB << " KiB";
}
#endif

}  // namespace
