// SPDX-License-Identifier: Apache-2.0
// Bad input of every kind: each ends with at most one log line, status 0 or 1, and printer data in which
// every started download is complete and followed by a format.
#include <gtest/gtest.h>

#include <string>

#include "support/Expected.h"
#include "support/PrinterData.h"
#include "support/Raster.h"

namespace {

std::string rowsOf(const pbmPage& page) { return std::string(page.bits.begin(), page.bits.end()); }

const pbmPage kPage = patternPage(40, 8, 11);

cups_page_header2_t header(unsigned width, unsigned height, unsigned bitsPerPixel = 1,
                           cups_cspace_t space = CUPS_CSPACE_K) {
  cups_page_header2_t h = oneBitHeader(width, height);
  h.cupsBitsPerPixel = bitsPerPixel;
  h.cupsBitsPerColor = bitsPerPixel >= 8 ? 8 : bitsPerPixel;
  h.cupsColorSpace = space;
  h.cupsBytesPerLine = static_cast<unsigned>((static_cast<uint64_t>(width) * bitsPerPixel + 7) / 8);
  return h;
}

// A good first page, then the page under test: what was accepted before it must stay intact.
std::string afterGoodPage(const cups_page_header2_t& bad, const std::string& data) {
  return rawRaster({{oneBitHeader(40, 8), rowsOf(kPage)}, {bad, data}});
}

// The first page of every case is the same good page: its bitmap must come through intact.
void expectFirstPage(const downloadedPage& page) {
  if (page.rowBytes != 8) return;  // a case whose only page is not the good one
  bytes bitmap;
  ASSERT_TRUE(referenceDecode(page.text, 8, 32, &bitmap));
  const bytes zeroFill = paddedBitmap(kPage, 0x00), inkFill = paddedBitmap(kPage, 0xFF);
  EXPECT_TRUE(bitmap == zeroFill || bitmap == inkFill);
}

struct badInput {
  std::string name;
  std::string raster;
  std::string options;
  std::string ppd;
  int status;
  std::string err;
  size_t pages;
};

void PrintTo(const badInput& c, std::ostream* os) { *os << c.name; }

class BadInput : public testing::TestWithParam<badInput> {};

TEST_P(BadInput, EndsCleanly) {
  const badInput& c = GetParam();
  const processResult r = runFilter(c.raster, c.options, c.ppd);
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.err, c.err);
  const printerData data = splitPrinterData(r.out);
  ASSERT_TRUE(data.wellFormed);
  ASSERT_EQ(data.pages.size(), c.pages);
  for (const auto& page : data.pages) {
    bytes bitmap;
    ASSERT_GT(page.rowBytes, 0);
    if (page.totalBytes > (1 << 20)) continue;  // the reference reader is too slow for the largest page
    EXPECT_TRUE(referenceDecode(page.text, static_cast<size_t>(page.rowBytes),
                                static_cast<size_t>(page.totalBytes / page.rowBytes), &bitmap));
    EXPECT_EQ(page.format.substr(page.format.size() - kExpectedDeletion.size()), kExpectedDeletion);
  }
  if (c.pages > 0) expectFirstPage(data.pages[0]);
}

