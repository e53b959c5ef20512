// SPDX-License-Identifier: Apache-2.0
// The Printer Application as a network service, tried as a stranger would: the server runs with a
// preloaded library that makes every TCP client look like a client from the network, so that only
// its domain socket (the subcommands) is the machine itself. Printers that stall, close the
// connection mid-job, and hostile documents; then many printers and many jobs at once.
#include <arpa/inet.h>
#include <cups/cups.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/PrintSystem.h"
#include "support/Process.h"
#include "support/Raster.h"

namespace {

using clock_ = std::chrono::steady_clock;

#ifdef LABEL_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

struct suite {
  std::string directory;
  std::string folder;  // the file device folder
  int port = 0;
  backgroundProcess server;
  fakePrinter printer;
  fakePrinter stalling, closing, slow;
  int streamSeconds = 60;  // the server's stream-timeout
  std::string failure;
  std::vector<std::string> extraOptions;  // server options a test starts the server with
};
suite* gSuite = nullptr;

constexpr char kLabelCommands[] = "application/vnd.label-commands";

// The server's time limit for a PDF document.
constexpr int kPdfSeconds = 4;

processResult app(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), LABEL_PRINTER_APP_PATH);
  return runProcess(arguments, "");
}

http_t* connectTo(const std::string& host, int port) {
  return httpConnect2(host.c_str(), port, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_NEVER, 1, 30000, nullptr);
}

// 'startServer()' - start the server and wait until it answers over TCP and on its domain socket. The
// tests run side by side, each with a server of its own: a server whose port another process took
// meanwhile runs without a listener (and another answers there), so it is started again on another port.
// With 'fromNetwork' false the server runs without the preloaded library, so that its TCP clients are
// what they are: loopback clients, the machine's own.
bool startServer(const std::vector<std::string>& extraOptions = {}, bool fromNetwork = true) {
  const std::string d = gSuite->directory;
  const std::string socket = d + "/common/label-printer-app.sock";
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (attempt > 0) {
      stopBackground(&gSuite->server, 0);
      gSuite->port = freeLoopbackPort();
    }
    const size_t logged = readFile(d + "/app.log").size();
    std::vector<std::string> command = {"/usr/bin/env",
                                        fromNetwork ? "LD_PRELOAD=" REMOTE_PEER_PATH : "LD_PRELOAD=",
                                        "ASAN_OPTIONS=verify_asan_link_order=0",
                                        "LSAN_OPTIONS=suppressions=" FRAMEWORK_LEAKS,
                                        LABEL_PRINTER_APP_PATH,
                                        "server",
                                        "-o",
                                        "server-port=" + std::to_string(gSuite->port),
                                        "-o",
                                        "listen-hostname=127.0.0.1",
                                        "-o",
                                        "spool-directory=" + d + "/spool",
                                        "-o",
                                        "log-file=" + d + "/app.log",
                                        "-o",
                                        "log-level=info",
                                        "-o",
                                        "file-device-folder=" + gSuite->folder,
                                        "-o",
                                        "stream-timeout=" + std::to_string(gSuite->streamSeconds),
                                        "-o",
                                        "pdf-time-limit=" + std::to_string(kPdfSeconds)};
    for (const std::string& option : extraOptions) command.insert(command.end(), {"-o", option});
    command.insert(command.end(), gSuite->extraOptions.begin(), gSuite->extraOptions.end());
    if (!startBackground(command, d + "/app.out", &gSuite->server)) return false;
    bool up = false;
    for (const auto deadline = clock_::now() + std::chrono::seconds(30); !up && clock_::now() < deadline;
         usleep(20000)) {
      if (!isRunning(&gSuite->server)) break;
      http_t* tcp = connectTo("127.0.0.1", gSuite->port);
      http_t* local = connectTo(socket, 0);
      up = tcp != nullptr && local != nullptr;
      httpClose(tcp);
      httpClose(local);
    }
    if (!up) break;
    const std::string log = readFile(d + "/app.log");
    if (log.find("Unable to create listener socket", std::min(logged, log.size())) == std::string::npos)
      return true;
  }
  gSuite->failure = "the server did not answer: " + readFile(d + "/app.out");
  return false;
}

std::string printerUri(const std::string& name) {
  return "ipp://127.0.0.1:" + std::to_string(gSuite->port) + "/ipp/print/" + name;
}

// 'networkRequest()' - an IPP request from the network; its status, the response in *response.
ipp_status_t networkRequest(ipp_t* request, const std::string& resource, const std::string& file = "",
                            ipp_t** response = nullptr) {
  http_t* http = connectTo("127.0.0.1", gSuite->port);
  ipp_t* answer = cupsDoFileRequest(http, request, resource.c_str(), file.empty() ? nullptr : file.c_str());
  const ipp_status_t status = answer != nullptr ? ippGetStatusCode(answer) : cupsLastError();
  if (response != nullptr)
    *response = answer;
  else
    ippDelete(answer);
  httpClose(http);
  return status;
}

ipp_t* printerRequest(ipp_op_t op, const std::string& printer, const char* user = "stranger") {
  ipp_t* request = ippNewRequest(op);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, printerUri(printer).c_str());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, user);
  return request;
}

// 'webRequest()' - a web page from the network (or from 'host', a domain socket): its status and text.
std::pair<http_status_t, std::string> webRequest(const std::string& path, const std::string& form = "",
                                                 const std::string& host = "127.0.0.1") {
  http_t* http = connectTo(host, host[0] == '/' ? 0 : gSuite->port);
  httpClearFields(http);
  if (form.empty()) {
    httpGet(http, path.c_str());
  } else {
    httpSetField(http, HTTP_FIELD_CONTENT_TYPE, "application/x-www-form-urlencoded");
    httpSetLength(http, form.size());
    httpPost(http, path.c_str());
    httpWrite2(http, form.data(), form.size());
  }
  http_status_t status;
  while ((status = httpUpdate(http)) == HTTP_STATUS_CONTINUE) {
  }
  std::string text;
  char buffer[8192];
  for (ssize_t count; (count = httpRead2(http, buffer, sizeof buffer)) > 0;) text.append(buffer, count);
  httpClose(http);
  return {status, text};
}

// 'answerComplete()' - whether an HTTP answer has come whole: its header, and as much of its body as
// its Content-Length says, or the last chunk of a chunked one.
bool answerComplete(const std::string& text) {
  const size_t end = text.find("\r\n\r\n");
  if (end == std::string::npos) return false;
  std::string head = text.substr(0, end);
  std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::tolower(c); });
  if (head.find("transfer-encoding: chunked") != std::string::npos)
    return text.size() >= end + 9 && text.compare(text.size() - 5, 5, "0\r\n\r\n") == 0;
  const size_t length = head.find("content-length:");
  return length != std::string::npos &&
         text.size() - end - 4 >= static_cast<size_t>(std::atol(head.c_str() + length + 15));
}

// 'rawRequest()' - send 'bytes' as they are over a new TCP connection and read the answer: its HTTP
// status (0 when there is none) and the whole answer in *answer.
int rawRequest(const std::string& bytes, std::string* answer = nullptr) {
  http_t* http = connectTo("127.0.0.1", gSuite->port);
  if (http == nullptr) return 0;
  const int fd = httpGetFd(http);
  std::string text;
  if (write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size())) {
    char buffer[8192];
    timeval timeout{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    for (ssize_t count; !answerComplete(text) && (count = read(fd, buffer, sizeof buffer)) > 0;)
      text.append(buffer, static_cast<size_t>(count));
  }
  httpClose(http);
  if (answer != nullptr) *answer = text;
  return text.rfind("HTTP/1.", 0) == 0 && text.size() > 12 ? std::atoi(text.c_str() + 9) : 0;
}

// 'formToken()' - the form token in a page, "" when it has none.
std::string formToken(const std::string& page) {
  const size_t at = page.find("name=\"session\" value=\"");
  return at == std::string::npos ? "" : page.substr(at + 22, page.find('"', at + 22) - at - 22);
}

// 'statePath()' - the server's state file (its user is root in the tests' containers, else another).
std::string statePath() {
  return getuid() == 0 ? gSuite->directory + "/common/label-printer-app.state"
                       : gSuite->directory + "/config/label-printer-app.state";
}

// 'storedPassword()' - the Password line's value in the state file, "" when there is none.
std::string storedPassword() {
  const std::string state = readFile(statePath());
  const size_t at = state.find("\nPassword ");
  return at == std::string::npos ? "" : state.substr(at + 10, state.find('\n', at + 10) - at - 10);
}

// 'adminRequest()' - pause the printer 'label' over TLS as a network client that gives 'password' in
// its request, and no other when refused (the client library would try the same one again): the
// status, and the seconds the request took in *seconds. A paused printer is resumed.
ipp_status_t adminRequest(const std::string& password, double* seconds = nullptr) {
  cupsSetPasswordCB2(
      [](const char*, http_t*, const char*, const char*, void*) -> const char* { return nullptr; }, nullptr);
  const std::string credentials = "admin:" + password;
  char encoded[256];
  httpEncode64_2(encoded, sizeof encoded, credentials.data(), static_cast<int>(credentials.size()));
  const auto start = clock_::now();
  http_t* http =
      httpConnect2("127.0.0.1", gSuite->port, nullptr, AF_INET, HTTP_ENCRYPTION_ALWAYS, 1, 30000, nullptr);
  httpSetAuthString(http, "Basic", encoded);
  ippDelete(cupsDoRequest(http, printerRequest(IPP_OP_PAUSE_PRINTER, "label", "admin"), "/ipp/print/label"));
  const ipp_status_t status = cupsLastError();
  httpClose(http);
  if (seconds != nullptr) *seconds = std::chrono::duration<double>(clock_::now() - start).count();
  if (status == IPP_STATUS_OK) app({"resume", "-d", "label"});
  return status;
}

// 'setPassword()' - set the administrator password on the security page from the machine itself: the
// page's answer.
std::string setPassword(const std::string& oldPassword, const std::string& newPassword) {
  const std::string socket = gSuite->directory + "/common/label-printer-app.sock";
  const std::string form = "session=" + formToken(webRequest("/security", "", socket).second) +
                           "&old_password=" + oldPassword + "&new_password=" + newPassword +
                           "&new_password2=" + newPassword;
  return webRequest("/security", form, socket).second;
}

// 'jobState()' - a job's state, asked on the machine itself (the subcommands' domain socket).
ipp_jstate_t jobState(const std::string& printer, int id, std::string* reasons = nullptr) {
  http_t* http = connectTo(gSuite->directory + "/common/label-printer-app.sock", 0);
  ipp_t* request = printerRequest(IPP_OP_GET_JOB_ATTRIBUTES, printer, "test");
  ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", id);
  ipp_t* response = cupsDoRequest(http, request, "/");
  const auto state =
      static_cast<ipp_jstate_t>(ippGetInteger(ippFindAttribute(response, "job-state", IPP_TAG_ENUM), 0));
  char text[256] = "";
  ippAttributeString(ippFindAttribute(response, "job-state-reasons", IPP_TAG_KEYWORD), text, sizeof text);
  if (reasons != nullptr) *reasons = text;
  ippDelete(response);
  httpClose(http);
  return state;
}

// 'jobText()' - a text or integer attribute of a job ("job-state-message", "job-impressions-completed").
std::string jobText(const std::string& printer, int id, const char* name) {
  http_t* http = connectTo(gSuite->directory + "/common/label-printer-app.sock", 0);
  ipp_t* request = printerRequest(IPP_OP_GET_JOB_ATTRIBUTES, printer, "test");
  ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", id);
  ipp_t* response = cupsDoRequest(http, request, "/");
  char text[1024] = "";
  ippAttributeString(ippFindAttribute(response, name, IPP_TAG_ZERO), text, sizeof text);
  ippDelete(response);
  httpClose(http);
  return text;
}

// 'awaitJobEnd()' - a job's final state once it has one, and in how many seconds.
ipp_jstate_t awaitJobEnd(const std::string& printer, int id, double* seconds, std::string* reasons) {
  const auto start = clock_::now();
  ipp_jstate_t state = IPP_JSTATE_PENDING;
  while ((state = jobState(printer, id, reasons)) < IPP_JSTATE_CANCELED &&
         clock_::now() - start < std::chrono::seconds(60))
    usleep(100000);
  *seconds = std::chrono::duration<double>(clock_::now() - start).count();
  return state;
}

// 'jobMessage()' - a job's state message, asked on the machine itself.
std::string jobMessage(const std::string& printer, int id) {
  http_t* http = connectTo(gSuite->directory + "/common/label-printer-app.sock", 0);
  ipp_t* request = printerRequest(IPP_OP_GET_JOB_ATTRIBUTES, printer, "test");
  ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", id);
  ipp_t* response = cupsDoRequest(http, request, "/");
  const char* message =
      ippGetString(ippFindAttribute(response, "job-state-message", IPP_TAG_TEXT), 0, nullptr);
  const std::string text = message != nullptr ? message : "";
  ippDelete(response);
  httpClose(http);
  return text;
}

// 'activeJob()' - the id of a job of the printer that has not ended, 0 when there is none.
int activeJob(const std::string& printer) {
  http_t* http = connectTo(gSuite->directory + "/common/label-printer-app.sock", 0);
  ipp_t* request = printerRequest(IPP_OP_GET_JOBS, printer, "test");
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "not-completed");
  ipp_t* response = cupsDoRequest(http, request, "/");
  const int id = ippGetInteger(ippFindAttribute(response, "job-id", IPP_TAG_INTEGER), 0);
  ippDelete(response);
  httpClose(http);
  return id;
}

// 'submit()' - send a file with the submit subcommand; the job's id, 0 when refused.
int submit(const std::string& printer, const std::string& file, const std::string& format) {
  const processResult r = app({"submit", "-d", printer, "-o", "document-format=" + format, file});
  return r.status == 0 ? std::atoi(r.out.substr(r.out.rfind('-') + 1).c_str()) : 0;
}

std::string writeJob(const std::string& name, const std::string& bytes) {
  const std::string path = gSuite->directory + "/" + name;
  writeFile(path, bytes);
  return path;
}

