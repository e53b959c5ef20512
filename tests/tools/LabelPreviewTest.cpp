// SPDX-License-Identifier: Apache-2.0
// The label preview run as a user runs it: printer data in, one PNG per printed label out; and the
// whole way from a raster through the filter to the images, which must show the raster's pages.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/Png.h"
#include "support/PrinterData.h"
#include "support/Process.h"
#include "support/Raster.h"

namespace {

struct previewRun {
  processResult result;
  std::vector<greyImage> labels;  // label-0001.png, label-0002.png, ... in order
  size_t files;                   // everything in the output folder
};

// 'runPreview()' - labelpreview on 'data' (standard input) writing into a fresh folder.
previewRun runPreview(const std::string& data, const std::vector<std::string>& arguments = {}) {
  const std::string folder = temporaryPath("labels");
  std::vector<std::string> argv = {LABELPREVIEW_PATH, "-d", folder};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  previewRun run{runProcess(argv, data), {}, 0};
  for (int n = 1;; ++n) {
    char name[32];
    std::snprintf(name, sizeof name, "/label-%04d.png", n);
    greyImage image;
    if (!readPng(folder + name, &image)) break;
#if defined(LABEL_TEST_LIBPNG)
    greyImage second;
    EXPECT_TRUE(readPngWithLibpng(folder + name, &second)) << name;
    EXPECT_EQ(second, image) << name << " read by libpng";
#endif
    run.labels.push_back(image);
  }
  std::error_code ignored;
  for (auto it = std::filesystem::directory_iterator(folder, ignored);
       it != std::filesystem::directory_iterator(); ++it)
    ++run.files;
  std::filesystem::remove_all(folder, ignored);
  return run;
}

// 'art()' - the image as rows of "#" (a dot) and "." (none).
std::vector<std::string> art(const greyImage& image) {
  std::vector<std::string> rows(image.height, std::string(image.width, '.'));
  for (unsigned y = 0; y < image.height; ++y)
    for (unsigned x = 0; x < image.width; ++x)
      if (image.pixels[y * image.width + x] < 128) rows[y][x] = '#';
  return rows;
}

// A graphic of one byte per row: 1111 0000, then 1000 0001, as the filter would send it.
const std::string kDownload = "~DG000.GRF,2,1,F0\r\n81\r\n";
const std::string kPrologue =
    "\x10"
    "CT~~CD,~CC^~CT~^XA~TA000~JSN^LT0^MNW^MTD^PON^PMN^LH0,0^JMA^PR4,4~SD15^JUS^LRN^CI0^XZ";
const std::string kAtTypeset = "^XA^MMT^PW10^LL4^LS0^FT1,3^XG000.GRF,1,1^FS^PQ1,0,1,Y^XZ";
const std::string kDelete = "^XA^ID000.GRF^FS^XZ";
// The largest graphic the filter sends: 128 MiB of blank rows.
const std::string kLargest = "~DG000.GRF,134217728,4096,," + std::string(32767, ':');
const std::vector<std::string> kAtTypesetArt = {"..........", ".####.....", ".#......#.", ".........."};

TEST(LabelPreview, DrawsTheFieldsOfEachLabel) {
  const struct {
    std::string name, data;
    std::vector<std::string> art;
  } cases[] = {
      {"typeset position is the bottom-left corner", kDownload + kAtTypeset, kAtTypesetArt},
      {"field origin is the top-left corner",
       kDownload + "^XA^PW10^LL3^FO2,1^XG000.GRF^FS^XZ",
       {"..........", "..####....", "..#......#"}},
      {"magnified and clipped to the label width",
       kDownload + "^XA^PW10^LL2^FO0,0^XG000.GRF,2,1^FS^XZ",
       {"########..", "##........"}},
      {"clipped above the label", kDownload + "^XA^PW8^LL2^FT0,1^XG000.GRF^FS^XZ", {"#......#", "........"}},
      {"box border", "^XA^PW6^LL5^FO1,1^GB4,3,1^FS^XZ", {"......", ".####.", ".#..#.", ".####.", "......"}},
      {"reverse box inverts what lies beneath",
       kDownload + "^XA^PW8^LL2^FO0,0^XG000.GRF^FS^LRY^FO2,0^GB4,2,2^FS^LRN^XZ",
       {"##..##..", "#.####.#"}},
      {"reverse ends at ^LRN",
       kDownload + "^XA^PW8^LL1^LRY^FO0,0^GB2,1,1^FS^LRN^FO0,0^GB4,1,1^FS^XZ",
       {"####...."}},
      {"the job prologue and unknown commands are skipped", kPrologue + kDownload + kAtTypeset,
       kAtTypesetArt},
      {"no width or length: the extent of the fields",
       kDownload + "^XA^FO2,1^XG000.GRF^FS^XZ",
       {"..........", "..####....", "..#......#"}},
      {"no length: down to the bottom edge of a typeset box",
       "^XA^PW6^FT1,2^GB2,2,1^FS^XZ",
       {".##...", ".##..."}},
      {"a box typeset above the label is clipped, the extent at least a dot",
       "^XA^FT0,1^GB3,3,1^FS^XZ",
       {"###"}},
      {"thick box border",
       "^XA^PW7^LL6^FO0,0^GB7,6,2^FS^XZ",
       {"#######", "#######", "##...##", "##...##", "#######", "#######"}},
      {"thickness of half the smaller side: solid",
       "^XA^PW5^LL4^FO0,0^GB5,4,2^FS^XZ",
       {"#####", "#####", "#####", "#####"}},
      {"a reverse border inverts each dot once, corners too",
       "^XA^PW6^LL5^FO0,0^GB6,5,3^FS^LRY^FO1,1^GB4,3,1^FS^LRN^XZ",
       {"######", "#....#", "#.##.#", "#....#", "######"}},
      {"white box clears", "^XA^PW4^LL1^FO0,0^GB4,1,1^FS^FO1,0^GB2,1,1,W^FS^XZ", {"#..#"}},
      {"magnified at an odd position, across bytes",
       kDownload + "^XA^PW21^LL4^FO3,0^XG000.GRF,2,2^FS^XZ",
       {"...########..........", "...########..........", "...##............##..", "...##............##.."}},
      {"odd position clipped at the right edge",
       kDownload + "^XA^PW13^LL2^FO7,0^XG000.GRF^FS^XZ",
       {".......####..", ".......#....."}},
      {"dots past the right edge do not reach the next row",
       kDownload + "^XA^PW5^LL2^FO2,0^XG000.GRF^FS^XZ",
       {"..###", "..#.."}},
      {"thick box is solid", "^XA^PW5^LL3^GB4,3,2^FS^XZ", {"####.", "####.", "####."}},
      {"label without a size is as large as what it draws", "^XA^FO2,1^GB1,1^FS^XZ", {"...", "..#"}},
      {"label without a size, graphic recalled bottom up",
       kDownload + "^XA^FT0,2^XG000.GRF^FS^XZ",
       {"####....", "#......#"}},
      {"changed prefixes and delimiter are followed",
       "~CC%~CD;~DG000.GRF;2;1;F081%XA%PW10%LL4%FT1;3%XG000.GRF;1;1%FS%XZ", kAtTypesetArt},
  };
  for (const auto& c : cases) {
    const previewRun run = runPreview(c.data);
    EXPECT_EQ(run.result.status, 0) << c.name << ": " << run.result.err;
    EXPECT_EQ(run.result.err, "") << c.name;
    ASSERT_EQ(run.labels.size(), 1u) << c.name;
    EXPECT_EQ(run.files, 1u) << c.name;
    EXPECT_EQ(art(run.labels[0]), c.art) << c.name;
  }
}

TEST(LabelPreview, OneImagePerPrintedLabelInOrder) {
  const previewRun run = runPreview(kPrologue + kDownload + kAtTypeset + kDelete + "~DG000.GRF,2,1,FFFF" +
                                    kAtTypeset + kDelete + "^XA^XZ");
  EXPECT_EQ(run.result.status, 0) << run.result.err;
  ASSERT_EQ(run.labels.size(), 2u);
  EXPECT_EQ(run.files, 2u);
  EXPECT_EQ(art(run.labels[0]), kAtTypesetArt);
  EXPECT_EQ(art(run.labels[1]),
            (std::vector<std::string>{"..........", ".########.", ".########.", ".........."}));
}

// Malformed or truncated data stops the preview with a message and status 1; the labels finished
// before it are written.
TEST(LabelPreview, MalformedDataIsReportedAndEarlierLabelsKept) {
  const std::string first = kDownload + kAtTypeset + kDelete;
  const struct {
    std::string data, message;
    size_t labels;
  } cases[] = {
      {first + "~DG000.GRF,4,1,FF\r\n" + kAtTypeset, "the text ends after 1 of the 4 bytes", 1},
      {first + "~DG000.GRF,4,1,FF0", "the text ends after 1 of the 4 bytes", 1},
      {"~DG000.GRF,2,1,FFFFFF" + kAtTypeset, "describes more than the 2 bytes", 0},
      {"~DG000.GRF,2,1,F0 81" + kAtTypeset, "holds ' ' at its character 3", 0},
      {"~DG000.GRF,4,2,:" + kAtTypeset, "repeats a row before its first row is complete", 0},
      {"~DG000.GRF,3,2,FFFFFF" + kAtTypeset, "do not divide the byte count 3", 0},
      {"~DG000.GRF,0,1," + kAtTypeset, "is not a number from 1", 0},
      {first + kAtTypeset, "graphic 000.GRF is recalled but was not downloaded", 1},
      {first + kDownload + "^XA^PW10^LL4^FO0,0^XG000.GRF^FS", "the data ends inside a label format", 1},
      {"^XA^PW40000^LL30000^GB1,1^FS^XZ", "larger than the preview's limit of 1073741824 dots", 0},
      {"^FO0,0^GB2,2,1^FS", "^FO stands outside a label format", 0},
      {"^XA^PW-5^XZ", "is not a number of dots", 0},
      {"^XA^PW33554433^XZ", "is not a number of dots", 0},
      // A graphic recalled by the open format and downloaded again stays alive until the format ends.
      {kLargest + "^XA^FO0,0^XG000.GRF^FS" + kLargest, "the stored graphics would exceed 134217728 bytes", 0},
      {"^XA^XA^XZ", "a label format starts inside another one", 0},
      {"^XA^LRX^XZ", "reverse printing is set with Y or N", 0},
      {first + "^X", "the data ends inside a command", 1},
  };
  for (const auto& c : cases) {
    const previewRun run = runPreview(c.data);
    EXPECT_EQ(run.result.status, 1) << c.message;
    EXPECT_NE(run.result.err.find(c.message), std::string::npos) << run.result.err;
    EXPECT_EQ(run.labels.size(), c.labels) << c.message;
    EXPECT_EQ(run.files, c.labels) << c.message;
  }
}

// 'largeDownload()' - a download of 'rows' rows of 'rowBytes' bytes, all dots, in a short text.
std::string largeDownload(const std::string& name, long rowBytes, long rows) {
  return "~DG" + name + "," + std::to_string(rowBytes * rows) + "," + std::to_string(rowBytes) + ",!" +
         std::string(static_cast<size_t>(rows - 1), ':') + "\r\n";
}

// The limits hold whatever the data: graphics that a field of the open format recalls still count after
// a deletion or a new download under their name, until the format ends.
TEST(LabelPreview, LimitsHoldWhateverTheData) {
  const std::string big = largeDownload("A", 1000000, 70);  // 70,000,000 bytes: two do not fit
  const std::string recall = "^XA^PW8^LL1^FO0,0^XGA^FS";
  std::string manyFields = "^XA^PW8^LL1";
  for (int i = 0; i <= 65536; ++i) manyFields += "^GB1,1,1^FS";
  std::string manyGraphics;
  for (int i = 0; i <= 4096; ++i) manyGraphics += "~DG" + std::to_string(i) + ",1,1,00";
  const struct {
    std::string name, data;
    int status;
    std::string message;
    size_t labels;
  } cases[] = {
      {"downloaded again under a recalled name", big + recall + big + "^XZ", 1,
       "byte " + std::to_string(big.size() + recall.size()) +
           " (~DG): the stored graphics would exceed 134217728 bytes",
       0},
      {"deleted while recalled, then downloaded again", big + recall + "^IDA" + big + "^XZ", 1,
       "the stored graphics would exceed", 0},
      {"downloaded again after the format ended", big + recall + "^XZ" + big + recall + "^XZ", 0, "", 2},
      {"downloaded again and again, never recalled", big + big + big + recall + "^XZ", 0, "", 1},
      {"too many fields", manyFields + "^XZ", 1, "the format has more than 65536 fields", 0},
      {"too many graphics", manyGraphics, 1, "more than 4096 graphics would be stored", 0},
      {"parameters beyond the limit", "^XA^FO1,1," + std::string(2000, '0') + "^XZ", 1,
       "the parameters are longer than 1024 bytes", 0},
      {"blanks and line ends beyond it are dropped",
       "^XA^PW1^LL1" + std::string(2000, ' ') + "\r\n^FO0,0^GB1,1,1^FS^XZ", 0, "", 1},
      {"a download header beyond the limit", "~DG" + std::string(2000, 'A') + ",1,1,00", 1,
       "the name, byte count and row bytes take more than 1024 bytes", 0},
      {"a label beyond the area limit", "^XA^PW33554432^LL33^FO0,0^GB1,1,1^FS^XZ", 1,
       "larger than the preview's limit of 1073741824 dots", 0},
  };
  for (const auto& c : cases) {
    const previewRun run = runPreview(c.data);
    EXPECT_EQ(run.result.status, c.status) << c.name << ": " << run.result.err;
    EXPECT_NE(run.result.err.find(c.message), std::string::npos) << c.name << ": " << run.result.err;
    EXPECT_EQ(run.labels.size(), c.labels) << c.name;
  }
}

// The data is read 64 KiB at a time: commands, download texts and finished labels that straddle a
// chunk's end come out as when they do not. One run takes the labels once for each place a chunk's end
// can fall in them (before their first byte to after their last), padded so that the next chunk's end
// falls one byte further in; each copy deletes its graphic after it, so that a download lost at a
// chunk's end cannot be made up for by an earlier copy's; the last copy ends the data at a chunk's end.
TEST(LabelPreview, CommandsAcrossChunksAreReadWhole) {
  const size_t kChunk = 65536;
  const std::string labels = kDownload + kAtTypeset + kDelete + kDownload + kAtTypeset;
  std::string data(kChunk, 'x');  // the first chunk's end then falls before the first copy
  for (size_t split = 0; split <= labels.size(); ++split) {
    data.append((kChunk - (data.size() + split) % kChunk) % kChunk, 'x');
    ASSERT_EQ((data.size() + split) % kChunk, 0u);
    data += labels;
    if (split < labels.size()) data += kDelete;
  }
  ASSERT_EQ(data.size() % kChunk, 0u);
  const previewRun run = runPreview(data);
  EXPECT_EQ(run.result.status, 0) << run.result.err;
  ASSERT_EQ(run.labels.size(), 2 * (labels.size() + 1));
  for (size_t i = 0; i < run.labels.size(); ++i)
    EXPECT_EQ(art(run.labels[i]), kAtTypesetArt) << "a chunk's end after byte " << i / 2 << " of the labels";
}

// The largest download the filter writes for a 600 dpi label 8.5 in wide and 333 in long: 640 row
// bytes x 200,000 rows, 128,000,000 bytes, on a label of 1,020,000,000 dots.
TEST(LabelPreview, TakesTheLargestPagesTheFilterWrites) {
  const std::string folder = temporaryPath("labels");
  const std::string firstRow = std::string(1279, '0') + "1";
  const std::string data = "~DG000.GRF,128000000,640," + firstRow + "\r\n" + std::string(199999, ':') +
                           "\r\n^XA^PW5100^LL200000^FT0,200000^XG000.GRF,1,1^FS^XZ^XA^ID000.GRF^FS^XZ";
  const processResult run = runProcess({LABELPREVIEW_PATH, "-d", folder}, data);
  unsigned width = 0, height = 0;
  EXPECT_TRUE(readPngSize(folder + "/label-0001.png", &width, &height));
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, folder + "/label-0001.png (5100 x 200000 dots)\n");
  EXPECT_EQ(width, 5100u);
  EXPECT_EQ(height, 200000u);
}

