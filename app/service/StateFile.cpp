// SPDX-License-Identifier: Apache-2.0
// The state file as the application keeps it: what the framework writes, with the settings and each
// queued job's place that it leaves out, replaced whole on disk so that a crash or a power cut at any
// moment leaves the old state or the new one; and read back with the faults of earlier states mended
// (a printer saved with the driver "auto", a job that was printing when the server stopped).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "app/service/service.h"

namespace {

// 'splitLines()' - the text's lines, without their line ends.
std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// 'parseValues()' - the NAME="VALUE" pairs after a line's keyword, as the framework writes them.
std::vector<std::pair<std::string, std::string>> parseValues(const std::string& values) {
  cups_option_t* options = nullptr;
  const int count = cupsParseOptions(values.c_str(), 0, &options);
  std::vector<std::pair<std::string, std::string>> pairs;
  for (int i = 0; i < count; ++i) pairs.emplace_back(options[i].name, options[i].value);
  cupsFreeOptions(count, options);
  return pairs;
}

// 'writeValues()' - a keyword line with its pairs, quoted as the framework quotes them.
std::string writeValues(const std::string& keyword,
                        const std::vector<std::pair<std::string, std::string>>& pairs, bool bracketed) {
  std::string line = keyword;
  for (const auto& [name, value] : pairs) {
    line += " " + name + "=\"";
    for (const char c : value) {
      if (c == '\\' || c == '"') line += '\\';
      line += c;
    }
    line += '"';
  }
  return bracketed ? line + ">" : line;
}

std::string valueOf(const std::vector<std::pair<std::string, std::string>>& pairs, const char* name) {
  for (const auto& [n, v] : pairs)
    if (n == name) return v;
  return "";
}

void setValue(std::vector<std::pair<std::string, std::string>>* pairs, const char* name,
              const std::string& value) {
  for (auto& [n, v] : *pairs)
    if (n == name) {
      v = value;
      return;
    }
  pairs->emplace_back(name, value);
}

// 'printerValues()' - the pairs of a "<Printer ...>" line.
std::vector<std::pair<std::string, std::string>> printerValues(const std::string& line) {
  std::string values = line.substr(std::strlen("<Printer "));
  if (!values.empty() && values.back() == '>') values.pop_back();
  return parseValues(values);
}

// 'savedResolution()' - the dots per inch of a printer block's "printer-resolution-default" line, 0
// when it has none.
int savedResolution(const std::vector<std::string>& lines, size_t first, size_t end) {
  for (size_t i = first; i < end; ++i)
    if (lines[i].starts_with("printer-resolution-default ")) return std::atoi(lines[i].c_str() + 27);
  return 0;
}

inline constexpr int kPrinting = IPP_JSTATE_PROCESSING;
inline constexpr int kQueued = IPP_JSTATE_PENDING;

}  // namespace

std::string prepareStateForLoad(const std::string& text, const driverResolver& resolve,
                                std::vector<savedPlace>* places, std::vector<std::string>* notes) {
  const std::vector<std::string> lines = splitLines(text);
  std::string out;
  int printerId = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string line = lines[i];
    if (line.starts_with("<Printer ")) {
      auto pairs = printerValues(line);
      printerId = std::atoi(valueOf(pairs, "id").c_str());
      if (valueOf(pairs, "driver") == "auto") {
        size_t end = i + 1;
        while (end < lines.size() && lines[end] != "</Printer>") ++end;
        const std::string driver = resolve(valueOf(pairs, "uri"), savedResolution(lines, i + 1, end));
        setValue(&pairs, "driver", driver);
        line = writeValues("<Printer", pairs, true);
        notes->push_back("The printer '" + valueOf(pairs, "name") +
                         "' was saved without its driver; it now has '" + driver + "'.");
      }
    } else if (line == "</Printer>") {
      printerId = 0;
    } else if (line.starts_with("Job ") && printerId != 0) {
      auto pairs = parseValues(line.substr(4));
      const int jobId = std::atoi(valueOf(pairs, "id").c_str());
      const int state = std::atoi(valueOf(pairs, "state").c_str());
      const std::string place = valueOf(pairs, "place");
      if (!place.empty() && jobId > 0)
        places->push_back({printerId, jobId, std::strtoull(place.c_str(), nullptr, 10)});
      // A job that was printing when the server stopped prints again, whole: the printer may have
      // printed some of its labels, but none is lost.
      if (state == kPrinting) {
        setValue(&pairs, "state", std::to_string(kQueued));
        line = writeValues("Job", pairs, false);
        notes->push_back("Job " + std::to_string(jobId) +
                         " was printing when the server stopped; it prints again.");
      }
      // A job whose document never came has no format, and the framework's loader stops reading the
      // printer's block at such a line: the jobs after it were lost. It loads, and ends for want of a
      // document.
      if (valueOf(pairs, "format").empty()) {
        setValue(&pairs, "format", "application/octet-stream");
        line = writeValues("Job", pairs, false);
      }
    }
    out += line + "\n";
  }
  return out;
}