// 'labelCommands()' - a document in the label command language of about 'bytes' bytes.
std::string labelCommands(size_t bytes) {
  std::string data;
  while (data.size() < bytes) data += "^XA^FO10,10^GB100,100,3^FS^XZ\n";
  return data;
}

// 'pngChunk()' - a PNG chunk of 'type' holding 'data'.
std::string pngChunk(const char* type, const std::string& data) {
  const std::string body = type + data;
  const uint32_t length = htonl(static_cast<uint32_t>(data.size()));
  const uint32_t crc =
      htonl(static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(body.data()), body.size())));
  return std::string(reinterpret_cast<const char*>(&length), 4) + body +
         std::string(reinterpret_cast<const char*>(&crc), 4);
}

// 'greyPng()' - a grey PNG image of the size given with 'pixels' as its image data ("" for an empty
// chunk, nullptr for none).
std::string greyPng(uint32_t width, uint32_t height, const std::string* pixels) {
  const uint32_t size[2] = {htonl(width), htonl(height)};
  const std::string header =
      std::string(reinterpret_cast<const char*>(size), 8) + std::string("\x08\0\0\0\0", 5);
  return "\x89PNG\r\n\x1a\n" + pngChunk("IHDR", header) +
         (pixels != nullptr ? pngChunk("IDAT", *pixels) : "") + pngChunk("IEND", "");
}

// 'pngWithoutPixels()' - a grey PNG image of the size given whose image data is empty ('idat') or
// missing: its header alone decides whether it is printed.
std::string pngWithoutPixels(uint32_t width, uint32_t height, bool idat) {
  const std::string none;
  return greyPng(width, height, idat ? &none : nullptr);
}

// 'whitePng()' - a white grey PNG image of 'width' x 'height' pixels, its rows compressed as they go.
std::string whitePng(uint32_t width, uint32_t height) {
  z_stream z{};
  deflateInit(&z, 1);
  std::string compressed, row(size_t{width} + 1, '\xFF');
  row[0] = '\0';
  char out[65536];
  for (uint32_t y = 0; y <= height; ++y) {
    z.next_in = reinterpret_cast<Bytef*>(row.data());
    z.avail_in = y < height ? static_cast<uInt>(row.size()) : 0;
    do {
      z.next_out = reinterpret_cast<Bytef*>(out);
      z.avail_out = sizeof out;
      deflate(&z, y < height ? Z_NO_FLUSH : Z_FINISH);
      compressed.append(out, sizeof out - z.avail_out);
    } while (z.avail_out == 0);
  }
  deflateEnd(&z);
  return greyPng(width, height, &compressed);
}

// A JPEG image written here, of grey blocks of one tone: its segments, and the entropy-coded data of
// its scans with the bits in order (an 0xFF byte gets its 0x00 after it, the last byte is filled with
// ones).
struct jpegWriter {
  std::string bytes = "\xFF\xD8";
  std::string data;
  unsigned bits = 0, used = 0;

  void segment(unsigned char marker, const std::string& body) {
    const size_t length = body.size() + 2;
    bytes += '\xFF';
    bytes += static_cast<char>(marker);
    bytes += static_cast<char>(length >> 8);
    bytes += static_cast<char>(length & 0xFF);
    bytes += body;
  }
  void put(unsigned value, unsigned count) {
    while (count-- > 0) {
      bits = bits << 1 | (value >> count & 1);
      if (++used == 8) {
        data += static_cast<char>(bits);
        if ((bits & 0xFF) == 0xFF) data += '\0';
        bits = used = 0;
      }
    }
  }
  void endScan() {
    if (used > 0) put(0xFF, 8 - used);
    bytes += data;
    data.clear();
  }
  // 'header()' - the tables and the frame: one quantisation table, a DC table whose only code (0) is
  // a difference of 0, an AC table of 4-bit codes whose first (0000) is a run of 2^14 or more blocks
  // with nothing more in them, and then runs of 1 to 2^13 (EOB0 ... EOB13); baseline or progressive.
  void header(unsigned width, unsigned height, int components, bool progressive) {
    segment(0xDB, std::string(1, '\0') + std::string(64, '\1'));
    std::string frame = {'\x08',           char(height >> 8),  char(height & 0xFF),
                         char(width >> 8), char(width & 0xFF), char(components)};
    for (int c = 1; c <= components; ++c) frame += std::string{char(c), '\x11', '\0'};
    segment(progressive ? 0xC2 : 0xC0, frame);
    std::string dc = {'\x00', '\x01'};
    dc += std::string(15, '\0') + '\0';
    segment(0xC4, dc);
    std::string ac = {'\x10', '\0', '\0', '\0', '\x0F'};
    ac += std::string(12, '\0');
    ac += '\xE0';
    for (int run = 0; run < 14; ++run) ac += static_cast<char>(run << 4);
    segment(0xC4, ac);
  }
  // 'scan()' - a scan of component 1 (all components when 'every') over coefficients 'first' to
  // 'last', with successive approximation 'high' and 'low'.
  void scan(int components, int first, int last, int high, int low) {
    std::string body(1, char(components));
    for (int c = 1; c <= components; ++c) body += std::string{char(c), '\0'};
    body += std::string{char(first), char(last), char(high << 4 | low)};
    segment(0xDA, body);
  }
  std::string end() { return bytes + "\xFF\xD9"; }
};

// 'baselineJpeg()' - a grey baseline JPEG of 'width' x 'height' pixels (multiples of 8), mid-grey.
std::string baselineJpeg(unsigned width, unsigned height) {
  jpegWriter w;
  w.header(width, height, 1, false);
  w.scan(1, 0, 63, 0, 0);
  for (size_t block = 0; block < size_t{width / 8} * (height / 8); ++block) w.put(0, 1), w.put(1, 4);
  w.endScan();
  return w.end();
}

// 'progressiveJpeg()' - a grey progressive JPEG of 'width' x 'height' pixels (multiples of 8): its DC,
// a first AC scan and 'refinements' AC refinement scans, each of which passes over every coefficient
// of the image and is written in a few dozen bytes.
std::string progressiveJpeg(unsigned width, unsigned height, int refinements) {
  jpegWriter w;
  w.header(width, height, 1, true);
  const size_t blocks = size_t{width / 8} * (height / 8);
  w.scan(1, 0, 0, 0, 0);
  for (size_t block = 0; block < blocks; ++block) w.put(0, 1);
  w.endScan();
  for (int pass = 0; pass <= refinements; ++pass) {
    w.scan(1, 1, 63, pass == 0 ? 0 : 1, pass == 0 ? 1 : 0);
    for (size_t run = 0; run < blocks; run += 32767) w.put(0, 4), w.put(0x3FFF, 14);
    w.endScan();
  }
  return w.end();
}

// 'progressiveJpegHeader()' - the start of a progressive JPEG of 'components' components at full
// resolution: its header and first scan, enough to tell what it would need to decode.
std::string progressiveJpegHeader(unsigned width, unsigned height, int components) {
  jpegWriter w;
  w.header(width, height, components, true);
  w.scan(components, 0, 0, 0, 0);
  for (int i = 0; i < 64; ++i) w.put(0, 1);
  w.endScan();
  return w.end();
}

// 'pdfOf()' - a PDF document of 'pages' 4 x 6 in pages that all show one content stream ('content',
// compressed), with Helvetica as /F1.
std::string pdfOf(const std::string& content, int pages) {
  std::vector<Bytef> packed(compressBound(content.size()));
  uLongf size = packed.size();
  compress2(packed.data(), &size, reinterpret_cast<const Bytef*>(content.data()), content.size(), 9);
  std::vector<std::string> objects = {
      "<< /Type /Catalog /Pages 2 0 R >>", "",
      "<< /Length " + std::to_string(size) + " /Filter /FlateDecode >>\nstream\n" +
          std::string(reinterpret_cast<const char*>(packed.data()), size) + "\nendstream",
      "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"};
  std::string kids;
  for (int page = 0; page < pages; ++page) {
    kids += std::to_string(objects.size() + 1) + " 0 R ";
    objects.push_back(
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 288 432] /Contents 3 0 R /Resources << /Font << /F1 4 "
        "0 R >> >> >>");
  }
  objects[1] = "<< /Type /Pages /Count " + std::to_string(pages) + " /Kids [" + kids + "] >>";
  std::string pdf = "%PDF-1.4\n";
  std::vector<size_t> offsets;
  for (size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (const size_t offset : offsets) {
    char line[32];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", offset);
    pdf += line;
  }
  return pdf + "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
         std::to_string(xref) + "\n%%EOF\n";
}

// 'slowPdf()' - a PDF document of 'pages' pages, each a drawing of 100,000 small squares that takes
// poppler about a second and a half to render, in about 14 KB and a line a page.
std::string slowPdf(int pages) {
  std::string content;
  for (int i = 0; i < 100000; ++i)
    content += std::to_string(i % 280) + " " + std::to_string(i * 7 % 420) + " 3 3 re f\n";
  return pdfOf(content, pages);
}

// 'renderersOf()' - the server's children that are PDF renderers.
std::vector<pid_t> renderersOf(pid_t server) {
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = readFile(entry.path() / "stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos || stat.find("(label-pdf-rend") == std::string::npos) continue;
    int parent = 0;
    if (std::sscanf(stat.c_str() + close + 2, "%*c %d", &parent) == 1 && parent == server)
      found.push_back(std::atoi(name.c_str()));
  }
  return found;
}

// 'statusField()' - a field of /proc/PID/status ("Uid", "NoNewPrivs", "Seccomp"), "" when missing.
std::string statusField(pid_t pid, const std::string& field) {
  std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);)
    if (line.rfind(field + ":", 0) == 0) return line.substr(line.find_first_not_of(" \t", field.size() + 1));
  return "";
}

// 'limitOf()' - the soft limit of /proc/PID/limits' line that begins with 'name' ("Max cpu time").
std::string limitOf(pid_t pid, const std::string& name) {
  std::istringstream limits(readFile("/proc/" + std::to_string(pid) + "/limits"));
  for (std::string line; std::getline(limits, line);)
    if (line.rfind(name, 0) == 0) {
      std::istringstream values(line.substr(name.size()));
      std::string soft;
      values >> soft;
      return soft;
    }
  return "";
}

// 'peakMegabytes()' - the server's peak resident memory so far.
long peakMegabytes() {
  std::ifstream status("/proc/" + std::to_string(gSuite->server.pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6) / 1024;
  return -1;
}

// 'serverMemory()' - one of the server's memory figures (VmRSS, VmHWM) in MiB; 'resetPeakMemory()'
// makes its peak the present figure.
long serverMemory(const char* field) {
  std::ifstream status("/proc/" + std::to_string(gSuite->server.pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(field, 0) == 0 && line[std::strlen(field)] == ':')
      return std::atol(line.c_str() + std::strlen(field) + 1) / 1024;
  return -1;
}

void resetPeakMemory() {
  std::ofstream("/proc/" + std::to_string(gSuite->server.pid) + "/clear_refs") << "5";
}

// 'connectFrom()' - a TCP connection to the server from the loopback address 'source' (the preloaded
// library makes 127.0.0.N a host 192.0.2.N of the network); -1 when it cannot be made.
int connectFrom(const char* source) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in from{}, to{};
  from.sin_family = to.sin_family = AF_INET;
  inet_pton(AF_INET, source, &from.sin_addr);
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  to.sin_port = htons(static_cast<uint16_t>(gSuite->port));
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0)
    return fd;
  if (fd >= 0) close(fd);
  return -1;
}

