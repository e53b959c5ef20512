// GRF text writer and compressor.
#include <cstring>

#include "grf/DataComDecompress.h"

namespace {

constexpr unsigned char kDigits[] = "0123456789ABCDEF";
constexpr uint64_t kOnes = 0x0101010101010101ULL;

uint64_t load64(const unsigned char* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// 'putRun()' - the canonical count letters of 'count' and then 'digit'; returns the new end.
unsigned char* putRun(unsigned char* out, unsigned char digit, uint64_t count) {
  for (uint64_t q = count / 400; q != 0; --q) *out++ = 'z';
  const unsigned m = static_cast<unsigned>(count % 400);
  if (m >= 20) *out++ = static_cast<unsigned char>(0x66 + m / 20);
  if (m % 20 != 0) *out++ = static_cast<unsigned char>(0x46 + m % 20);
  *out++ = digit;
  return out;
}

// 'putNibbleRun()' - a run of 'length' >= 1 nibbles of value 'nibble': the digit alone for one nibble,
// count letters and digit for more.
unsigned char* putNibbleRun(unsigned char* out, unsigned nibble, uint64_t length) {
  if (length == 1) {
    *out++ = kDigits[nibble];
    return out;
  }
  return putRun(out, kDigits[nibble], length);
}

// 'zeroTailStart()' - index of the first byte of the row's trailing 0x00 bytes (n when there are none).
size_t zeroTailStart(const unsigned char* row, size_t n) {
  size_t end = n;
  while (end >= 8 && load64(row + end - 8) == 0) end -= 8;
  while (end > 0 && row[end - 1] == 0) --end;
  return end;
}

// 'encodeRow()' - spell a row of n >= 2 bytes as runs, ending with "," when it ends in two or more whole
// zero bytes. The zero-tail test is made at every byte boundary from byte 1 on, so the fill starts at
// the later of byte 1 and the first trailing zero byte.
unsigned char* encodeRow(const unsigned char* row, size_t n, unsigned char* out) {
  size_t spelled = n;
  const size_t tail = zeroTailStart(row, n);
  const size_t fillFrom = tail < 1 ? 1 : tail;
  const bool zeroFill = n - fillFrom >= 2;
  if (zeroFill) spelled = fillFrom;

  unsigned run = row[0] >> 4;
  uint64_t length = 0;
  size_t j = 0;
  while (j < spelled) {
    const unsigned byte = row[j];
    if (byte == run * 0x11) {
      // The byte continues the run in both nibbles: skip every following copy of it, a word at a time.
      size_t e = j + 1;
      const uint64_t pattern = kOnes * byte;
      while (e + 8 <= spelled && load64(row + e) == pattern) e += 8;
      while (e < spelled && row[e] == byte) ++e;
      length += 2 * (e - j);
      j = e;
      continue;
    }
    const unsigned high = byte >> 4;
    const unsigned low = byte & 0x0F;
    if (high != run) {
      out = putNibbleRun(out, run, length);
      run = high;
      length = 0;
    }
    ++length;
    if (low != run) {
      out = putNibbleRun(out, run, length);
      run = low;
      length = 0;
    }
    ++length;
    ++j;
  }

  if (zeroFill) {
    // A pending run of "0" is covered by the fill.
    if (run != 0) out = putNibbleRun(out, run, length);
    *out++ = ',';
  } else {
    out = putNibbleRun(out, run, length);
  }
  return out;
}

// 'encodeByteRow()' - a row of one byte: "," for 0x00, "!" for 0xFF, a run of two equal nibbles, or two
// digits.
unsigned char* encodeByteRow(unsigned byte, unsigned char* out) {
  const unsigned high = byte >> 4;
  const unsigned low = byte & 0x0F;
  if (high != low) {
    *out++ = kDigits[high];
    *out++ = kDigits[low];
  } else if (byte == 0x00) {
    *out++ = ',';
  } else if (byte == 0xFF) {
    *out++ = '!';
  } else {
    *out++ = 'H';
    *out++ = kDigits[high];
  }
  return out;
}

}  // namespace

int GRFWriteData(int digit, uint64_t count, unsigned char* text, uint64_t* position) {
  if (text == nullptr || position == nullptr) return 1;
  unsigned char* start = text + *position;
  const unsigned char* end = putRun(start, static_cast<unsigned char>(digit & 0xFF), count);
  *position += static_cast<uint64_t>(end - start);
  return 0;
}

int GRFDataCompress(const unsigned char* bitmap, uint64_t size, uint64_t rowBytes, unsigned char* text,
                    uint64_t* textLength) {
  if (bitmap == nullptr || text == nullptr || textLength == nullptr) return 1;
  if (size == 0 || rowBytes == 0) return 1;

  const uint64_t rows = size / rowBytes;
  const size_t n = static_cast<size_t>(rowBytes);
  unsigned char* out = text;
  const unsigned char* row = bitmap;
  for (uint64_t r = 0; r < rows; ++r, row += n) {
    if (r != 0 && std::memcmp(row, row - n, n) == 0) {
      *out++ = ':';
      continue;
    }
    out = n == 1 ? encodeByteRow(row[0], out) : encodeRow(row, n, out);
    *out++ = '\r';
    *out++ = '\n';
  }
  *textLength = static_cast<uint64_t>(out - text);
  return 0;
}

uint64_t GRFCompressBound(uint64_t size, uint64_t rowBytes) {
  if (rowBytes == 0) return 0;
  const uint64_t rows = size / rowBytes;
  if (rowBytes > (UINT64_MAX - 2) / 2) return rows == 0 ? 0 : UINT64_MAX;
  const uint64_t perRow = 2 * rowBytes + 2;
  if (rows != 0 && perRow > UINT64_MAX / rows) return UINT64_MAX;
  return rows * perRow;
}