std::vector<badInput> cases() {
  const std::string good = rawRaster({{oneBitHeader(40, 8), rowsOf(kPage)}});
  const std::string sync = good.substr(0, 4);
  const std::string ppd = TEST_PPD_PATH;
  const std::string noPages = "ERROR: No pages found!\n", ready = "INFO: Ready to print.\n";

  cups_page_header2_t wideLine = oneBitHeader(40, 8);
  wideLine.cupsBytesPerLine = 9;
  cups_page_header2_t narrowLine = oneBitHeader(40, 8);
  narrowLine.cupsBytesPerLine = 3;
  cups_page_header2_t greyShortLine = header(40, 8, 8);
  greyShortLine.cupsBytesPerLine = 39;
  cups_page_header2_t greyNoWidth = header(0, 8, 8);
  greyNoWidth.cupsBytesPerLine = 8;
  cups_page_header2_t greyHugeLine = header(8, 8, 8);
  greyHugeLine.cupsBytesPerLine = 1u << 30;

  return {
      {"empty stream", "", "", ppd, 1, noPages, 0},
      {"not a raster stream", "%!PS-Adobe-3.0\nshowpage\n", "", ppd, 1, noPages, 0},
      {"sync word only", sync, "", ppd, 1, noPages, 0},
      {"truncated in the first header", good.substr(0, 900), "", ppd, 1, noPages, 0},
      {"truncated in a later header", good + good.substr(4, 900), "", ppd, 0, ready, 1},
      {"truncated in a row", afterGoodPage(oneBitHeader(40, 8), rowsOf(kPage).substr(0, 13)), "", ppd, 0,
       ready, 2},
      {"zero height", rawRaster({{header(40, 0), ""}}), "", ppd, 1, noPages, 0},
      {"one pixel", rawRaster({{header(1, 1), "\x80"}}), "", ppd, 0, ready, 1},
      {"width of 4294967295", afterGoodPage(header(4294967295u, 8), ""), "", ppd, 1,
       "ERROR: Page 2 is too large: 17179869184 bytes of bitmap, at most 134217728\n", 1},
      {"height of 4294967295", afterGoodPage(header(8, 4294967295u), ""), "", ppd, 1,
       "ERROR: Page 2 is too large: 17179869184 bytes of bitmap, at most 134217728\n", 1},
      {"bitmap one row past the limit", afterGoodPage(header(32768, 32769), ""), "", ppd, 1,
       "ERROR: Page 2 is too large: 134348800 bytes of bitmap, at most 134217728\n", 1},
      {"bitmap at the limit", afterGoodPage(header(32768, 32768), ""), "", ppd, 0, ready, 2},
      {"bytes per line past the row", afterGoodPage(wideLine, std::string(72, 'x')), "", ppd, 1,
       "ERROR: Page 2 has 9 bytes per line, wrong for 40 pixels of 1 bits\n", 1},
      {"bytes per line short of the width", afterGoodPage(narrowLine, std::string(24, '\xAA')), "", ppd, 0,
       ready, 2},
      {"2-bit black", afterGoodPage(header(40, 8, 2), std::string(80, 'x')), "", ppd, 1,
       "ERROR: Page 2 has an unsupported colour format: 2 bits per pixel, colour space 3\n", 1},
      {"16-bit black", afterGoodPage(header(40, 8, 16), std::string(640, 'x')), "", ppd, 1,
       "ERROR: Page 2 has an unsupported colour format: 16 bits per pixel, colour space 3\n", 1},
      {"8-bit RGB", afterGoodPage(header(40, 8, 8, CUPS_CSPACE_RGB), std::string(320, 'x')), "", ppd, 1,
       "ERROR: Page 2 has an unsupported colour format: 8 bits per pixel, colour space 1\n", 1},
      {"24-bit RGB", afterGoodPage(header(40, 8, 24, CUPS_CSPACE_RGB), std::string(960, 'x')), "", ppd, 1,
       "ERROR: Page 2 has an unsupported colour format: 24 bits per pixel, colour space 1\n", 1},
      {"grey line shorter than its width", afterGoodPage(greyShortLine, std::string(312, 'x')), "", ppd, 1,
       "ERROR: Page 2 has 39 bytes per line, wrong for 40 pixels of 8 bits\n", 1},
      {"grey page of width 0", afterGoodPage(greyNoWidth, std::string(64, 'x')), "", ppd, 1,
       "ERROR: Page 2 has 8 bytes per line, wrong for 0 pixels of 8 bits\n", 1},
      {"grey line of 1 GiB for 8 pixels", afterGoodPage(greyHugeLine, std::string(64, 'x')), "", ppd, 1,
       "ERROR: Page 2 has 1073741824 bytes per line, wrong for 8 pixels of 8 bits\n", 1},
      {"no PPD", good, "Darkness=10", "", 0, ready, 1},
      {"missing PPD", good, "", "/nonexistent/queue.ppd", 0,
       "WARNING: Unable to open the PPD file '/nonexistent/queue.ppd': the job's options are not applied.\n" +
           ready,
       1},
      {"PPD that is a folder", good, "", TEST_DATA_DIR, 0,
       "WARNING: Unable to open the PPD file '" TEST_DATA_DIR "': the job's options are not applied.\n" +
           ready,
       1},
      {"malformed PPD", good, "", TEST_DATA_DIR "/malformed.ppd", 0, ready, 1},
      {"choices outside every table", good, "", TEST_DATA_DIR "/odd-choices.ppd", 0, ready, 1},
      {"odd quoting", good, "Darkness='20 Mirror=\"1 PrintSpeed={4 \\", ppd, 0, ready, 1},
      {"option without a value", good, "Darkness= =5 Inverse", ppd, 0, ready, 1},
      // Found by fuzzing: a header whose line size the CUPS reader reserves (4 GiB) before the filter
      // sees it. The reservation is never touched and the job ends without a page.
      {"header claiming a 4 GiB line", readFile(TEST_DATA_DIR "/regressions/reader-reserves-4gib-line.ras"),
       "", ppd, 1, noPages, 0},
      // Found by fuzzing: a colour space outside the enumeration was read as one.
      {"colour space outside the enumeration",
       readFile(TEST_DATA_DIR "/regressions/colour-space-outside-enum.ras"), "", ppd, 1,
       "ERROR: Page 1 has an unsupported colour format: 8 bits per pixel, colour space 16318210\n", 0},
  };
}

INSTANTIATE_TEST_SUITE_P(Table, BadInput, testing::ValuesIn(cases()));

}  // namespace
