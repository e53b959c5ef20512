// SPDX-License-Identifier: Apache-2.0
// labelpreview: draw the labels that printer data prints, one PNG image per label.
//
//   labelpreview [-d DIR] [FILE]
//
// Reads printer data as the filter writes it (FILE, or standard input without one or with "-") a chunk
// at a time and follows the commands that decide what a label shows (see commands/preview/preview.h). A
// format that draws at least one field becomes DIR/label-0001.png, label-0002.png, ...: 1-bit grey,
// black where the printer puts a dot, the label's width by its length in dots.
//
// Exit status: 0 when the whole input was read; 1 for malformed or truncated data (with a message on
// standard error; the labels completed before it are written), an image that cannot be written, or
// memory running out; 2 for a usage error.
#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "commands/preview/preview.h"

namespace {

constexpr size_t kChunkBytes = 65536;

void usage(FILE* out) {
  std::fputs(
      "usage: labelpreview [-d DIR] [FILE]\n"
      "\n"
      "Draws the labels that printer data (as rastertoxxx writes it) prints: one PNG per label,\n"
      "DIR/label-0001.png, label-0002.png, ... (DIR defaults to the current folder, and is created\n"
      "when missing). Black is where the printer puts a dot; an image is the label's width (^PW) by its\n"
      "length (^LL) in dots; a side the format does not give is the extent of what its fields draw.\n"
      "The data comes from FILE, or from standard input without one or with \"-\".\n"
      "\n"
      "Followed: ~DG graphic downloads, ^XA .. ^XZ label formats, ^PW, ^LL, ^FO, ^FT, ^XG, ^GB, ^FS,\n"
      "^LRY .. ^LRN, ^ID, and prefix changes (~CC, ~CT, ~CD). Every other command is skipped; in\n"
      "particular quantities (^PQ) do not repeat a label.\n"
      "\n"
      "Limits: stored graphics up to 134217728 bytes together (graphics that the open format recalls\n"
      "count until it ends), at most 4096 of them; label sides up to 33554432 dots and labels up to\n"
      "1073741824 dots; 65536 fields in a format; 1024 bytes of parameters for a command. The data is\n"
      "read a chunk at a time, so memory stays below about 300 MiB whatever its size.\n"
      "\n"
      "Exit status: 0 when all the data was read, 1 when it is malformed or truncated (the message says\n"
      "where; labels completed before it are written), exceeds a limit, an image cannot be written or\n"
      "memory runs out, 2 for a usage error.\n",
      out);
}

// 'saveLabel()' - the finished label as the next numbered PNG in 'folder', announced on standard
// output. Returns 0, or 1 after a message.
int saveLabel(const std::string& folder, const previewLabel& label, int* labels) {
  char file[32];
  std::snprintf(file, sizeof file, "label-%04d.png", ++*labels);
  const std::string path = (std::filesystem::path(folder) / file).string();
  std::string error;
  if (previewWritePng(path, label, &error) != 0) {
    std::fprintf(stderr, "labelpreview: cannot write %s\n", error.c_str());
    return 1;
  }
  std::printf("%s (%u x %u dots)\n", path.c_str(), label.width, label.length);
  return 0;
}

// 'previewInput()' - read 'in' to its end, writing each finished label into 'folder'. Returns the
// exit status.
int previewInput(FILE* in, const char* name, const std::string& folder) {
  previewState state;
  std::string error;
  int labels = 0;
  std::vector<unsigned char> chunk(kChunkBytes);
  for (;;) {
    const size_t got = std::fread(chunk.data(), 1, chunk.size(), in);
    if (got == 0) {
      if (std::ferror(in) == 0) break;
      std::fprintf(stderr, "labelpreview: %s: %s\n", name, std::strerror(errno));
      return 1;
    }
    for (size_t at = 0; at < got;) {
      size_t used = 0;
      const int status = previewFeed(&state, chunk.data() + at, got - at, &used, &error);
      at += used;
      if (status == kPreviewError) {
        std::fprintf(stderr, "labelpreview: %s\n", error.c_str());
        return 1;
      }
      if (status == kPreviewLabel && saveLabel(folder, state.label, &labels) != 0) return 1;
    }
  }
  for (int status; (status = previewFinish(&state, &error)) != kPreviewMore;) {
    if (status == kPreviewError) {
      std::fprintf(stderr, "labelpreview: %s\n", error.c_str());
      return 1;
    }
    if (saveLabel(folder, state.label, &labels) != 0) return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  std::string folder = ".";
  static const option longOptions[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
  int option;
  while ((option = getopt_long(argc, argv, "d:h", longOptions, nullptr)) != -1) {
    if (option == 'd') {
      folder = optarg;
    } else if (option == 'h') {
      usage(stdout);
      return 0;
    } else {
      usage(stderr);
      return 2;
    }
  }
  if (argc - optind > 1) {
    usage(stderr);
    return 2;
  }
  const char* input = optind < argc ? argv[optind] : "-";

  const bool fromStdin = std::strcmp(input, "-") == 0;
  FILE* in = fromStdin ? stdin : std::fopen(input, "rb");
  if (in == nullptr) {
    std::fprintf(stderr, "labelpreview: %s: %s\n", input, std::strerror(errno));
    return 1;
  }
  std::error_code made;
  std::filesystem::create_directories(folder, made);
  int status;
  try {
    status = previewInput(in, input, folder);
  } catch (const std::bad_alloc&) {
    std::fputs("labelpreview: not enough memory\n", stderr);
    status = 1;
  }
  if (!fromStdin) std::fclose(in);
  return status;
}
