// SPDX-License-Identifier: Apache-2.0
// The Printer Application's pieces without the framework running: incoming lines into the label
// bitmap, document typing, and the refusal of unsupported vendor values (the mapping of every
// attribute onto the command tables is tested end to end by the system tests).
#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <png.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "app/service/service.h"

namespace {

// The server's devices, registered before any test looks one up, as the server registers them at its
// start: a lookup first would register the framework's own instead.
const bool kDeviceSchemes = [] {
  addDeviceSchemes();
  return true;
}();

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
  const struct {
    std::string data;
    const char* format;
  } formats[] = {{"%PDF-1.7", "application/pdf"},
                 {"\x89PNG\r\n", "image/png"},
                 {"\xFF\xD8\xFF\xDB", "image/jpeg"},
                 {"RaS2PwgR", "image/pwg-raster"},
                 {"UNIRAST", "image/urf"},
                 {"^XA^XZ", kLabelCommandFormat},
                 {"%!PS-Adobe", nullptr},
                 {"Hello", nullptr}};
  for (const auto& f : formats)
    EXPECT_STREQ(documentFormatOf(reinterpret_cast<const unsigned char*>(f.data.data()), f.data.size()),
                 f.format)
        << f.data;
}

// Pages onto a 4 x 6 in label at 203 dpi (812 x 1218 dots) by print-scaling: the label's size 1:1, a
// larger page fitted, a smaller one kept, turned when its orientation is not the label's, and a label
// on a Letter sheet cropped to its ink first. Page units are points.
TEST(Placement, FollowsPrintScaling) {
  const inkBox none{0, 0, 0, 0}, quarter{20, 20, 260, 360};
  const struct {
    const char* name;
    double width, height;
    inkBox ink;
    pappl_scaling_t scaling;
    bool rotate;
    uint32_t shownWidth, shownHeight;
  } cases[] = {
      {"label size", 288, 432, none, PAPPL_SCALING_AUTO, false, 812, 1218},
      {"smaller kept", 144, 216, none, PAPPL_SCALING_AUTO, false, 406, 609},
      {"smaller fitted", 144, 216, none, PAPPL_SCALING_FIT, false, 812, 1218},
      {"landscape turned", 432, 288, none, PAPPL_SCALING_AUTO, true, 812, 1218},
      {"letter fitted", 612, 792, none, PAPPL_SCALING_AUTO, false, 812, 1051},
      {"letter filled, cut", 612, 792, none, PAPPL_SCALING_FILL, false, 812, 1218},
      {"letter at its size, cut", 612, 792, none, PAPPL_SCALING_NONE, false, 812, 1218},
      {"label on a letter sheet", 612, 792, quarter, PAPPL_SCALING_AUTO, false, 812, 1118},
      {"ink ignored by fit", 612, 792, quarter, PAPPL_SCALING_FIT, false, 812, 1051},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const placement p = placePage(c.width, c.height, 72, c.ink, 812, 1218, 203, c.scaling);
    EXPECT_EQ(p.rotate, c.rotate);
    EXPECT_NEAR(p.width, c.shownWidth, 2);
    EXPECT_NEAR(p.height, c.shownHeight, 2);
    EXPECT_EQ(p.left, (812 - p.width) / 2);
    EXPECT_EQ(p.top, (1218 - p.height) / 2);
  }
}

// A vendor value outside its supported values is named, never sent as another setting.
// A job's labels as printed: the first few only, whatever the job sends, each at its size in dots,
// and those before a fault or the end of the copy all the same.
TEST(JobLabels, OnlyTheFirstFewAreKept) {
  const std::string box = "^XA^PW40^LL24^FO0,0^GB8,8,8^FS^XZ\n";
  std::string many;
  for (int i = 0; i < 50; ++i) many += box;
  const struct {
    const char* what;
    std::string data;
    size_t images;
  } cases[] = {
      {"nothing", "", 0},
      {"one label", box, 1},
      {"many labels", many, kJobLabels},
      {"a label, then a fault", box + "^XA^FO0,0^XGNONE.GRF^FS^XZ" + box, 1},
      {"a label, then one cut short", box + box.substr(0, 20), 1},
      {"a label too large to draw", "^XA^PW30000^LL30000^FO0,0^GB8,8,8^FS^XZ" + box, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<jobLabelImage> images = drawSentLabels(c.data);
    ASSERT_EQ(images.size(), c.images);
    for (const jobLabelImage& image : images) {
      EXPECT_EQ(image.width, 40u);
      EXPECT_EQ(image.length, 24u);
      EXPECT_EQ(image.png.compare(0, 8, "\x89PNG\r\n\x1a\n"), 0);
    }
  }
  // The copy of what was sent stops at its bound.
  std::string copy;
  const std::string chunk(size_t{1} << 20, 'x');
  for (int i = 0; i < 6; ++i) copySentData(&copy, chunk.data(), chunk.size());
  EXPECT_EQ(copy.size(), kJobLabelDataBytes);
}

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
    adjustmentDots dots;
    const char* bad = nullptr;
    EXPECT_EQ(jobSettings(options, 0, nullptr, PAPPL_LABEL_MODE_TEAR_OFF, 203, &s, &dots, &bad), 1);
    EXPECT_STREQ(bad, c.bad);
    cupsFreeOptions(options.num_vendor, options.vendor);
  }
}

