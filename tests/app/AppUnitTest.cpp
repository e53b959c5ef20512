// The Printer Application's pieces without the framework running: incoming lines into the label
// bitmap, document typing, and the refusal of unsupported vendor values (the mapping of every
// attribute onto the command tables is tested end to end by the system tests).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "app/app.h"

namespace {

using row = std::vector<unsigned char>;

// Lines of every kind into a bitmap row: cropped to the label, padded white, thresholded at mid-grey,
// and never read past the line's bytes or written past the label's bytes.
TEST(ConvertLine, CropsPadsAndThresholds) {
  const struct {
    const char* name;
    lineKind kind;
    row line;
    uint32_t pixels;
    uint32_t labelWidth;
    row expected;  // the whole 4-byte row; bytes after the label's stay 0x55
  } cases[] = {
      {"1-bit of the label's width", kLineOneBit, {0xAB, 0xCD}, 16, 16, {0xAB, 0xCD, 0x55, 0x55}},
      {"1-bit wider, cut mid-byte", kLineOneBit, {0xFF, 0xFF, 0xFF}, 24, 12, {0xFF, 0xF0, 0x55, 0x55}},
      {"1-bit narrower", kLineOneBit, {0xFF}, 5, 16, {0xF8, 0x00, 0x55, 0x55}},
      {"1-bit claiming more pixels than bytes", kLineOneBit, {0xFF}, 1000, 24, {0xFF, 0x00, 0x00, 0x55}},
      {"black at mid-grey", kLineGreyInkHigh, {127, 128, 255, 0}, 4, 8, {0x60, 0x55, 0x55, 0x55}},
      {"luminance at mid-grey", kLineGreyInkLow, {127, 128, 0, 255}, 4, 8, {0xA0, 0x55, 0x55, 0x55}},
      {"grey wider than the label", kLineGreyInkHigh, row(10, 255), 10, 4, {0xF0, 0x55, 0x55, 0x55}},
      {"grey claiming more pixels than bytes",
       kLineGreyInkHigh,
       row(2, 255),
       1000,
       16,
       {0xC0, 0x00, 0x55, 0x55}},
      {"label wider than the row", kLineOneBit, row(8, 0xFF), 64, 64, {0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    row out(4, 0x55);
    const lineLayout layout{c.kind, c.line.size(), c.pixels, false};
    convertLine(c.line.data(), layout, 0, c.labelWidth, out.data(), out.size());
    EXPECT_EQ(out, c.expected);
  }
}

// Photographs are dithered: every 16 x 16 tile of an even grey gets as many dots as its tone asks.
TEST(ConvertLine, DitherKeepsTheTone) {
  for (const unsigned grey : {0u, 1u, 64u, 128u, 200u, 254u, 255u}) {
    SCOPED_TRACE(grey);
    const row line(16, static_cast<unsigned char>(grey));
    unsigned dots = 0;
    for (uint32_t y = 0; y < 16; ++y) {
      row out(2, 0);
      convertLine(line.data(), {kLineGreyInkHigh, 16, 16, true}, y, 16, out.data(), out.size());
      dots += static_cast<unsigned>(__builtin_popcount(out[0]) + __builtin_popcount(out[1]));
    }
    EXPECT_NEAR(dots, grey * 256 / 255, 1);
  }
}

// The padding around the label: the columns after its last byte and the rows after its last row.
TEST(FillPadding, FillsOnlyOutsideTheLabel) {
  const pageGeometry geometry = computePageGeometry(40, 3);
  row bitmap(geometry.totalBytes, 0x11);
  fillPadding(bitmap.data(), geometry, 40, 3, 0xFF);
  for (size_t y = 0; y < geometry.paddedRows; ++y)
    for (size_t x = 0; x < geometry.rowBytes; ++x)
      EXPECT_EQ(bitmap[y * geometry.rowBytes + x], y < 3 && x < 5 ? 0x11 : 0xFF) << x << "," << y;
}

TEST(DocumentTyping, RecognisesTheLabelCommandLanguage) {
  const struct {
    std::string data;
    bool label;
  } cases[] = {
      {"^XA^FO10,10^FS^XZ", true},
      {"\r\n  ~DG000.GRF,4,1,FF", true},
      {"\x10"
       "CT~~CD,",
       true},
      {"^", false},
      {"^xa", false},
      {"%PDF-1.4", false},
      {"", false},
      {"hello ^XA", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(isLabelCommandData(reinterpret_cast<const unsigned char*>(c.data.data()), c.data.size()),
              c.label)
        << c.data;
}

// A vendor value outside its supported values is named, never sent as another setting.
TEST(JobSettings, RefusesUnsupportedVendorValues) {
  const struct {
    const char* name;
    const char* value;
    int topOffset;
    const char* bad;
  } cases[] = {
      {kPauseAttr, "sometimes", 0, kPauseAttr},       {kMediaTypeAttr, "ribbon", 0, kMediaTypeAttr},
      {kMirrorAttr, "yes", 0, kMirrorAttr},           {kTearOffsetAttr, "1501", 0, kTearOffsetAttr},
      {kTearOffsetAttr, "12abc", 0, kTearOffsetAttr}, {kTearOffsetAttr, "", 0, kTearOffsetAttr},
      {kPauseAttr, "none", 1501, "media-top-offset"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + "=" + c.value);
    pappl_pr_options_t options;
    std::memset(&options, 0, sizeof options);
    options.media.top_offset = c.topOffset;
    options.num_vendor = cupsAddOption(c.name, c.value, 0, &options.vendor);
    settings_ s;
    const char* bad = nullptr;
    EXPECT_EQ(jobSettings(options, 0, nullptr, PAPPL_LABEL_MODE_TEAR_OFF, 203, &s, &bad), 1);
    EXPECT_STREQ(bad, c.bad);
    cupsFreeOptions(options.num_vendor, options.vendor);
  }
}

// File devices only inside the folder, named without "." or "..", and reached without a link; other
// devices are not file devices' business.
TEST(FileDevices, StayInsideTheirFolder) {
  const std::filesystem::path root =
      std::filesystem::temp_directory_path() / ("file-devices-" + std::to_string(getpid()));
  std::filesystem::create_directories(root / "labels" / "sub");
  std::filesystem::create_directory_symlink("/etc", root / "labels" / "out");
  std::filesystem::create_symlink("/etc/passwd", root / "labels" / "passwd");
  const std::string folder = (root / "labels").string();
  const struct {
    std::string uri;
    std::string folder;
    int refused;
  } cases[] = {
      {"socket://printer:9100", "", 0},
      {"usb://Maker/Model", folder, 0},
      {"file://" + folder, folder, 0},
      {"file://" + folder + "/job.prn", folder, 0},
      {"file://" + folder + "/sub/", folder, 0},
      {"file://" + folder + "/new.prn?ext=txt", folder, 0},
      {"file://" + folder + "/job.prn", "", 1},
      {"file:///etc/passwd", folder, 1},
      {"file://" + folder + "/../labels/job.prn", folder, 1},
      {"file://" + folder + "/./job.prn", folder, 1},
      {"file://" + folder + "/out/passwd", folder, 1},
      {"file://" + folder + "/passwd", folder, 1},
      {"file://" + folder + "x/job.prn", folder, 1},
      {"file://otherhost" + folder + "/job.prn", folder, 1},
      {"file://" + folder + "/missing/job.prn", folder, 1},
  };
  for (const auto& c : cases) {
    std::string reason;
    EXPECT_EQ(checkFileDevice(c.uri.c_str(), c.folder, &reason), c.refused) << c.uri << " " << reason;
    EXPECT_EQ(reason.empty(), c.refused == 0) << c.uri;
  }
  std::filesystem::remove_all(root);
}

// Other users' job names and owners leave a response; the viewer's own, and other groups, stay.
TEST(JobPrivacy, HidesOtherUsersJobNamesAndOwners) {
  ipp_t* response = ippNew();
  ippAddString(response, IPP_TAG_OPERATION, IPP_TAG_CHARSET, "attributes-charset", nullptr, "utf-8");
  const struct {
    int id;  // 0: the group names its job by job-uri alone
    const char* uri;
  } jobs[] = {{1, nullptr}, {2, nullptr}, {0, "ipp://host/ipp/print/label/3"}, {0, nullptr}};
  for (const auto& job : jobs) {
    if (&job != jobs) ippAddSeparator(response);
    if (job.id != 0) ippAddInteger(response, IPP_TAG_JOB, IPP_TAG_INTEGER, "job-id", job.id);
    if (job.uri != nullptr) ippAddString(response, IPP_TAG_JOB, IPP_TAG_URI, "job-uri", nullptr, job.uri);
    ippAddString(response, IPP_TAG_JOB, IPP_TAG_NAME, "job-name", nullptr, "label.pdf");
    ippAddString(response, IPP_TAG_JOB, IPP_TAG_NAME, "job-originating-user-name", nullptr, "someone");
    ippAddInteger(response, IPP_TAG_JOB, IPP_TAG_ENUM, "job-state", IPP_JSTATE_PENDING);
  }
  const std::map<int, std::string> owners = {{1, "alice"}, {2, "bob"}, {3, "alice"}};
  hidePrivateJobValues(response, "alice", [&](int id) { return owners.count(id) ? owners.at(id) : ""; });
  std::vector<std::string> seen;  // per group: "names states"
  std::string group;
  for (ipp_attribute_t* a = ippFirstAttribute(response); a != nullptr; a = ippNextAttribute(response)) {
    if (ippGetName(a) == nullptr) {
      seen.push_back(group);
      group.clear();
      continue;
    }
    const std::string name = ippGetName(a);
    if (ippGetGroupTag(a) != IPP_TAG_JOB) continue;
    if (name == "job-name" || name == "job-originating-user-name" || name == "job-state") group += name[4];
  }
  seen.push_back(group);
  // n: job-name, o: job-originating-user-name, s: job-state.
  EXPECT_EQ(seen, (std::vector<std::string>{"nos", "s", "nos", "s"}));
  EXPECT_NE(ippFindAttribute(response, "attributes-charset", IPP_TAG_CHARSET), nullptr);
  ippDelete(response);
}

// The administrator password: the right one reproduces the stored hash with its nonce, a wrong one,
// a prefix or a longer one does not; a new hash takes the fresh nonce.
TEST(AdminPassword, MatchesOnlyTheRightPassword) {
  const std::string stored = hashPassword(nullptr, "Secret123", "0123456789abcdef");
  EXPECT_EQ(stored.rfind("0123456789abcdef~", 0), 0u) << stored;
  EXPECT_EQ(stored.size(), 17u + 64u);
  EXPECT_EQ(hashPassword(stored.c_str(), "Secret123", "ffff"), stored);
  for (const char* wrong : {"secret123", "Secret12", "Secret1234", ""})
    EXPECT_NE(hashPassword(stored.c_str(), wrong, "ffff"), stored) << wrong;
}

// A page within the printer's largest label fits; one dot more either way does not.
TEST(PageLimits, AreTheLargestLabelAtTheResolution) {
  const char* media[] = {"na_index-4x6_4x6in", "custom_max_4.25x39in", "custom_min_0.5x0.25in"};
  pappl_pr_driver_data_t data;
  std::memset(&data, 0, sizeof data);
  data.num_media = 3;
  for (int i = 0; i < 3; ++i) data.media[i] = media[i];
  const struct {
    int dpi;
    uint32_t width, height;
  } cases[] = {{203, 863, 7917}, {300, 1275, 11700}, {152, 646, 5928}, {600, 2550, 23400}};
  for (const auto& c : cases) {
    data.x_default = data.y_default = c.dpi;
    const pageLimits limits = labelLimits(data);
    EXPECT_EQ(limits.width, c.width) << c.dpi;
    EXPECT_EQ(limits.height, c.height) << c.dpi;
    cups_page_header2_t header;
    std::memset(&header, 0, sizeof header);
    char message[256] = "";
    for (const auto& [width, height, fits] : {std::tuple{c.width, c.height, true},
                                              {c.width + 1, 1u, false},
                                              {1u, c.height + 1, false},
                                              {4294967288u, 1u, false}}) {
      header.cupsWidth = width;
      header.cupsHeight = height;
      EXPECT_EQ(pageFits(header, limits, message, sizeof message), fits) << width << "x" << height;
    }
    EXPECT_NE(std::string(message).find("largest label"), std::string::npos) << message;
  }
}

}  // namespace