std::string annotateSavedState(const std::string& text, const std::function<std::string(int)>& extraLines,
                               const std::function<uint64_t(int, int)>& placeOf) {
  const std::vector<std::string> lines = splitLines(text);
  std::string out;
  int printerId = 0;
  bool added = true;
  for (std::string line : lines) {
    // The printer's own lines go before its jobs: the framework's loader stops reading a block at a
    // job line it cannot read.
    if (!added && (line.starts_with("Job ") || line == "</Printer>")) {
      out += extraLines(printerId);
      added = true;
    }
    if (line.starts_with("<Printer ")) {
      printerId = std::atoi(valueOf(printerValues(line), "id").c_str());
      added = printerId == 0;
    } else if (line == "</Printer>") {
      printerId = 0;
    } else if (line.starts_with("Job ") && printerId != 0) {
      auto pairs = parseValues(line.substr(4));
      const int state = std::atoi(valueOf(pairs, "state").c_str());
      const uint64_t place =
          state < IPP_JSTATE_STOPPED ? placeOf(printerId, std::atoi(valueOf(pairs, "id").c_str())) : 0;
      if (place != 0) {
        setValue(&pairs, "place", std::to_string(place));
        line = writeValues("Job", pairs, false);
      }
    }
    out += line + "\n";
  }
  return out;
}

bool replaceFile(const std::string& path, const std::string& text, std::string* error) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const std::string temporary = path + ".new";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    *error = "cannot create '" + temporary + "': " + std::strerror(errno);
    return false;
  }
  bool written = fchmod(fd, 0600) == 0;
  for (size_t done = 0; written && done < text.size();) {
    const ssize_t count = write(fd, text.data() + done, text.size() - done);
    if (count < 0 && errno == EINTR) continue;
    written = count > 0;
    if (written) done += static_cast<size_t>(count);
  }
  written = written && fsync(fd) == 0;
  const int saved = errno;
  written = close(fd) == 0 && written;
  if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) {
    *error = "cannot write '" + path + "': " + std::strerror(written ? errno : saved);
    unlink(temporary.c_str());
    return false;
  }
  // The rename itself reaches the disk with the folder.
  const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

bool makePrivateFile(const std::string& path, std::string* error) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0 || fchmod(fd, 0600) != 0) {
    *error = "cannot create '" + path + "': " + std::strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  close(fd);
  return true;
}

std::string readWholeFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    text.append(buffer, static_cast<size_t>(count));
  }
  close(fd);
  return text;
}

int lockStateFolder(const std::string& statePath, int* holder, std::string* error) {
  *holder = 0;
  const std::string path = statePath + ".lock";
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    *error = "cannot open '" + path + "': " + std::strerror(errno);
    return -1;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const std::string text = readWholeFile(path);
    *holder = std::atoi(text.c_str());
    *error = errno == EWOULDBLOCK ? "" : std::string("cannot lock '") + path + "': " + std::strerror(errno);
    close(fd);
    return -1;
  }
  // The holder's process id, for the message of a second server.
  const std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(fd, 0) == 0 && pwrite(fd, pid.data(), pid.size(), 0) < 0) *holder = 0;
  return fd;
}
