// labelpreview: draw the labels that printer data prints, one PNG image per label.
//
//   labelpreview [-d DIR] [FILE]
//
// Reads printer data as the filter writes it (FILE, or standard input without one or with "-") and
// follows the commands that decide what a label shows: stored-graphic downloads (~DG, GRF text), label
// formats (^XA .. ^XZ) with the label width (^PW) and length (^LL), field positions (^FO top-left
// corner, ^FT bottom-left corner), graphic recalls (^XG), boxes (^GB), reverse printing (^LRY .. ^LRN),
// graphic deletion (^ID) and changes of the command prefixes and delimiter (~CC, ~CT, ~CD, also
// introduced by the byte 0x10). Every other command is skipped. A format that draws at least one field
// becomes DIR/label-0001.png, label-0002.png, ...: one-bit grey, black where the printer puts a dot,
// the label's width by its length in dots.
//
// Exit status: 0 when the whole input was read; 1 for malformed or truncated data (with a message on
// standard error; the labels completed before it are written), memory running out, or an image that
// cannot be written; 2 for a usage error.
#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/preview/Preview.h"

namespace {

void usage(FILE* out) {
  std::fputs(
      "usage: labelpreview [-d DIR] [FILE]\n"
      "\n"
      "Draws the labels that printer data (as rastertoxxx writes it) prints: one PNG per label,\n"
      "DIR/label-0001.png, label-0002.png, ... (DIR defaults to the current folder, and is created\n"
      "when missing). Black is where the printer puts a dot; an image is the label's width (^PW) by its\n"
      "length (^LL) in dots, or as wide and long as what it draws when they are not given. The data\n"
      "comes from FILE, or from standard input without one or with \"-\".\n"
      "\n"
      "Followed: ~DG graphic downloads, ^XA .. ^XZ label formats, ^PW, ^LL, ^FO, ^FT, ^XG, ^GB, ^FS,\n"
      "^LRY .. ^LRN, ^ID, and prefix changes (~CC, ~CT, ~CD). Every other command is skipped; in\n"
      "particular quantities (^PQ) do not repeat a label.\n"
      "\n"
      "Limits: everything the filter sends. Stored graphics up to 128 MiB in all, label sides up to\n"
      "33,554,432 dots and labels up to 2^30 dots; memory stays below about 300 MiB whatever the data.\n"
      "\n"
      "Exit status: 0 when all the data was read, 1 when it is malformed or truncated (the message says\n"
      "where; labels completed before it are written), memory runs out or an image cannot be written,\n"
      "2 for a usage error.\n",
      out);
}

}  // namespace

int main(int argc, char* argv[]) {
  const char* folder = ".";
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
  FILE* in = std::strcmp(input, "-") == 0 ? stdin : std::fopen(input, "rb");
  if (in == nullptr) {
    std::fprintf(stderr, "labelpreview: %s: %s\n", input, std::strerror(errno));
    return 1;
  }
  previewResult result;
  const int status = previewLabels(in, folder, &result);
  if (in != stdin) std::fclose(in);
  if (status != 0) std::fprintf(stderr, "labelpreview: %s\n", result.error.c_str());
  return status;
}
