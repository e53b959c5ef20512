// SPDX-License-Identifier: Apache-2.0
// PDF labels through the print system's real filter chain (pdftopdf, a rasteriser, then rastertoxxx)
// as cupsfilter runs it for a generated PPD, with the uninstalled filter in a private program folder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/Expected.h"
#include "support/PrintSystem.h"
#include "support/Process.h"

namespace {

const std::string kPpd203 = std::string(LABEL_PPD_DIR) + "/glp203.ppd";
const std::string kPpd300 = std::string(LABEL_PPD_DIR) + "/glp300.ppd";

// The prologue of the 203 dpi model's defaults, and the page format of a 4 x 6 in label at 203 dpi.
const std::string kDefaultPrologue = expectedPrologue();
const std::string kShippingFormat = expectedPageFormat(812, 1218);

class FilterChain : public testing::Test {
 protected:
  void SetUp() override {
    directory = makeTemporaryDirectory("chain");
    ASSERT_FALSE(directory.empty());
    makeServerBin(directory + "/serverbin");
    configuration = directory + "/cups-files.conf";
    writeFile(configuration, "ServerBin " + directory + "/serverbin\n");
  }
  void TearDown() override { removeTree(directory); }

  // 'print()' - the printer data cupsfilter makes of 'pdf' for the queue's PPD and the job's options.
  processResult print(const std::string& ppd, const std::string& pdf,
                      const std::vector<std::string>& options) {
    std::vector<std::string> argv = {CUPSFILTER_PATH, "-p", ppd,  "-m",
                                     "printer/label", "-e", "-c", configuration};
    for (const auto& option : options) {
      argv.push_back("-o");
      argv.push_back(option);
    }
    argv.push_back(pdf);
    return runProcess(argv, "");
  }

  std::string directory;
  std::string configuration;
};

// The options reach the printer data through the chain, and the label decodes to the PDF's drawing:
// mirrored only by the page filters (for the print system's own boolean mirror), never by both them and
// the printer.
TEST_F(FilterChain, ShippingLabelCarriesTheOptionsAndTheDrawing) {
  const struct {
    const char* name;
    std::vector<std::string> options;
    std::string prologue;
    std::string format;
    bool pageMirrored;
  } cases[] = {
      {"defaults", {}, kDefaultPrologue, kShippingFormat, false},
      {"printer settings",
       {"Darkness=25", "PrintSpeed=2", "MediaType=1", "PageType=0", "TearoffPosition=18", "PrintPosition=25",
        "ImageControl=1", "Mirror=1"},
       expectedPrologue({"~TA-008", "^LT20", "^MNN", "^MTD", "^POI", "^PMY", "^PR4,4", "~SD25"}),
       kShippingFormat,
       false},
      {"page settings",
       {"OutMode=2", "Pause=2", "Inverse=1", "MediaType=0", "PrintSpeed=0", "Darkness=0"},
       expectedPrologue({.mediaType = "^MTT", .speed = "^PR2,2", .darkness = "~SD0"}),
       expectedPageFormat(812, 1218, {"^MMP", true, "^PQ1,1,1,N"}),
       false},
      {"system mirror", {"mirror"}, kDefaultPrologue, kShippingFormat, true},
  };

  monoImage reference;
  ASSERT_TRUE(renderPdfPage(SHIPPING_LABEL_PDF, 1, 203, &reference));
  ASSERT_EQ(reference.width, 812u);
  ASSERT_EQ(reference.height, 1218u);
  const monoImage flipped = mirrored(reference);

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const processResult r = print(kPpd203, SHIPPING_LABEL_PDF, c.options);
    ASSERT_EQ(r.status, 0) << r.err;
    const printerData data = splitPrinterData(r.out);
    ASSERT_TRUE(data.wellFormed);
    EXPECT_EQ(data.prologue, c.prologue);
    ASSERT_EQ(data.pages.size(), 1u);
    EXPECT_EQ(data.pages[0].format, c.format);
    EXPECT_EQ(data.pages[0].rowBytes, 104);
    EXPECT_EQ(data.pages[0].totalBytes, 104 * 1248);

    monoImage label;
    ASSERT_TRUE(decodeLabel(data.pages[0], 812, 1218, &label));
    const monoImage& expected = c.pageMirrored ? flipped : reference;
    const monoImage& other = c.pageMirrored ? reference : flipped;
    EXPECT_GT(inkCoverage(expected, label, 2), 0.99);  // ink wherever the PDF has ink
    EXPECT_GT(inkCoverage(label, expected, 2), 0.99);  // and nowhere else
    EXPECT_LT(inkCoverage(other, label, 2), 0.75);     // the other orientation does not match
  }
}

// One label per page, in order, at the model's resolution and the chosen size.
TEST_F(FilterChain, EachPageBecomesOneLabelInOrder) {
  const struct {
    std::string ppd;
    int dpi;
    std::string format;
  } cases[] = {
      {kPpd203, 203, expectedPageFormat(406, 203)},
      {kPpd300, 300, expectedPageFormat(600, 300)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ppd);
    const processResult r = print(c.ppd, NUMBERED_LABELS_PDF, {"PageSize=5"});
    ASSERT_EQ(r.status, 0) << r.err;
    const printerData data = splitPrinterData(r.out);
    ASSERT_TRUE(data.wellFormed);
    EXPECT_EQ(data.prologue, kDefaultPrologue);
    ASSERT_EQ(data.pages.size(), 3u);
    for (int page = 0; page < 3; ++page) {
      EXPECT_EQ(data.pages[page].format, c.format);
      monoImage label;
      ASSERT_TRUE(decodeLabel(data.pages[page], 2 * c.dpi, c.dpi, &label));
      bool mirror = true;
      EXPECT_EQ(readNumberedLabel(label, c.dpi, &mirror), page + 1);
      EXPECT_FALSE(mirror);
    }
  }
}

}  // namespace
