// SPDX-License-Identifier: Apache-2.0
// The job prologue and the page format, byte for byte.
#include <gtest/gtest.h>

#include <string>

#include "commands/commands.h"
#include "support/Capture.h"

namespace {

settings_ defaults() {
  settings_ s{};
  s.tearoffposition = s.printposition = 20;
  s.pagetype = 1;
  s.printtype = 1;
  s.printspeed = 2;
  s.density = 15;
  return s;
}

std::string prologue(const settings_& s) {
  return captureStdout([&] { jobSetup(s); });
}

std::string pageFormat(const settings_& s, int32_t width, int32_t height) {
  const int32_t rowBytes = (width + 31) / 32 * 4, rows = (height + 31) / 32 * 32;
  return captureStdout([&] { endPage(s, width, height, rowBytes, rows); });
}

bool printableOrPrefix(const std::string& bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if ((c < 0x20 || c > 0x7E) && !(i == 0 && c == 0x10)) return false;
  }
  return true;
}

TEST(JobSetup, WorkedExample) {
  settings_ s{};
  s.tearoffposition = 18;
  s.printposition = 25;
  s.pagetype = 2;
  s.printtype = 1;
  s.imagecontrol = 0;
  s.mirror = 0;
  s.printspeed = 2;
  s.density = 15;
  s.backfeed = 3;
  const std::string expected =
      "\x10"
      "CT~~CD,~CC^~CT~^XA~TA-008~JSN^LT20^MNW^MTD^PON^PMN^LH0,0^JMA^PR4,4~SD15^JUS^LRN^CI0^XZ";
  EXPECT_EQ(expected.size(), 87u);
  EXPECT_EQ(prologue(s), expected);
}

TEST(JobSetup, TearoffAndTopAdjustments) {
  const struct {
    int value;
    const char* tearoff;
    const char* top;
  } cases[] = {{20, "~TA000", "^LT0"},
               {21, "~TA004", "^LT4"},
               {23, "~TA012", "^LT12"},
               {25, "~TA020", "^LT20"},
               {40, "~TA080", "^LT80"},
               {270, "~TA1000", "^LT1000"},
               {19, "~TA-004", "^LT-4"},
               {0, "~TA-080", "^LT-80"},
               {-1, "~TA-084", "^LT-84"},
               {2147483647, "~TA8589934508", "^LT8589934508"},
               {-2147483647 - 1, "~TA-8589934672", "^LT-8589934672"}};
  for (const auto& c : cases) {
    settings_ s = defaults();
    s.tearoffposition = c.value;
    s.printposition = c.value;
    const std::string out = prologue(s);
    EXPECT_NE(out.find(std::string("^XA") + c.tearoff + "~JSN" + c.top + "^MNM"), std::string::npos)
        << c.value << ": " << out;
  }
}

// Each table-driven step: the setting's value and the bytes that stand between its neighbours.
TEST(JobSetup, TableStepsAndValuesOutsideTheTables) {
  struct stepCase {
    int settings_::*field;
    int value;
    std::string expected;  // the part of the prologue between "^LT0" and "^LH0,0" or "^JMA" and "^JUS"
  };
  const std::string middle = "^MNM^MTD^PON^PMN";
  const std::string tail = "^PR4,4~SD15";
  const stepCase cases[] = {{&settings_::pagetype, 0, "^MNN^MTD^PON^PMN"},
                            {&settings_::pagetype, 2, "^MNW^MTD^PON^PMN"},
                            {&settings_::pagetype, 3, "^MTD^PON^PMN"},
                            {&settings_::pagetype, -1, "^MTD^PON^PMN"},
                            {&settings_::printtype, 0, "^MNM^MTT^PON^PMN"},
                            {&settings_::printtype, 2, "^MNM^PON^PMN"},
                            {&settings_::printtype, -1, "^MNM^PON^PMN"},
                            {&settings_::imagecontrol, 1, "^MNM^MTD^POI^PMN"},
                            {&settings_::imagecontrol, 2, "^MNM^MTD^PMN"},
                            {&settings_::imagecontrol, -1, "^MNM^MTD^PMN"},
                            {&settings_::mirror, 1, "^MNM^MTD^PON^PMY"},
                            {&settings_::mirror, -1, "^MNM^MTD^PON"},
                            {&settings_::printspeed, 0, "^PR2,2~SD15"},
                            {&settings_::printspeed, 4, "^PR6,6~SD15"},
                            {&settings_::printspeed, 5, "~SD15"},
                            {&settings_::printspeed, 6, "~SD15"},
                            {&settings_::printspeed, -1, "~SD15"},
                            {&settings_::density, 0, "^PR4,4~SD0"},
                            {&settings_::density, 9, "^PR4,4~SD9"},
                            {&settings_::density, 10, "^PR4,4~SD10"},
                            {&settings_::density, 30, "^PR4,4~SD30"},
                            {&settings_::density, 31, "^PR4,4"},
                            {&settings_::density, -1, "^PR4,4"}};
  for (const auto& c : cases) {
    settings_ s = defaults();
    s.*c.field = c.value;
    const std::string out = prologue(s);
    const bool isTail = c.field == &settings_::printspeed || c.field == &settings_::density;
    const std::string expected = isTail ? "^LT0" + middle + "^LH0,0^JMA" + c.expected + "^JUS"
                                        : "^LT0" + c.expected + "^LH0,0^JMA" + tail + "^JUS";
    EXPECT_NE(out.find(expected), std::string::npos) << c.value << ": " << out;
  }
}

