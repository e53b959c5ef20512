// SPDX-License-Identifier: Apache-2.0
// Reading PNG files: the chunks taken apart and checked here, the image data inflated by zlib and its
// rows unfiltered here.
#include "support/Png.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#if defined(LABEL_TEST_LIBPNG)
#include <png.h>
#endif

namespace {

constexpr unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr uint64_t kMaxImageData = uint64_t{1} << 30;  // bytes of unfiltered rows a test may read

struct pngHeader {
  uint32_t width, height;
  unsigned depth, colour, compression, filter, interlace;
};

uint32_t bigEndian(const unsigned char* at) {
  return uint32_t{at[0]} << 24 | uint32_t{at[1]} << 16 | uint32_t{at[2]} << 8 | at[3];
}

bool readWhole(const std::string& path, bytes* content) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  content->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// 'takeChunks()' - the header and the image data of a PNG file: every chunk's CRC right, IHDR first,
// IEND last with nothing after it, no critical chunk other than IHDR, IDAT and IEND. With 'headerOnly',
// stops after the header.
bool takeChunks(const bytes& file, pngHeader* header, bytes* data, bool headerOnly) {
  if (file.size() < sizeof kSignature || std::memcmp(file.data(), kSignature, sizeof kSignature) != 0)
    return false;
  size_t at = sizeof kSignature;
  bool first = true;
  while (file.size() - at >= 12) {
    const unsigned char* chunk = file.data() + at;
    const uint32_t size = bigEndian(chunk);
    if (size > 0x7FFFFFFF || file.size() - at - 12 < size) return false;
    const unsigned char* content = chunk + 8;
    uLong crc = crc32(0, chunk + 4, 4);
    crc = crc32(crc, content, size);
    if (crc != bigEndian(content + size)) return false;
    const std::string type(reinterpret_cast<const char*>(chunk + 4), 4);
    at += 12 + size_t{size};
    if (first != (type == "IHDR")) return false;
    if (first) {
      if (size != 13) return false;
      *header = {bigEndian(content), bigEndian(content + 4), content[8], content[9], content[10], content[11],
                 content[12]};
      if (headerOnly) return true;
      first = false;
    } else if (type == "IDAT") {
      data->insert(data->end(), content, content + size);
    } else if (type == "IEND") {
      return size == 0 && at == file.size();
    } else if (type[0] >= 'A' && type[0] <= 'Z') {
      return false;  // a critical chunk that a grey image has no use for
    }
  }
  return false;
}

bool soundSize(const pngHeader& header) {
  return header.width >= 1 && header.width <= 0x7FFFFFFF && header.height >= 1 && header.height <= 0x7FFFFFFF;
}

// 'inflateExactly()' - the zlib stream 'data' inflated: exactly 'size' bytes, and then its end.
bool inflateExactly(const bytes& data, uint64_t size, bytes* out) {
  out->assign(static_cast<size_t>(size) + 1, 0);
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) return false;
  stream.next_in = const_cast<unsigned char*>(data.data());
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = out->data();
  stream.avail_out = static_cast<uInt>(out->size());
  const int status = inflate(&stream, Z_FINISH);
  const bool exact = status == Z_STREAM_END && stream.total_out == size && stream.avail_in == 0;
  inflateEnd(&stream);
  out->resize(static_cast<size_t>(size));
  return exact;
}

unsigned paeth(unsigned a, unsigned b, unsigned c) {
  const int p = int(a) + int(b) - int(c);
  const int pa = std::abs(p - int(a)), pb = std::abs(p - int(b)), pc = std::abs(p - int(c));
  return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

// 'unfilter()' - undo each row's filter in place; rows are 1 + stride bytes, the first the filter type.
bool unfilter(bytes* rows, size_t stride, uint32_t height, size_t pixelBytes) {
  for (uint32_t y = 0; y < height; ++y) {
    unsigned char* row = rows->data() + size_t{y} * (stride + 1);
    const unsigned char* above = y > 0 ? row - (stride + 1) + 1 : nullptr;
    const unsigned type = row[0];
    if (type > 4) return false;
    unsigned char* line = row + 1;
    for (size_t i = 0; i < stride; ++i) {
      const unsigned a = i >= pixelBytes ? line[i - pixelBytes] : 0;
      const unsigned b = above != nullptr ? above[i] : 0;
      const unsigned c = above != nullptr && i >= pixelBytes ? above[i - pixelBytes] : 0;
      const unsigned predicted = type == 0   ? 0
                                 : type == 1 ? a
                                 : type == 2 ? b
                                 : type == 3 ? (a + b) / 2
                                             : paeth(a, b, c);
      line[i] = static_cast<unsigned char>(line[i] + predicted);
    }
  }
  return true;
}

}  // namespace

bool readPng(const std::string& path, greyImage* image) {
  bytes file, data;
  pngHeader header;
  if (!readWhole(path, &file) || !takeChunks(file, &header, &data, false) || !soundSize(header)) return false;
  const unsigned depth = header.depth;
  if (header.colour != 0 || (depth != 1 && depth != 2 && depth != 4 && depth != 8) ||
      header.compression != 0 || header.filter != 0 || header.interlace != 0)
    return false;
  const uint64_t stride = (uint64_t{header.width} * depth + 7) / 8;
  const uint64_t size = uint64_t{header.height} * (stride + 1);
  bytes rows;
  if (size > kMaxImageData || !inflateExactly(data, size, &rows) ||
      !unfilter(&rows, static_cast<size_t>(stride), header.height, 1))
    return false;
  image->width = header.width;
  image->height = header.height;
  image->pixels.assign(size_t{header.width} * header.height, 0);
  const unsigned maximum = (1u << depth) - 1;
  for (uint32_t y = 0; y < header.height; ++y) {
    const unsigned char* line = rows.data() + size_t{y} * (stride + 1) + 1;
    for (uint32_t x = 0; x < header.width; ++x) {
      const uint64_t bit = uint64_t{x} * depth;
      const unsigned sample = (line[bit / 8] >> (8 - depth - bit % 8)) & maximum;
      image->pixels[size_t{y} * header.width + x] = static_cast<unsigned char>(sample * 255 / maximum);
    }
  }
  return true;
}

bool readPngSize(const std::string& path, unsigned* width, unsigned* height) {
  bytes file, data;
  pngHeader header;
  if (!readWhole(path, &file) || !takeChunks(file, &header, &data, true) || !soundSize(header)) return false;
  *width = header.width;
  *height = header.height;
  return true;
}

#if defined(LABEL_TEST_LIBPNG)
bool readPngWithLibpng(const std::string& path, greyImage* image) {
  png_image png;
  std::memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_file(&png, path.c_str()) == 0) return false;
  png.format = PNG_FORMAT_GRAY;
  image->width = png.width;
  image->height = png.height;
  image->pixels.assign(PNG_IMAGE_SIZE(png), 0);
  if (png_image_finish_read(&png, nullptr, image->pixels.data(), 0, nullptr) == 0) {
    png_image_free(&png);
    return false;
  }
  return true;
}
#endif