// 'sendAll()' - write every byte, false once the server no longer takes them.
bool sendAll(int fd, const std::string& bytes) {
  for (size_t sent = 0; sent < bytes.size();) {
    const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// An HTTP answer as it came: its status (0 when the connection ended without one), its body, and the
// IPP status and status-message of an IPP body.
struct rawAnswer {
  int http = 0;
  std::string body;
  ipp_status_t ipp = IPP_STATUS_ERROR_INTERNAL;
  std::string message;
};

// 'readAnswer()' - the server's answer on 'fd', within 30 s.
rawAnswer readAnswer(int fd) {
  std::string in;
  const auto more = [&] {
    pollfd p{fd, POLLIN, 0};
    char buffer[65536];
    if (poll(&p, 1, 30000) <= 0) return false;
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    in.append(buffer, static_cast<size_t>(n));
    return true;
  };
  rawAnswer answer;
  size_t end;
  while ((end = in.find("\r\n\r\n")) == std::string::npos)
    if (!more()) return answer;
  if (in.rfind("HTTP/1.", 0) == 0) answer.http = std::atoi(in.c_str() + 9);
  std::string head = in.substr(0, end);
  for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  // The server's answers all carry their length.
  const size_t at = head.find("content-length:");
  const size_t length = at != std::string::npos ? std::strtoul(head.c_str() + at + 15, nullptr, 10) : 0;
  while (in.size() < end + 4 + length && more()) {
  }
  answer.body = in.substr(end + 4, length);
  struct reader {
    const std::string* bytes;
    size_t at;
  } from{&answer.body, 0};
  ipp_t* ipp = ippNew();
  if (ippReadIO(
          &from,
          [](void* data, ipp_uchar_t* buffer, size_t length) -> ssize_t {
            auto* r = static_cast<reader*>(data);
            const size_t n = std::min(length, r->bytes->size() - r->at);
            std::memcpy(buffer, r->bytes->data() + r->at, n);
            r->at += n;
            return static_cast<ssize_t>(n);
          },
          1, nullptr, ipp) == IPP_STATE_DATA) {
    answer.ipp = ippGetStatusCode(ipp);
    const char* words = ippGetString(ippFindAttribute(ipp, "status-message", IPP_TAG_TEXT), 0, nullptr);
    answer.message = words != nullptr ? words : "";
  }
  ippDelete(ipp);
  return answer;
}

// 'ippBytes()' - an IPP message as it goes on the wire, without its end tag when 'open' (more
// attributes are to follow it).
std::string ippBytes(ipp_t* ipp, bool open = false) {
  std::string bytes;
  ippSetState(ipp, IPP_STATE_IDLE);
  ippWriteIO(
      &bytes,
      [](void* data, ipp_uchar_t* buffer, size_t length) -> ssize_t {
        static_cast<std::string*>(data)->append(reinterpret_cast<const char*>(buffer), length);
        return static_cast<ssize_t>(length);
      },
      1, nullptr, ipp);
  ippDelete(ipp);
  if (open && !bytes.empty() && bytes.back() == '\x03') bytes.pop_back();
  return bytes;
}

// 'postRaw()' - a POST of 'body' to a printer as raw HTTP on 'fd' (chunked when 'chunked', else with
// its length; 'coding' its Content-Encoding, "" for none), and the answer.
rawAnswer postRaw(int fd, const std::string& body, bool chunked, const std::string& coding = "") {
  std::string head = "POST /ipp/print/label HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(gSuite->port) +
                     "\r\nContent-Type: application/ipp\r\n";
  if (!coding.empty()) head += "Content-Encoding: " + coding + "\r\n";
  head += chunked ? "Transfer-Encoding: chunked\r\n\r\n"
                  : "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  bool sent = sendAll(fd, head);
  if (!chunked) {
    sent = sent && sendAll(fd, body);
  } else {
    constexpr size_t kChunk = 65536;
    for (size_t at = 0; sent && at < body.size(); at += kChunk) {
      const size_t size = std::min(kChunk, body.size() - at);
      char line[32];
      std::snprintf(line, sizeof line, "%zx\r\n", size);
      sent = sendAll(fd, line + body.substr(at, size) + "\r\n");
    }
    if (sent) sendAll(fd, "0\r\n\r\n");
  }
  return readAnswer(fd);
}

// 'attributes()' - 'count' values of 'size' bytes each, each with a name of one letter (a new
// attribute) or, but the first, none (another value of the one before): an operation group's tail on
// the wire.
std::string attributes(size_t count, size_t size, bool named) {
  const auto value = [size](bool withName) {
    std::string one = withName ? std::string("\x44\x00\x01x", 4) : std::string("\x44\x00\x00", 3);
    one += static_cast<char>(size >> 8);
    one += static_cast<char>(size & 0xFF);
    return one + std::string(size, 'y');
  };
  const std::string first = value(true), next = value(named);
  std::string all = first;
  all.reserve(next.size() * count);
  for (size_t i = 1; i < count; ++i) all += next;
  return all;
}

// 'spoolFolderBytes()' - what the files of the server's spool folder hold together.
uintmax_t spoolFolderBytes() {
  uintmax_t total = 0;
  for (const auto& entry : std::filesystem::directory_iterator(gSuite->directory + "/spool"))
    if (entry.is_regular_file()) total += entry.file_size();
  return total;
}

// 'gzipped()' - 'head' followed by 'zeros' zero bytes, compressed as gzip.
std::string gzipped(const std::string& head, size_t zeros) {
  z_stream z{};
  deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY);
  std::string out;
  const std::string block(size_t{1} << 20, '\0');
  const auto feed = [&](const std::string& in, int flush) {
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    char buffer[65536];
    do {
      z.next_out = reinterpret_cast<Bytef*>(buffer);
      z.avail_out = sizeof buffer;
      deflate(&z, flush);
      out.append(buffer, sizeof buffer - z.avail_out);
    } while (z.avail_out == 0);
  };
  feed(head, Z_NO_FLUSH);
  for (size_t left = zeros; left > 0; left -= std::min(left, block.size()))
    feed(left >= block.size() ? block : block.substr(0, left), Z_NO_FLUSH);
  feed("", Z_FINISH);
  deflateEnd(&z);
  return out;
}

class Security : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    gSuite = new suite;
    const std::string d = makeTemporaryDirectory("app-security");
    gSuite->directory = d;
    gSuite->folder = d + "/labels";
    for (const char* folder : {"/spool", "/home", "/tmp", "/config", "/common", "/printer", "/labels"})
      mkdir((d + folder).c_str(), 0755);
    setenv("HOME", (d + "/home").c_str(), 1);
    setenv("TMPDIR", (d + "/tmp").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (d + "/config").c_str(), 1);
    setenv("SNAP_COMMON", (d + "/common").c_str(), 1);
    // The subcommands' leaks in the framework are told by the library they are in, without function
    // names, which cost a tenth of a second in each subcommand (their sanitizer reports give
    // addresses); the server's reports name functions (startServer()).
    setenv("LSAN_OPTIONS", "suppressions=" FRAMEWORK_LEAKS ":symbolize=0", 1);
    cupsSetPasswordCB2(
        [](const char*, http_t*, const char*, const char*, void*) -> const char* { return nullptr; },
        nullptr);
    gSuite->failure = "the fake printers could not listen";
    gSuite->stalling.takes = 0;
    gSuite->closing.takes = 65536;
    gSuite->closing.hangsUp = true;
    gSuite->slow.pauseMicroseconds = 100000;
    for (fakePrinter* printer : {&gSuite->printer, &gSuite->stalling, &gSuite->closing, &gSuite->slow})
      if (!startFakePrinter(d + "/printer", printer)) return;
    gSuite->port = freeLoopbackPort();
    if (!startServer()) return;
    const auto socket = [](int port, const char* options = "") {
      return "socket://127.0.0.1:" + std::to_string(port) + options;
    };
    for (const auto& [name, uri] :
         {std::pair{"label", socket(gSuite->printer.port)},
          {"stalled", socket(gSuite->stalling.port)},
          {"impatient", socket(gSuite->stalling.port, "/?timeout=2")},
          {"closing", socket(gSuite->closing.port)},
          {"slow", socket(gSuite->slow.port, "/?timeout=2")},
          {"found-by-snmp", "snmp://127.0.0.1:" + std::to_string(gSuite->stalling.port)},
          {"found-by-dnssd", "dnssd://Nowhere._pdl-datastream._tcp.local/"}}) {
      const processResult r = app({"add", "-d", name, "-m", "generic-label-203dpi", "-v", uri});
      if (r.status != 0) {
        gSuite->failure = "add failed: " + r.out + r.err;
        return;
      }
    }
    gSuite->failure.clear();
  }

  static void TearDownTestSuite() {
    if (gSuite == nullptr) return;
    // Killed: nothing is checked of this stop (StopsWithinSecondsInAnyState checks the orderly one),
    // and each test's process has a server of its own to end.
    stopBackground(&gSuite->server, 0);
    for (fakePrinter* printer : {&gSuite->printer, &gSuite->stalling, &gSuite->closing, &gSuite->slow})
      stopFakePrinter(printer);
    if (testing::UnitTest::GetInstance()->failed_test_count() > 0)
      std::fprintf(stderr, "The application's log:\n%s\n", readFile(gSuite->directory + "/app.log").c_str());
    removeTree(gSuite->directory);
    delete gSuite;
    gSuite = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(gSuite != nullptr && gSuite->failure.empty()) << (gSuite != nullptr ? gSuite->failure : "");
    ASSERT_TRUE(isRunning(&gSuite->server)) << readFile(gSuite->directory + "/app.out");
  }
};

}  // namespace

// The takeover: a stranger fetches a form's token from a printer's page, adds a printer writing to
// /etc/passwd and prints to it; or pauses, deletes and cancels. Every route is refused, with a page
// that says how to enable remote administration; nothing changes.
TEST_F(Security, StrangersCannotAdminister) {
  const std::string page = webRequest("/label/").second;
  const size_t at = page.find("name=\"session\" value=\"");
  ASSERT_NE(at, std::string::npos) << page;
  const std::string token = page.substr(at + 22, page.find('"', at + 22) - at - 22);
  const std::string passwd = readFile("/etc/passwd");

  const auto [status, text] = webRequest("/addprinter");
  EXPECT_EQ(status, HTTP_STATUS_FORBIDDEN);
  EXPECT_NE(text.find("auth-service"), std::string::npos) << text;
  const struct {
    const char* path;
    std::string form;
  } forms[] = {
      {"/addprinter",
       "session=" + token +
           "&printer_name=owned&driver_name=generic-label-203dpi&device_uri=file%3A%2F%2F%2Fetc%2Fpasswd"},
      {"/label/", "session=" + token + "&action=pause-printer"},
      {"/label/delete", "session=" + token},
      {"/label/cancelall", "session=" + token},
      {"/label/device",
       "session=" + token + "&device_uri=file%3A%2F%2F%2Fetc%2Fpasswd&driver=generic-label-203dpi"},
  };
  for (const auto& f : forms) EXPECT_EQ(webRequest(f.path, f.form).first, HTTP_STATUS_FORBIDDEN) << f.path;

  ipp_t* create = ippNewRequest(IPP_OP_CREATE_PRINTER);
  ippAddString(create, IPP_TAG_OPERATION, IPP_TAG_URI, "system-uri", nullptr,
               ("ipp://127.0.0.1:" + std::to_string(gSuite->port) + "/ipp/system").c_str());
  ippAddString(create, IPP_TAG_PRINTER, IPP_TAG_NAME, "printer-name", nullptr, "owned");
  ippAddString(create, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "smi55357-driver", nullptr, "generic-label-203dpi");
  ippAddString(create, IPP_TAG_PRINTER, IPP_TAG_URI, "smi55357-device-uri", nullptr, "file:///etc/passwd");
  EXPECT_EQ(networkRequest(create, "/ipp/system"), IPP_STATUS_ERROR_FORBIDDEN);
  for (const ipp_op_t op :
       {IPP_OP_PAUSE_PRINTER, IPP_OP_CANCEL_JOBS, IPP_OP_DISABLE_PRINTER, IPP_OP_SET_PRINTER_ATTRIBUTES})
    EXPECT_EQ(networkRequest(printerRequest(op, "label"), "/ipp/print/label"), IPP_STATUS_ERROR_FORBIDDEN)
        << ippOpString(op);

  // Nor may a stranger move a printer to another device or driver.
  ipp_t* move = printerRequest(IPP_OP_SET_PRINTER_ATTRIBUTES, "label");
  ippAddString(move, IPP_TAG_PRINTER, IPP_TAG_URI, "smi55357-device-uri", nullptr, "socket://192.0.2.1:9100");
  ippAddString(move, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "smi55357-driver", nullptr, "generic-label-600dpi");
  EXPECT_EQ(networkRequest(move, "/ipp/print/label"), IPP_STATUS_ERROR_FORBIDDEN);
  const std::string device =
      webRequest("/label/device", "", gSuite->directory + "/common/label-printer-app.sock").second;
  EXPECT_NE(device.find("value=\"socket://127.0.0.1:" + std::to_string(gSuite->printer.port) + "\""),
            std::string::npos)
      << device;
  EXPECT_NE(device.find("value=\"generic-label-203dpi\" selected"), std::string::npos);

  const processResult printers = app({"printers"});
  EXPECT_EQ(printers.out.find("owned"), std::string::npos) << printers.out;
  ipp_t* response = nullptr;
  networkRequest(printerRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, "label"), "/ipp/print/label", "", &response);
  EXPECT_EQ(ippGetInteger(ippFindAttribute(response, "printer-state", IPP_TAG_ENUM), 0), IPP_PSTATE_IDLE);
  ippDelete(response);
  EXPECT_EQ(readFile("/etc/passwd"), passwd);
}

// A file device is taken only inside the folder named at the start, on the machine itself too.
TEST_F(Security, FileDevicesStayInTheirFolder) {
  writeFile(gSuite->folder + "/labels.prn", "");
  for (const std::string& outside :
       {std::string("file:///etc/passwd"), "file://" + gSuite->folder + "/../app.log"})
    EXPECT_NE(app({"add", "-d", "file", "-m", "generic-label-203dpi", "-v", outside}).status, 0) << outside;
  ASSERT_EQ(app({"add", "-d", "file", "-m", "generic-label-203dpi", "-v",
                 "file://" + gSuite->folder + "/labels.prn"})
                .status,
            0);
  const int id =
      submit("file", writeJob("file.labels", labelCommands(1000)), "application/vnd.label-commands");
  double seconds;
  std::string reasons;
  EXPECT_EQ(awaitJobEnd("file", id, &seconds, &reasons), IPP_JSTATE_COMPLETED) << reasons;
  EXPECT_EQ(readFile(gSuite->folder + "/labels.prn"), labelCommands(1000));
  app({"delete", "-d", "file"});
}

