// SPDX-License-Identifier: Apache-2.0
// rasterread: read a CUPS raster stream and discard it, the least any raster filter must do.
//
//   rasterread [FILE]
//
// Every page header is read with cupsRasterReadHeader and every row with cupsRasterReadPixels into
// one row buffer, as the filter reads them; nothing is written. bench/bulk-job.sh times it as the
// floor of the filter's time and memory.
#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[]) {
  if (argc > 2) {
    std::fputs("usage: rasterread [FILE]\n", stderr);
    return 2;
  }
  const int fd = argc == 2 ? open(argv[1], O_RDONLY) : 0;
  if (fd < 0) {
    std::perror(argv[1]);
    return 1;
  }
  cups_raster_t* raster = cupsRasterOpen(fd, CUPS_RASTER_READ);
  unsigned char* row = nullptr;  // plain malloc, so that the C++ library is not loaded for nothing
  size_t rowSize = 0;
  cups_page_header_t header;
  long pages = 0;
  while (raster != nullptr && cupsRasterReadHeader(raster, &header) != 0) {
    if (header.cupsHeight == 0 || header.cupsBytesPerLine == 0) break;
    if (header.cupsBytesPerLine > rowSize) {
      void* grown = std::realloc(row, header.cupsBytesPerLine);
      if (grown == nullptr) break;
      row = static_cast<unsigned char*>(grown);
      rowSize = header.cupsBytesPerLine;
    }
    for (unsigned y = 0; y < header.cupsHeight; ++y)
      if (cupsRasterReadPixels(raster, row, header.cupsBytesPerLine) == 0) break;
    ++pages;
  }
  std::free(row);
  if (raster != nullptr) cupsRasterClose(raster);
  if (fd != 0) close(fd);
  return pages > 0 ? 0 : 1;
}
