// SPDX-License-Identifier: Apache-2.0
// topwg: a CUPS raster job rewritten as PWG raster, what IPP clients send to a driverless printer.
//
//   topwg JOB.ras > JOB.pwg
//
// Each page keeps its size, resolution and bits; one-bit pages stay one-bit black (a 1 bit is ink).
#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fputs("usage: topwg JOB.ras > JOB.pwg\n", stderr);
    return 2;
  }
  const int in = open(argv[1], O_RDONLY);
  if (in < 0) {
    std::perror(argv[1]);
    return 1;
  }
  cups_raster_t* reader = cupsRasterOpen(in, CUPS_RASTER_READ);
  cups_raster_t* writer = cupsRasterOpen(STDOUT_FILENO, CUPS_RASTER_WRITE_PWG);
  cups_page_header2_t header;
  unsigned pages = 0;
  unsigned char* row = nullptr;
  while (reader != nullptr && writer != nullptr && cupsRasterReadHeader2(reader, &header)) {
    row = static_cast<unsigned char*>(std::realloc(row, header.cupsBytesPerLine));
    std::strncpy(header.MediaType, "labels", sizeof header.MediaType - 1);
    std::strncpy(header.cupsRenderingIntent, "Perceptual", sizeof header.cupsRenderingIntent - 1);
    if (header.cupsBitsPerPixel == 1) header.cupsColorSpace = CUPS_CSPACE_K;
    if (row == nullptr || !cupsRasterWriteHeader2(writer, &header)) break;
    for (unsigned y = 0; y < header.cupsHeight; ++y)
      if (cupsRasterReadPixels(reader, row, header.cupsBytesPerLine) != header.cupsBytesPerLine ||
          cupsRasterWritePixels(writer, row, header.cupsBytesPerLine) != header.cupsBytesPerLine) {
        std::fprintf(stderr, "topwg: page %u is cut short\n", pages + 1);
        return 1;
      }
    ++pages;
  }
  std::free(row);
  cupsRasterClose(writer);
  cupsRasterClose(reader);
  close(in);
  if (pages == 0) {
    std::fputs("topwg: no pages\n", stderr);
    return 1;
  }
  return 0;
}
