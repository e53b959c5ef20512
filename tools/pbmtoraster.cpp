// SPDX-License-Identifier: Apache-2.0
// pbmtoraster: write a CUPS raster stream from PBM (P4) images, one page per image.
//
//   pbmtoraster [-r DPI] [-g K|W|SW] [FILE.pbm ...] > job.ras
//
// Pages are 1-bit black (a 1 bit prints a dot), as a label printer queue asks of the rasteriser; -g
// writes 8-bit grey pages instead (K: 255 is ink; W and SW: 0 is ink). Every image of every file,
// including files holding several images back to back, becomes one page; without files the images
// come from standard input.
#include <cups/raster.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr unsigned kMaxSide = 1u << 20;  // pixels; far beyond any label

struct pbmImage {
  unsigned width;
  unsigned height;
  std::vector<unsigned char> bits;  // rows of (width + 7) / 8 bytes
};

// 'readHeaderNumber()' - the next decimal number of a PBM header, skipping blanks and comments.
bool readHeaderNumber(FILE* in, unsigned* value) {
  int c = std::fgetc(in);
  for (;;) {
    while (c != EOF && std::isspace(c)) c = std::fgetc(in);
    if (c != '#') break;
    while (c != EOF && c != '\n') c = std::fgetc(in);
  }
  if (c == EOF || !std::isdigit(c)) return false;
  unsigned long number = 0;
  while (c != EOF && std::isdigit(c)) {
    number = number * 10 + static_cast<unsigned>(c - '0');
    if (number > kMaxSide) return false;
    c = std::fgetc(in);
  }
  // Exactly one whitespace character separates the header from the data; anything else is an error.
  if (c == EOF || !std::isspace(c)) return false;
  *value = static_cast<unsigned>(number);
  return true;
}

// 'readImage()' - the next P4 image: 1 on success, 0 at the end of the input, -1 on malformed input.
int readImage(FILE* in, pbmImage* image) {
  int c = std::fgetc(in);
  while (c != EOF && std::isspace(c)) c = std::fgetc(in);
  if (c == EOF) return 0;
  if (c != 'P' || std::fgetc(in) != '4') return -1;
  if (!readHeaderNumber(in, &image->width) || !readHeaderNumber(in, &image->height)) return -1;
  if (image->width == 0 || image->height == 0) return -1;
  const size_t size = static_cast<size_t>((image->width + 7) / 8) * image->height;
  image->bits.resize(size);
  return std::fread(image->bits.data(), 1, size, in) == size ? 1 : -1;
}

// 'writePage()' - one raster page of 'image', 1-bit black or 8-bit grey in 'colorSpace'.
bool writePage(cups_raster_t* raster, const pbmImage& image, unsigned dpi, bool grey,
               cups_cspace_t colorSpace) {
  cups_page_header2_t header;
  std::memset(&header, 0, sizeof header);
  std::strcpy(header.MediaClass, "PwgRaster");
  header.HWResolution[0] = header.HWResolution[1] = dpi;
  header.PageSize[0] = image.width * 72 / dpi;
  header.PageSize[1] = image.height * 72 / dpi;
  header.NumCopies = 1;
  header.cupsWidth = image.width;
  header.cupsHeight = image.height;
  header.cupsColorOrder = CUPS_ORDER_CHUNKED;
  header.cupsColorSpace = colorSpace;
  header.cupsNumColors = 1;
  header.cupsBitsPerColor = grey ? 8 : 1;
  header.cupsBitsPerPixel = grey ? 8 : 1;
  header.cupsBytesPerLine = grey ? image.width : (image.width + 7) / 8;
  if (!cupsRasterWriteHeader2(raster, &header)) return false;

  const unsigned pbmRowBytes = (image.width + 7) / 8;
  std::vector<unsigned char> line(header.cupsBytesPerLine);
  const bool inkIsHigh = colorSpace == CUPS_CSPACE_K;
  for (unsigned y = 0; y < image.height; ++y) {
    const unsigned char* bits = image.bits.data() + static_cast<size_t>(y) * pbmRowBytes;
    if (grey) {
      for (unsigned x = 0; x < image.width; ++x) {
        const bool ink = (bits[x / 8] >> (7 - x % 8)) & 1;
        line[x] = ink == inkIsHigh ? 255 : 0;
      }
    } else {
      std::memcpy(line.data(), bits, pbmRowBytes);
    }
    if (cupsRasterWritePixels(raster, line.data(), header.cupsBytesPerLine) != header.cupsBytesPerLine)
      return false;
  }
  return true;
}

void usage() { std::fputs("usage: pbmtoraster [-r DPI] [-g K|W|SW] [FILE.pbm ...] > job.ras\n", stderr); }

}  // namespace

int main(int argc, char* argv[]) {
  unsigned dpi = 203;
  bool grey = false;
  cups_cspace_t colorSpace = CUPS_CSPACE_K;
  int option;
  while ((option = getopt(argc, argv, "r:g:h")) != -1) {
    if (option == 'r') {
      dpi = static_cast<unsigned>(std::strtoul(optarg, nullptr, 10));
      if (dpi == 0 || dpi > 10000) {
        std::fputs("pbmtoraster: the resolution must be 1 to 10000 dpi\n", stderr);
        return 2;
      }
    } else if (option == 'g') {
      grey = true;
      if (std::strcmp(optarg, "K") == 0) {
        colorSpace = CUPS_CSPACE_K;
      } else if (std::strcmp(optarg, "W") == 0) {
        colorSpace = CUPS_CSPACE_W;
      } else if (std::strcmp(optarg, "SW") == 0) {
        colorSpace = CUPS_CSPACE_SW;
      } else {
        usage();
        return 2;
      }
    } else {
      usage();
      return option == 'h' ? 0 : 2;
    }
  }

  cups_raster_t* raster = cupsRasterOpen(1, CUPS_RASTER_WRITE_COMPRESSED);
  if (raster == nullptr) {
    std::fputs("pbmtoraster: cannot write a raster stream\n", stderr);
    return 1;
  }
  int status = 0;
  const int files = argc - optind;
  for (int f = 0; f < (files == 0 ? 1 : files) && status == 0; ++f) {
    const char* name = files == 0 ? "-" : argv[optind + f];
    FILE* in = std::strcmp(name, "-") == 0 ? stdin : std::fopen(name, "rb");
    if (in == nullptr) {
      std::perror(name);
      status = 1;
      break;
    }
    pbmImage image;
    int read;
    while ((read = readImage(in, &image)) == 1) {
      if (!writePage(raster, image, dpi, grey, colorSpace)) {
        std::fputs("pbmtoraster: cannot write the raster page\n", stderr);
        status = 1;
        break;
      }
    }
    if (read < 0) {
      std::fprintf(stderr, "pbmtoraster: %s: not a PBM (P4) image\n", name);
      status = 1;
    }
    if (in != stdin) std::fclose(in);
  }
  cupsRasterClose(raster);
  return status;
}