#if !defined(__SANITIZE_ADDRESS__)
// Memory that runs out is reported as an error, not a crash. (The sanitizers reserve more address
// space than any limit here would allow.)
TEST(LabelPreview, MemoryRunningOutIsAnError) {
  const std::string folder = temporaryPath("labels");
  const processResult run =
      runProcess({"/bin/sh", "-c", "ulimit -v 100000 && exec \"$0\" -d \"$1\"", LABELPREVIEW_PATH, folder},
                 largeDownload("A", 1 << 20, 128) + "^XA^FO0,0^XGA^FS^XZ");
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "labelpreview: byte 0 (~DG): not enough memory\n");
}
#endif

TEST(LabelPreview, CommandLine) {
  const previewRun help = runPreview("", {"--help"});
  EXPECT_EQ(help.result.status, 0);
  EXPECT_EQ(help.result.out.rfind("usage: labelpreview", 0), 0u);
  EXPECT_EQ(runPreview("", {"-x"}).result.status, 2);
  EXPECT_EQ(runPreview("", {"a.prn", "b.prn"}).result.status, 2);
  const previewRun missing = runPreview("", {"/nonexistent/job.prn"});
  EXPECT_EQ(missing.result.status, 1);
  EXPECT_NE(missing.result.err.find("/nonexistent/job.prn"), std::string::npos);

  const std::string path = temporaryPath("job.prn");
  writeFile(path, kDownload + kAtTypeset);
  const previewRun fromFile = runPreview("", {path});
  std::filesystem::remove(path);
  EXPECT_EQ(fromFile.result.status, 0);
  ASSERT_EQ(fromFile.labels.size(), 1u);
  EXPECT_EQ(art(fromFile.labels[0]), kAtTypesetArt);
}

