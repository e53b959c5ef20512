// SPDX-License-Identifier: Apache-2.0
// The writers into byte sinks: jobs written side by side, copies, and a sink's descriptor.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "commands/commands.h"
#include "filter/filter.h"
#include "grf/DataComDecompress.h"
#include "support/Expected.h"
#include "support/PrinterData.h"
#include "support/Raster.h"

namespace {

constexpr byteSink kNoDescriptor = {nullptr, 0, 0, -1, 0};

// 'taken()' - the sink's pending bytes, and the sink released.
std::string taken(byteSink* sink) {
  std::string text(reinterpret_cast<const char*>(sink->bytes), sink->length);
  releaseSink(sink);
  return text;
}

struct job {
  std::string options;
  std::vector<pbmPage> pages;
  settings_ settings;
  std::string filterOutput;  // what the filter sends for the same pages and options
};

// 'writeJob()' - the job through the writers into a sink of its own, as the filter would send it.
std::string writeJob(const job& j) {
  byteSink out = kNoDescriptor;
  jobSetup(&out, j.settings);
  for (const pbmPage& page : j.pages) {
    const pageGeometry geometry = computePageGeometry(page.width, page.height);
    const bytes bitmap = paddedBitmap(page, j.settings.inverse == 1 ? 0xFF : 0x00);
    EXPECT_EQ(downloadGraphic(&out, bitmap.data(), geometry), 0);
    endPage(&out, j.settings, static_cast<int32_t>(page.width), static_cast<int32_t>(page.height),
            static_cast<int32_t>(geometry.rowBytes), static_cast<int32_t>(geometry.paddedRows), 1);
  }
  return taken(&out);
}

// Two jobs written at once in two threads, many times over, each get exactly the filter's bytes.
TEST(Sinks, TwoJobsInTwoThreadsEachGetTheFiltersBytes) {
  std::vector<job> jobs = {
      {"Inverse=1 Pause=2", {patternPage(203, 100, 41), patternPage(832, 1218, 42)}, {}, {}},
      {"Darkness=30 OutMode=1", {patternPage(400, 300, 43), patternPage(64, 40, 44)}, {}, {}}};
  setenv("PPD", TEST_PPD_PATH, 1);
  for (job& j : jobs) {
    initializeSettings(j.options.c_str(), &j.settings);
    const processResult r = runFilter(rasterFromPbm(j.pages), j.options);
    ASSERT_EQ(r.status, 0);
    j.filterOutput = r.out;
  }
  unsetenv("PPD");
  ASSERT_NE(jobs[0].filterOutput, jobs[1].filterOutput);

  std::vector<int> matches(jobs.size(), 0);
  constexpr int kRounds = 50;
  std::vector<std::thread> threads;
  for (size_t i = 0; i < jobs.size(); ++i)
    threads.emplace_back([&, i] {
      for (int round = 0; round < kRounds; ++round) matches[i] += writeJob(jobs[i]) == jobs[i].filterOutput;
    });
  for (auto& t : threads) t.join();
  for (size_t i = 0; i < jobs.size(); ++i) EXPECT_EQ(matches[i], kRounds) << jobs[i].options;
}

// Copies: one download, and the quantity in the page format; one copy is the filter's own format.
TEST(Sinks, QuantityGoesIntoThePageFormat) {
  const struct {
    int pause;
    int32_t quantity;
    std::string command;
  } cases[] = {{0, 1, "^PQ1,0,1,Y"},    {0, 0, "^PQ1,0,1,Y"}, {0, 3, "^PQ3,0,1,Y"},
               {1, 3, "^PQ3,0,1,Y^PP"}, {2, 3, "^PQ3,1,1,N"}, {2, 1, "^PQ1,1,1,N"}};
  for (const auto& c : cases) {
    settings_ s{};
    s.outpagemode = 0;
    s.pause = c.pause;
    byteSink out = kNoDescriptor;
    endPage(&out, s, 400, 300, 52, 320, c.quantity);
    EXPECT_EQ(taken(&out), expectedPageFormat(400, 300, {.quantity = c.command})) << c.quantity;
  }
}

// The download is made a stretch of rows at a time, and its text is the whole bitmap's text whatever the
// rows at a stretch's start: blank, repeating into the next stretch, or ending the repeats anywhere.
TEST(Sinks, DownloadTextIsTheWholeBitmapsText) {
  const uint32_t narrow = 64;    // 8 bytes a row: 8192 rows a stretch
  const uint32_t wide = 600000;  // 75,000 bytes a row: one row a stretch
  const struct {
    std::string name;
    uint32_t width, height;
    std::vector<uint32_t> changed;  // rows whose first byte differs from the rest of the page
  } cases[] = {
      {"blank over three stretches", narrow, 3 * 8192, {}},
      {"a change inside the second stretch", narrow, 3 * 8192, {10000}},
      {"a change at the first row of a stretch", narrow, 3 * 8192, {8192}},
      {"a change at the last row of a stretch", narrow, 3 * 8192, {16383}},
      {"repeats that end and start again", narrow, 3 * 8192, {8193, 8195, 16384, 24575}},
      {"every row unlike the one before", narrow, 2 * 8192 + 5, {}},
      {"rows wider than a stretch", wide, 6, {3, 5}},
  };
  for (const auto& c : cases) {
    const pageGeometry geometry = computePageGeometry(c.width, c.height);
    bytes bitmap(static_cast<size_t>(geometry.totalBytes), 0);
    if (c.name == "every row unlike the one before")
      for (uint64_t row = 0; row < geometry.paddedRows; row += 2) bitmap[row * geometry.rowBytes] = 0x80;
    for (const uint32_t row : c.changed) bitmap[row * geometry.rowBytes] = 0x81;
    byteSink out = kNoDescriptor;
    ASSERT_EQ(downloadGraphic(&out, bitmap.data(), geometry), 0) << c.name;

    std::string whole(static_cast<size_t>(GRFCompressBound(geometry.totalBytes, geometry.rowBytes)), '\0');
    uint64_t length = 0;
    GRFDataCompress(bitmap.data(), geometry.totalBytes, geometry.rowBytes,
                    reinterpret_cast<unsigned char*>(whole.data()), &length);
    whole.resize(static_cast<size_t>(length));
    const std::string header = std::string("~DG") + kStoredGraphicName + "," +
                               std::to_string(geometry.totalBytes) + "," + std::to_string(geometry.rowBytes) +
                               ",";
    EXPECT_EQ(taken(&out), header + whole) << c.name;
  }
}

// A sink with a descriptor writes the whole text there, and a failed write is kept as the sink's error.
TEST(Sinks, DescriptorGetsEveryByteAndKeepsTheFirstError) {
  const pbmPage page = patternPage(1664, 700, 45);  // text larger than one stretch of rows
  const pageGeometry geometry = computePageGeometry(page.width, page.height);
  const bytes bitmap = paddedBitmap(page, 0x00);
  byteSink kept = kNoDescriptor;
  ASSERT_EQ(downloadGraphic(&kept, bitmap.data(), geometry), 0);

  const std::string path = temporaryPath("sink");
  byteSink toFile = kNoDescriptor;
  toFile.fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(toFile.fd, 0);
  ASSERT_EQ(downloadGraphic(&toFile, bitmap.data(), geometry), 0);
  EXPECT_EQ(flushSink(&toFile), 0);
  close(toFile.fd);
  releaseSink(&toFile);
  EXPECT_EQ(readFile(path), taken(&kept));
  unlink(path.c_str());

  byteSink full = kNoDescriptor;
  full.fd = open("/dev/full", O_WRONLY);
  ASSERT_GE(full.fd, 0);
  outputCommand(&full, btStartFormat);
  EXPECT_EQ(flushSink(&full), ENOSPC);
  outputCommand(&full, btEndFormat);
  EXPECT_EQ(full.length, 0u);
  EXPECT_EQ(flushSink(&full), ENOSPC);
  close(full.fd);
  releaseSink(&full);
}

}  // namespace
