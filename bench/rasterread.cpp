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
#include <vector>

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
  std::vector<unsigned char> row;
  cups_page_header_t header;
  long pages = 0;
  while (raster != nullptr && cupsRasterReadHeader(raster, &header) != 0) {
    if (header.cupsHeight == 0 || header.cupsBytesPerLine == 0) break;
    row.resize(header.cupsBytesPerLine);
    for (unsigned y = 0; y < header.cupsHeight; ++y)
      if (cupsRasterReadPixels(raster, row.data(), header.cupsBytesPerLine) == 0) break;
    ++pages;
  }
  if (raster != nullptr) cupsRasterClose(raster);
  if (fd != 0) close(fd);
  return pages > 0 ? 0 : 1;
}