// From a raster through the filter and the preview: each image is its page, dot for dot, inverted when
// the job asks for inverse printing. The page sizes put the padding (which the filter fills with ink
// for inverse and absent-inverse jobs) outside the label; the widest page is wider than the preview
// once took.
TEST(LabelPreview, ShowsTheRasterPagesTheFilterPrinted) {
  const std::vector<pbmPage> pages = {patternPage(203, 100, 11), patternPage(64, 40, 12),
                                      patternPage(833, 33, 13), patternPage(40000, 3, 14)};
  const std::string raster = rasterFromPbm(pages);
  const struct {
    std::string options, ppd;
    bool inverted;
  } jobs[] = {{"Inverse=0", TEST_PPD_PATH, false}, {"Inverse=1", TEST_PPD_PATH, true}, {"", "", false}};
  for (const auto& job : jobs) {
    const processResult filtered = runFilter(raster, job.options, job.ppd);
    ASSERT_EQ(filtered.status, 0) << filtered.err;
    const previewRun run = runPreview(filtered.out);
    EXPECT_EQ(run.result.status, 0) << run.result.err;
    ASSERT_EQ(run.labels.size(), pages.size()) << job.options;
    for (size_t i = 0; i < pages.size(); ++i) {
      const pbmPage& page = pages[i];
      const greyImage& label = run.labels[i];
      ASSERT_EQ(label.width, page.width);
      ASSERT_EQ(label.height, page.height);
      size_t wrong = 0;
      for (unsigned y = 0; y < page.height; ++y) {
        for (unsigned x = 0; x < page.width; ++x) {
          const bool ink = (page.bits[y * ((page.width + 7) / 8) + x / 8] >> (7 - x % 8)) & 1;
          const bool dot = label.pixels[y * label.width + x] < 128;
          wrong += dot != (ink != job.inverted);
        }
      }
      EXPECT_EQ(wrong, 0u) << "page " << i << ", options \"" << job.options << "\"";
    }
  }
}

}  // namespace
