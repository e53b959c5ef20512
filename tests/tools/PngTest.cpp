// SPDX-License-Identifier: Apache-2.0
// The preview's PNG files in process: every dot where the label has it, whatever the width and
// whatever the length of the image data; and a file that cannot be written is an error that says why.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "commands/preview/preview.h"
#include "support/Png.h"
#include "support/Process.h"

namespace {

// 'makeLabel()' - a label whose dot n is 'dot(n)'.
template <typename Dot>
previewLabel makeLabel(uint32_t width, uint32_t length, Dot dot) {
  previewLabel label;
  label.width = width;
  label.length = length;
  const uint64_t dots = uint64_t{width} * length;
  label.bits.assign(static_cast<size_t>((dots + 7) / 8), 0);
  for (uint64_t n = 0; n < dots; ++n)
    if (dot(n)) label.bits[n / 8] |= static_cast<unsigned char>(0x80 >> (n % 8));
  return label;
}

// 'wrongDots()' - the dots where the image (black for a dot) and the label differ.
size_t wrongDots(const previewLabel& label, const greyImage& image) {
  size_t wrong = 0;
  for (uint64_t n = 0; n < uint64_t{label.width} * label.length; ++n) {
    const bool dot = (label.bits[n / 8] >> (7 - n % 8)) & 1;
    const unsigned char pixel = image.pixels[n];
    wrong += pixel != (dot ? 0 : 255);
  }
  return wrong;
}

TEST(PreviewPng, EveryDotWhereTheLabelHasIt) {
  std::mt19937 random(7);
  std::vector<bool> noise(1021 * 1531);
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = random() & 1;
  const struct {
    std::string name;
    previewLabel label;
    bool severalDataChunks;
  } cases[] = {
      {"one dot", makeLabel(1, 1, [](uint64_t) { return true; }), false},
      {"one blank dot", makeLabel(1, 1, [](uint64_t) { return false; }), false},
      {"7 wide, rows start inside a byte", makeLabel(7, 5, [](uint64_t n) { return n % 3 == 0; }), false},
      {"8 wide", makeLabel(8, 4, [](uint64_t n) { return n % 5 < 2; }), false},
      {"9 wide, the last dot alone in its byte", makeLabel(9, 6, [](uint64_t n) { return n % 9 == 8; }),
       false},
      {"13 wide, every dot", makeLabel(13, 3, [](uint64_t) { return true; }), false},
      {"a left and a right edge",
       makeLabel(203, 40, [](uint64_t n) { return n % 203 == 0 || n % 203 == 202; }), false},
      {"noise over several data chunks", makeLabel(1021, 1531, [&](uint64_t n) { return noise[n]; }), true},
  };
  for (const auto& c : cases) {
    const std::string path = temporaryPath("label.png");
    std::string message;
    ASSERT_EQ(previewWritePng(path, c.label, &message), 0) << c.name << ": " << message;
    EXPECT_EQ(std::filesystem::file_size(path) > 2 * 65536, c.severalDataChunks) << c.name;
    greyImage image{};
    ASSERT_TRUE(readPng(path, &image)) << c.name;
    EXPECT_EQ(image.width, c.label.width) << c.name;
    ASSERT_EQ(image.height, c.label.length) << c.name;
    EXPECT_EQ(wrongDots(c.label, image), 0u) << c.name;
#if defined(LABEL_TEST_LIBPNG)
    greyImage second{};
    EXPECT_TRUE(readPngWithLibpng(path, &second)) << c.name;
    EXPECT_EQ(second, image) << c.name << " read by libpng";
#endif
    std::filesystem::remove(path);
  }
}

// The reader the tests use finds a file broken anywhere, so that a writer's slip cannot pass it.
TEST(PreviewPng, ABrokenFileIsNotRead) {
  const std::string path = temporaryPath("label.png");
  std::string message;
  ASSERT_EQ(previewWritePng(path, makeLabel(40, 30, [](uint64_t n) { return n % 7 == 0; }), &message), 0);
  const std::string whole = readFile(path);
  const size_t data = whole.find("IDAT");
  ASSERT_NE(data, std::string::npos);
  const struct {
    std::string name, file;
  } cases[] = {
      {"a byte of the image data changed",
       whole.substr(0, data + 6) + char(whole[data + 6] ^ 1) + whole.substr(data + 7)},
      {"a byte of the header changed", whole.substr(0, 17) + char(whole[17] ^ 1) + whole.substr(18)},
      {"the end chunk cut off", whole.substr(0, whole.size() - 12)},
      {"bytes after the end chunk", whole + "x"},
      {"not a PNG file", "P4\n1 1\n\x80"},
  };
  for (const auto& c : cases) {
    writeFile(path, c.file);
    greyImage image{};
    EXPECT_FALSE(readPng(path, &image)) << c.name;
  }
  std::filesystem::remove(path);
}

TEST(PreviewPng, AFileThatCannotBeWrittenIsAnError) {
  const previewLabel label = makeLabel(800, 600, [](uint64_t n) { return n % 11 == 0; });
  const std::string file = temporaryPath("file");
  writeFile(file, "");
  const struct {
    std::string name, path;
    previewLabel label;
    std::string reason;
  } cases[] = {
      {"a folder that does not exist", "/nonexistent/label-0001.png", label, "No such file or directory"},
      {"a full disk", "/dev/full", label, "No space left on device"},
      {"a file for a folder", file + "/label-0001.png", label, "Not a directory"},
      {"a label without dots", "/dev/null", previewLabel{}, "a label of 0 x 0 dots cannot be an image"},
  };
  for (const auto& c : cases) {
    std::string message;
    EXPECT_EQ(previewWritePng(c.path, c.label, &message), 1) << c.name;
    EXPECT_EQ(message, c.path + ": " + c.reason) << c.name;
  }
  std::filesystem::remove(file);
}

// A caller's lower limits hold: a download or a label past them is an error at its command, and the
// labels before it are drawn as with the preview's own limits.
TEST(PreviewLimits, ACallersLowerLimitsHold) {
  const std::string box = "^XA^PW16^LL8^FO0,0^GB4,4,4^FS^XZ";
  const struct {
    const char* what;
    std::string data;
    uint64_t graphicBytes, labelDots;
    int labels;
    const char* error;  // in the message, "" for none
  } cases[] = {
      {"within both", box + "~DGA,8,1,FFFFFFFFFFFFFFFF" + box, 8, 128, 2, ""},
      {"a graphic past the bytes", box + "~DGA,16,2,FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF" + box, 8, 128, 1,
       "from 1 to 8"},
      {"a label past the dots", box + "^XA^PW16^LL9^FO0,0^GB4,4,4^FS^XZ", 8, 128, 1, "limit of 128 dots"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    previewState state;
    state.maxGraphicBytes = c.graphicBytes;
    state.maxLabelDots = c.labelDots;
    std::string message;
    int labels = 0, status = kPreviewMore;
    const auto* bytes = reinterpret_cast<const unsigned char*>(c.data.data());
    for (size_t at = 0, used = 0; status != kPreviewError && at < c.data.size(); at += used)
      if ((status = previewFeed(&state, bytes + at, c.data.size() - at, &used, &message)) == kPreviewLabel)
        ++labels;
    while (status != kPreviewError && (status = previewFinish(&state, &message)) == kPreviewLabel) ++labels;
    EXPECT_EQ(labels, c.labels);
    EXPECT_EQ(status == kPreviewError, c.error[0] != '\0');
    EXPECT_NE(message.find(c.error), std::string::npos) << message;
  }
}

}  // namespace