TEST(JobSetup, BackFeedSettingNeverChangesThePrologue) {
  const std::string reference = prologue(defaults());
  for (int backfeed : {-1, 0, 1, 2, 3, 99}) {
    settings_ s = defaults();
    s.backfeed = backfeed;
    EXPECT_EQ(prologue(s), reference);
  }
  EXPECT_TRUE(printableOrPrefix(reference));
  EXPECT_EQ(reference[0], '\x10');
}

TEST(EndPage, WorkedExamples) {
  const struct {
    int outpagemode, inverse, pause;
    std::string expected;
  } cases[] = {
      {0, 1, 2,
       "^XA^MMT^PW400^LL300^LS0^FT0,320^XG000.GRF,1,1^FS^LRY^FO0,0^GB416,320,208^FS^LRN^PQ1,1,1,N^XZ^XA^"
       "ID000.GRF^FS^XZ"},
      {2, 0, 0, "^XA^MMP^PW400^LL300^LS0^FT0,320^XG000.GRF,1,1^FS^PQ1,0,1,Y^XZ^XA^ID000.GRF^FS^XZ"},
      {1, -1, 1, "^XA^MMR^PW400^LL300^LS0^FT0,320^XG000.GRF,1,1^FS^PQ1,0,1,Y^PP^XZ^XA^ID000.GRF^FS^XZ"},
      {0, 2, 3, "^XA^MMT^PW400^LL300^LS0^FT0,320^XG000.GRF,1,1^FS^PQ1,0,1,Y^XZ^XA^ID000.GRF^FS^XZ"},
      {-1, 0, -1, "^XA^PW400^LL300^LS0^FT0,320^XG000.GRF,1,1^FS^PQ1,0,1,Y^XZ^XA^ID000.GRF^FS^XZ"},
      {3, 0, 0, "^XA^PW400^LL300^LS0^FT0,320^XG000.GRF,1,1^FS^PQ1,0,1,Y^XZ^XA^ID000.GRF^FS^XZ"},
  };
  for (const auto& c : cases) {
    settings_ s = defaults();
    s.outpagemode = c.outpagemode;
    s.inverse = c.inverse;
    s.pause = c.pause;
    const std::string out = pageFormat(s, 400, 300);
    EXPECT_EQ(out, c.expected);
    EXPECT_TRUE(printableOrPrefix(out) && out[0] != '\x10');
  }
  EXPECT_EQ(std::string(cases[0].expected).size(), 111u);
  EXPECT_EQ(std::string(cases[1].expected).size(), 80u);
  EXPECT_EQ(std::string(cases[2].expected).size(), 83u);
}

TEST(EndPage, SizesUseRasterAndPaddedDimensions) {
  settings_ s = defaults();
  s.inverse = 1;
  const std::string small = pageFormat(s, 203, 100);
  for (const char* part : {"^PW203", "^LL100", "^FT0,128", "^GB224,128,112"})
    EXPECT_NE(small.find(part), std::string::npos) << part;
  const std::string exact = pageFormat(s, 832, 1216);
  for (const char* part : {"^PW832", "^LL1216", "^FT0,1216", "^GB832,1216,416"})
    EXPECT_NE(exact.find(part), std::string::npos) << part;
}

TEST(Hooks, DoNothing) {
  EXPECT_EQ(captureStdout([] {
              pageSetup(defaults(), cups_page_header_t{});
              endJob(defaults());
              EXPECT_EQ(encode(nullptr, nullptr, 0), 1);
            }),
            "");
}

}  // namespace
