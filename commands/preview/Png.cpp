// SPDX-License-Identifier: Apache-2.0
// Writing a label as a 1-bit grey PNG file. The file's chunks are put together here and the image data
// is deflated by zlib (which the CUPS library itself is built on) one row at a time, so that no image
// larger than the label's own bits is ever held.
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "commands/preview/preview.h"

namespace {

constexpr unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr size_t kDataChunkBytes = 65536;  // image data per IDAT chunk
constexpr uint32_t kMaxPngSide = 0x7FFFFFFF;

void putBigEndian(unsigned char* at, uint32_t value) {
  at[0] = static_cast<unsigned char>(value >> 24);
  at[1] = static_cast<unsigned char>(value >> 16);
  at[2] = static_cast<unsigned char>(value >> 8);
  at[3] = static_cast<unsigned char>(value);
}

// 'writeChunk()' - one chunk: its length, type, data and the CRC of type and data. False when the
// file cannot be written (errno says why).
bool writeChunk(FILE* file, const char* type, const unsigned char* data, size_t size) {
  unsigned char head[8], tail[4];
  putBigEndian(head, static_cast<uint32_t>(size));
  std::memcpy(head + 4, type, 4);
  uLong crc = crc32(0, head + 4, 4);
  if (size > 0) crc = crc32(crc, data, static_cast<uInt>(size));
  putBigEndian(tail, static_cast<uint32_t>(crc));
  return std::fwrite(head, 1, sizeof head, file) == sizeof head &&
         (size == 0 || std::fwrite(data, 1, size, file) == size) &&
         std::fwrite(tail, 1, sizeof tail, file) == sizeof tail;
}

// 'copyRow()' - label row y as PNG samples into 'row' (rowBytes bytes): a dot (1 in the label) is a
// 0 sample, black; the bits past the width are 0.
void copyRow(const previewLabel& label, uint32_t y, unsigned char* row, size_t rowBytes) {
  const uint64_t first = static_cast<uint64_t>(y) * label.width;
  const unsigned shift = static_cast<unsigned>(first % 8);
  const unsigned char* source = label.bits.data() + first / 8;
  const size_t sourceBytes = label.bits.size() - static_cast<size_t>(first / 8);
  for (size_t i = 0; i < rowBytes; ++i) {
    const unsigned next = shift != 0 && i + 1 < sourceBytes ? source[i + 1] : 0;
    row[i] = static_cast<unsigned char>(~((source[i] << shift) | (next >> (8 - shift))));
  }
  if (label.width % 8 != 0) row[rowBytes - 1] &= static_cast<unsigned char>(0xFF00u >> (label.width % 8));
}

// The deflate stream of the image data, handed out as IDAT chunks whenever its buffer fills.
struct imageData {
  FILE* file;
  z_stream stream{};
  bool started = false;
  std::vector<unsigned char> out = std::vector<unsigned char>(kDataChunkBytes);
  const char* problem = nullptr;  // what went wrong, or nullptr for errno's reason
  ~imageData() {
    if (started) deflateEnd(&stream);
  }

  // 'deflateAll()' - run the stream with 'flush' until it took all its input (Z_NO_FLUSH) or ended
  // (Z_FINISH), writing every full buffer, and the last part at the end. False once writing failed.
  bool deflateAll(int flush) {
    for (;;) {
      stream.next_out = out.data() + (out.size() - stream.avail_out);
      const int status = deflate(&stream, flush);
      if (status == Z_STREAM_ERROR) {
        problem = "the image data cannot be compressed";
        return false;
      }
      const bool ended = status == Z_STREAM_END;
      if (stream.avail_out == 0 || ended) {
        if (!writeChunk(file, "IDAT", out.data(), out.size() - stream.avail_out)) return false;
        stream.avail_out = static_cast<uInt>(out.size());
      }
      if (ended || (flush == Z_NO_FLUSH && stream.avail_in == 0)) return true;
    }
  }
};

// 'writeImage()' - the PNG stream of the label into 'file', using 'row' (1 + rowBytes bytes) for each
// row. False with *problem set, or with errno's reason when *problem stays nullptr.
bool writeImage(FILE* file, const previewLabel& label, std::vector<unsigned char>* row,
                const char** problem) {
  unsigned char header[13];
  putBigEndian(header, label.width);
  putBigEndian(header + 4, label.length);
  header[8] = 1;   // bits a sample
  header[9] = 0;   // grey
  header[10] = 0;  // deflate
  header[11] = 0;  // the five row filters
  header[12] = 0;  // not interlaced
  if (std::fwrite(kSignature, 1, sizeof kSignature, file) != sizeof kSignature ||
      !writeChunk(file, "IHDR", header, sizeof header))
    return false;

  imageData data{file};
  const int started = deflateInit(&data.stream, Z_DEFAULT_COMPRESSION);
  if (started != Z_OK) {
    *problem = started == Z_MEM_ERROR ? "not enough memory" : "the image data cannot be compressed";
    return false;
  }
  data.started = true;
  data.stream.avail_out = static_cast<uInt>(data.out.size());
  (*row)[0] = 0;  // each row unfiltered
  for (uint32_t y = 0; y < label.length; ++y) {
    copyRow(label, y, row->data() + 1, row->size() - 1);
    data.stream.next_in = row->data();
    data.stream.avail_in = static_cast<uInt>(row->size());
    if (!data.deflateAll(Z_NO_FLUSH)) {
      *problem = data.problem;
      return false;
    }
  }
  if (!data.deflateAll(Z_FINISH) || !writeChunk(file, "IEND", nullptr, 0)) {
    *problem = data.problem;
    return false;
  }
  return true;
}

}  // namespace

int previewWritePngFile(FILE* file, const previewLabel& label, std::string* message) {
  if (label.width == 0 || label.length == 0 || label.width > kMaxPngSide || label.length > kMaxPngSide ||
      label.bits.size() < (static_cast<uint64_t>(label.width) * label.length + 7) / 8) {
    *message = "a label of " + std::to_string(label.width) + " x " + std::to_string(label.length) +
               " dots cannot be an image";
    return 1;
  }
  std::vector<unsigned char> row(1 + (static_cast<size_t>(label.width) + 7) / 8);
  const char* problem = nullptr;
  errno = 0;
  if (writeImage(file, label, &row, &problem)) return 0;
  *message = problem != nullptr ? problem : std::strerror(errno != 0 ? errno : EIO);
  return 1;
}

int previewWritePng(const std::string& path, const previewLabel& label, std::string* message) {
  if (label.width == 0 || label.length == 0 || label.width > kMaxPngSide || label.length > kMaxPngSide ||
      label.bits.size() < (static_cast<uint64_t>(label.width) * label.length + 7) / 8) {
    *message = path + ": a label of " + std::to_string(label.width) + " x " + std::to_string(label.length) +
               " dots cannot be an image";
    return 1;
  }
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    *message = path + ": " + std::strerror(errno);
    return 1;
  }
  std::string problem;
  const bool written = previewWritePngFile(file, label, &problem) == 0;
  const bool flushed = std::fflush(file) == 0 && std::ferror(file) == 0;
  const int flushError = errno;
  const bool closed = std::fclose(file) == 0;
  if (written && flushed && closed) return 0;
  if (!written)
    *message = path + ": " + problem;
  else
    *message = path + ": " + std::strerror(flushed ? errno : flushError);
  return 1;
}