// The tear-off and top adjustments, in hundredths of mm, go out to the nearest dot, a half away from none.
TEST(JobSettings, AdjustmentsToTheNearestDot) {
  for (const auto& [hundredths, dpi, dots] : {std::tuple{150, 203, 12},
                                              {100, 203, 8},
                                              {-150, 203, -12},
                                              {6, 203, 0},
                                              {-7, 203, -1},
                                              {1500, 600, 354}}) {
    pappl_pr_options_t options{};
    options.media.top_offset = hundredths;
    options.num_vendor =
        cupsAddOption(kTearOffsetAttr, std::to_string(hundredths).c_str(), 0, &options.vendor);
    settings_ s;
    adjustmentDots got;
    const char* bad = nullptr;
    EXPECT_EQ(jobSettings(options, 0, nullptr, PAPPL_LABEL_MODE_TEAR_OFF, dpi, &s, &got, &bad), 0);
    EXPECT_EQ(got.tearoff, dots) << hundredths << " at " << dpi;
    EXPECT_EQ(got.top, dots) << hundredths << " at " << dpi;
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

// A file device's output: in a folder a new file of the server's naming, whatever the job's name,
// never an existing file or a FIFO planted where it would go; a named file only when it is a regular
// file, appended to, refused at once (never waiting for a reader) when it is a FIFO or a link.
TEST(FileDevices, WriteOnlyRegularFilesTheServerNames) {
  addDeviceSchemes();
  const std::filesystem::path root =
      std::filesystem::temp_directory_path() / ("file-outputs-" + std::to_string(getpid()));
  const std::string folder = (root / "labels").string();
  const auto plant = [&](const char* name, const char* kind) {
    const std::string path = folder + "/" + name;
    if (std::strcmp(kind, "fifo") == 0) {
      mkfifo(path.c_str(), 0600);
    } else if (std::strcmp(kind, "link") == 0) {
      std::filesystem::create_symlink(root / "target", path);
    } else {
      std::FILE* file = std::fopen(path.c_str(), "w");
      std::fputs("kept", file);
      std::fclose(file);
    }
  };
  const auto contents = [](const std::filesystem::path& path) {
    std::string text;
    if (std::FILE* file = std::fopen(path.c_str(), "r")) {
      for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
      std::fclose(file);
    }
    return text;
  };
  const struct {
    const char* name;
    const char* device;  // in the folder; "" the folder itself
    const char* jobName;
    std::vector<std::pair<const char*, const char*>> planted;  // name, kind (file, fifo, link)
    bool written;
    const char* output;  // where the bytes go, in the folder
  } cases[] = {
      {"a job name that climbs out", "", "../escaped", {}, true, "label.prn"},
      {"a job named after an existing file", "", "label", {{"label.prn", "file"}}, true, "label-2.prn"},
      {"a FIFO where the output would go", "", "job", {{"label.prn", "fifo"}}, true, "label-2.prn"},
      {"a named file that is a FIFO", "out.prn", "job", {{"out.prn", "fifo"}}, false, nullptr},
      {"a named file that is a link", "out.prn", "job", {{"out.prn", "link"}}, false, nullptr},
      {"a named file that exists", "out.prn", "job", {{"out.prn", "file"}}, true, "out.prn"},
      {"a named file that does not", "out.prn", "job", {}, true, "out.prn"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(folder);
    plant("../target", "file");
    for (const auto& [name, kind] : c.planted) plant(name, kind);
    const std::string uri = "file://" + folder + (c.device[0] != '\0' ? "/" : "") + c.device;
    std::string error;
    pappl_device_t* device = papplDeviceOpen(
        uri.c_str(), c.jobName,
        [](const char* message, void* data) { *static_cast<std::string*>(data) = message; }, &error);
    ASSERT_NE(device, nullptr) << error;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sendToDevice(device, "^XA^XZ", 6), c.written) << error;
    papplDeviceClose(device);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    if (c.output != nullptr) {
      const bool appended = !c.planted.empty() && std::strcmp(c.planted[0].first, c.output) == 0;
      EXPECT_EQ(contents(folder + "/" + c.output), std::string(appended ? "kept" : "") + "^XA^XZ");
    } else {
      EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    }
    EXPECT_EQ(contents(root / "target"), "kept");
    for (const auto& [name, kind] : c.planted) {
      if (std::strcmp(kind, "file") == 0 && std::strcmp(name, c.output != nullptr ? c.output : "") != 0) {
        EXPECT_EQ(contents(folder + "/" + name), "kept");
      }
    }
    EXPECT_FALSE(std::filesystem::exists(root / "escaped.prn"));
  }
  std::filesystem::remove_all(root);
}

// Printers that the framework's discovery found are opened through the application's own network
// device, and count as network printers; every other URI is left to its own device.
TEST(NetworkDevices, DiscoveredPrintersTakeTheOwnDevice) {
  const struct {
    const char* uri;
    const char* own;
    bool network;
  } cases[] = {
      {"dnssd://Label%20Printer._pdl-datastream._tcp.local/",
       "label-dnssd://Label%20Printer._pdl-datastream._tcp.local/", true},
      {"snmp://printer-7", "label-snmp://printer-7", true},
      {"snmp://192.0.2.7:9101/?timeout=5", "label-snmp://192.0.2.7:9101/?timeout=5", true},
      {"socket://192.0.2.7:9100", "", true},
      {"usb://Maker/Model?serial=1", "", false},
      {"file:///var/labels", "", false},
      {"dnssd:", "", false},
      {"", "", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(discoveredDeviceUri(c.uri), c.own) << c.uri;
    EXPECT_EQ(isNetworkUri(c.uri), c.network) << c.uri;
  }
  EXPECT_EQ(discoveredDeviceUri(nullptr), "");
  EXPECT_FALSE(isNetworkUri(nullptr));
}

// The subcommands talk to a server that runs as root, as the service's user or as the caller; a
// socket another user planted is refused, also where there is no service user.
TEST(ServerPeer, OnlyRootTheServiceOrTheCaller) {
  constexpr uid_t kNone = static_cast<uid_t>(-1);
  const struct {
    uid_t peer, caller, service;
    bool trusted;
  } cases[] = {
      {0, 1000, 120, true},      {120, 1000, 120, true},      {1000, 1000, 120, true},
      {0, 0, kNone, true},       {1001, 1000, 120, false},    {65534, 0, 120, false},
      {120, 1000, kNone, false}, {kNone, 1000, kNone, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(trustsServerPeer(c.peer, c.caller, c.service), c.trusted)
        << c.peer << " " << c.caller << " " << c.service;
}

// A new or moved printer's device: a scheme with a device, a socket: URI with its host, a file device
// inside the folder at a file or folder that exists; the reason says what is wrong.
TEST(DeviceUri, TakenAsAddTakesThem) {
  const std::filesystem::path root =
      std::filesystem::temp_directory_path() / ("device-uris-" + std::to_string(getpid()));
  std::filesystem::create_directories(root / "labels");
  const std::string folder = (root / "labels").string();
  std::FILE* file = std::fopen((folder + "/job.prn").c_str(), "w");
  ASSERT_NE(file, nullptr);
  std::fclose(file);
  const struct {
    std::string uri, folder;
    const char* reason;  // "" when taken
  } cases[] = {
      {"socket://printer.example:9100", "", ""},
      {"socket://printer.example/?timeout=5", "", ""},
      {"file://" + folder + "/job.prn", folder, ""},
      {"file://" + folder, folder, ""},
      {"nonsense", folder, "not a device URI"},
      {"http://printer.example/", folder, "no device for 'http:' URIs"},
      {"socket://", folder, "names the printer's host"},
      {"file://" + folder + "/job.prn", "", "-o file-device-folder=DIR"},
      {"file:///etc/passwd", folder, "outside the file device folder"},
      {"file://" + folder + "/missing.prn", folder, "no file or folder the server can write"},
  };
  for (const auto& c : cases) {
    std::string reason;
    EXPECT_EQ(checkDeviceUri(c.uri.c_str(), c.folder, &reason), c.reason[0] == '\0' ? 0 : 1) << c.uri;
    EXPECT_NE(reason.find(c.reason), std::string::npos) << c.uri << ": " << reason;
  }
  std::filesystem::remove_all(root);
}

// A network printer that cannot be reached names why: a host name that does not resolve in the
// resolver's words, never as a route that is missing; a refused connection as refused.
TEST(SocketDevice, SaysWhyItCannotConnect) {
  // A loopback port where nothing listens.
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::string closedPort = std::to_string(ntohs(address.sin_port));
  close(fd);

  const struct {
    std::string uri, words, never;
  } cases[] = {
      {"socket://printer.invalid:9100", "Unable to connect to printer.invalid:9100: ", "No route to host"},
      {"socket://127.0.0.1:" + closedPort,
       "Unable to connect to 127.0.0.1:" + closedPort + ": Connection refused", "No route to host"},
  };
  for (const auto& c : cases) {
    std::string error;
    pappl_device_t* device = papplDeviceOpen(
        c.uri.c_str(), "test",
        [](const char* message, void* data) { *static_cast<std::string*>(data) = message; }, &error);
    EXPECT_EQ(device, nullptr) << c.uri;
    if (device != nullptr) papplDeviceClose(device);
    EXPECT_EQ(error.rfind(c.words, 0), 0u) << c.uri << ": " << error;
    EXPECT_EQ(error.find(c.never), std::string::npos) << c.uri << ": " << error;
  }
}

// A pointer is found at its one aligned word, never in a record that holds it twice or not at all.
TEST(PointerSlot, FoundExactlyOnce) {
  const char a = 'a', b = 'b';
  struct record {
    int number;
    const char* first;
    const char* second;
    char bytes[9];
  };
  const struct {
    const char* name;
    record r;
    const char* value;
    int status;
    size_t offset;
  } cases[] = {
      {"once", {1, &a, &b, {}}, &b, 0, offsetof(record, second)},
      {"twice", {1, &a, &a, {}}, &a, 1, 0},
      {"absent", {1, &a, &a, {}}, &b, 1, 0},
      {"none given", {1, &a, &b, {}}, nullptr, 1, 0},
  };
  for (const auto& c : cases) {
    size_t offset = 0;
    EXPECT_EQ(findPointerSlot(&c.r, sizeof c.r, c.value, &offset), c.status) << c.name;
    if (c.status == 0) {
      EXPECT_EQ(offset, c.offset) << c.name;
    }
  }
  // A copy of the pointer that is not at an aligned word is not a slot.
  record r{1, &a, nullptr, {}};
  std::memcpy(r.bytes + 1, &r.first, sizeof r.first);
  size_t offset = 0;
  EXPECT_EQ(findPointerSlot(&r, sizeof r, &a, &offset), 0);
  EXPECT_EQ(offset, offsetof(record, first));
}

// A new driver takes every setting of the old one it can: the loaded labels stay when they fit its
// head, and a value outside what it takes is reset and named.
TEST(CarrySettings, KeepWhatTheNewDriverTakes) {
  const auto driverData = [](const char* name, pappl_pr_driver_data_t* data, ipp_t** attributes) {
    *data = {};
    *attributes = nullptr;
    ASSERT_TRUE(labelDriver(nullptr, name, "socket://printer.example", nullptr, data, attributes, nullptr));
    labelDelete(nullptr, data);
  };
  pappl_pr_driver_data_t from;
  ipp_t* fromAttributes = nullptr;
  ASSERT_NO_FATAL_FAILURE(driverData("generic-label-203dpi", &from, &fromAttributes));
  from.mode_configured = PAPPL_LABEL_MODE_REWIND;
  from.darkness_configured = 80;
  from.speed_default = 6 * 2540;
  from.media_ready[0].tracking = PAPPL_MEDIA_TRACKING_MARK;
  ippDeleteAttribute(fromAttributes,
                     ippFindAttribute(fromAttributes, "label-tear-offset-default", IPP_TAG_ZERO));
  ippAddInteger(fromAttributes, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "label-tear-offset-default", 120);
  pappl_media_col_t wide = from.media_ready[0];  // 4.2 in wide: the 203 dpi head's, not the others'
  pwgFormatSizeName(wide.size_name, sizeof wide.size_name, "custom", nullptr, 10668, 7620, nullptr);
  wide.size_width = 10668, wide.size_length = 7620;
  const struct {
    const char* name;
    const char* driver;
    bool wideLabels;
    int slowest;  // the new driver's speed range made narrower, when not 0
    std::vector<std::string> reset;
  } cases[] = {
      {"another resolution", "generic-label-300dpi", false, 0, {}},
      {"the same driver, wide labels", "generic-label-203dpi", true, 0, {}},
      {"a narrower head", "generic-label-152dpi", true, 0, {"media-ready"}},
      {"a slower printer", "generic-label-600dpi", false, 4 * 2540, {"print-speed-default"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pappl_pr_driver_data_t old = from, to;
    if (c.wideLabels) old.media_ready[0] = wide;
    ipp_t* toAttributes = nullptr;
    ASSERT_NO_FATAL_FAILURE(driverData(c.driver, &to, &toAttributes));
    if (c.slowest != 0) to.speed_supported[1] = c.slowest;
    std::vector<std::string> reset;
    carrySettings(old, fromAttributes, &to, toAttributes, &reset);
    EXPECT_EQ(reset, c.reset);
    EXPECT_EQ(to.mode_configured, PAPPL_LABEL_MODE_REWIND);
    EXPECT_EQ(to.darkness_configured, 80);
    EXPECT_EQ(to.media_ready[0].tracking, c.reset == std::vector<std::string>{"media-ready"}
                                              ? PAPPL_MEDIA_TRACKING_GAP
                                              : PAPPL_MEDIA_TRACKING_MARK);
    EXPECT_EQ(to.speed_default, c.slowest != 0 ? 0 : 6 * 2540);
    EXPECT_EQ(ippGetInteger(ippFindAttribute(toAttributes, "label-tear-offset-default", IPP_TAG_INTEGER), 0),
              120);
    ippDelete(toAttributes);
  }
  ippDelete(fromAttributes);
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

// The stored forms: a new password's is yescrypt, salted afresh each time and short enough for the
// framework; it and the earlier versions' form take the right password only.
TEST(AdminPassword, NewHashesAreSlowAndSaltedAndEarlierOnesStillWork) {
  const std::string landed = hashPassword(nullptr, "Secret123", "0123456789abcdef");
  const std::string fresh = slowPasswordHash("Secret123");
  ASSERT_EQ(fresh.rfind("$y$", 0), 0u) << fresh;
  EXPECT_LT(fresh.size(), 100u);
  EXPECT_NE(slowPasswordHash("Secret123"), fresh);
  for (const std::string& stored : {landed, fresh}) {
    SCOPED_TRACE(stored);
    EXPECT_TRUE(passwordMatches(stored, "Secret123"));
    for (const char* wrong : {"secret123", "Secret12", "Secret1234", ""})
      EXPECT_FALSE(passwordMatches(stored, wrong));
    EXPECT_FALSE(passwordMatches(stored, nullptr));
  }
  for (const char* stored : {"", "!", "Secret123", "$y$broken"})
    EXPECT_FALSE(passwordMatches(stored, "Secret123"));
}

// The framework's save writes into a file made the server's alone beforehand: an existing file of
// any mode, or none, becomes mode 0600, and a write that truncates it keeps that mode whatever the
// umask; a symbolic link is not followed.
TEST(StateFile, ScratchFilesStayPrivate) {
  const std::string folder = std::filesystem::temp_directory_path() / ("private-" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  const mode_t mask = umask(0);
  for (const bool existed : {false, true}) {
    SCOPED_TRACE(existed ? "an existing file of mode 0666" : "no file");
    const std::string path = folder + "/state.framework";
    std::remove(path.c_str());
    if (existed) {
      std::FILE* f = std::fopen(path.c_str(), "w");
      ASSERT_NE(f, nullptr);
      std::fputs("old", f);
      std::fclose(f);
      chmod(path.c_str(), 0666);
    }
    std::string error;
    ASSERT_TRUE(makePrivateFile(path, &error)) << error;
    cups_file_t* file = cupsFileOpen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    cupsFilePuts(file, "Password $y$j9T$salt$hash\n");
    cupsFileClose(file);
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(readWholeFile(path), "Password $y$j9T$salt$hash\n");
  }
  umask(mask);
  const std::string link = folder + "/link";
  ASSERT_EQ(symlink((folder + "/elsewhere").c_str(), link.c_str()), 0);
  std::string error;
  EXPECT_FALSE(makePrivateFile(link, &error));
  EXPECT_FALSE(std::filesystem::exists(folder + "/elsewhere"));
  std::filesystem::remove_all(folder);
}

// Wrong passwords from an address: none waits before the first, then each waits twice as long as the
// one before, up to the longest delay; attempts sent at once queue behind each other (a quarter of a
// second apart at least), and past the longest wait are refused unchecked; a right one forgets the address's
// failures, another address never waits for it, and failures long past are forgotten.
TEST(SignIn, WrongGuessesWaitLongerPerAddress) {
  EXPECT_EQ(signInDelay(0), 0);
  EXPECT_EQ(signInDelay(1), kFirstSignInDelay);
  EXPECT_EQ(signInDelay(2), 2 * kFirstSignInDelay);
  EXPECT_EQ(signInDelay(3), 4 * kFirstSignInDelay);
  EXPECT_EQ(signInDelay(60), kLastSignInDelay);

  signInGate gate;
  int64_t now = 1000000;
  // One guess after another, each wrong, as soon as the last was answered.
  int64_t waited[8];
  for (int64_t& wait : waited) {
    wait = reserveSignIn(&gate, "192.0.2.1", now);
    now += wait + 80;  // the hash's time
    noteSignIn(&gate, "192.0.2.1", false, now);
  }
  const int64_t expected[] = {0, 250, 500, 1000, 2000, 4000, 4000, 4000};
  for (size_t i = 0; i < std::size(expected); ++i) EXPECT_EQ(waited[i], expected[i]) << "guess " << i;
  EXPECT_EQ(reserveSignIn(&gate, "192.0.2.2", now), 0) << "another address";

  // Guesses at once: each waits behind the one before, until the queue is too long.
  std::vector<int64_t> atOnce;
  for (int i = 0; i < 4; ++i) atOnce.push_back(reserveSignIn(&gate, "192.0.2.1", now));
  EXPECT_EQ(atOnce, (std::vector<int64_t>{4000, 8000, -1, -1}));

  // Attempts at once from an address that has not failed yet wait for each other as well.
  std::vector<int64_t> first;
  for (int i = 0; i < 34; ++i) first.push_back(reserveSignIn(&gate, "203.0.113.9", now));
  EXPECT_EQ(first.front(), 0);
  EXPECT_EQ(first[1], kFirstSignInDelay);
  EXPECT_EQ(first[32], kLongestSignInWait);
  EXPECT_EQ(first[33], -1);

  noteSignIn(&gate, "192.0.2.1", true, now);
  EXPECT_EQ(reserveSignIn(&gate, "192.0.2.1", now), 0) << "after the right password";

  noteSignIn(&gate, "198.51.100.7", false, now);
  EXPECT_EQ(reserveSignIn(&gate, "198.51.100.7", now + 10), kFirstSignInDelay - 10);
  EXPECT_EQ(reserveSignIn(&gate, "198.51.100.7", now + kForgetSignIns), 0) << "forgotten";

  // The addresses kept are bounded: the oldest goes first.
  signInGate many;
  for (size_t i = 0; i <= kSignInAddresses; ++i)
    noteSignIn(&many, "10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256), false,
               static_cast<int64_t>(i));
  EXPECT_EQ(many.records.size(), kSignInAddresses);
  EXPECT_EQ(reserveSignIn(&many, "10.0.0.0", 2000), 0) << "the oldest went";
}

// Host fields: loopback addresses, the server's names and addresses, in any case, with a final dot or a
// port, are the server's; a stranger's names (one that starts with a digit, another machine's .local
// name, one that ends in the server's name), other addresses, bare IPv6, bad ports and empty fields
// are not.
TEST(Hosts, OnlyTheServersOwnNamesAreItsOwn) {
  const serverNames own{{"localhost", "printhost", "printhost.local", "labels.example.com", "labels.local"},
                        {"192.168.1.5", "fe80::1", "127.0.0.1"}};
  const struct {
    const char* host;
    bool own;
  } cases[] = {
      {"localhost", true},
      {"localhost:8000", true},
      {"LocalHost.:8000", true},
      {"127.0.0.1", true},
      {"127.0.0.1:8000", true},
      {"127.1.2.3:8000", true},
      {"[::1]", true},
      {"[::1]:8000", true},
      {"[0:0:0:0:0:0:0:1]:8000", true},
      {"[::ffff:127.0.0.1]:8000", true},
      {"printhost", true},
      {"PRINTHOST.local:8000", true},
      {"labels.example.com:631", true},
      {"192.168.1.5:8000", true},
      {"[fe80::1]:8000", true},
      {"1.attacker.example", false},
      {"1.attacker.example:8000", false},
      {"attacker.local", false},
      {"printhost.attacker.example", false},
      {"localhost.attacker.example", false},
      {"192.168.1.6:8000", false},
      {"0.0.0.0:8000", false},
      {"[2001:db8::1]:8000", false},
      {"::1", false},
      {"[::1", false},
      {"[localhost]", false},
      {"localhost:", false},
      {"localhost:0", false},
      {"localhost:65536", false},
      {"localhost:80x", false},
      {"localhost:8000:8000", false},
      {"", false},
      {":8000", false},
  };
  for (const auto& c : cases) EXPECT_EQ(isServerHost(c.host, own), c.own) << c.host;
}

// The Origin of a posted form against the request's Host: the same scheme, name and port only.
TEST(Hosts, OnlyTheSameOriginIsTheServers) {
  const struct {
    const char* origin;
    const char* host;
    bool encrypted;
    bool same;
  } cases[] = {
      {"http://localhost:8000", "localhost:8000", false, true},
      {"http://LOCALHOST:8000", "localhost:8000", false, true},
      {"https://printhost.local:8000", "printhost.local:8000", true, true},
      {"http://[::1]:8000", "[::1]:8000", false, true},
      {"http://localhost", "localhost:80", false, true},
      {"https://localhost", "localhost", true, true},
      {"http://attacker.example", "localhost:8000", false, false},
      {"http://localhost:8001", "localhost:8000", false, false},
      {"https://localhost:8000", "localhost:8000", false, false},
      {"http://localhost:8000", "localhost:8000", true, false},
      {"http://127.0.0.1:8000", "localhost:8000", false, false},
      {"null", "localhost:8000", false, false},
      {"http://", "localhost:8000", false, false},
      {"http://localhost:8000/page", "localhost:8000", false, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(isSameOrigin(c.origin, c.host, c.encrypted), c.same) << c.origin << " " << c.host;
}

// Settings from the command line: a name that is no setting, or a value outside what the printer
// takes, is refused before anything is sent; accepted ones become the request's attributes.
TEST(Settings, RefuseWhatThePrinterDoesNotTake) {
  ipp_t* printer = ippNew();
  static const char* const modes[] = {"peel-off", "rewind", "tear-off"};
  ippAddStrings(printer, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "label-mode-supported", 3, nullptr, modes);
  ippAddRange(printer, IPP_TAG_PRINTER, "print-speed-supported", 5080, 15240);
  ippAddRange(printer, IPP_TAG_PRINTER, "label-tear-offset-supported", -1500, 1500);
  ippAddRange(printer, IPP_TAG_PRINTER, "copies-supported", 1, kMaxCopies);
  static const char* const sizes[] = {"oe_4x3-label_4x3in", "custom_max_4.25x39in", "custom_min_0.5x0.25in"};
  ippAddStrings(printer, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "media-supported", 3, nullptr, sizes);
  const struct {
    const char* name;
    const char* value;
    bool taken;
    const char* attribute;  // what the request then holds
  } cases[] = {
      {"label-mode-configured", "rewind", true, "label-mode-configured"},
      {"label-mode", "peel-off", true, "label-mode-configured"},
      {"label-mode-configured", "sideways", false, nullptr},
      {"printer-darkness-configured", "0", true, "printer-darkness-configured"},
      {"printer-darkness-configured", "101", false, nullptr},
      {"print-speed-default", "4in", true, "print-speed-default"},
      {"print-speed-default", "0", true, "print-speed-default"},
      {"print-speed-default", "9in", false, nullptr},
      {"label-tear-offset", "-1500", true, "label-tear-offset-default"},
      {"label-tear-offset", "2000", false, nullptr},
      {"label-mirror", "yes", false, nullptr},
      {"printer-darkness", "abc", false, nullptr},
      {"colour", "red", false, nullptr},
      {"media-ready", "custom_50x30mm_50x30mm", true, "media-ready"},
      {"media-default", "custom_120x30mm_120x30mm", false, nullptr},
      {"media-default", "custom_min_0.5x0.25in", false, nullptr},
      {"copies-default", "1000", false, nullptr},
      {"printer-geo-location", "geo:95,13", false, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + "=" + c.value);
    cups_option_t option{const_cast<char*>(c.name), const_cast<char*>(c.value)};
    ipp_t* request = ippNew();
    std::string error;
    EXPECT_EQ(addSettings(1, &option, printer, request, &error), c.taken ? 0 : 1) << error;
    if (c.taken) {
      EXPECT_NE(ippFindAttribute(request, c.attribute, IPP_TAG_ZERO), nullptr);
      EXPECT_EQ(checkSettingsRequest(request, printer, &error), 0) << error;
    }
    ippDelete(request);
  }
  // Over IPP a media collection's size name is checked too (the framework crashes on one it does not
  // know), and one loaded size is taken for the one source.
  ipp_t* col = ippNew();
  ippAddString(col, IPP_TAG_ZERO, IPP_TAG_KEYWORD, "media-size-name", nullptr, "bogus");
  ipp_t* request = ippNew();
  ippAddCollection(request, IPP_TAG_PRINTER, "media-col-default", col);
  static const char* const two[] = {"oe_4x3-label_4x3in", "oe_4x3-label_4x3in"};
  for (const int count : {0, 2}) {
    ipp_t* ready = ippNew();
    if (count > 0) ippAddStrings(ready, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "media-ready", count, nullptr, two);
    std::string error;
    EXPECT_EQ(checkSettingsRequest(count > 0 ? ready : request, printer, &error), 1) << error;
    ippDelete(ready);
  }
  ippDelete(request);
  ippDelete(col);
  ippDelete(printer);
}

// Each printer's own lines go into its block of the state file before its jobs (the framework's loader
// stops at a job without a document), else before its end; a long line is copied whole.
TEST(StateFile, SavedLinesComeBeforeTheJobs) {
  const std::string job = "Job id=\"4\" name=\"" + std::string(9000, 'x') + "\"\n";
  const auto lines = [](int id) { return id == 9 ? "" : "line " + std::to_string(id) + "\n"; };
  EXPECT_EQ(annotateSavedState(
                "UUID 1\n<Printer id=\"1\">\nNextJobId 5\n</Printer>\n<Printer id=\"9\">\n</Printer>\n"
                "<Printer id=\"3\">\n" +
                    job + "Job id=\"5\"\n</Printer>\n",
                lines, [](int, int) { return uint64_t{0}; }),
            "UUID 1\n<Printer id=\"1\">\nNextJobId 5\nline 1\n</Printer>\n<Printer id=\"9\">\n</Printer>\n"
            "<Printer id=\"3\">\nline 3\n" +
                job + "Job id=\"5\"\n</Printer>\n");
}

// The length the printer measures becomes the loaded labels' only while nobody chose their size: a
// listed size of that length by its name, another as a custom size; under a millimetre of change, or a
// length no label has, leaves them alone.
TEST(MeasuredLength, NeverReplacesAChosenSize) {
  pappl_pr_driver_data_t data{};
  ipp_t* attributes = nullptr;
  ASSERT_TRUE(
      labelDriver(nullptr, "generic-label-203dpi", "socket://printer", nullptr, &data, &attributes, nullptr));
  for (const auto& [dots, chosen, size] : {std::tuple{609, false, "oe_4x3-label_4x3in"},
                                           {1020, false, "custom_101.6x127.62mm_101.6x127.62mm"},
                                           {1214, false, "na_index-4x6_4x6in"},
                                           {99999, false, "na_index-4x6_4x6in"},
                                           {609, true, "na_index-4x6_4x6in"}}) {
    pappl_media_col_t ready = data.media_ready[0];
    EXPECT_EQ(measuredReady(data, dots, chosen, &ready), std::strcmp(size, "na_index-4x6_4x6in") != 0)
        << dots;
    EXPECT_STREQ(ready.size_name, size) << dots << (chosen ? ", chosen" : "");
  }
  labelDelete(nullptr, &data);
  ippDelete(attributes);
}

// A command line's "-o" text as the framework reads it: a word that begins no option belongs to the
// value before it; what is already in the framework's own syntax stays as written.
TEST(OptionWords, ValuesWithBlanksStayWhole) {
  for (const auto& [text, location] : {std::pair{"printer-location=Dock 4 copies=2", "Dock 4"},
                                       {"printer-location=Bob's  desk", "Bob's  desk"},
                                       {"printer-location='Dock 4' copies=2", "Dock 4"},
                                       {"copies=2 printer-location={a=b}", "{a=b}"}}) {
    cups_option_t* options = nullptr;
    const int count = cupsParseOptions(joinOptionWords(text).c_str(), 0, &options);
    EXPECT_STREQ(cupsGetOption("printer-location", count, options), location) << text;
    EXPECT_EQ(count, std::strstr(text, "copies") != nullptr ? 2 : 1) << text;
    cupsFreeOptions(count, options);
  }
}

// 'writeGreyPng()' - rows 'top' to 'bottom' of an 8-bit grey image as a PNG file, each dot 'scale' x
// 'scale' pixels.
bool writeGreyPng(const greyImage& image, unsigned top, unsigned bottom, unsigned scale,
                  const std::string& path) {
  const size_t width = size_t(image.width) * scale;
  std::vector<unsigned char> pixels(width * (bottom - top) * scale);
  for (size_t y = 0; y < size_t(bottom - top) * scale; ++y)
    for (size_t x = 0; x < width; ++x)
      pixels[y * width + x] = image.pixels[(top + y / scale) * image.width + x / scale];
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  png.width = image.width * scale;
  png.height = (bottom - top) * scale;
  png.format = PNG_FORMAT_GRAY;
  png.flags = PNG_IMAGE_FLAG_FAST;
  return png_image_write_to_file(&png, path.c_str(), 0, pixels.data(), 0, nullptr) != 0;
}

// 'scanImages()' - what a reader finds in each of the image files, one line a code, by file; empty
// without a reader. One run for them all: the reader's start is most of its time.
std::map<std::string, std::string> scanImages(const std::vector<std::string>& paths) {
  std::map<std::string, std::string> found;
#if defined(ZBARIMG_PATH)
  std::string command = std::string(ZBARIMG_PATH) + " -q --xml";
  for (const std::string& path : paths) command += " '" + path + "'";
  FILE* scan = popen((command + " 2>/dev/null").c_str(), "r");
  std::string xml;
  char read[4096];
  for (size_t n; scan != nullptr && (n = std::fread(read, 1, sizeof read, scan)) > 0;) xml.append(read, n);
  if (scan != nullptr) pclose(scan);
  for (size_t at = 0; (at = xml.find("<source href='", at)) != std::string::npos;) {
    at += 14;
    const std::string path = xml.substr(at, xml.find('\'', at) - at);
    const size_t end = xml.find("</source>", at);
    std::string& text = found[path];
    for (size_t data = at; (data = xml.find("<![CDATA[", data)) != std::string::npos && data < end;) {
      data += 9;
      text += xml.substr(data, xml.find("]]>", data) - data) + "\n";
    }
  }
#else
  (void)paths;
#endif
  return found;
}

// The test label on every size of every driver, the smallest custom size among them: white outside its
// border and a white ring inside it (nothing runs into the edges), its barcode and quiet zones whole
// inside the border with nothing drawn over them, the parts a size has room for, and, with a reader,
// the barcode read back.
TEST(TestLabel, WholeAtEverySizeAndResolution) {
#if !defined(ZBARIMG_PATH)
  std::printf("zbarimg not found (Debian package zbar-tools): the test labels' barcodes are not read back\n");
#endif
  const std::string printer = "Warehouse 3";
  const std::string folder = ::testing::TempDir() + "/test-labels";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  std::map<std::string, std::pair<std::string, std::string>> expected;  // by file: the size, the code
  int labels = 0;
  for (int d = 0; d < kDriverCount; ++d) {
    pappl_pr_driver_data_t data{};
    ipp_t* attributes = nullptr;
    ASSERT_TRUE(
        labelDriver(nullptr, kDrivers[d].name, "socket://printer", nullptr, &data, &attributes, nullptr));
    const int dpi = data.x_default;
    for (int m = 0; m < data.num_media; ++m) {
      if (std::strncmp(data.media[m], "custom_max_", 11) == 0) continue;
      const pwg_media_t* size = pwgMediaForPWG(data.media[m]);
      ASSERT_NE(size, nullptr) << data.media[m];
      const std::string what = std::string(data.media[m]) + " at " + std::to_string(dpi) + " dpi";
      SCOPED_TRACE(what);
      const testLabelFacts facts{printer,
                                 data.make_and_model,
                                 dpi,
                                 uint32_t(size->width * int64_t{dpi} / 2540),
                                 uint32_t(size->length * int64_t{dpi} / 2540),
                                 50,
                                 4};
      greyImage label;
      testLabelLayout at;
      ASSERT_TRUE(drawTestLabel(facts, &label, &at));
      ++labels;
      const int w = int(label.width), h = int(label.height);
      ASSERT_EQ(label.pixels.size(), size_t(w) * h);
      const auto dot = [&](int x, int y) { return label.pixels[size_t(y) * w + x]; };
      // Rings: 0 the edge, white; 1 the border, black; 2 inside it, white.
      for (const auto& [ring, ink] : {std::pair{0, 255}, {1, 0}, {2, 255}}) {
        int wrong = 0;
        for (int x = ring; x < w - ring; ++x) wrong += (dot(x, ring) != ink) + (dot(x, h - 1 - ring) != ink);
        for (int y = ring; y < h - ring; ++y) wrong += (dot(ring, y) != ink) + (dot(w - 1 - ring, y) != ink);
        EXPECT_EQ(wrong, 0) << "ring " << ring;
      }
      // The barcode and its quiet zones of 10 modules between the border's lines and the margins.
      const int quiet = 10 * at.module;
      ASSERT_GE(at.module, 1);
      EXPECT_GE(at.barX - quiet, 2);
      EXPECT_LE(at.barX + at.barWidth + quiet, w - 2);
      EXPECT_GE(at.barY, at.margin);
      EXPECT_LE(at.barY + at.barHeight, h - at.margin);
      EXPECT_GE(at.barHeight, std::min(h - 2 * at.margin, dpi * 4 / 25));  // 4 mm where there is room
      int dirty = 0, bars = 0;
      for (int y = at.barY; y < at.barY + at.barHeight; ++y) {
        for (int x = at.barX - quiet; x < at.barX; ++x) dirty += dot(x, y) != 255;
        for (int x = at.barX + at.barWidth; x < at.barX + at.barWidth + quiet; ++x) dirty += dot(x, y) != 255;
        bars += (dot(at.barX, y) == 0) + (dot(at.barX + at.barWidth - 1, y) == 0);
      }
      EXPECT_EQ(dirty, 0) << "ink in the quiet zones";
      EXPECT_EQ(bars, 2 * at.barHeight) << "the first and last bars";
      // The whole name on every listed size (1.25 in wide or more), its first characters on the smallest.
      if (facts.width * 100 >= uint32_t(dpi) * 125) {
        EXPECT_EQ(at.barcode, testLabelBarcode(printer));
        EXPECT_GE(at.ladderSteps, 2);
      } else {
        EXPECT_FALSE(at.barcode.empty());
        EXPECT_EQ(testLabelBarcode(printer).rfind(at.barcode, 0), 0u) << at.barcode;
      }
      if (facts.height >= uint32_t(dpi)) {
        EXPECT_GE(at.textLines, 1);  // at least the name on 1 in
      }
      if (facts.width >= uint32_t(4 * dpi) && facts.height >= uint32_t(2 * dpi)) {
        EXPECT_EQ(at.ladderSteps, 4);
        EXPECT_TRUE(at.ruler);
        EXPECT_TRUE(at.barcodeText);
        EXPECT_GE(at.textLines, 4);
        EXPECT_EQ(at.barHeight, (10 * dpi * 10 + 127) / 254);  // a centimetre
      }
      // Read from the label's width across the barcode's rows and a millimetre above and below, the
      // reader's time being the area it reads. A scanner sees a printed dot with more than one pixel:
      // labels of one dot a module are read at two pixels a dot, since a reader of one pixel a dot
      // misses some of their edges.
      const std::string png = folder + "/" + std::to_string(labels) + ".png";
      const int around = dpi / 25;
      ASSERT_TRUE(writeGreyPng(label, unsigned(std::max(0, at.barY - around)),
                               unsigned(std::min(h, at.barY + at.barHeight + around)), at.module == 1 ? 2 : 1,
                               png));
      expected[png] = {what, at.barcode + "\n"};
    }
    labelDelete(nullptr, &data);
    ippDelete(attributes);
  }
  EXPECT_EQ(labels, 4 * 23);
#if defined(ZBARIMG_PATH)
  std::vector<std::string> files;
  for (const auto& [file, label] : expected) files.push_back(file);
  const std::map<std::string, std::string> read = scanImages(files);
  for (const auto& [file, label] : expected) {
    const auto found = read.find(file);
    EXPECT_EQ(found != read.end() ? found->second : "(not read)", label.second) << label.first;
  }
#endif
  std::filesystem::remove_all(folder);
}

// Labels too small for the barcode and its quiet zones are refused, not cut.
TEST(TestLabel, RefusesWhatCannotHoldTheBarcode) {
  const struct {
    int dpi;
    uint32_t width, height;
    bool drawn;
  } cases[] = {{203, 4, 100, false}, {203, 100, 4, false},  {0, 800, 800, false}, {152, 60, 38, false},
               {152, 70, 38, true},  {203, 101, 19, false}, {203, 101, 20, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height) + " at " + std::to_string(c.dpi));
    greyImage label;
    testLabelLayout at;
    EXPECT_EQ(drawTestLabel({"Warehouse 3", "Model", c.dpi, c.width, c.height, 50, 0}, &label, &at), c.drawn);
    if (c.drawn) {
      EXPECT_LE(at.barX + at.barWidth + 10 * at.module, int(c.width) - 2);
    }
  }
}

// Who prints next: the higher job-priority, then the earlier place, then the lower id.
TEST(Queue, FirstInFirstOut) {
  const struct {
    const char* name;
    std::vector<queuedJob> jobs;
    int first;
  } cases[] = {
      {"none", {}, -1},
      {"newest last", {{8, 50, 8, false}, {7, 50, 7, false}, {1, 50, 1, false}}, 2},
      {"released from a hold goes after those before it", {{3, 50, 9, false}, {4, 50, 4, false}}, 1},
      {"a stream in its turn", {{5, 50, 6, false}, {0, 50, 5, true}}, 1},
      {"a higher priority first", {{1, 50, 1, false}, {2, 80, 2, false}}, 1},
      {"a job without a place after those with one", {{1, 50, UINT64_MAX, false}, {2, 50, 2, false}}, 1},
      {"equal places by id", {{4, 50, 3, false}, {2, 50, 3, false}}, 1},
  };
  for (const auto& c : cases) EXPECT_EQ(firstInQueue(c.jobs), c.first) << c.name;
}

// The state read back: a printer saved with the driver "auto" gets the driver of its saved
// resolution, a job that was printing waits to print again, the places come back, and the rest is left
// as it was, the printer's line with its five values.
TEST(StateFile, MendsWhatEarlierStatesLost) {
  const std::string saved =
      "NextPrinterID 3\n"
      "<Printer id=\"1\" name=\"dock \\\"4\\\"\" did=\"\" uri=\"socket://p:9100\" driver=\"auto\">\n"
      "printer-resolution-default 300x300dpi\n"
      "Job id=\"5\" name=\"a\" username=\"u\" format=\"f\" state=\"5\" place=\"12\"\n"
      "Job id=\"6\" name=\"b\" username=\"u\" format=\"f\" state=\"3\" place=\"14\"\n"
      "Job id=\"4\" name=\"c\" username=\"u\" format=\"f\" state=\"9\"\n"
      "Job id=\"7\" name=\"d\" username=\"u\" state=\"4\"\n"
      "</Printer>\n"
      "<Printer id=\"2\" name=\"q\" did=\"\" uri=\"file:///x\" driver=\"generic-label-203dpi\">\n"
      "</Printer>\n";
  std::vector<savedPlace> places;
  std::vector<std::string> notes;
  std::vector<int> asked;
  const std::string text = prepareStateForLoad(
      saved,
      [&asked](const std::string&, int dpi) {
        asked.push_back(dpi);
        return std::string(driverForResolution(dpi));
      },
      &places, &notes);
  EXPECT_EQ(asked, std::vector<int>{300});
  EXPECT_NE(text.find("driver=\"generic-label-300dpi\""), std::string::npos) << text;
  EXPECT_NE(text.find("name=\"dock \\\"4\\\"\""), std::string::npos) << text;
  EXPECT_NE(text.find("Job format=\"f\" id=\"5\" name=\"a\" place=\"12\" state=\"3\""), std::string::npos)
      << text;
  EXPECT_NE(text.find("state=\"9\"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("id=\"7\" name=\"d\" state=\"4\" username=\"u\" format=\"application/octet-stream\""),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("driver=\"generic-label-203dpi\">\n</Printer>\n"), std::string::npos) << text;
  cups_option_t* options = nullptr;
  const std::string first =
      text.substr(text.find("<Printer ") + 9, text.find(">\n") - text.find("<Printer ") - 9);
  EXPECT_EQ(cupsParseOptions(first.c_str(), 0, &options), 5) << first;
  cupsFreeOptions(5, options);
  ASSERT_EQ(places.size(), 2u);
  EXPECT_EQ(places[0].printerId, 1);
  EXPECT_EQ(places[0].jobId, 5);
  EXPECT_EQ(places[0].place, 12u);
  EXPECT_EQ(places[1].place, 14u);
  EXPECT_EQ(notes.size(), 2u);

  // Written back: the places on the queued jobs only, the printer's own lines at its block's end.
  const std::string written = annotateSavedState(
      text, [](int id) { return id == 1 ? std::string("print-speed-default 5080\n") : std::string(); },
      [](int printer, int job) { return printer == 1 ? uint64_t(job) * 10 : 0; });
  EXPECT_NE(written.find("id=\"5\" name=\"a\" place=\"50\""), std::string::npos) << written;
  EXPECT_NE(written.find("300x300dpi\nprint-speed-default 5080\nJob "), std::string::npos) << written;
}

// The state file is replaced whole, private to the server; one server holds the state's lock.
TEST(StateFile, ReplacedWholeAndLocked) {
  const std::string folder = std::filesystem::temp_directory_path() / ("state-" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  const std::string path = folder + "/x.state";
  std::string error;
  ASSERT_TRUE(replaceFile(path, "old\n", &error)) << error;
  ASSERT_TRUE(replaceFile(path, "new\n", &error)) << error;
  EXPECT_EQ(readWholeFile(path), "new\n");
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_FALSE(std::filesystem::exists(path + ".new"));
  EXPECT_FALSE(replaceFile(folder + "/missing/x.state", "x", &error));
  int holder = -1;
  const int lock = lockStateFolder(path, &holder, &error);
  ASSERT_GE(lock, 0) << error;
  error.clear();
  EXPECT_EQ(lockStateFolder(path, &holder, &error), -1);
  EXPECT_EQ(holder, getpid());
  EXPECT_EQ(error, "");
  close(lock);
  const int again = lockStateFolder(path, &holder, &error);
  EXPECT_GE(again, 0);
  close(again);
  std::filesystem::remove_all(folder);
}

}  // namespace

// The job-history server option: a whole number of jobs within the limits, nothing else; a refused
// value leaves the history as it was.
TEST(JobHistory, TakesOnlyACountWithinTheLimits) {
  const struct {
    const char* value;
    int status;
    int history;
  } cases[] = {
      {"100", 0, 100},
      {"1", 0, 1},
      {"1000", 0, 1000},
      {"0", 1, 7},
      {"1001", 1, 7},
      {"-5", 1, 7},
      {"+5", 1, 7},
      {" 5", 1, 7},
      {"5 ", 1, 7},
      {"5x", 1, 7},
      {"", 1, 7},
      {"1e3", 1, 7},
      {"99999999999999999999", 1, 7},
      {nullptr, 1, 7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value != nullptr ? c.value : "(none)");
    int history = 7;
    EXPECT_EQ(parseJobHistory(c.value, &history), c.status);
    EXPECT_EQ(history, c.history);
  }
}

// The pdf-time-limit server option: whole seconds within the limits, nothing else; a refused value
// leaves the limit as it was.
TEST(PdfTimeLimit, TakesOnlySecondsWithinTheLimits) {
  const struct {
    const char* value;
    int status;
    int seconds;
  } cases[] = {
      {"120", 0, 120}, {"1", 0, 1},   {"86400", 0, 86400}, {"0", 1, 7},  {"86401", 1, 7}, {"-1", 1, 7},
      {"2.5", 1, 7},   {"30s", 1, 7}, {"", 1, 7},          {" 9", 1, 7}, {nullptr, 1, 7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value != nullptr ? c.value : "(none)");
    int seconds = 7;
    EXPECT_EQ(parsePdfTimeLimit(c.value, &seconds), c.status);
    EXPECT_EQ(seconds, c.seconds);
  }
}

// A Get-Printer-Attributes request's names as the framework is to read them: "all" beside other names
// is every attribute (the media database added when named), and each group brings the label attributes
// that belong to it, and no others.
TEST(RequestedAttributes, GroupsBringTheirLabelAttributes) {
  using names = std::vector<std::string>;
  const struct {
    names asked;
    bool database;
    names present;  // in the names for the framework
    names absent;
  } cases[] = {
      {{"all"}, false, {"all"}, {"label-mode-supported"}},
      {{"all", "media-col-database"}, true, {"all"}, {"media-col-database", "label-mode-supported"}},
      {{"media-col-database", "printer-name", "all"}, true, {"all"}, {"printer-name"}},
      {{"printer-description"},
       false,
       {"printer-description", "label-mode-supported", "label-mode-configured", "printer-darkness-supported",
        "printer-darkness-configured", "label-tear-offset-supported", "printer-strings-uri"},
       {"print-darkness-supported", "label-mirror-default", "media-col-database"}},
      {{"printer-description", "media-col-database"},
       false,
       {"media-col-database", "label-mode-supported"},
       {"print-speed-supported"}},
      {{"job-template"},
       false,
       {"print-darkness-default", "print-darkness-supported", "print-speed-default", "print-speed-supported",
        "media-tracking-supported", "label-pause-default", "label-pause-supported",
        "label-tear-offset-supported", "label-media-type-supported"},
       {"label-mode-supported", "printer-darkness-supported"}},
      {{"print-speed-supported"}, false, {"print-speed-supported"}, {"label-mode-supported"}},
      {{"printer-description", "label-mode-supported"}, false, {"label-mode-supported"}, {}},
  };
  for (const auto& c : cases) {
    std::string trace;
    for (const std::string& name : c.asked) trace += name + ",";
    SCOPED_TRACE(trace);
    bool database = !c.database;
    const names expanded = expandRequestedAttributes(c.asked, &database);
    EXPECT_EQ(database, c.database);
    for (const std::string& name : c.present)
      EXPECT_EQ(std::count(expanded.begin(), expanded.end(), name), 1) << name;
    for (const std::string& name : c.absent)
      EXPECT_EQ(std::count(expanded.begin(), expanded.end(), name), 0) << name;
  }
}

// Where the server listens: every interface on both families when no name is given, each address of a
// host name, and one address or a domain socket as given.
TEST(Listeners, BothFamiliesOnOnePort) {
  using names = std::vector<std::string>;
  const struct {
    const char* name;
    names expected;  // all of them, in any order
  } cases[] = {
      {nullptr, {"0.0.0.0", "[::]"}},
      {"", {"0.0.0.0", "[::]"}},
      {"*", {"0.0.0.0", "[::]"}},
      {"127.0.0.1", {"127.0.0.1"}},
      {"[::1]", {"[::1]"}},
      {"/run/label-printer-app.sock", {"/run/label-printer-app.sock"}},
      {"localhost", {"127.0.0.1", "[::1]"}},
      {"no-such-host.invalid", {"no-such-host.invalid"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name != nullptr ? c.name : "(none)");
    names got = listenAddresses(c.name, 8000);
    names expected = c.expected;
    std::sort(got.begin(), got.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(got, expected);
  }
}

// The framework's sentences as items of the status line's list, which ends with a full stop of its own;
// only the state reasons' words are listed so.
TEST(PageWords, ListItemsWithoutTheirFullStop) {
  const struct {
    const char* sentence;
    const char* item;
  } items[] = {{"Cover open.", "Cover open"},
               {"Offline", "Offline"},
               {"Out of paper. ", "Out of paper"},
               {"", ""},
               {"...", ""},
               {"e.g. this", "e.g. this"}};
  for (const auto& c : items) EXPECT_EQ(listItemWords(c.sentence), c.item) << c.sentence;
  EXPECT_EQ(listWordsKey("printer-state-reasons.media-empty"),
            "label-list.printer-state-reasons.media-empty");
  for (const char* key : {"Unable to use that driver.", "printer-state-reasons", "media.custom", ""})
    EXPECT_EQ(listWordsKey(key), "") << key;
  EXPECT_EQ(listWordsKey(nullptr), "");
}

TEST(SheetMedia, TakenOnlyWhenNoLabelIsThatLarge) {
  pappl_pr_driver_data_t data{};
  ipp_t* attributes = nullptr;
  ASSERT_TRUE(labelDriver(nullptr, "generic-label-203dpi", "socket://printer.example", nullptr, &data,
                          &attributes, nullptr));
  const auto sizeCol = [](int width, int length) {
    ipp_t* size = ippNew();
    ippAddInteger(size, IPP_TAG_ZERO, IPP_TAG_INTEGER, "x-dimension", width);
    ippAddInteger(size, IPP_TAG_ZERO, IPP_TAG_INTEGER, "y-dimension", length);
    ipp_t* col = ippNew();
    ippAddCollection(col, IPP_TAG_ZERO, "media-size", size);
    ippDelete(size);
    return col;
  };
  const struct {
    const char* media;  // a "media" keyword, or nullptr for a media-col of 'width' x 'length'
    int width, length;  // hundredths of a millimetre
    bool taken;
  } cases[] = {
      {"na_letter_8.5x11in", 0, 0, true},  {"Letter", 0, 0, true},
      {"iso_a4_210x297mm", 0, 0, true},    {"A4", 0, 0, true},
      {"na_index-4x6_4x6in", 0, 0, false}, {"oe_4x3-label_4x3in", 0, 0, false},
      {"no-such-size", 0, 0, false},       {nullptr, 21590, 27940, true},
      {nullptr, 10160, 15240, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.media != nullptr ? c.media : std::to_string(c.width) + "x" + std::to_string(c.length));
    ipp_t* request = ippNewRequest(IPP_OP_PRINT_JOB);
    if (c.media != nullptr) {
      ippAddString(request, IPP_TAG_JOB, IPP_TAG_KEYWORD, "media", nullptr, c.media);
    } else {
      ipp_t* col = sizeCol(c.width, c.length);
      ippAddCollection(request, IPP_TAG_JOB, "media-col", col);
      ippDelete(col);
    }
    EXPECT_EQ(takeSheetMedia(request, data), c.taken);
    EXPECT_EQ(ippFindAttribute(request, c.media != nullptr ? "media" : "media-col", IPP_TAG_ZERO) == nullptr,
              c.taken);
    ippDelete(request);
  }
  labelDelete(nullptr, &data);
  ippDelete(attributes);
}

namespace {

// 'ippValue()' - one value on the wire: its tag, its name ("" for another value of the attribute before
// it) and its bytes.
std::string ippValue(unsigned char tag, const std::string& name, const std::string& value) {
  std::string bytes(1, static_cast<char>(tag));
  for (const std::string* part : {&name, &value}) {
    bytes += static_cast<char>(part->size() >> 8);
    bytes += static_cast<char>(part->size() & 0xFF);
    bytes += *part;
  }
  return bytes;
}

const std::string kIppHeader("\x02\x00\x00\x0b\x00\x00\x00\x01\x01",
                             9);  // Get-Printer-Attributes, operation group

}  // namespace

// The scan of a request's message counts its values (a further value, a collection's members and its
// end each count) and finds its end, fed whole or a byte at a time; past 1 MiB or 10,000 values it is
// over the limits.
TEST(ScanIpp, CountsValuesAndBytesAcrossAnySplit) {
  const std::string charset = ippValue(0x47, "attributes-charset", "utf-8");
  std::string manyValues = ippValue(0x44, "requested-attributes", "all");
  for (int i = 1; i < 10000; ++i) manyValues += ippValue(0x44, "", "x");
  std::string large = ippValue(0x41, "a", std::string(30000, 'y'));
  for (int i = 0; i < 35; ++i) large += ippValue(0x41, "", std::string(30000, 'y'));
  const struct {
    const char* name;
    std::string message;
    uint32_t values;
    bool ended;
    bool within;
  } cases[] = {
      {"one value", kIppHeader + charset + "\x03", 1, true, true},
      {"a group tag and a further value",
       kIppHeader + charset + "\x02" + ippValue(0x44, "job-sheets", "none") + ippValue(0x44, "", "none") +
           "\x03",
       3, true, true},
      {"a collection",
       kIppHeader + ippValue(0x34, "media-col", "") + ippValue(0x4A, "", "media-size") +
           ippValue(0x34, "", "") + ippValue(0x4A, "", "x-dimension") +
           ippValue(0x21, "", std::string("\0\0\x27\x10", 4)) + ippValue(0x37, "", "") +
           ippValue(0x37, "", "") + "\x03",
       7, true, true},
      {"an extension tag",
       kIppHeader + std::string("\x7F\x00\x00\x10\x00", 5) + ippValue(0x00, "x", "y").substr(1) + "\x03", 1,
       true, true},
      {"empty names and values", kIppHeader + ippValue(0x13, "", "") + ippValue(0x13, "", ""), 2, false,
       true},
      {"cut within a value", kIppHeader + charset.substr(0, charset.size() - 2), 0, false, true},
      {"10,000 values", kIppHeader + manyValues + "\x03", 10000, true, true},
      {"10,001 values", kIppHeader + manyValues + ippValue(0x44, "", "x") + "\x03", 10001, true, false},
      {"more than 1 MiB in 36 values", kIppHeader + large, 36, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto* bytes = reinterpret_cast<const unsigned char*>(c.message.data());
    ippScan whole;
    EXPECT_EQ(scanIpp(&whole, bytes, c.message.size()), c.within);
    EXPECT_EQ(whole.values, c.values);
    EXPECT_EQ(whole.ended, c.ended);
    EXPECT_EQ(whole.bytes, c.message.size());
    if (c.message.size() > 100000) continue;
    ippScan split;
    bool within = true;
    for (size_t at = 0; at < c.message.size(); ++at) within = scanIpp(&split, bytes + at, 1) && within;
    EXPECT_EQ(within, c.within);
    EXPECT_EQ(split.values, c.values);
    EXPECT_EQ(split.ended, c.ended);
  }
  EXPECT_NE(requestRefusal(ippScan{0, 10001}).find("at most 10000)"), std::string::npos);
  EXPECT_NE(requestRefusal(ippScan{(1 << 20) + 1, 3}).find("at most 1 MiB)"), std::string::npos);
}

// Whom a connection counts against: an IPv4 address, an IPv6 /64 (a v4-mapped one as IPv4), never the
// machine itself.
TEST(ConnectionKey, AddressesAndNetworks) {
  const auto address = [](const char* text) {
    http_addr_t a{};
    if (text[0] == '/') {
      a.un.sun_family = AF_LOCAL;
    } else if (std::strchr(text, ':') != nullptr) {
      a.ipv6.sin6_family = AF_INET6;
      inet_pton(AF_INET6, text, &a.ipv6.sin6_addr);
    } else {
      a.ipv4.sin_family = AF_INET;
      inet_pton(AF_INET, text, &a.ipv4.sin_addr);
    }
    return a;
  };
  const struct {
    const char* address;
    const char* key;
  } cases[] = {
      {"192.0.2.7", "192.0.2.7"},
      {"127.0.0.1", ""},
      {"127.0.0.2", ""},
      {"::1", ""},
      {"/run/label-printer-app.sock", ""},
      {"2001:db8:1:2::5", "2001:0db8:0001:0002::/64"},
      {"2001:db8:1:2:ffff:1:2:9", "2001:0db8:0001:0002::/64"},
      {"2001:db8:1:3::5", "2001:0db8:0001:0003::/64"},
      {"::ffff:192.0.2.9", "192.0.2.9"},
      {"::ffff:127.0.0.1", ""},
  };
  for (const auto& c : cases) {
    const http_addr_t a = address(c.address);
    EXPECT_EQ(connectionKey(&a), c.key) << c.address;
  }
  EXPECT_EQ(connectionKey(nullptr), "");
}

// An address's connections up to the limit, one more once one has ended; other addresses and the
// machine itself apart.
TEST(TakeConnection, CountsEachAddressUpToTheLimit) {
  connectionCounts counts;
  counts.limit = 2;
  const struct {
    bool take;  // or give back
    const char* key;
    bool taken;
  } steps[] = {{true, "a", true},  {true, "a", true},  {true, "a", false}, {true, "b", true},
               {true, "", true},   {true, "", true},   {true, "", true},   {false, "a", true},
               {true, "a", true},  {true, "a", false}, {false, "a", true}, {false, "a", true},
               {false, "a", true}, {true, "a", true}};
  for (const auto& s : steps) {
    if (s.take) {
      EXPECT_EQ(takeConnection(&counts, s.key), s.taken) << s.key;
    } else {
      giveConnection(&counts, s.key);
    }
  }
  EXPECT_EQ(counts.open.size(), 2u) << "a and b, never the machine itself";
}

// The spool limit's sizes: whole numbers with an optional K, M, G or T from 1 MiB to 1 TiB; a refused
// value leaves the default.
TEST(ParseSize, SuffixesAndBounds) {
  const struct {
    const char* value;
    int status;
    int64_t bytes;
  } cases[] = {{"512M", 0, int64_t{512} << 20},
               {"1048576", 0, 1 << 20},
               {"1T", 0, int64_t{1} << 40},
               {"1023K", 1, 7},
               {"2T", 1, 7},
               {"0", 1, 7},
               {"-1G", 1, 7},
               {"1GB", 1, 7},
               {"99999999999999999999M", 1, 7},
               {nullptr, 1, 7}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value != nullptr ? c.value : "(none)");
    int64_t bytes = 7;
    EXPECT_EQ(parseSize(c.value, &bytes), c.status);
    EXPECT_EQ(bytes, c.bytes);
  }
}

// A document goes on within its limit (the document limit, or a smaller spool limit) and the spool's
// room; past its own limit it is too large, past the spool's room busy.
TEST(RefuseDocument, TooLargeOrBusy) {
  constexpr int64_t M = int64_t{1} << 20;
  const struct {
    const char* name;
    int64_t spoolLimit, bytes, spooled, receiving;
    ipp_status_t status;
    const char* words;
  } cases[] = {
      {"room", 1024 * M, 10 * M, 100 * M, 20 * M, IPP_STATUS_OK, ""},
      {"at the document limit", 1024 * M, 128 * M, 0, 128 * M, IPP_STATUS_OK, ""},
      {"past the document limit", 1024 * M, 128 * M + 1, 0, 128 * M + 1, IPP_STATUS_ERROR_REQUEST_ENTITY,
       "128 MiB"},
      {"past a smaller spool limit", 16 * M, 16 * M + 1, 0, 16 * M + 1, IPP_STATUS_ERROR_REQUEST_ENTITY,
       "16 MiB"},
      {"the spool full of others", 16 * M, 1, 16 * M, 1, IPP_STATUS_ERROR_BUSY, "spool is full"},
      {"others on their way", 16 * M, 4 * M, 2 * M, 15 * M, IPP_STATUS_ERROR_BUSY, "spool is full"},
      {"just fits", 16 * M, 4 * M, 12 * M, 4 * M, IPP_STATUS_OK, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string message;
    EXPECT_EQ(refuseDocument(c.spoolLimit, c.bytes, c.spooled, c.receiving, &message), c.status);
    EXPECT_NE(message.find(c.words), std::string::npos) << message;
  }
}

// The docless-job-timeout server option: whole seconds from 1 to a day, nothing else.
TEST(DoclessJobTimeout, TakesOnlySecondsWithinTheLimits) {
  const struct {
    const char* value;
    int status;
    int seconds;
  } cases[] = {
      {"300", 0, 300}, {"1", 0, 1},  {"86400", 0, 86400}, {"0", 1, 7}, {"86401", 1, 7},
      {"-1", 1, 7},    {"5s", 1, 7}, {" 5", 1, 7},        {"", 1, 7},  {"99999999999999999999", 1, 7},
      {nullptr, 1, 7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value != nullptr ? c.value : "(none)");
    int seconds = 7;
    EXPECT_EQ(parseDoclessTimeout(c.value, &seconds), c.status);
    EXPECT_EQ(seconds, c.seconds);
  }
}

// A job printed by a signed-in user is owned by that account alone; any other job by the
// requesting-user-name that printed it.
TEST(JobOwner, ASignedInAccountIsNotAName) {
  const struct {
    const char* owner;
    const char* signedInOwner;
    const char* account;
    const char* requesting;
    bool owns;
  } cases[] = {
      {"alice", "", "", "alice", true},            // neither signed in
      {"alice", "", "", "bob", false},             // another name
      {"alice", "", "alice", "alice", true},       // signed in for a job that was not
      {"alice", "alice", "alice", "alice", true},  // the account itself
      {"alice", "alice", "", "alice", false},      // the name alone, not signed in
      {"alice", "alice", "bob", "alice", false},   // another account sending her name
      {"alice", "alice", "", "", false},           //
      {"", "", "", "", false},                     // a job without an owner is nobody's
      {"", "", "", "guest", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.owner) + "/" + c.signedInOwner + " by " + c.account + "/" + c.requesting);
    EXPECT_EQ(ownsJob(c.owner, c.signedInOwner, c.account, c.requesting), c.owns);
  }
}

// Only the framework's names of job files in the spool folder are taken as a job's, with their ids.
TEST(SpoolFiles, OnlyTheFrameworksNames) {
  const struct {
    const char* name;
    bool job;
    int printerId;
    int jobId;
  } cases[] = {
      {"p00001j000000042-label.ipp", true, 1, 42},
      {"p00012j123456789-untitled.prn", true, 12, 123456789},
      {"p00001j000000042-.png", true, 1, 42},
      {"p00001j000000042-a_b-c.pwg", true, 1, 42},
      {"p00001j000000042-label", false, 0, 0},      // no extension
      {"p00001j000000042-label.", false, 0, 0},     //
      {"p00001j000000042-Label.ipp", false, 0, 0},  // the framework writes lower case
      {"p00001j000000042-la bel.ipp", false, 0, 0},
      {"p00001j000000042-label.ipp~", false, 0, 0},
      {"p0001j000000042-label.ipp", false, 0, 0},  // digits short
      {"p00001x000000042-label.ipp", false, 0, 0},
      {"p00001j00000004a-label.ipp", false, 0, 0},
      {"p00001j000000042_label.ipp", false, 0, 0},
      {"label-printer-app.state", false, 0, 0},
      {".", false, 0, 0},
      {"", false, 0, 0},
      {nullptr, false, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name != nullptr ? c.name : "(none)");
    int printerId = 0, jobId = 0;
    EXPECT_EQ(spoolFileJob(c.name, &printerId, &jobId), c.job);
    EXPECT_EQ(printerId, c.printerId);
    EXPECT_EQ(jobId, c.jobId);
  }
}

// Membership of a group: the account's primary group or another it is listed in; unknown accounts and
// groups are members of nothing.
TEST(PrintGroup, MembersOnly) {
  const struct passwd* self = getpwuid(getuid());
  const struct group* primary = getgrgid(getgid());
  ASSERT_TRUE(self != nullptr && primary != nullptr);
  const std::string user = self->pw_name, group = primary->gr_name;
  const struct {
    std::string user;
    std::string group;
    bool member;
  } cases[] = {
      {user, group, true},
      {"label-no-such-user", group, false},
      {user, "label-no-such-group", false},
      {"", group, false},
      {user, "", false},
      {"nobody", user == "root" ? "root" : group, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.user + " in " + c.group);
    EXPECT_EQ(userInGroup(c.user.c_str(), c.group.c_str()), c.member);
  }
  EXPECT_FALSE(userInGroup(nullptr, group.c_str()));
}

namespace {

// 'addEvent()' - an event notification of a job (0: of the printer) with its name and owner.
void addEvent(ipp_t* response, int jobId, const char* name, const char* owner) {
  ippAddSeparator(response);
  ippAddInteger(response, IPP_TAG_EVENT_NOTIFICATION, IPP_TAG_INTEGER, "notify-subscription-id", 1);
  if (jobId > 0) ippAddInteger(response, IPP_TAG_EVENT_NOTIFICATION, IPP_TAG_INTEGER, "notify-job-id", jobId);
  ippAddString(response, IPP_TAG_EVENT_NOTIFICATION, IPP_TAG_KEYWORD, "notify-subscribed-event", nullptr,
               "job-created");
  if (name != nullptr)
    ippAddString(response, IPP_TAG_EVENT_NOTIFICATION, IPP_TAG_NAME, "job-name", nullptr, name);
  if (owner != nullptr)
    ippAddString(response, IPP_TAG_EVENT_NOTIFICATION, IPP_TAG_NAME, "job-originating-user-name", nullptr,
                 owner);
}

// 'valuesOf()' - every value of the attributes called 'name' in a response, in order.
std::string valuesOf(ipp_t* response, const char* name) {
  std::string values;
  for (ipp_attribute_t* a = ippFirstAttribute(response); a != nullptr; a = ippNextAttribute(response))
    if (ippGetName(a) != nullptr && std::strcmp(ippGetName(a), name) == 0) {
      char text[256];
      ippAttributeString(a, text, sizeof text);
      values += std::string(values.empty() ? "" : " ") + text;
    }
  return values;
}

}  // namespace

// Event notifications carry job names and owners only of the viewer's jobs, as job groups do; a job
// whose owner is unknown (gone from the history) counts as another's.
TEST(PrivateJobValues, HiddenInEventsAsInJobs) {
  ipp_t* response = ippNew();
  ippAddString(response, IPP_TAG_OPERATION, IPP_TAG_CHARSET, "attributes-charset", nullptr, "utf-8");
  addEvent(response, 1, "mine", "alice");
  addEvent(response, 2, "theirs", "bob");
  addEvent(response, 3, "gone", "carol");
  addEvent(response, 0, nullptr, nullptr);
  ippAddSeparator(response);
  ippAddInteger(response, IPP_TAG_JOB, IPP_TAG_INTEGER, "job-id", 2);
  ippAddString(response, IPP_TAG_JOB, IPP_TAG_NAME, "job-name", nullptr, "theirs too");
  ippAddString(response, IPP_TAG_JOB, IPP_TAG_NAME, kSignedInOwnerAttr, nullptr, "bob");
  hidePrivateJobValues(response, "alice", [](int id) {
    return std::string(id == 1 ? "alice" : id == 2 ? "bob" : "");
  });
  EXPECT_EQ(valuesOf(response, "job-name"), "mine");
  EXPECT_EQ(valuesOf(response, "job-originating-user-name"), "alice");
  EXPECT_EQ(valuesOf(response, kSignedInOwnerAttr), "");
  EXPECT_EQ(valuesOf(response, "notify-job-id"), "1 2 3");
  EXPECT_EQ(valuesOf(response, "notify-subscribed-event"), "job-created job-created job-created job-created");
  ippDelete(response);
}

// A client's list of subscriptions keeps its own groups whole and loses the others' whole; the
// subscription groups a request brings and the ids it names are counted as the framework reads them.
TEST(Subscriptions, OwnGroupsOnly) {
  ipp_t* response = ippNew();
  ippAddString(response, IPP_TAG_OPERATION, IPP_TAG_CHARSET, "attributes-charset", nullptr, "utf-8");
  for (int id = 1; id <= 4; ++id) {
    if (id > 1) ippAddSeparator(response);
    ippAddInteger(response, IPP_TAG_SUBSCRIPTION, IPP_TAG_INTEGER, "notify-subscription-id", id);
    ippAddString(response, IPP_TAG_SUBSCRIPTION, IPP_TAG_NAME, "notify-subscriber-user-name", nullptr,
                 id % 2 == 0 ? "mine" : "theirs");
  }
  keepOwnSubscriptions(response, [](int id) { return id % 2 == 0; });
  EXPECT_EQ(valuesOf(response, "notify-subscription-id"), "2 4");
  EXPECT_EQ(valuesOf(response, "notify-subscriber-user-name"), "mine mine");
  EXPECT_EQ(valuesOf(response, "attributes-charset"), "utf-8");
  ippDelete(response);

  ipp_t* request = ippNewRequest(IPP_OP_CREATE_PRINTER_SUBSCRIPTIONS);
  EXPECT_EQ(requestedSubscriptionCount(request), 0);
  for (int i = 0; i < 3; ++i) {
    if (i > 0) ippAddSeparator(request);
    ippAddString(request, IPP_TAG_SUBSCRIPTION, IPP_TAG_KEYWORD, "notify-pull-method", nullptr, "ippget");
    ippAddString(request, IPP_TAG_SUBSCRIPTION, IPP_TAG_KEYWORD, "notify-events", nullptr, "job-created");
  }
  EXPECT_EQ(requestedSubscriptionCount(request), 3);
  const int ids[] = {7, 9};
  ippAddIntegers(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "notify-subscription-ids", 2, ids);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "notify-subscription-id", nullptr, "5");
  EXPECT_EQ(requestedSubscriptions(request), (std::vector<int>{0, 7, 9}));
  ippDelete(request);
}

// A job's state in words: the reason it waits or stopped, one full stop, the framework's own messages
// taken as the part after the colon.
TEST(JobPages, StateWordsSayWhy) {
  const struct {
    ipp_jstate_t state;
    pappl_jreason_t jobReasons;
    const char* message;
    ipp_pstate_t printerState;
    pappl_preason_t printerReasons;
    const char* words;
  } cases[] = {
      {IPP_JSTATE_PENDING, PAPPL_JREASON_NONE, "", IPP_PSTATE_PROCESSING,
       static_cast<pappl_preason_t>(PAPPL_PREASON_OFFLINE | PAPPL_PREASON_MEDIA_EMPTY),
       "Waiting: the printer cannot be reached."},
      {IPP_JSTATE_PENDING, PAPPL_JREASON_NONE, "", IPP_PSTATE_STOPPED, PAPPL_PREASON_NONE,
       "Waiting: the printer is paused."},
      {IPP_JSTATE_PENDING, PAPPL_JREASON_NONE, "", IPP_PSTATE_PROCESSING, PAPPL_PREASON_MEDIA_LOW,
       "Waiting: in the queue."},
      {IPP_JSTATE_PROCESSING, PAPPL_JREASON_JOB_QUEUED,
       "Waiting: the printer cannot be reached (refused); trying again every 5 seconds.",
       IPP_PSTATE_PROCESSING, PAPPL_PREASON_OFFLINE,
       "Waiting: the printer cannot be reached (refused); trying again every 5 seconds."},
      {IPP_JSTATE_PROCESSING, PAPPL_JREASON_NONE, "", IPP_PSTATE_PROCESSING, PAPPL_PREASON_MEDIA_EMPTY,
       "Stopped: paper out."},
      {IPP_JSTATE_PROCESSING, PAPPL_JREASON_NONE, "", IPP_PSTATE_PROCESSING, PAPPL_PREASON_OTHER,
       "Printing."},
      {IPP_JSTATE_STOPPED, PAPPL_JREASON_NONE, "", IPP_PSTATE_STOPPED, PAPPL_PREASON_COVER_OPEN,
       "Stopped: the print head is open."},
      {IPP_JSTATE_HELD, PAPPL_JREASON_NONE, "", IPP_PSTATE_IDLE, PAPPL_PREASON_NONE, "Held."},
      {IPP_JSTATE_ABORTED, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, "", IPP_PSTATE_IDLE, PAPPL_PREASON_NONE,
       "Aborted: the document could not be read."},
      {IPP_JSTATE_ABORTED, PAPPL_JREASON_NONE, "The label size cannot be printed..", IPP_PSTATE_IDLE,
       PAPPL_PREASON_NONE, "Aborted: the label size cannot be printed."},
      {IPP_JSTATE_ABORTED, PAPPL_JREASON_NONE, "PDF pages took too long.", IPP_PSTATE_IDLE,
       PAPPL_PREASON_NONE, "Aborted: PDF pages took too long."},
      {IPP_JSTATE_ABORTED, PAPPL_JREASON_NONE, "Waiting: the printer cannot be reached.", IPP_PSTATE_IDLE,
       PAPPL_PREASON_NONE, "Aborted: the printer could not print it."},
  };
  for (const auto& c : cases) {
    jobStateFacts facts;
    facts.state = c.state;
    facts.jobReasons = c.jobReasons;
    facts.message = c.message;
    facts.printerState = c.printerState;
    facts.printerReasons = c.printerReasons;
    EXPECT_EQ(jobStateWords(facts), c.words) << c.message;
  }
  jobStateFacts ended;
  ended.state = IPP_JSTATE_COMPLETED;
  ended.endedAt = "14:02";
  EXPECT_EQ(jobStateWords(ended), "Completed at 14:02.");
  ended.state = IPP_JSTATE_CANCELED;
  EXPECT_EQ(jobStateWords(ended), "Cancelled at 14:02.");
}

TEST(JobPages, KeptDocumentsOption) {
  const struct {
    const char* value;
    int status, kept;
  } cases[] = {{"0", 0, 0},  {"10", 0, 10}, {"1000", 0, 1000}, {"1001", 1, 7},
               {"-1", 1, 7}, {"", 1, 7},    {"3x", 1, 7}};
  for (const auto& c : cases) {
    int kept = 7;
    EXPECT_EQ(parseKeptDocuments(c.value, &kept), c.status) << c.value;
    EXPECT_EQ(kept, c.kept) << c.value;
  }
}