// A stranger's job name never names a file: a folder's file device writes each job to a new file of
// the server's naming, beside an existing file of the job's name, never outside the folder. A FIFO
// planted where a named file device writes is refused at once: the job waits and says why, the web
// page answers meanwhile, and a cancel ends the job.
TEST_F(Security, FileDevicesChooseTheirOwnNames) {
  const std::string out = gSuite->folder + "/out";
  mkdir(out.c_str(), 0755);
  writeFile(out + "/kept.prn", "precious");
  writeFile(gSuite->folder + "/fifo.prn", "");
  for (const auto& [name, uri] :
       {std::pair{"folder", "file://" + out}, {"fifo", "file://" + gSuite->folder + "/fifo.prn"}})
    ASSERT_EQ(app({"add", "-d", name, "-m", "generic-label-203dpi", "-v", uri}).status, 0);
  const std::string file = writeJob("named.labels", labelCommands(100));
  const auto printJob = [&](const char* printer, const char* jobName) {
    ipp_t* request = printerRequest(IPP_OP_PRINT_JOB, printer);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                 "application/vnd.label-commands");
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, jobName);
    ipp_t* response = nullptr;
    networkRequest(request, "/ipp/print/" + std::string(printer), file, &response);
    const int id = ippGetInteger(ippFindAttribute(response, "job-id", IPP_TAG_INTEGER), 0);
    ippDelete(response);
    return id;
  };
  for (const char* jobName : {"../escaped", "kept", "/etc/passwd"}) {
    SCOPED_TRACE(jobName);
    const int id = printJob("folder", jobName);
    ASSERT_GT(id, 0);
    double seconds;
    std::string reasons;
    EXPECT_EQ(awaitJobEnd("folder", id, &seconds, &reasons), IPP_JSTATE_COMPLETED) << reasons;
    EXPECT_EQ(readFile(out + "/job-" + std::to_string(id) + ".prn"), labelCommands(100));
  }
  EXPECT_EQ(readFile(out + "/kept.prn"), "precious");
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(gSuite->folder))
    names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"fifo.prn", "out"}));

  unlink((gSuite->folder + "/fifo.prn").c_str());
  ASSERT_EQ(mkfifo((gSuite->folder + "/fifo.prn").c_str(), 0600), 0);
  const int id = printJob("fifo", "job");
  ASSERT_GT(id, 0);
  for (const auto deadline = clock_::now() + std::chrono::seconds(20);
       jobState("fifo", id) < IPP_JSTATE_PROCESSING && clock_::now() < deadline;)
    usleep(100000);
  sleep(1);
  // (The system's home page asks the suite's silent printers for their status, a second each.)
  for (const std::string& page : {std::string("/fifo/"), std::string("/folder/")}) {
    const auto start = clock_::now();
    EXPECT_EQ(webRequest(page, "", gSuite->directory + "/common/label-printer-app.sock").first,
              HTTP_STATUS_OK);
    EXPECT_LT(std::chrono::duration<double>(clock_::now() - start).count(), 1.0) << page;
  }
  EXPECT_EQ(jobState("fifo", id), IPP_JSTATE_PROCESSING);
  EXPECT_EQ(app({"cancel", "-d", "fifo", "-j", std::to_string(id)}).status, 0);
  double seconds;
  std::string reasons;
  EXPECT_EQ(awaitJobEnd("fifo", id, &seconds, &reasons), IPP_JSTATE_CANCELED) << reasons;
  EXPECT_LT(seconds, 5);
  for (const char* name : {"folder", "fifo"}) app({"delete", "-d", name});
}

// Another user's socket where the subcommands look for the server's (one that user made while root's
// was not there) gets nothing from them: each ends with status 1 and says why, before it sends a byte.
TEST_F(Security, CommandsRefuseAnotherUsersSocket) {
  if (getuid() != 0) GTEST_SKIP() << "a socket of another user is made by root only";
  const std::string common = gSuite->directory + "/planted";
  mkdir(common.c_str(), 0755);
  const std::string path = common + "/label-printer-app.sock";
  int ready[2], received[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(received), 0);
  const pid_t planter = fork();
  if (planter == 0) {
    // The credentials a client sees are those of listen(): bound as root, listening as nobody.
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        setgid(65534) != 0 || setuid(65534) != 0 || listen(fd, 8) != 0)
      _exit(1);
    if (write(ready[1], "x", 1) != 1) _exit(1);
    for (int client; (client = accept(fd, nullptr, nullptr)) >= 0; close(client)) {
      uint64_t total = 0;
      char buffer[4096];
      pollfd in = {client, POLLIN, 0};
      for (ssize_t count; poll(&in, 1, 2000) == 1 && (count = read(client, buffer, sizeof buffer)) > 0;)
        total += static_cast<uint64_t>(count);
      if (write(received[1], &total, sizeof total) != sizeof total) _exit(1);
    }
    _exit(0);
  }
  ASSERT_GT(planter, 0);
  close(ready[1]);
  close(received[1]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1) << "the planted socket did not listen";
  const std::string document = writeJob("planted.labels", labelCommands(100));
  const std::vector<std::vector<std::string>> commands = {
      {"submit", "-d", "label", document}, {"printers"}, {"status"}, {"jobs", "-d", "label"}, {"shutdown"}};
  // The subcommands run by root look in SNAP_COMMON for the server's socket.
  setenv("SNAP_COMMON", common.c_str(), 1);
  for (const std::vector<std::string>& command : commands) {
    SCOPED_TRACE(command[0]);
    const processResult r = app(command);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.err.find("Refused the server socket '" + path + "'"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("belongs to user 65534"), std::string::npos) << r.err;
  }
  setenv("SNAP_COMMON", (gSuite->directory + "/common").c_str(), 1);
  kill(planter, SIGTERM);
  waitpid(planter, nullptr, 0);
  size_t connections = 0;
  for (uint64_t total = 0; read(received[0], &total, sizeof total) == sizeof total; ++connections)
    EXPECT_EQ(total, 0u) << "bytes sent to the planted socket";
  EXPECT_EQ(connections, commands.size());
  close(ready[0]);
  close(received[0]);
  EXPECT_TRUE(isRunning(&gSuite->server));
}

// A stranger sees other users' jobs without their names and owners, and cancels only its own.
TEST_F(Security, StrangersCancelOnlyTheirOwnJobs) {
  const std::string file = writeJob("held.labels", labelCommands(100));
  int ids[2];
  const char* users[] = {"alice", "bob"};
  for (int i = 0; i < 2; ++i) {
    ipp_t* request = printerRequest(IPP_OP_PRINT_JOB, "label", users[i]);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                 "application/vnd.label-commands");
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, "private label");
    ippAddString(request, IPP_TAG_JOB, IPP_TAG_KEYWORD, "job-hold-until", nullptr, "indefinite");
    ipp_t* response = nullptr;
    ASSERT_EQ(networkRequest(request, "/ipp/print/label", file, &response), IPP_STATUS_OK);
    ids[i] = ippGetInteger(ippFindAttribute(response, "job-id", IPP_TAG_INTEGER), 0);
    ippDelete(response);
  }
  ipp_t* jobs = nullptr;
  ipp_t* list = printerRequest(IPP_OP_GET_JOBS, "label", "alice");
  static const char* const wanted[] = {"job-id", "job-name"};
  ippAddStrings(list, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr, wanted);
  networkRequest(list, "/ipp/print/label", "", &jobs);
  std::string seen;
  for (ipp_attribute_t* a = ippFirstAttribute(jobs); a != nullptr; a = ippNextAttribute(jobs))
    if (ippGetName(a) != nullptr && std::strcmp(ippGetName(a), "job-name") == 0) seen += "name ";
  ippDelete(jobs);
  EXPECT_EQ(seen, "name ") << "alice sees her own job's name only";

  const auto cancel = [](int id, const char* user) {
    ipp_t* request = printerRequest(IPP_OP_CANCEL_JOB, "label", user);
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", id);
    return networkRequest(request, "/ipp/print/label");
  };
  EXPECT_EQ(cancel(ids[1], "alice"), IPP_STATUS_ERROR_FORBIDDEN);
  EXPECT_EQ(cancel(ids[0], "alice"), IPP_STATUS_OK);
  EXPECT_EQ(jobState("label", ids[0]), IPP_JSTATE_CANCELED);
  EXPECT_EQ(jobState("label", ids[1]), IPP_JSTATE_HELD);
  app({"cancel", "-d", "label", "-j", std::to_string(ids[1])});
}

// A printer that stops reading: a cancelled job ends at once, one that waits past the printer's
// timeout ends aborted; a printer that closes mid-job leaves its job aborted, never completed; one
// that reads slowly but steadily, for longer than its timeout, prints the whole job. Printers found by
// SNMP and DNS-SD are written alike: cancelled while their printer stops reading, or while their
// service cannot be resolved (no DNS-SD daemon here), the job ends at once.
TEST_F(Security, PrintersThatStopReadingOrCloseEndTheirJobs) {
  const std::string big = writeJob("big.labels", labelCommands(size_t{24} << 20));
  const std::string small = writeJob("small.labels", labelCommands(size_t{2} << 20));
  const struct {
    const char* printer;
    const std::string& document;
    bool cancel;
    ipp_jstate_t state;
    double within;
  } cases[] = {{"stalled", big, true, IPP_JSTATE_CANCELED, 15},
               {"impatient", big, false, IPP_JSTATE_ABORTED, 30},
               {"closing", big, false, IPP_JSTATE_ABORTED, 30},
               {"slow", small, false, IPP_JSTATE_COMPLETED, 60},
               {"found-by-snmp", big, true, IPP_JSTATE_CANCELED, 15},
               {"found-by-dnssd", big, true, IPP_JSTATE_CANCELED, 15}};
  // The cases side by side, each on its own printer, their results checked once all have ended.
  struct outcome {
    int id = 0;
    int cancelStatus = 0;
    ipp_jstate_t state = IPP_JSTATE_PENDING;
    double seconds = 0;
    std::string reasons;
    std::string message;  // before the cancel
  };
  outcome outcomes[std::size(cases)];
  std::vector<std::thread> threads;
  for (size_t i = 0; i < std::size(cases); ++i)
    threads.emplace_back([&c = cases[i], &o = outcomes[i]] {
      o.id = submit(c.printer, c.document, "application/vnd.label-commands");
      if (o.id <= 0) return;
      while (jobState(c.printer, o.id) < IPP_JSTATE_PROCESSING) usleep(100000);
      if (c.cancel) {
        sleep(2);  // nothing shows that the job is stuck writing; it is, long before this
        o.message = jobMessage(c.printer, o.id);
        o.cancelStatus = app({"cancel", "-d", c.printer, "-j", std::to_string(o.id)}).status;
      }
      o.state = awaitJobEnd(c.printer, o.id, &o.seconds, &o.reasons);
    });
  for (std::thread& thread : threads) thread.join();
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].printer);
    ASSERT_GT(outcomes[i].id, 0);
    EXPECT_EQ(outcomes[i].cancelStatus, 0);
    EXPECT_EQ(outcomes[i].state, cases[i].state) << outcomes[i].reasons;
    EXPECT_LT(outcomes[i].seconds, cases[i].within);
  }
  // The DNS-SD service is the application's to resolve: the job says which one waits.
  EXPECT_NE(outcomes[std::size(cases) - 1].message.find("'Nowhere'"), std::string::npos)
      << outcomes[std::size(cases) - 1].message;
}

// A client's raster stream that stops sending, or trickles a byte at a time, loses the printer once it
// has brought no page for the stream-timeout: its job ends aborted with the reason; one cancelled
// meanwhile ends at once, cancelled; and the next job prints.
TEST_F(Security, StalledOrTricklingRasterStreamsLoseThePrinter) {
  gSuite->streamSeconds = 3;
  stopBackground(&gSuite->server);
  ASSERT_TRUE(startServer()) << gSuite->failure;
  const std::string raster = rasterFromPbm({patternPage(812, 1218, 1)}, {"-r", "203"});
  const struct {
    const char* name;
    int everyMilliseconds;  // between the bytes that follow the first 2,000; 0 for none
    bool cancel;            // cancelled a second after it began
    ipp_jstate_t state;
    const char* message;
    double within;  // seconds from the start
  } cases[] = {
      {"stops sending", 0, false, IPP_JSTATE_ABORTED, "sent no page for 3 seconds", 6},
      {"trickles", 100, false, IPP_JSTATE_ABORTED, "sent no page for 3 seconds", 6},
      {"cancelled while it trickles", 100, true, IPP_JSTATE_CANCELED, "", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    http_t* http = connectTo("127.0.0.1", gSuite->port);
    ASSERT_NE(http, nullptr);
    ipp_t* request = printerRequest(IPP_OP_PRINT_JOB, "label");
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                 "image/pwg-raster");
    const auto start = clock_::now();
    ASSERT_EQ(cupsSendRequest(http, request, "/ipp/print/label", CUPS_LENGTH_VARIABLE), HTTP_STATUS_CONTINUE);
    http_status_t status = cupsWriteRequestData(http, raster.data(), 2000);
    httpFlushWrite(http);
    bool cancelled = false;
    for (size_t sent = 2000;
         status == HTTP_STATUS_CONTINUE && clock_::now() - start < std::chrono::seconds(20);) {
      usleep(100000);
      if (c.cancel && !cancelled && clock_::now() - start > std::chrono::seconds(1)) {
        const int id = activeJob("label");
        ASSERT_GT(id, 0);
        cancelled = app({"cancel", "-d", "label", "-j", std::to_string(id)}).status == 0;
        ASSERT_TRUE(cancelled);
      }
      if (c.everyMilliseconds > 0 && sent < raster.size()) {
        // Each byte goes out at once, a chunk of its own.
        status = cupsWriteRequestData(http, raster.data() + sent, 1);
        httpFlushWrite(http);
        ++sent;
      }
      // The server's answer ends the request.
      pollfd answer = {httpGetFd(http), POLLIN, 0};
      if (poll(&answer, 1, 0) == 1) break;
    }
    ipp_t* response = cupsGetResponse(http, "/ipp/print/label");
    ippDelete(request);
    const double seconds = std::chrono::duration<double>(clock_::now() - start).count();
    const int id = ippGetInteger(ippFindAttribute(response, "job-id", IPP_TAG_INTEGER), 0);
    ippDelete(response);
    httpClose(http);
    EXPECT_LT(seconds, c.within);
    const int ended = id > 0 ? id : activeJob("label");
    ASSERT_GT(ended, 0);
    double waited;
    std::string reasons;
    EXPECT_EQ(awaitJobEnd("label", ended, &waited, &reasons), c.state) << reasons;
    EXPECT_LT(waited, 5);
    if (c.message[0] != '\0') {
      EXPECT_NE(reasons.find("aborted-by-system"), std::string::npos) << reasons;
      EXPECT_NE(jobMessage("label", ended).find(c.message), std::string::npos) << jobMessage("label", ended);
    }
    const int next = submit("label", writeJob("next.ras", raster), "image/pwg-raster");
    ASSERT_GT(next, 0);
    EXPECT_EQ(awaitJobEnd("label", next, &waited, &reasons), IPP_JSTATE_COMPLETED) << reasons;
  }
}

