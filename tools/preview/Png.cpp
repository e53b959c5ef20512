// SPDX-License-Identifier: Apache-2.0
// Writing a label as a 1-bit grey PNG file through libpng's classic interface, one row at a time, so
// that no image larger than the label's own bits is ever held.
#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include "tools/preview/preview.h"

namespace {

// Where libpng's error handler leaves its message.
struct pngProblem {
  char text[128];
};

// 'pngError()' - libpng's error handler: keep the message, then return to the setjmp in writeRows().
[[noreturn]] void pngError(png_structp png, png_const_charp text) {
  auto* problem = static_cast<pngProblem*>(png_get_error_ptr(png));
  std::snprintf(problem->text, sizeof problem->text, "%s", text);
  png_longjmp(png, 1);
}

// 'pngWarning()' - libpng's warning handler: warnings change nothing in the file, so they are dropped.
void pngWarning(png_structp, png_const_charp) {}

// 'copyRow()' - label row y into 'row', from its first byte; the bits past the width are 0.
void copyRow(const previewLabel& label, uint32_t y, unsigned char* row, size_t rowBytes) {
  const uint64_t first = static_cast<uint64_t>(y) * label.width;
  const unsigned shift = static_cast<unsigned>(first % 8);
  const unsigned char* source = label.bits.data() + first / 8;
  const size_t sourceBytes = label.bits.size() - static_cast<size_t>(first / 8);
  if (shift == 0) {
    std::memcpy(row, source, rowBytes);
  } else {
    for (size_t i = 0; i < rowBytes; ++i) {
      const unsigned next = i + 1 < sourceBytes ? source[i + 1] : 0;
      row[i] = static_cast<unsigned char>((source[i] << shift) | (next >> (8 - shift)));
    }
  }
  if (label.width % 8 != 0) row[rowBytes - 1] &= static_cast<unsigned char>(0xFF00u >> (label.width % 8));
}

// 'writeRows()' - the PNG stream of the label into 'file', using 'row' (rowBytes bytes) for each row.
// Returns false with problem->text when libpng stops. Nothing here needs unwinding, so libpng's
// longjmp may leave it.
bool writeRows(FILE* file, const previewLabel& label, unsigned char* row, size_t rowBytes,
               pngProblem* problem) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, problem, pngError, pngWarning);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    return false;
  }
  if (setjmp(png_jmpbuf(png)) != 0) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, file);
  png_set_user_limits(png, static_cast<png_uint_32>(kPreviewMaxSide),
                      static_cast<png_uint_32>(kPreviewMaxSide));
  png_set_IHDR(png, info, label.width, label.length, 1, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_set_invert_mono(png);  // a dot (1 in the label) is a 0 sample, black
  for (uint32_t y = 0; y < label.length; ++y) {
    copyRow(label, y, row, rowBytes);
    png_write_row(png, row);
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

int previewWritePng(const std::string& path, const previewLabel& label, std::string* message) {
  const size_t rowBytes = (static_cast<size_t>(label.width) + 7) / 8;
  std::vector<unsigned char> row(rowBytes);
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    *message = path + ": " + std::strerror(errno);
    return 1;
  }
  pngProblem problem = {"not enough memory"};
  const bool written = writeRows(file, label, row.data(), rowBytes, &problem);
  const bool flushed = std::fflush(file) == 0 && std::ferror(file) == 0;
  const int flushError = errno;
  const bool closed = std::fclose(file) == 0;
  if (written && flushed && closed) return 0;
  *message = path + ": " + (!written ? problem.text : std::strerror(flushed ? errno : flushError));
  return 1;
}
