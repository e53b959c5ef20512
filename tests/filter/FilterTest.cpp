// SPDX-License-Identifier: Apache-2.0
// The filter run as the scheduler runs it: arguments, PPD, raster in; printer data, log line, status out.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/Expected.h"
#include "support/PrinterData.h"
#include "support/Raster.h"

namespace {

const std::string kUsage = "ERROR: rastertoxxx job-id user title copies options [file]\n";

// Each downloaded page must carry the page's geometry and the canonical text of its padded bitmap.
void expectPage(const downloadedPage& got, const pbmPage& page, unsigned char fill) {
  const bytes bitmap = paddedBitmap(page, fill);
  const long rowBytes = (page.width + 31) / 32 * 4;
  EXPECT_EQ(got.rowBytes, rowBytes);
  EXPECT_EQ(got.totalBytes, static_cast<long>(bitmap.size()));
  EXPECT_EQ(got.text, referenceCompress(bitmap, static_cast<size_t>(rowBytes)));
  bytes decoded;
  ASSERT_TRUE(referenceDecode(got.text, static_cast<size_t>(rowBytes), bitmap.size() / rowBytes, &decoded));
  EXPECT_EQ(decoded, bitmap);
}

TEST(FilterArguments, WrongCountGivesTheUsageLine) {
  for (size_t count : {1u, 2u, 5u, 8u}) {
    std::vector<std::string> argv = {RASTERTOXXX_PATH, "1", "user", "title", "1", "", "file", "extra"};
    argv.resize(count);
    const processResult r = runProcess(argv, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, kUsage);
    EXPECT_EQ(r.out, "");
  }
}

TEST(FilterArguments, UnopenableFileIsReportedThroughPerror) {
  const processResult r = runProcess({RASTERTOXXX_PATH, "1", "u", "t", "1", "", "/nonexistent/job.ras"}, "");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "ERROR: Unable to open raster file - : No such file or directory\n");
  EXPECT_EQ(r.out, "");
}

TEST(FilterInput, EmptyStreamsHaveNoPages) {
  for (const std::string& raster : {std::string(), rasterFromPbm({}), std::string("not a raster stream")}) {
    const processResult r = runFilter(raster);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: No pages found!\n");
    EXPECT_EQ(r.out, "");
  }
}

TEST(FilterPages, PageBecomesItsPaddedBitmapAsGrfText) {
  const pbmPage page = patternPage(203, 100, 1);
  const processResult r = runFilter(rasterFromPbm({page}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "INFO: Ready to print.\n");
  const printerData data = splitPrinterData(r.out);
  ASSERT_TRUE(data.wellFormed);
  ASSERT_EQ(data.pages.size(), 1u);
  EXPECT_NE(r.out.find("~DG000.GRF,3584,28,"), std::string::npos);
  expectPage(data.pages[0], page, 0x00);
}

TEST(FilterPages, WidthsAndHeightsAtAndAroundThePadding) {
  for (unsigned width : {1u, 31u, 32u, 33u, 832u, 833u}) {
    for (unsigned height : {1u, 32u, 33u}) {
      const pbmPage page = patternPage(width, height, width * 100 + height);
      const processResult r = runFilter(rasterFromPbm({page}));
      ASSERT_EQ(r.status, 0) << r.err;
      const printerData data = splitPrinterData(r.out);
      ASSERT_EQ(data.pages.size(), 1u);
      expectPage(data.pages[0], page, 0x00);
    }
  }
}

// Only a negative image starts from ink (the page format inverts it back); without a PPD, or with an
// Inverse choice other than 0 and 1, bytes no row supplied print blank.
TEST(FilterPages, OnlyInversePrintingFillsThePaddingWithInk) {
  const pbmPage page = patternPage(203, 100, 2);
  const std::string raster = rasterFromPbm({page});
  const struct {
    std::string options, ppd;
    unsigned char fill;
  } cases[] = {{"Inverse=1", TEST_PPD_PATH, 0xFF},
               {"Inverse=0", TEST_PPD_PATH, 0x00},
               {"", "", 0x00},
               {"", TEST_DATA_DIR "/odd-choices.ppd", 0x00}};
  for (const auto& c : cases) {
    const processResult r = runFilter(raster, c.options, c.ppd);
    ASSERT_EQ(r.status, 0);
    const printerData data = splitPrinterData(r.out);
    ASSERT_EQ(data.pages.size(), 1u);
    expectPage(data.pages[0], page, c.fill);
  }
}

TEST(FilterPages, PagesInOrderFromStandardInputOrAFile) {
  const std::vector<pbmPage> pages = {patternPage(203, 100, 3), patternPage(832, 1218, 4),
                                      patternPage(64, 40, 5)};
  const std::string raster = rasterFromPbm(pages);
  const processResult fromStdin = runFilter(raster);
  const processResult fromFile = runFilter(raster, "", TEST_PPD_PATH, true);
  EXPECT_EQ(fromStdin.status, 0);
  EXPECT_EQ(fromFile.status, 0);
  EXPECT_EQ(fromFile.out, fromStdin.out);
  EXPECT_EQ(fromFile.err, "INFO: Ready to print.\n");
  const printerData data = splitPrinterData(fromStdin.out);
  ASSERT_EQ(data.pages.size(), pages.size());
  for (size_t i = 0; i < pages.size(); ++i) expectPage(data.pages[i], pages[i], 0x00);
}

std::string rows(const pbmPage& page) { return std::string(page.bits.begin(), page.bits.end()); }

TEST(FilterPages, RowsMissingAtTheEndPrintBlank) {
  pbmPage page = patternPage(64, 10, 6);
  cups_page_header2_t header = oneBitHeader(64, 10);
  const std::string raster = rawRaster({{header, rows(page).substr(0, 8 * 4 + 3)}});
  std::fill(page.bits.begin() + 8 * 4, page.bits.end(), 0);  // the partly read row is blank too
  for (const char* ppd : {TEST_PPD_PATH, ""}) {
    const processResult r = runFilter(raster, "", ppd);
    EXPECT_EQ(r.status, 0);
    const printerData data = splitPrinterData(r.out);
    ASSERT_EQ(data.pages.size(), 1u);
    expectPage(data.pages[0], page, 0x00);
  }
}

// A header with zero height or zero bytes per line ends the job as the end of the stream would.
TEST(FilterPages, ZeroSizedHeaderEndsTheJob) {
  const pbmPage page = patternPage(40, 8, 7);
  cups_page_header2_t zeroHeight = oneBitHeader(40, 0);
  cups_page_header2_t zeroLine = oneBitHeader(40, 8);
  zeroLine.cupsBytesPerLine = 0;
  for (const auto& bad : {zeroHeight, zeroLine}) {
    const std::string raster =
        rawRaster({{oneBitHeader(40, 8), rows(page)}, {bad, ""}, {oneBitHeader(40, 8), rows(page)}});
    const processResult r = runFilter(raster);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "INFO: Ready to print.\n");
    EXPECT_EQ(splitPrinterData(r.out).pages.size(), 1u);
    const processResult alone = runFilter(rawRaster({{bad, ""}}));
    EXPECT_EQ(alone.status, 1);
    EXPECT_EQ(alone.err, "ERROR: No pages found!\n");
    EXPECT_EQ(alone.out, "");
  }
}