// Hostile documents: pages that claim to be billions of dots long or wide, and an image of 16384 x
// 16384 pixels, end their jobs with a reason, quickly, the server well within 256 MB; the next job
// prints.
TEST_F(Security, HostileDocumentsEndQuicklyWithinMemory) {
  const auto page = [](unsigned width, unsigned height, size_t bytes = 1800) {
    cups_page_header2_t header = oneBitHeader(width, height);
    header.cupsBytesPerLine = (width + 7) / 8;
    return rawPage{header, std::string(bytes, '\0')};
  };
  const struct {
    const char* name;
    std::string document;
    const char* format;
    const char* reason;
  } cases[] = {
      {"tall", rawRaster({page(812, 4294967295u)}), "image/pwg-raster", "document-unprintable-error"},
      {"wide", rawRaster({page(4294967288u, 1)}), "image/pwg-raster", "document-unprintable-error"},
      {"second page too wide", rawRaster({page(812, 1218, 102 * 1218), page(2000, 1218)}), "image/pwg-raster",
       "document-unprintable-error"},
      {"huge image", pngWithoutPixels(16384, 16384, true), "image/png", "document-unprintable-error"},
      {"unreadable image", pngWithoutPixels(100, 100, false), "image/png", "document-format-error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int id = submit("label", writeJob("hostile", c.document), c.format);
    ASSERT_GT(id, 0);
    double seconds;
    std::string reasons;
    EXPECT_EQ(awaitJobEnd("label", id, &seconds, &reasons), IPP_JSTATE_ABORTED);
    EXPECT_NE(reasons.find(c.reason), std::string::npos) << reasons;
    EXPECT_LT(seconds, 10);
  }
  const int id =
      submit("label", writeJob("good.ras", rasterFromPbm({patternPage(812, 1218, 1)}, {"-r", "203"})),
             "image/pwg-raster");
  double seconds;
  std::string reasons;
  EXPECT_EQ(awaitJobEnd("label", id, &seconds, &reasons), IPP_JSTATE_COMPLETED) << reasons;
  // Under the sanitizers a process's memory is theirs as much as its own.
  if (!kSanitized) {
    EXPECT_LT(peakMegabytes(), 256);
  }
}

// Hostile JPEG images: one whose decoding would need more memory than the server may take (a
// progressive image keeps every coefficient until its last scan) is refused from its header; one of
// thousands of scans, each passing over the whole image, ends at the scan limit rather than after
// hours. The server stays within 256 MB and the next job prints.
TEST_F(Security, HostileJpegsEndWithinMemoryAndTime) {
  const struct {
    const char* name;
    std::string document;
    const char* words;
    double within;
  } cases[] = {
      {"progressive colour, 8192 x 8192", progressiveJpegHeader(8192, 8192, 3), "MiB to decode", 10},
      {"progressive grey, 16384 x 4096", progressiveJpegHeader(16384, 4096, 1), "MiB to decode", 10},
      {"30,000 scans", progressiveJpeg(8192, 6144, 30000), "more than 100 scans", 60},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int id = submit("label", writeJob("hostile.jpg", c.document), "image/jpeg");
    ASSERT_GT(id, 0);
    double seconds;
    std::string reasons;
    EXPECT_EQ(awaitJobEnd("label", id, &seconds, &reasons), IPP_JSTATE_ABORTED);
    EXPECT_NE(reasons.find("document-unprintable-error"), std::string::npos) << reasons;
    EXPECT_NE(jobText("label", id, "job-state-message").find(c.words), std::string::npos)
        << jobText("label", id, "job-state-message");
    EXPECT_LT(seconds, c.within);
  }
  const int id = submit("label", writeJob("good.labels", labelCommands(100)), kLabelCommands);
  double seconds;
  std::string reasons;
  EXPECT_EQ(awaitJobEnd("label", id, &seconds, &reasons), IPP_JSTATE_COMPLETED) << reasons;
  if (!kSanitized) {
    EXPECT_LT(peakMegabytes(), 256);
  }
}

// A JPEG image still decoding when its job is cancelled ends within a second, and the next job prints
// at once.
TEST_F(Security, ACancelledJpegEndsWithinASecond) {
  const int id = submit("label", writeJob("scans.jpg", progressiveJpeg(8192, 6144, 30000)), "image/jpeg");
  ASSERT_GT(id, 0);
  while (jobState("label", id) < IPP_JSTATE_PROCESSING) usleep(20000);
  usleep(500000);
  ASSERT_EQ(jobState("label", id), IPP_JSTATE_PROCESSING) << "decoded before it could be cancelled";
  ASSERT_EQ(app({"cancel", "-d", "label", "-j", std::to_string(id)}).status, 0);
  const auto cancelled = clock_::now();
  double seconds;
  std::string reasons;
  EXPECT_EQ(awaitJobEnd("label", id, &seconds, &reasons), IPP_JSTATE_CANCELED) << reasons;
  EXPECT_LT(std::chrono::duration<double>(clock_::now() - cancelled).count(), 1.5);
  const int next = submit("label", writeJob("next.labels", labelCommands(100)), kLabelCommands);
  EXPECT_EQ(awaitJobEnd("label", next, &seconds, &reasons), IPP_JSTATE_COMPLETED) << reasons;
  EXPECT_LT(seconds, 5);
}

// Documents of every format at the limits of what is printed: a PNG and a baseline JPEG of 64 million
// pixels, a progressive JPEG at the most its decoding may keep, a PDF, raster pages and label
// commands. Each prints, and the server stays within 256 MB.
TEST_F(Security, EveryFormatAtItsLimitStaysWithin256MB) {
  const struct {
    const char* name;
    std::string document;
    const char* format;
  } cases[] = {
      {"PNG, 8192 x 8192", whitePng(8192, 8192), "image/png"},
      {"baseline JPEG, 8192 x 8192", baselineJpeg(8192, 8192), "image/jpeg"},
      {"progressive JPEG, 8192 x 6144, 12 scans", progressiveJpeg(8192, 6144, 10), "image/jpeg"},
      {"PDF", pdfOf("BT /F1 36 Tf 20 300 Td (Limits) Tj ET", 3), "application/pdf"},
      {"raster", rasterFromPbm({patternPage(812, 1218, 1), patternPage(812, 1218, 2)}, {"-r", "203"}),
       "image/pwg-raster"},
      {"label commands, 16 MB", labelCommands(size_t{16} << 20), kLabelCommands},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int id = submit("label", writeJob("limit", c.document), c.format);
    ASSERT_GT(id, 0);
    double seconds;
    std::string reasons;
    EXPECT_EQ(awaitJobEnd("label", id, &seconds, &reasons), IPP_JSTATE_COMPLETED)
        << reasons << ": " << jobText("label", id, "job-state-message");
  }
  if (!kSanitized) {
    EXPECT_LT(peakMegabytes(), 256);
  }
}

// The PDF renderer, while it renders a stranger's document for the server, has nothing of the
// server's: not its user when that is root, no way to gain privileges, a system-call filter, an
// empty environment, no descriptor but its two pipes and standard error, and limits
// on its processor time and open files. A cancelled job takes its renderers with it.
TEST_F(Security, ThePdfRendererRunsConfined) {
  const int id = submit("label", writeJob("slow.pdf", slowPdf(50)), "application/pdf");
  ASSERT_GT(id, 0);
  std::vector<pid_t> renderers;
  for (const auto deadline = clock_::now() + std::chrono::seconds(10);
       renderers.size() < 2 && clock_::now() < deadline; usleep(10000))
    renderers = renderersOf(gSuite->server.pid);
  ASSERT_EQ(renderers.size(), 2u);
  // Each confines its own calls once it has read the document: looked at from then on.
  for (const auto deadline = clock_::now() + std::chrono::seconds(10);
       clock_::now() < deadline &&
       (statusField(renderers[0], "Seccomp") != "2" || statusField(renderers[1], "Seccomp") != "2");
       usleep(10000)) {
  }
  for (const pid_t pid : renderers) {
    SCOPED_TRACE(pid);
    // Real, effective, saved and file-system user: never root; else the server's own.
    std::istringstream users(statusField(pid, "Uid"));
    for (int i = 0; i < 4; ++i) {
      long uid = -1;
      users >> uid;
      EXPECT_EQ(uid, geteuid() == 0 ? long{getpwnam("nobody")->pw_uid} : long{geteuid()});
    }
    EXPECT_EQ(statusField(pid, "NoNewPrivs"), "1");
    EXPECT_EQ(statusField(pid, "Seccomp"), "2");
    EXPECT_EQ(readFile("/proc/" + std::to_string(pid) + "/environ"), "");
    std::vector<std::string> descriptors;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
      descriptors.push_back(fd.path().filename());
    std::sort(descriptors.begin(), descriptors.end());
    // The document, given as a descriptor, is kept as a read-only mapping.
    EXPECT_EQ(descriptors, (std::vector<std::string>{"0", "1", "2"}));
    EXPECT_NE(readFile("/proc/" + std::to_string(pid) + "/maps").find(gSuite->directory + "/spool/"),
              std::string::npos);
    EXPECT_NE(limitOf(pid, "Max cpu time"), "unlimited");
    EXPECT_EQ(limitOf(pid, "Max open files"), "64");
    EXPECT_EQ(limitOf(pid, "Max file size"), "0");
  }
  ASSERT_EQ(app({"cancel", "-d", "label", "-j", std::to_string(id)}).status, 0);
  double seconds;
  std::string reasons;
  EXPECT_EQ(awaitJobEnd("label", id, &seconds, &reasons), IPP_JSTATE_CANCELED) << reasons;
  EXPECT_LT(seconds, 2);
  EXPECT_TRUE(renderersOf(gSuite->server.pid).empty());
}

// A thousand pages that each take a second and a half to render end at the server's time limit for a
// document (pdf-time-limit, here 4 seconds), aborted with the reason; the pages printed by then stay
// printed. The next job prints.
TEST_F(Security, ASlowPdfEndsAtItsTimeLimit) {
  const int id = submit("label", writeJob("slow.pdf", slowPdf(1000)), "application/pdf");
  ASSERT_GT(id, 0);
  double seconds;
  std::string reasons;
  EXPECT_EQ(awaitJobEnd("label", id, &seconds, &reasons), IPP_JSTATE_ABORTED);
  EXPECT_NE(reasons.find("document-unprintable-error"), std::string::npos) << reasons;
  const std::string message = jobText("label", id, "job-state-message");
  EXPECT_NE(message.find("longer than its 4 seconds"), std::string::npos) << message;
  EXPECT_NE(message.find("of its 1000 pages printed"), std::string::npos) << message;
  EXPECT_LT(seconds, kPdfSeconds + 15);
  const int printed = std::atoi(jobText("label", id, "job-impressions-completed").c_str());
  EXPECT_NE(message.find(std::to_string(printed) + " of its"), std::string::npos)
      << message << " " << printed;
  const int next = submit("label", writeJob("next.labels", labelCommands(100)), kLabelCommands);
  EXPECT_EQ(awaitJobEnd("label", next, &seconds, &reasons), IPP_JSTATE_COMPLETED) << reasons;
}

// The renderer on its own, given a document: once it has opened it, it can make no socket, create,
// write, remove or rename no file, run no program, make no process and signal no other; it still
// renders text in a font it finds on the system.
TEST(Renderer, ConfinesItselfOnceTheDocumentIsOpen) {
  const std::string folder = makeTemporaryDirectory("renderer-probe");
  writeFile(folder + "/text.pdf", pdfOf("BT /F1 48 Tf 20 300 Td (HELLO) Tj ET", 1));
  writeFile(folder + "/probe", "");
  const processResult r = runProcess({LABEL_PDF_RENDER_PATH, folder + "/text.pdf", "10"},
                                     "probe " + folder + "\nrender 0 203 0 0 812 1218\n");
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "pages 1");
  const size_t at = r.out.find("probe");
  ASSERT_NE(at, std::string::npos) << r.out;
  EXPECT_EQ(r.out.substr(at, r.out.find('\n', at) - at),
            "probe socket=EPERM create=EPERM write=EPERM unlink=EPERM rename=EPERM exec=EPERM fork=EPERM "
            "signal=EPERM");
  EXPECT_TRUE(std::filesystem::exists(folder + "/probe"));
  EXPECT_FALSE(std::filesystem::exists(folder + "/created"));
  EXPECT_FALSE(std::filesystem::exists(folder + "/renamed"));
  const size_t image = r.out.find("image 812 1218\n");
  ASSERT_NE(image, std::string::npos);
  const std::string pixels = r.out.substr(image + 15);
  ASSERT_EQ(pixels.size(), size_t{812} * 1218);
  EXPECT_GT(std::count(pixels.begin(), pixels.end(), '\0'), 5000) << "the text was not drawn";
  removeTree(folder);
}

// Ten printers, a hundred jobs sent at once by clients from the network (bench/appload: raster streams
// and label commands in turn), while other clients keep asking for the printers' attributes: every
// job is accepted and ends, every question is answered, and every label arrives once.
TEST_F(Security, ManyPrintersAndJobsAtOnce) {
  constexpr int kPrinters = 10, kJobs = 100;
  // The clients all come from one address here, as if through one print server in front: its
  // administrator lets it have as many connections as it sends jobs at once.
  stopBackground(&gSuite->server, 0);
  ASSERT_TRUE(startServer({"connections-per-address=" + std::to_string(kJobs + 8)})) << gSuite->failure;
  std::vector<fakePrinter> printers(kPrinters);
  std::vector<std::string> arguments = {
      APPLOAD_PATH, std::to_string(gSuite->port), std::to_string(kJobs),
      writeJob("load.ras", rasterFromPbm({patternPage(812, 1218, 3)}, {"-r", "203"})),
      writeJob("load.labels", "^XA^FDLoad test^FS^XZ\n")};
  for (int p = 0; p < kPrinters; ++p) {
    arguments.push_back("load" + std::to_string(p));
    ASSERT_TRUE(startFakePrinter(gSuite->directory + "/printer", &printers[p]));
    ASSERT_EQ(app({"add", "-d", arguments.back(), "-m", "generic-label-203dpi", "-v",
                   "socket://127.0.0.1:" + std::to_string(printers[p].port)})
                  .status,
              0);
  }
  const processResult load = runProcess(arguments, "");
  EXPECT_EQ(load.status, 0) << load.out << load.err;
  for (int p = 0; p < kPrinters; ++p) {
    // 'count()' - how often the printer has received 'label' in the connections that have ended (a
    // connection may carry several jobs; the last may still be ending).
    const auto count = [&printer = printers[p]](const char* label) {
      std::string all;
      for (const std::string& connection : receivedConnections(&printer)) all += connection;
      size_t found = 0;
      for (size_t at = all.find(label); at != std::string::npos; at = all.find(label, at + 1)) ++found;
      return found;
    };
    constexpr size_t kEach = kJobs / kPrinters / 2;
    for (const auto deadline = clock_::now() + std::chrono::seconds(10);
         (count("~DG000.GRF") < kEach || count("Load test") < kEach) && clock_::now() < deadline;)
      usleep(20000);
    stopFakePrinter(&printers[p]);
    for (const char* label : {"~DG000.GRF", "Load test"})
      EXPECT_EQ(count(label), kEach) << "load" << p << " " << label;
    app({"delete", "-d", "load" + std::to_string(p)});
  }
}

