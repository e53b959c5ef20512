// SPDX-License-Identifier: Apache-2.0
// The settings record from the PPD and the job options, through the real CUPS library.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "filter/filter.h"
#include "support/Process.h"

namespace {

settings_ load(const char* ppd, const char* options) {
  if (ppd != nullptr)
    setenv("PPD", ppd, 1);
  else
    unsetenv("PPD");
  settings_ settings;
  initializeSettings(options, &settings);
  return settings;
}

TEST(InitializeSettings, PpdDefaultsFillEveryOptionField) {
  const settings_ s = load(TEST_PPD_PATH, "");
  EXPECT_EQ(s.modelNumber, 7);
  EXPECT_EQ(s.papersize, 2);
  EXPECT_EQ(s.printposition, 20);
  EXPECT_EQ(s.tearoffposition, 20);
  EXPECT_EQ(s.backfeed, 0);
  EXPECT_EQ(s.pagetype, 1);
  EXPECT_EQ(s.printtype, 1);
  EXPECT_EQ(s.imagecontrol, 0);
  EXPECT_EQ(s.mirror, 0);
  EXPECT_EQ(s.inverse, 0);
  EXPECT_EQ(s.printspeed, 2);
  EXPECT_EQ(s.pause, 0);
  EXPECT_EQ(s.density, 15);
  EXPECT_EQ(s.outpagemode, 0);
  EXPECT_EQ(s.bytesPerScanLine, 100);
  EXPECT_EQ(s.bytesPerScanLineStd, 100);
  EXPECT_EQ(s.pagewidth, 0.0f);
  EXPECT_EQ(s.printquality, 0);
  EXPECT_EQ(s.focusArea, 0);
}

TEST(InitializeSettings, JobOptionsOverrideTheDefaults) {
  const settings_ s = load(TEST_PPD_PATH,
                           "PageSize=1 PrintPosition=25 TearoffPosition=18 BackFeed=2 PageType=2 MediaType=0 "
                           "ImageControl=1 Mirror=1 Inverse=1 PrintSpeed=5 Pause=2 Darkness=30 OutMode=2");
  EXPECT_EQ(s.papersize, 1);
  EXPECT_EQ(s.printposition, 25);
  EXPECT_EQ(s.tearoffposition, 18);
  EXPECT_EQ(s.backfeed, 2);
  EXPECT_EQ(s.pagetype, 2);
  EXPECT_EQ(s.printtype, 0);
  EXPECT_EQ(s.imagecontrol, 1);
  EXPECT_EQ(s.mirror, 1);
  EXPECT_EQ(s.inverse, 1);
  EXPECT_EQ(s.printspeed, 5);
  EXPECT_EQ(s.pause, 2);
  EXPECT_EQ(s.density, 30);
  EXPECT_EQ(s.outpagemode, 2);
}

// The CUPS library keeps "mirror" in any case for its own option; the PPD's Mirror must still follow
// a job's choice keyword. A boolean is the print system's own page mirroring, done on the page before
// the filter: the printer must not mirror again, even when the PPD's default says so.
TEST(InitializeSettings, MirrorJobOptionReachesThePpdOption) {
  std::string ppd = readFile(TEST_PPD_PATH);
  const std::string defaultOff = "*DefaultMirror: 0";
  ASSERT_NE(ppd.find(defaultOff), std::string::npos);
  ppd.replace(ppd.find(defaultOff), defaultOff.size(), "*DefaultMirror: 1");
  const std::string mirroringPpd = temporaryPath("mirror-default.ppd");
  writeFile(mirroringPpd, ppd);

  const struct {
    const char* options;
    int mirror;           // with the PPD's default 0
    int mirrorByDefault;  // with the PPD's default 1
  } cases[] = {{"Mirror=1", 1, 1},    {"mirror=1", 1, 1},     {"Mirror=0", 0, 0},   {"MIRROR=0", 0, 0},
               {"MIRROR=true", 0, 0}, {"mirror", 0, 0},       {"mirror=yes", 0, 0}, {"Mirror=On", 0, 0},
               {"nomirror", 0, 0},    {"mirror=false", 0, 0}, {"Mirror=7", 0, 1},   {"", 0, 1}};
  for (const auto& c : cases) {
    EXPECT_EQ(load(TEST_PPD_PATH, c.options).mirror, c.mirror) << c.options;
    EXPECT_EQ(load(mirroringPpd.c_str(), c.options).mirror, c.mirrorByDefault) << c.options;
  }
  unlink(mirroringPpd.c_str());
}

TEST(InitializeSettings, UnknownChoicesAndOddQuotingKeepTheDefaults) {
  const settings_ s = load(TEST_PPD_PATH, "Darkness=99 PrintSpeed='4' Pause=\"1\" OutMode= Bogus=3");
  EXPECT_EQ(s.density, 15);
  EXPECT_EQ(s.printspeed, 4);
  EXPECT_EQ(s.pause, 1);
  EXPECT_EQ(s.outpagemode, 0);
}

TEST(InitializeSettings, WithoutAReadablePpdEveryOptionIsMinusOne) {
  for (const char* ppd : {static_cast<const char*>(nullptr), "/nonexistent/test.ppd", TEST_DATA_DIR}) {
    const settings_ s = load(ppd, "Darkness=10 Mirror=1");
    EXPECT_EQ(s.modelNumber, 0);
    for (int field : {s.papersize, s.printposition, s.tearoffposition, s.backfeed, s.pagetype, s.printtype,
                      s.imagecontrol, s.mirror, s.inverse, s.printspeed, s.pause, s.density, s.outpagemode})
      EXPECT_EQ(field, -1);
    EXPECT_EQ(s.bytesPerScanLine, 100);
  }
}

// Choice numbers beyond 32 bits count as no choice, never as the value they would wrap around to.
TEST(InitializeSettings, ChoiceNumbersOutside32BitsCountAsAbsent) {
  std::string ppd = readFile(TEST_PPD_PATH);
  const char* extra[] = {
      "*Darkness 4294967297/Wraps to 1: \"\"",     "*Darkness 4294967306/Wraps to 10: \"\"",
      "*Darkness 2147483648/Just past: \"\"",      "*Inverse 4294967297/Wraps to 1: \"\"",
      "*PrintSpeed 4294967297/Wraps to 1: \"\"",   "*TearoffPosition -2147483649/Wraps: \"\"",
      "*TearoffPosition -2147483648/Lowest: \"\"", "*Darkness 99999999999999999999/Huge: \"\""};
  for (const std::string line : extra) {
    const std::string option = line.substr(0, line.find(' '));
    ppd.insert(ppd.find("*CloseUI: " + option), line + "\n");
  }
  const std::string path = temporaryPath("wrapping.ppd");
  writeFile(path, ppd);
  const struct {
    const char* options;
    int settings_::*field;
    int value;
  } cases[] = {{"Darkness=4294967297", &settings_::density, -1},
               {"Darkness=4294967306", &settings_::density, -1},
               {"Darkness=2147483648", &settings_::density, -1},
               {"Darkness=99999999999999999999", &settings_::density, -1},
               {"Inverse=4294967297", &settings_::inverse, -1},
               {"PrintSpeed=4294967297", &settings_::printspeed, -1},
               {"TearoffPosition=-2147483649", &settings_::tearoffposition, -1},
               {"TearoffPosition=-2147483648", &settings_::tearoffposition, -2147483647 - 1}};
  for (const auto& c : cases) EXPECT_EQ(load(path.c_str(), c.options).*c.field, c.value) << c.options;
  unlink(path.c_str());
}

TEST(PageGeometry, PadsWidthAndHeightToThirtyTwo) {
  const struct {
    uint32_t width, height;
    uint64_t rowBytes, paddedRows, totalBytes;
  } cases[] = {{203, 100, 28, 128, 3584},
               {832, 1216, 104, 1216, 126464},
               {1, 1, 4, 32, 128},
               {4294967295u, 4294967295u, 536870912, 4294967296, 2305843009213693952}};
  for (const auto& c : cases) {
    const pageGeometry g = computePageGeometry(c.width, c.height);
    EXPECT_EQ(g.rowBytes, c.rowBytes);
    EXPECT_EQ(g.paddedRows, c.paddedRows);
    EXPECT_EQ(g.totalBytes, c.totalBytes);
  }
}

}  // namespace