// A whole job is the prologue once, then per page its download, its text and its format, nothing else.
TEST(FilterJob, PrologueOnceThenEachPageAndItsFormat) {
  const std::vector<pbmPage> pages = {patternPage(400, 300, 9), patternPage(203, 100, 10)};
  const std::string raster = rasterFromPbm(pages);
  const struct {
    std::string options, ppd, prologue, format400;
  } cases[] = {
      {"", TEST_PPD_PATH, expectedPrologue({.tracking = "^MNM", .mediaType = "^MTD", .speed = "^PR4,4"}),
       expectedPageFormat(400, 300)},
      {"TearoffPosition=18 PrintPosition=25 PageType=2 MediaType=0 ImageControl=1 Mirror=1 PrintSpeed=5 "
       "Darkness=30 OutMode=2 Inverse=1 Pause=2",
       TEST_PPD_PATH, expectedPrologue({"~TA-008", "^LT20", "^MNW", "^MTT", "^POI", "^PMY", "", "~SD30"}),
       expectedPageFormat(400, 300, {"^MMP", true, "^PQ1,1,1,N"})},
      {"Darkness=10", "", expectedPrologue({"~TA-084", "^LT-84", "", "", "", "", "", ""}),
       expectedPageFormat(400, 300, {.mode = ""})}};
  for (const auto& c : cases) {
    const processResult r = runFilter(raster, c.options, c.ppd);
    ASSERT_EQ(r.status, 0) << r.err;
    const printerData data = splitPrinterData(r.out);
    EXPECT_EQ(data.prologue, c.prologue);
    ASSERT_EQ(data.pages.size(), 2u);
    EXPECT_EQ(data.pages[0].format, c.format400);
    std::string format203 = c.format400;
    for (const auto& [from, to] : {std::pair{"^PW400^LL300", "^PW203^LL100"},
                                   {"^FT0,320", "^FT0,128"},
                                   {"^GB416,320,208", "^GB224,128,112"}}) {
      const size_t at = format203.find(from);
      if (at != std::string::npos) format203.replace(at, std::string(from).size(), to);
    }
    EXPECT_EQ(data.pages[1].format, format203);
    for (const auto& page : data.pages) {
      EXPECT_EQ(page.text.find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYghijklmnopqrstuvwxyz,!:\r\n"),
                std::string::npos);
    }
    for (size_t i = 1; i < r.out.size(); ++i) {
      const unsigned char b = static_cast<unsigned char>(r.out[i]);
      EXPECT_TRUE((b >= 0x20 && b <= 0x7E) || b == '\r' || b == '\n') << "byte " << i;
    }
  }
}

}  // namespace