// SIGTERM with a job stuck on a printer that stopped reading and another queued behind it: the
// server ends within ten seconds, and both are still there at the next start, the stuck one to print
// again whole.
TEST_F(Security, StopsWithinSecondsInAnyState) {
  const std::string big = writeJob("big.labels", labelCommands(size_t{24} << 20));
  const int stuck = submit("stalled", big, "application/vnd.label-commands");
  const int queued = submit("stalled", big, "application/vnd.label-commands");
  ASSERT_GT(stuck, 0);
  ASSERT_GT(queued, 0);
  while (jobState("stalled", stuck) < IPP_JSTATE_PROCESSING) usleep(100000);
  sleep(1);
  const auto start = clock_::now();
  kill(gSuite->server.pid, SIGTERM);
  while (isRunning(&gSuite->server) && clock_::now() - start < std::chrono::seconds(30)) usleep(50000);
  EXPECT_LT(std::chrono::duration<double>(clock_::now() - start).count(), 10.5);
  ASSERT_TRUE(startServer()) << gSuite->failure;
  EXPECT_LT(jobState("stalled", stuck), IPP_JSTATE_STOPPED);
  EXPECT_LT(jobState("stalled", queued), IPP_JSTATE_STOPPED);
  for (const int job : {queued, stuck}) app({"cancel", "-d", "stalled", "-j", std::to_string(job)});
}

// With an administrator password set on the security page from the machine itself, a client from the
// network administers once it gives the password over TLS; a wrong password, or none, is refused.
TEST_F(Security, AnAdministratorPasswordOpensAdministration) {
  const std::string socket = gSuite->directory + "/common/label-printer-app.sock";
  const std::string page = webRequest("/security", "", socket).second;
  const size_t at = page.find("name=\"session\" value=\"");
  ASSERT_NE(at, std::string::npos) << page;
  ASSERT_NE(webRequest("/security",
                       "session=" + page.substr(at + 22, page.find('"', at + 22) - at - 22) +
                           "&new_password=Secret123&new_password2=Secret123",
                       socket)
                .second.find("Password changed."),
            std::string::npos);

  // The password is given once: a client asked again has given a wrong one.
  static std::string password, given;
  cupsSetPasswordCB2(
      [](const char*, http_t*, const char*, const char*, void*) -> const char* {
        given = std::exchange(password, "");
        return given.empty() ? nullptr : given.c_str();
      },
      nullptr);
  for (const auto& [given, status] :
       {std::pair{"Wrong123", IPP_STATUS_ERROR_CUPS_AUTHENTICATION_CANCELED}, {"Secret123", IPP_STATUS_OK}}) {
    password = given;
    http_t* http =
        httpConnect2("127.0.0.1", gSuite->port, nullptr, AF_INET, HTTP_ENCRYPTION_ALWAYS, 1, 30000, nullptr);
    ippDelete(
        cupsDoRequest(http, printerRequest(IPP_OP_PAUSE_PRINTER, "label", "admin"), "/ipp/print/label"));
    EXPECT_EQ(cupsLastError(), status) << given << ": " << cupsLastErrorString();
    httpClose(http);
  }
  EXPECT_EQ(app({"resume", "-d", "label"}).status, 0);
}

// A stranger's page under a name rebound to 127.0.0.1 reaches the server from a browser on the machine
// with the stranger's name as Host: names that are none of the server's get 400, on a web page and an
// IPP request alike, and so do empty and missing ones; the server's names get through, with ports
// (the framework's own check, after the application's, still takes a host name only with ".local" and
// "localhost" only in lower case, as before).
TEST_F(Security, LoopbackRequestsUnderForeignNamesAreRefused) {
  stopBackground(&gSuite->server, 0);
  ASSERT_TRUE(startServer({}, false)) << gSuite->failure;
  char name[256] = "";
  ASSERT_EQ(gethostname(name, sizeof name), 0);
  const std::string hostName = name, port = std::to_string(gSuite->port);
  const std::string shortName = hostName.substr(0, hostName.find('.'));
  const struct {
    std::string header;  // the Host line, "" for none
    const char* version;
    int status;
  } cases[] = {
      {"Host: 1.attacker.example", "1.1", 400},
      {"Host: 1.attacker.example:" + port, "1.1", 400},
      {"Host: attacker.local:" + port, "1.1", 400},
      {"Host: " + shortName + ".attacker.example:" + port, "1.1", 400},
      {"Host: 0.0.0.0:" + port, "1.1", 400},
      {"Host: ", "1.1", 400},
      {"", "1.1", 400},
      {"", "1.0", 400},
      {"Host: localhost", "1.1", 200},
      {"Host: localhost:" + port, "1.1", 200},
      {"Host: 127.0.0.1:" + port, "1.1", 200},
      {"Host: [::1]:" + port, "1.1", 200},
      {"Host: " + shortName + ".local:" + port, "1.1", 200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.header + " HTTP/" + c.version);
    const std::string head = c.header.empty() ? "" : c.header + "\r\n";
    std::string answer;
    EXPECT_EQ(rawRequest("GET /security HTTP/" + std::string(c.version) + "\r\n" + head +
                             "Connection: close\r\n\r\n",
                         &answer),
              c.status);
    if (c.status == 200) {
      EXPECT_NE(formToken(answer), "") << answer;
    }
    const std::string ipp = ippBytes(printerRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, "label"));
    EXPECT_EQ(rawRequest("POST /ipp/print/label HTTP/" + std::string(c.version) + "\r\n" + head +
                         "Content-Type: application/ipp\r\nContent-Length: " + std::to_string(ipp.size()) +
                         "\r\nConnection: close\r\n\r\n" + ipp),
              c.status);
  }
  EXPECT_NE(readFile(gSuite->directory + "/app.log").find("of a loopback connection is none of the server"),
            std::string::npos);
}

// A form posted to the server from another origin is refused before it is read, from the machine itself
// too; the server's own page's form, and a client that sends no Origin, change what they ask.
TEST_F(Security, FormsFromOtherOriginsAreRefused) {
  stopBackground(&gSuite->server, 0);
  ASSERT_TRUE(startServer({}, false)) << gSuite->failure;
  const std::string port = std::to_string(gSuite->port), host = "localhost:" + port;
  std::string page;
  ASSERT_EQ(rawRequest("GET /security HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n", &page),
            200);
  const std::string token = formToken(page);
  ASSERT_NE(token, "") << page;
  const struct {
    std::string origin;  // the Origin line, "" for none
    std::string oldPassword, newPassword;
    int status;
    bool changed;
  } cases[] = {
      {"Origin: http://1.attacker.example", "", "Owned1234", 400, false},
      {"Origin: http://1.attacker.example:" + port, "", "Owned1234", 400, false},
      {"Origin: null", "", "Owned1234", 400, false},
      {"Origin: http://localhost:" + std::to_string(gSuite->port + 1), "", "Owned1234", 400, false},
      {"Origin: https://" + host, "", "Owned1234", 400, false},
      {"Origin: http://" + host, "", "Secret123", 200, true},
      {"", "Secret123", "Secret456", 200, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.origin.empty() ? "no Origin" : c.origin);
    const std::string form = "session=" + token + "&old_password=" + c.oldPassword +
                             "&new_password=" + c.newPassword + "&new_password2=" + c.newPassword;
    std::string answer;
    EXPECT_EQ(rawRequest("POST /security HTTP/1.1\r\nHost: " + host + "\r\n" +
                             (c.origin.empty() ? "" : c.origin + "\r\n") +
                             "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                             std::to_string(form.size()) + "\r\nConnection: close\r\n\r\n" + form,
                         &answer),
              c.status);
    EXPECT_EQ(answer.find("Password changed.") != std::string::npos, c.changed) << answer;
  }
}

// A password stored by the earlier versions ("NONCE~SHA-256") still signs in, and a wrong one still
// fails, until the password changes; the new one is stored as yescrypt, not as the framework's hash,
// in a state file that is the server's alone, and read back at the next start.
TEST_F(Security, EarlierPasswordHashesSignInUntilTheNextChange) {
  stopBackground(&gSuite->server, 5);
  std::string state = readFile(statePath());
  const size_t printers = state.find("<Printer");
  ASSERT_NE(printers, std::string::npos) << state;
  const std::string nonce = "0123456789abcdef", text = nonce + ":Secret123";
  unsigned char hash[32];
  char hex[65];
  cupsHashData("sha2-256", text.data(), text.size(), hash, sizeof hash);
  cupsHashString(hash, sizeof hash, hex, sizeof hex);
  state.insert(printers, "Password " + nonce + "~" + hex + "\n");
  writeFile(statePath(), state);
  ASSERT_TRUE(startServer()) << gSuite->failure;

  EXPECT_EQ(adminRequest("Wrong123"), IPP_STATUS_ERROR_CUPS_AUTHENTICATION_CANCELED);
  EXPECT_EQ(adminRequest("Secret123"), IPP_STATUS_OK);

  EXPECT_NE(setPassword("Secret123", "Secret456").find("Password changed."), std::string::npos);
  for (const auto deadline = clock_::now() + std::chrono::seconds(10);
       storedPassword().rfind("$y$", 0) != 0 && clock_::now() < deadline;)
    usleep(50000);
  const std::string stored = storedPassword();
  EXPECT_EQ(stored.rfind("$y$", 0), 0u) << stored;
  EXPECT_EQ(stored.find('~'), std::string::npos) << stored;
  struct stat file {};
  ASSERT_EQ(stat(statePath().c_str(), &file), 0);
  EXPECT_EQ(file.st_mode & 0777, 0600u);
  EXPECT_EQ(adminRequest("Secret123"), IPP_STATUS_ERROR_CUPS_AUTHENTICATION_CANCELED);
  EXPECT_EQ(adminRequest("Secret456"), IPP_STATUS_OK);

  // The new hash is read back at the next start.
  stopBackground(&gSuite->server, 5);
  ASSERT_TRUE(startServer()) << gSuite->failure;
  EXPECT_EQ(storedPassword(), stored);
  EXPECT_EQ(adminRequest("Secret456"), IPP_STATUS_OK);
}

// Wrong passwords from one address: each waits longer than the one before (a quarter of a second, then
// twice as long each time), on the web sign-in form as over IPP; the right one still signs in.
TEST_F(Security, WrongPasswordsGetSlower) {
  EXPECT_NE(setPassword("", "Secret123").find("Password changed."), std::string::npos);
  const double least[] = {0, 0.25, 0.5, 1, 2};
  double seconds[std::size(least)];
  for (double& s : seconds)
    EXPECT_EQ(adminRequest("Wrong123", &s), IPP_STATUS_ERROR_CUPS_AUTHENTICATION_CANCELED);
  for (size_t i = 0; i < std::size(least); ++i) EXPECT_GE(seconds[i], least[i] - 0.1) << "guess " << i;

  // The web sign-in, over TLS, waits its turn behind the guesses before it (4 s after the last).
  const auto page = [](const std::string& form) {
    http_t* http =
        httpConnect2("127.0.0.1", gSuite->port, nullptr, AF_INET, HTTP_ENCRYPTION_ALWAYS, 1, 30000, nullptr);
    if (http == nullptr) return std::string();
    httpClearFields(http);
    if (form.empty()) {
      httpGet(http, "/security");
    } else {
      httpSetField(http, HTTP_FIELD_CONTENT_TYPE, "application/x-www-form-urlencoded");
      httpSetLength(http, form.size());
      httpPost(http, "/security");
      httpWrite2(http, form.data(), form.size());
    }
    while (httpUpdate(http) == HTTP_STATUS_CONTINUE) {
    }
    std::string text;
    char buffer[8192];
    for (ssize_t count; (count = httpRead2(http, buffer, sizeof buffer)) > 0;) text.append(buffer, count);
    httpClose(http);
    return text;
  };
  const std::string login = page("");
  ASSERT_NE(formToken(login), "") << login;
  const auto start = clock_::now();
  const std::string answer = page("session=" + formToken(login) + "&password=Wrong123");
  EXPECT_GE(std::chrono::duration<double>(clock_::now() - start).count(), 3.0);
  EXPECT_NE(answer.find("Password incorrect."), std::string::npos) << answer;

  EXPECT_EQ(adminRequest("Secret123"), IPP_STATUS_OK);
}

// A stranger's request past the limits of a request's attributes, in bytes or in values, is answered
// 413 once it has been read away, without the server taking its memory; one within them is answered.
TEST_F(Security, RequestsPastTheLimitsAreRefused) {
  const struct {
    const char* name;
    std::string attributes;
    bool chunked;
    int http;
    const char* words;  // in the answer's text
  } cases[] = {
      {"49 MB of 7-byte attributes, chunked", attributes(7000000, 1, true), true, 413, "attribute values"},
      {"20,000 values of one attribute", attributes(20000, 1, false), false, 413, "attribute values"},
      {"1.2 MB in 40 values", attributes(40, 30000, true), true, 413, "1 MiB"},
      {"5,000 values", attributes(5000, 1, false), false, 200, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const long before = serverMemory("VmRSS");
    resetPeakMemory();
    const int fd = connectFrom("127.0.0.1");
    ASSERT_GE(fd, 0);
    const rawAnswer answer = postRaw(
        fd, ippBytes(printerRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, "label"), true) + c.attributes + "\x03",
        c.chunked);
    close(fd);
    EXPECT_EQ(answer.http, c.http) << answer.body.substr(0, 200);
    if (c.http == 200) {
      EXPECT_LT(answer.ipp, IPP_STATUS_ERROR_BAD_REQUEST) << answer.message;
    }
    EXPECT_NE(answer.body.find(c.words), std::string::npos) << answer.body.substr(0, 200);
    // Under the sanitizers freed memory waits in quarantine.
    if (!kSanitized) {
      usleep(300000);
      EXPECT_LT(serverMemory("VmHWM") - before, 32) << "peak";
      EXPECT_LT(serverMemory("VmRSS") - before, 8) << "after";
    }
  }
}

