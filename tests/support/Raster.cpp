// SPDX-License-Identifier: Apache-2.0
#include "support/Raster.h"

#include <cstring>
#include <stdexcept>

#include "support/Process.h"

pbmPage patternPage(unsigned width, unsigned height, uint32_t seed) {
  pbmPage page{width, height, {}};
  const unsigned rowBytes = (width + 7) / 8;
  page.bits = noise(static_cast<size_t>(rowBytes) * height, seed);
  for (unsigned y = 0; y < height; ++y) {
    unsigned char* row = page.bits.data() + static_cast<size_t>(y) * rowBytes;
    if (y % 3 == 0) std::memset(row, 0, rowBytes / 2);                    // white runs and zero tails
    if (y % 5 == 1 && y > 0) std::memcpy(row, row - rowBytes, rowBytes);  // repeated rows
    if (width % 8 != 0) row[rowBytes - 1] &= static_cast<unsigned char>(0xFF << (8 - width % 8));
  }
  return page;
}

std::string pbm(const pbmPage& page) {
  return "P4\n" + std::to_string(page.width) + " " + std::to_string(page.height) + "\n" +
         std::string(page.bits.begin(), page.bits.end());
}

std::string rasterFromPbm(const std::vector<pbmPage>& pages, const std::vector<std::string>& options) {
  std::string input;
  for (const auto& page : pages) input += pbm(page);
  std::vector<std::string> argv = {PBMTORASTER_PATH};
  argv.insert(argv.end(), options.begin(), options.end());
  const processResult result = runProcess(argv, input);
  if (result.status != 0) throw std::runtime_error("pbmtoraster failed: " + result.err);
  return result.out;
}

cups_page_header2_t oneBitHeader(unsigned width, unsigned height) {
  cups_page_header2_t header;
  std::memset(&header, 0, sizeof header);
  header.HWResolution[0] = header.HWResolution[1] = 203;
  header.cupsWidth = width;
  header.cupsHeight = height;
  header.cupsColorSpace = CUPS_CSPACE_K;
  header.cupsNumColors = 1;
  header.cupsBitsPerColor = 1;
  header.cupsBitsPerPixel = 1;
  header.cupsBytesPerLine = (width + 7) / 8;
  return header;
}

std::string rawRaster(const std::vector<rawPage>& pages) {
  const unsigned sync = CUPS_RASTER_SYNC;  // native byte order: read back without swapping
  std::string stream(reinterpret_cast<const char*>(&sync), sizeof sync);
  for (const auto& page : pages) {
    stream.append(reinterpret_cast<const char*>(&page.header), sizeof page.header);
    stream += page.data;
  }
  return stream;
}

bytes paddedBitmap(const pbmPage& page, unsigned char fill) {
  const size_t rowBytes = ((page.width + 31) / 32) * 4, pbmRowBytes = (page.width + 7) / 8;
  const size_t rows = (page.height + 31) / 32 * 32;
  bytes bitmap(rowBytes * rows, fill);
  for (size_t y = 0; y < page.height; ++y)
    std::memcpy(bitmap.data() + y * rowBytes, page.bits.data() + y * pbmRowBytes, pbmRowBytes);
  return bitmap;
}
