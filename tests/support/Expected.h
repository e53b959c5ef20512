// SPDX-License-Identifier: Apache-2.0
// The printer data a job should produce, spelled out once from the label language's own texts and
// independently of the writers under test, so that tests name only what differs from the defaults.
#pragma once

#include <string>
#include <string_view>

// The steps of a job prologue that depend on the settings; the defaults are those of the generated
// PPD files (no adjustment, gap tracking, the printer's media type and speed, darkness 15).
struct prologueSteps {
  std::string tearoff = "~TA000";
  std::string top = "^LT0";
  std::string tracking = "^MNW";
  std::string mediaType;  // "^MTT", "^MTD" or nothing
  std::string orientation = "^PON";
  std::string mirror = "^PMN";
  std::string speed;  // "^PR2,2" to "^PR6,6", or nothing
  std::string darkness = "~SD15";
};

// 'expectedPrologue()' - the job prologue with these steps.
std::string expectedPrologue(const prologueSteps& steps = {});

// The steps of a page format that depend on the settings.
struct formatSteps {
  std::string mode = "^MMT";  // "^MMT", "^MMR", "^MMP" or nothing
  bool inverse = false;
  std::string quantity = "^PQ1,0,1,Y";
};

// 'expectedPageFormat()' - the format that prints the stored graphic of a page 'width' x 'height' dots
// and then deletes it.
std::string expectedPageFormat(unsigned width, unsigned height, const formatSteps& steps = {});

// The format that deletes the stored graphic (named "000.GRF"), alone after a cancelled page and at the
// end of every page format.
inline constexpr std::string_view kExpectedDeletion = "^XA^ID000.GRF^FS^XZ";