// One address has at most 16 connections open at once: the next is closed as it comes, while another
// address and the machine itself are served; once the address closes one, it is served again.
TEST_F(Security, ConnectionsPerAddressAreCapped) {
  const std::string ask = ippBytes(printerRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, "label"));
  // Each of the sixteen answered, and so counted (a connection that only just closed may still be).
  std::vector<int> open;
  for (const auto deadline = clock_::now() + std::chrono::seconds(20);
       open.size() < 16 && clock_::now() < deadline;) {
    const int fd = connectFrom("127.0.0.1");
    if (fd >= 0 && postRaw(fd, ask, false).http == 200) {
      open.push_back(fd);
      continue;
    }
    if (fd >= 0) close(fd);
    usleep(100000);
  }
  ASSERT_EQ(open.size(), 16u);
  std::vector<http_t*> local;
  for (int i = 0; i < 20; ++i)
    local.push_back(connectTo(gSuite->directory + "/common/label-printer-app.sock", 0));
  const struct {
    const char* source;
    bool served;
  } cases[] = {{"127.0.0.1", false}, {"127.0.0.2", true}, {"127.0.0.1", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    const int fd = connectFrom(c.source);
    ASSERT_GE(fd, 0);
    const rawAnswer answer = postRaw(fd, ask, false);
    close(fd);
    if (c.served) {
      EXPECT_EQ(answer.http, 200);
    } else {
      EXPECT_TRUE(answer.http == 0 || answer.http == 503) << answer.http;
    }
  }
  ipp_t* response =
      cupsDoRequest(local.back(), printerRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, "label", "test"), "/");
  EXPECT_EQ(ippGetStatusCode(response), IPP_STATUS_OK) << "the machine itself is served";
  ippDelete(response);
  for (http_t* h : local) httpClose(h);
  for (const int fd : open) close(fd);
  int http = 0;
  for (const auto deadline = clock_::now() + std::chrono::seconds(5); http != 200 && clock_::now() < deadline;
       usleep(100000)) {
    const int fd = connectFrom("127.0.0.1");
    http = postRaw(fd, ask, false).http;
    close(fd);
  }
  EXPECT_EQ(http, 200) << "served again once its connections closed";
}

// A document counts decompressed against the document limit, and all of them against the spool's: a
// gzip bomb and a document larger than the spool are refused too large, one that would fit an emptier
// spool busy, each with the reason and nothing of it left in the spool; once jobs leave, there is room.
TEST_F(Security, DocumentsAndTheSpoolHaveLimits) {
  stopBackground(&gSuite->server, 0);
  ASSERT_TRUE(startServer({"spool-limit=16M"})) << gSuite->failure;
  const auto printJob = [](bool hold) {
    ipp_t* request = printerRequest(IPP_OP_PRINT_JOB, "label");
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                 "application/vnd.label-commands");
    if (hold) ippAddString(request, IPP_TAG_JOB, IPP_TAG_KEYWORD, "job-hold-until", nullptr, "indefinite");
    return request;
  };
  {
    SCOPED_TRACE("a gzip bomb");
    ipp_t* request = printJob(false);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "compression", nullptr, "gzip");
    const std::string bomb = gzipped(ippBytes(request), size_t{160} << 20);
    EXPECT_LT(bomb.size(), size_t{1} << 20);
    const uintmax_t before = spoolFolderBytes();
    const int fd = connectFrom("127.0.0.1");
    ASSERT_GE(fd, 0);
    const rawAnswer answer = postRaw(fd, bomb, false, "gzip");
    close(fd);
    EXPECT_EQ(answer.ipp, IPP_STATUS_ERROR_REQUEST_ENTITY) << answer.message;
    EXPECT_NE(answer.message.find("16 MiB"), std::string::npos) << answer.message;
    EXPECT_LE(spoolFolderBytes(), before + 65536);
  }
  const std::string six = writeJob("six.labels", std::string(size_t{6} << 20, 'x'));
  const std::string twenty = writeJob("twenty.labels", std::string(size_t{20} << 20, 'x'));
  const struct {
    const char* name;
    const std::string& file;
    ipp_status_t status;
    const char* words;
  } cases[] = {{"larger than the spool", twenty, IPP_STATUS_ERROR_REQUEST_ENTITY, "16 MiB"},
               {"a first held job", six, IPP_STATUS_OK, ""},
               {"a second held job", six, IPP_STATUS_OK, ""},
               {"a third, past the spool", six, IPP_STATUS_ERROR_BUSY, "spool is full"}};
  std::vector<int> held;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ipp_t* response = nullptr;
    const ipp_status_t status = networkRequest(printJob(true), "/ipp/print/label", c.file, &response);
    // A document larger than the whole spool may be found busy first: the spool's own files (the job's
    // attributes) count, and where the reads fall decides which limit it passes first.
    if (c.status == IPP_STATUS_ERROR_REQUEST_ENTITY && status == IPP_STATUS_ERROR_BUSY) {
      EXPECT_EQ(c.file, twenty);
    } else {
      EXPECT_EQ(status, c.status);
    }
    const char* words = ippGetString(ippFindAttribute(response, "status-message", IPP_TAG_TEXT), 0, nullptr);
    EXPECT_NE(std::string(words != nullptr ? words : "").find(c.words), std::string::npos) << words;
    if (c.status == IPP_STATUS_OK)
      held.push_back(ippGetInteger(ippFindAttribute(response, "job-id", IPP_TAG_INTEGER), 0));
    ippDelete(response);
    EXPECT_LE(spoolFolderBytes(), held.size() * (size_t{6} << 20) + 65536) << "nothing of a refused one";
  }
  for (const int id : held) app({"cancel", "-d", "label", "-j", std::to_string(id)});
  for (const auto deadline = clock_::now() + std::chrono::seconds(30);
       spoolFolderBytes() > (size_t{1} << 20) && clock_::now() < deadline;)
    usleep(100000);
  ipp_t* response = nullptr;
  EXPECT_EQ(networkRequest(printJob(true), "/ipp/print/label", six, &response), IPP_STATUS_OK)
      << "room again";
  app({"cancel", "-d", "label", "-j",
       std::to_string(ippGetInteger(ippFindAttribute(response, "job-id", IPP_TAG_INTEGER), 0))});
  ippDelete(response);
}

namespace {

std::string localSocket() { return gSuite->directory + "/common/label-printer-app.sock"; }

// 'stopServer()' - stop the server as the service is stopped (SIGTERM), and wait until it has gone.
void stopServer() {
  if (gSuite->server.pid <= 0) return;  // never kill(-1, ...)
  kill(gSuite->server.pid, SIGTERM);
  for (const auto start = clock_::now();
       isRunning(&gSuite->server) && clock_::now() - start < std::chrono::seconds(30);)
    usleep(50000);
}

// 'restartServer()' - stop the server and start it again with 'options'.
bool restartServer(const std::vector<std::string>& options) {
  stopServer();
  gSuite->extraOptions = options;
  return startServer();
}

// 'request()' - an IPP request on the machine itself ('local') or from the network, optionally over
// TLS with Basic credentials ("user:password"); its status, the response in *response.
ipp_status_t request(ipp_t* message, bool local, ipp_t** response = nullptr,
                     const std::string& credentials = "", const std::string& file = "") {
  http_t* http = local ? connectTo(localSocket(), 0)
                       : httpConnect2("127.0.0.1", gSuite->port, nullptr, AF_INET,
                                      credentials.empty() ? HTTP_ENCRYPTION_NEVER : HTTP_ENCRYPTION_ALWAYS, 1,
                                      30000, nullptr);
  if (!credentials.empty()) {
    char encoded[512];
    httpEncode64_2(encoded, sizeof encoded, credentials.data(), static_cast<int>(credentials.size()));
    httpSetAuthString(http, "Basic", encoded);
  }
  ipp_t* answer = cupsDoFileRequest(http, message, "/ipp/print/label", file.empty() ? nullptr : file.c_str());
  const ipp_status_t status = answer != nullptr ? ippGetStatusCode(answer) : cupsLastError();
  if (response != nullptr)
    *response = answer;
  else
    ippDelete(answer);
  httpClose(http);
  return status;
}

// 'integers()' - the values of a response's integer attributes called 'name', in order.
std::vector<int> integers(ipp_t* response, const char* name) {
  std::vector<int> values;
  for (ipp_attribute_t* a = ippFirstAttribute(response); a != nullptr; a = ippNextAttribute(response))
    if (ippGetName(a) != nullptr && std::strcmp(ippGetName(a), name) == 0)
      for (int i = 0; i < ippGetCount(a); ++i) values.push_back(ippGetInteger(a, i));
  return values;
}

// 'strings()' - the values of a response's attributes called 'name', blank-separated.
std::string strings(ipp_t* response, const char* name) {
  std::string values;
  for (ipp_attribute_t* a = ippFirstAttribute(response); a != nullptr; a = ippNextAttribute(response))
    if (ippGetName(a) != nullptr && std::strcmp(ippGetName(a), name) == 0)
      values += std::string(values.empty() ? "" : " ") + ippGetString(a, 0, nullptr);
  return values;
}

// 'subscribe()' - a subscription to the printer's job events; its id, 0 when refused (*status).
int subscribe(bool local, const char* user, ipp_status_t* status = nullptr) {
  ipp_t* message = printerRequest(IPP_OP_CREATE_PRINTER_SUBSCRIPTIONS, "label", user);
  ippAddString(message, IPP_TAG_SUBSCRIPTION, IPP_TAG_KEYWORD, "notify-pull-method", nullptr, "ippget");
  static const char* const events[] = {"job-created", "job-completed"};
  ippAddStrings(message, IPP_TAG_SUBSCRIPTION, IPP_TAG_KEYWORD, "notify-events", 2, nullptr, events);
  ipp_t* response = nullptr;
  const ipp_status_t got = request(message, local, &response);
  if (status != nullptr) *status = got;
  const std::vector<int> ids = integers(response, "notify-subscription-id");
  ippDelete(response);
  return got == IPP_STATUS_OK && ids.size() == 1 ? ids[0] : 0;
}

// 'heldJob()' - a held job of label commands named 'name'; its id, 0 when refused.
int heldJob(bool local, const char* user, const char* name, const std::string& credentials = "",
            ipp_status_t* status = nullptr) {
  ipp_t* message = printerRequest(IPP_OP_PRINT_JOB, "label", user);
  ippAddString(message, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
               "application/vnd.label-commands");
  ippAddString(message, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, name);
  ippAddString(message, IPP_TAG_JOB, IPP_TAG_KEYWORD, "job-hold-until", nullptr, "indefinite");
  ipp_t* response = nullptr;
  const ipp_status_t got =
      request(message, local, &response, credentials, writeJob("held.labels", labelCommands(100)));
  if (status != nullptr) *status = got;
  const int id = ippGetInteger(ippFindAttribute(response, "job-id", IPP_TAG_INTEGER), 0);
  ippDelete(response);
  return id;
}

// 'jobRequest()' - an operation on a job.
ipp_t* jobRequest(ipp_op_t op, int id, const char* user) {
  ipp_t* message = printerRequest(op, "label", user);
  ippAddInteger(message, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", id);
  return message;
}

// 'setPasswordLocally()' - the administrator password, set on the security page from the machine itself.
bool setPasswordLocally(const char* password) {
  const std::string page = webRequest("/security", "", localSocket()).second;
  const size_t at = page.find("name=\"session\" value=\"");
  if (at == std::string::npos) return false;
  return webRequest("/security",
                    "session=" + page.substr(at + 22, page.find('"', at + 22) - at - 22) +
                        "&new_password=" + password + "&new_password2=" + password,
                    localSocket())
             .second.find("Password changed.") != std::string::npos;
}

}  // namespace

// A stranger's subscriptions are its own: it lists, reads, renews and cancels only those, their events
// carry other users' job names and owners no more than Get-Jobs does, and it holds at most ten; the
// machine itself sees and holds the rest.
TEST_F(Security, SubscriptionsStayWithTheirClient) {
  const int theirs = subscribe(true, "owner");
  const int mine = subscribe(false, "stranger");
  ASSERT_GT(theirs, 0);
  ASSERT_GT(mine, 0);
  const int jobs[] = {heldJob(true, "alice", "their label"), heldJob(false, "stranger", "my label")};
  ASSERT_GT(jobs[0], 0);
  ASSERT_GT(jobs[1], 0);

  ipp_t* message = printerRequest(IPP_OP_GET_NOTIFICATIONS, "label");
  ippAddInteger(message, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "notify-subscription-ids", mine);
  ipp_t* events = nullptr;
  EXPECT_EQ(request(message, false, &events), IPP_STATUS_OK);
  EXPECT_EQ(integers(events, "notify-job-id"), (std::vector<int>{jobs[0], jobs[1]}));
  EXPECT_EQ(strings(events, "job-name"), "my label");
  EXPECT_EQ(strings(events, "job-originating-user-name"), "stranger");
  ippDelete(events);

  // Another client's subscription, named by each operation that names one.
  for (const ipp_op_t op : {IPP_OP_GET_NOTIFICATIONS, IPP_OP_GET_SUBSCRIPTION_ATTRIBUTES,
                            IPP_OP_RENEW_SUBSCRIPTION, IPP_OP_CANCEL_SUBSCRIPTION}) {
    ipp_t* named = printerRequest(op, "label");
    ippAddInteger(named, IPP_TAG_OPERATION, IPP_TAG_INTEGER,
                  op == IPP_OP_GET_NOTIFICATIONS ? "notify-subscription-ids" : "notify-subscription-id",
                  theirs);
    EXPECT_EQ(request(named, false), IPP_STATUS_ERROR_FORBIDDEN) << ippOpString(op);
  }
  for (const auto& [local, seen] : {std::pair{false, std::vector<int>{mine}}, {true, {mine, theirs}}}) {
    ipp_t* list = nullptr;
    EXPECT_EQ(request(printerRequest(IPP_OP_GET_SUBSCRIPTIONS, "label"), local, &list), IPP_STATUS_OK);
    EXPECT_EQ(integers(list, "notify-subscription-id"), seen) << (local ? "the machine" : "the stranger");
    ippDelete(list);
  }

  // Ten at most: the stranger's eleventh is refused, the machine's is not; one cancelled makes room.
  for (int i = 1; i < 10; ++i) EXPECT_GT(subscribe(false, "stranger"), 0) << i;
  ipp_status_t status = IPP_STATUS_OK;
  EXPECT_EQ(subscribe(false, "someone else", &status), 0);
  EXPECT_EQ(status, IPP_STATUS_ERROR_TOO_MANY_SUBSCRIPTIONS);
  EXPECT_GT(subscribe(true, "owner"), 0);
  ipp_t* cancel = printerRequest(IPP_OP_CANCEL_SUBSCRIPTION, "label");
  ippAddInteger(cancel, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "notify-subscription-id", mine);
  EXPECT_EQ(request(cancel, false), IPP_STATUS_OK);
  EXPECT_GT(subscribe(false, "stranger"), 0);

  ipp_t* ofTheirs = printerRequest(IPP_OP_GET_SUBSCRIPTION_ATTRIBUTES, "label");
  ippAddInteger(ofTheirs, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "notify-subscription-id", theirs);
  EXPECT_EQ(request(ofTheirs, true), IPP_STATUS_OK) << "the other client's subscription is still there";
  for (const int job : jobs) app({"cancel", "-d", "label", "-j", std::to_string(job)});
}

// A job printed by a user signed in over TLS (here with the administrator password, under the name
// "alice") belongs to that account: a client that only sends "alice" as requesting-user-name can
// neither cancel, hold nor release it, before a restart or after; signed in, she can.
TEST_F(Security, SignedInOwnersKeepTheirJobs) {
  ASSERT_TRUE(setPasswordLocally("Secret123"));
  const int id = heldJob(false, "mallory", "signed", "alice:Secret123");
  ASSERT_GT(id, 0);
  ipp_t* job = nullptr;
  request(jobRequest(IPP_OP_GET_JOB_ATTRIBUTES, id, "test"), true, &job);
  EXPECT_EQ(strings(job, "job-originating-user-name"), "alice");
  ippDelete(job);

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "before a restart" : "after a restart");
    const struct {
      ipp_op_t op;
      const char* credentials;
    } refused[] = {{IPP_OP_CANCEL_JOB, ""},
                   {IPP_OP_HOLD_JOB, ""},
                   {IPP_OP_RELEASE_JOB, ""},
                   {IPP_OP_CANCEL_JOB, "alice:Wrong1234"}};
    for (const auto& r : refused) {
      EXPECT_NE(request(jobRequest(r.op, id, "alice"), false, nullptr, r.credentials), IPP_STATUS_OK)
          << ippOpString(r.op) << " " << r.credentials;
      EXPECT_EQ(jobState("label", id), IPP_JSTATE_HELD);
    }
    if (round == 0) {
      ASSERT_TRUE(restartServer({})) << gSuite->failure;
    }
  }
  EXPECT_EQ(request(jobRequest(IPP_OP_CANCEL_JOB, id, "anyone"), false, nullptr, "alice:Secret123"),
            IPP_STATUS_OK);
  EXPECT_EQ(jobState("label", id), IPP_JSTATE_CANCELED);
}

