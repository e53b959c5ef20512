// SPDX-License-Identifier: Apache-2.0
// The generated PPD files, read through the CUPS library as the filter and the rasterisers read them.
#include <cups/ppd.h>
#include <cups/raster.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "filter/filter.h"

namespace {

struct model {
  const char* file;
  int modelNumber;
  unsigned resolution;
};
const model kModels[] = {
    {"glp152.ppd", 152, 152}, {"glp203.ppd", 203, 203}, {"glp300.ppd", 300, 300}, {"glp600.ppd", 600, 600}};

void PrintTo(const model& m, std::ostream* out) { *out << m.file; }

std::string pathOf(const model& m) { return std::string(LABEL_PPD_DIR) + "/" + m.file; }

class GeneratedPpd : public testing::TestWithParam<model> {
 protected:
  void SetUp() override {
    ppd = ppdOpenFile(pathOf(GetParam()).c_str());
    ASSERT_NE(ppd, nullptr) << pathOf(GetParam());
  }
  void TearDown() override {
    if (ppd != nullptr) ppdClose(ppd);
  }
  ppd_file_t* ppd = nullptr;
};

// Each option's choice keywords must be decimal numbers the command tables have an entry for.
TEST_P(GeneratedPpd, ChoiceKeywordsAreDecimalTableIndexes) {
  const struct {
    const char* option;
    int lowest, highest;
    bool every;  // every value in the range is offered
  } cases[] = {{"Darkness", 0, 30, true},         {"PrintSpeed", 0, 5, true},
               {"MediaType", 0, 2, true},         {"PageType", 0, 2, true},
               {"OutMode", 0, 2, true},           {"Pause", 0, 2, true},
               {"ImageControl", 0, 1, true},      {"Mirror", 0, 1, true},
               {"Inverse", 0, 1, true},           {"PrintPosition", 0, 40, false},
               {"TearoffPosition", 0, 40, false}, {"BackFeed", 2, 2, true},
               {"PageSize", 1, 22, true}};
  for (const auto& c : cases) {
    ppd_option_t* option = ppdFindOption(ppd, c.option);
    ASSERT_NE(option, nullptr) << c.option;
    std::set<int> values;
    std::set<std::string> texts;
    for (int i = 0; i < option->num_choices; ++i) {
      const char* keyword = option->choices[i].choice;
      if (std::strcmp(keyword, "Custom") == 0 && std::strcmp(c.option, "PageSize") == 0) continue;
      ASSERT_GT(std::strlen(keyword), 0u) << c.option;
      EXPECT_EQ(std::strspn(keyword, "0123456789"), std::strlen(keyword)) << c.option << " " << keyword;
      const int value = std::atoi(keyword);
      EXPECT_GE(value, c.lowest) << c.option;
      EXPECT_LE(value, c.highest) << c.option;
      EXPECT_GT(std::strlen(option->choices[i].text), 0u) << c.option << " " << keyword;
      EXPECT_TRUE(texts.insert(option->choices[i].text).second) << c.option << ": text used twice";
      values.insert(value);
    }
    if (c.every) {
      EXPECT_EQ(values.size(), static_cast<size_t>(c.highest - c.lowest + 1)) << c.option;
    }
  }
}

// Positions must offer steps on both sides of 20, no adjustment.
TEST_P(GeneratedPpd, PositionsReachBothSidesOfNoAdjustment) {
  for (const char* name : {"PrintPosition", "TearoffPosition"}) {
    ppd_option_t* option = ppdFindOption(ppd, name);
    ASSERT_NE(option, nullptr);
    for (const char* keyword : {"0", "19", "20", "21", "40"})
      EXPECT_NE(ppdFindChoice(option, keyword), nullptr) << name << " " << keyword;
  }
}

// The defaults, as the filter reads them, print a normal label and change nothing the printer is set to
// where the commands allow leaving it alone.
TEST_P(GeneratedPpd, DefaultsPrintANormalLabel) {
  setenv("PPD", pathOf(GetParam()).c_str(), 1);
  settings_ s;
  initializeSettings("", &s);
  unsetenv("PPD");
  EXPECT_EQ(s.modelNumber, GetParam().modelNumber);
  EXPECT_EQ(s.papersize, 1);         // 4 x 6 in
  EXPECT_EQ(s.printposition, 20);    // no adjustment
  EXPECT_EQ(s.tearoffposition, 20);  // no adjustment
  EXPECT_EQ(s.backfeed, 2);
  EXPECT_EQ(s.pagetype, 2);   // gap between labels
  EXPECT_EQ(s.printtype, 2);  // the printer's media type
  EXPECT_EQ(s.imagecontrol, 0);
  EXPECT_EQ(s.mirror, 0);
  EXPECT_EQ(s.inverse, 0);
  EXPECT_EQ(s.printspeed, 5);  // the printer's speed
  EXPECT_EQ(s.pause, 0);
  EXPECT_EQ(s.density, 15);
  EXPECT_EQ(s.outpagemode, 0);  // tear off
}

// What the rasterisers make of the defaults: one bit of black per dot at the model's resolution, the
// filter's own raster type and copies made before the filter.
TEST_P(GeneratedPpd, RasterIsOneBitBlackAtTheModelResolution) {
  ppdMarkDefaults(ppd);
  cups_page_header2_t header;
  ASSERT_EQ(cupsRasterInterpretPPD(&header, ppd, 0, nullptr, nullptr), 0) << cupsRasterErrorString();
  EXPECT_EQ(header.cupsColorSpace, CUPS_CSPACE_K);
  EXPECT_EQ(header.cupsBitsPerColor, 1u);
  EXPECT_EQ(header.cupsBitsPerPixel, 1u);
  EXPECT_EQ(header.HWResolution[0], GetParam().resolution);
  EXPECT_EQ(header.HWResolution[1], GetParam().resolution);
  EXPECT_EQ(header.cupsWidth, 4 * GetParam().resolution);
  EXPECT_EQ(header.cupsHeight, 6 * GetParam().resolution);
  EXPECT_EQ(header.cupsBytesPerLine, (header.cupsWidth + 7) / 8);

  ASSERT_EQ(ppd->num_filters, 1);
  EXPECT_STREQ(ppd->filters[0], "application/vnd.cups-raster 0 rastertoxxx");
  EXPECT_EQ(ppd->manual_copies, 1);
  EXPECT_EQ(ppd->color_device, 0);
}

// Labels print edge to edge: every size has zero margins; custom sizes stay within a label's range.
TEST_P(GeneratedPpd, LabelSizesHaveNoMargins) {
  const struct {
    const char* keyword;
    float width, length;
  } sizes[] = {{"1", 288, 432}, {"2", 432, 288}, {"3", 288, 216},  {"4", 288, 144},
               {"5", 144, 72},  {"6", 162, 90},  {"7", 283, 425},  {"8", 288, 288},
               {"9", 288, 576}, {"13", 162, 36}, {"16", 283, 142}, {"22", 108, 71}};
  for (const auto& s : sizes) {
    ppd_size_t* size = ppdPageSize(ppd, s.keyword);
    ASSERT_NE(size, nullptr) << s.keyword;
    EXPECT_NEAR(size->width, s.width, 0.5) << s.keyword;
    EXPECT_NEAR(size->length, s.length, 0.5) << s.keyword;
    EXPECT_EQ(size->left, 0) << s.keyword;
    EXPECT_EQ(size->bottom, 0) << s.keyword;
    EXPECT_EQ(size->right, size->width) << s.keyword;
    EXPECT_EQ(size->top, size->length) << s.keyword;
  }
  EXPECT_EQ(ppd->variable_sizes, 1);
  EXPECT_GT(ppd->custom_min[0], 0);
  EXPECT_GT(ppd->custom_min[1], 0);
  // Every model's head takes 4 in wide labels, and is no wider than 4.25 in.
  EXPECT_GE(ppd->custom_max[0], 288);
  EXPECT_LE(ppd->custom_max[0], 306);
  for (float margin : ppd->custom_margins) EXPECT_EQ(margin, 0);
}

INSTANTIATE_TEST_SUITE_P(Models, GeneratedPpd, testing::ValuesIn(kModels),
                         [](const testing::TestParamInfo<model>& info) {
                           return "Model" + std::to_string(info.param.resolution);
                         });

}  // namespace