// A job's labels as printed are its content: the machine itself sees the first few, a stranger none,
// whichever is asked for.
TEST_F(Security, StrangersSeeNoJobsLabels) {
  const int id = submit("label", writeJob("shown.labels", labelCommands(200)), kLabelCommands);
  double seconds;
  std::string reasons;
  ASSERT_EQ(awaitJobEnd("label", id, &seconds, &reasons), IPP_JSTATE_COMPLETED) << reasons;
  const std::string path = "/label/label?job=" + std::to_string(id) + "&label=";
  for (const auto& [label, local, status] : {std::tuple{"1", true, HTTP_STATUS_OK},
                                             {"3", true, HTTP_STATUS_OK},
                                             {"4", true, HTTP_STATUS_NOT_FOUND},
                                             {"1", false, HTTP_STATUS_FORBIDDEN},
                                             {"3", false, HTTP_STATUS_FORBIDDEN}}) {
    SCOPED_TRACE(std::string(label) + (local ? " on the machine" : " from the network"));
    const auto [got, text] = webRequest(path + label, "", local ? localSocket() : "127.0.0.1");
    EXPECT_EQ(got, status);
    EXPECT_EQ(text.compare(0, 4, "\x89PNG") == 0, status == HTTP_STATUS_OK);
  }
  EXPECT_NE(webRequest("/label/jobs", "", localSocket()).second.find(path.substr(0, path.size() - 7)),
            std::string::npos);
}

// With a print group set on the security page, a stranger who has not signed in as a member of it
// prints nothing, by any route; the machine itself still prints, and a stranger still validates.
TEST_F(Security, APrintGroupIsNeededToPrint) {
  // The groups are on the page once sign-in goes through PAM (a service of no such name: PAM's own
  // default, which lets no unknown user in).
  ASSERT_TRUE(restartServer({"-o", "auth-service=label-printer-app-test"})) << gSuite->failure;
  const struct group* primary = getgrgid(getgid());
  ASSERT_NE(primary, nullptr);
  const std::string group = primary->gr_name;
  const std::string page = webRequest("/security", "", localSocket()).second;
  const size_t at = page.find("name=\"session\" value=\"");
  ASSERT_NE(at, std::string::npos) << page;
  ASSERT_NE(webRequest("/security",
                       "session=" + page.substr(at + 22, page.find('"', at + 22) - at - 22) +
                           "&print_group=" + group,
                       localSocket())
                .second.find("Group changes saved."),
            std::string::npos);

  const std::string document = writeJob("group.labels", labelCommands(100));
  const struct {
    ipp_op_t op;
    const char* credentials;
    ipp_status_t status;
  } cases[] = {
      {IPP_OP_PRINT_JOB, "", IPP_STATUS_ERROR_NOT_AUTHORIZED},
      {IPP_OP_CREATE_JOB, "", IPP_STATUS_ERROR_NOT_AUTHORIZED},
      {IPP_OP_PRINT_JOB, "label-no-such-user:Secret123", IPP_STATUS_ERROR_NOT_AUTHORIZED},
      {IPP_OP_VALIDATE_JOB, "", IPP_STATUS_OK},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(ippOpString(c.op)) + " " + c.credentials);
    ipp_t* message = printerRequest(c.op, "label");
    ippAddString(message, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                 "application/vnd.label-commands");
    ipp_t* response = nullptr;
    EXPECT_EQ(request(message, false, &response, c.credentials, c.op == IPP_OP_PRINT_JOB ? document : ""),
              c.status);
    if (c.status != IPP_STATUS_OK) {
      EXPECT_NE(strings(response, "status-message").find(group), std::string::npos);
    }
    EXPECT_EQ(ippFindAttribute(response, "job-id", IPP_TAG_INTEGER), nullptr);
    ippDelete(response);
  }
  const int id = submit("label", document, "application/vnd.label-commands");
  double seconds;
  std::string reasons;
  EXPECT_EQ(awaitJobEnd("label", id, &seconds, &reasons), IPP_JSTATE_COMPLETED) << reasons;
}

// Jobs created without their document: ten at most from one client at a time, each ending aborted with
// the reason once the docless-job-timeout has passed, one whose document comes in time prints; and at a
// start the spool folder's files of jobs that no longer wait are removed, nothing else.
TEST_F(Security, JobsWithoutTheirDocumentEnd) {
  stopServer();
  const std::string spool = gSuite->directory + "/spool/";
  const struct {
    const char* name;
    bool stays;
  } files[] = {{"p00001j000099999-orphan.ipp", false},
               {"p00001j000099998-orphan.prn", false},
               {"p00001j000099997-orphan", true},
               {"notes.ipp", true},
               {"P00001j000099996-orphan.ipp", true}};
  for (const auto& f : files) writeFile(spool + f.name, "left over");
  ASSERT_TRUE(restartServer({"-o", "docless-job-timeout=2"})) << gSuite->failure;
  for (const auto& f : files) EXPECT_EQ(access((spool + f.name).c_str(), F_OK) == 0, f.stays) << f.name;

  const auto create = [](bool local, ipp_status_t* status) {
    ipp_t* response = nullptr;
    *status = request(printerRequest(IPP_OP_CREATE_JOB, "label"), local, &response);
    const int id = ippGetInteger(ippFindAttribute(response, "job-id", IPP_TAG_INTEGER), 0);
    ippDelete(response);
    return id;
  };
  std::vector<int> waiting;
  ipp_status_t status = IPP_STATUS_OK;
  for (int i = 0; i < 10; ++i) {
    waiting.push_back(create(false, &status));
    EXPECT_EQ(status, IPP_STATUS_OK) << i;
  }
  EXPECT_EQ(create(false, &status), 0);
  EXPECT_EQ(status, IPP_STATUS_ERROR_BUSY);
  waiting.push_back(create(true, &status));
  EXPECT_EQ(status, IPP_STATUS_OK) << "the machine itself";

  const auto start = clock_::now();
  for (const int id : waiting) {
    double seconds;
    std::string reasons;
    EXPECT_EQ(awaitJobEnd("label", id, &seconds, &reasons), IPP_JSTATE_ABORTED) << id;
    EXPECT_NE(reasons.find("aborted-by-system"), std::string::npos) << reasons;
  }
  const double waited = std::chrono::duration<double>(clock_::now() - start).count();
  EXPECT_LT(waited, 2 + 5 + 3);
  ipp_t* job = nullptr;
  request(jobRequest(IPP_OP_GET_JOB_ATTRIBUTES, waiting[0], "test"), true, &job);
  EXPECT_NE(strings(job, "job-state-message").find("No document came within 2 seconds"), std::string::npos);
  ippDelete(job);

  const int id = create(false, &status);
  ASSERT_EQ(status, IPP_STATUS_OK) << "the ended jobs no longer count";
  ipp_t* send = jobRequest(IPP_OP_SEND_DOCUMENT, id, "stranger");
  ippAddString(send, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
               "application/vnd.label-commands");
  ippAddBoolean(send, IPP_TAG_OPERATION, "last-document", 1);
  EXPECT_EQ(request(send, false, nullptr, "", writeJob("late.labels", labelCommands(100))), IPP_STATUS_OK);
  double seconds;
  std::string reasons;
  EXPECT_EQ(awaitJobEnd("label", id, &seconds, &reasons), IPP_JSTATE_COMPLETED) << reasons;
}

// A job subscription keeps its job in the history until the subscription has gone (the framework's
// subscription points at its job), then both go; the newest job is never dropped for it, and asking
// for the job's subscriptions meanwhile and after is answered.
TEST_F(Security, JobSubscriptionsKeepTheirJobUntilTheyGo) {
  ASSERT_TRUE(restartServer({"-o", "job-history=1"})) << gSuite->failure;
  const std::string document = writeJob("sub.labels", labelCommands(100));
  const auto printed = [&document] {
    const int id = submit("label", document, "application/vnd.label-commands");
    double seconds;
    std::string reasons;
    EXPECT_EQ(awaitJobEnd("label", id, &seconds, &reasons), IPP_JSTATE_COMPLETED) << reasons;
    return id;
  };
  const int first = printed();
  ipp_t* message = printerRequest(IPP_OP_CREATE_JOB_SUBSCRIPTIONS, "label");
  ippAddInteger(message, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "notify-job-id", first);
  ippAddString(message, IPP_TAG_SUBSCRIPTION, IPP_TAG_KEYWORD, "notify-pull-method", nullptr, "ippget");
  ippAddString(message, IPP_TAG_SUBSCRIPTION, IPP_TAG_KEYWORD, "notify-events", nullptr, "job-completed");
  ipp_t* response = nullptr;
  ASSERT_EQ(request(message, false, &response), IPP_STATUS_OK);
  const std::vector<int> subscription = integers(response, "notify-subscription-id");
  ippDelete(response);
  ASSERT_EQ(subscription.size(), 1u);
  const int second = printed();

  const auto subscriptionsOf = [](int job, ipp_status_t* status) {
    ipp_t* list = printerRequest(IPP_OP_GET_SUBSCRIPTIONS, "label");
    ippAddInteger(list, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "notify-job-id", job);
    ipp_t* answer = nullptr;
    *status = request(list, true, &answer);
    const std::vector<int> ids = integers(answer, "notify-subscription-id");
    ippDelete(answer);
    return ids;
  };
  ipp_status_t status = IPP_STATUS_OK;
  EXPECT_EQ(subscriptionsOf(first, &status), subscription) << "kept past the history for its subscription";
  EXPECT_EQ(jobState("label", first), IPP_JSTATE_COMPLETED);
  EXPECT_EQ(jobState("label", second), IPP_JSTATE_COMPLETED) << "the newest job stays";
  const auto start = clock_::now();
  while (jobState("label", first) != 0 && clock_::now() - start < std::chrono::seconds(40)) {
    subscriptionsOf(first, &status);
    EXPECT_EQ(status, IPP_STATUS_OK);
    usleep(500000);
  }
  EXPECT_EQ(jobState("label", first), 0) << "gone once its subscription has gone";
  EXPECT_TRUE(subscriptionsOf(first, &status).empty());
  EXPECT_EQ(jobState("label", second), IPP_JSTATE_COMPLETED);
}
