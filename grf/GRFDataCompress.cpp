// GRF text writer and compressor.
#include <array>
#include <bit>
#include <cstring>

#include "grf/DataComDecompress.h"

namespace {

constexpr unsigned char kDigits[] = "0123456789ABCDEF";

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

// The text of a run shorter than 400 nibbles, for every digit: entry 16 * length + nibble holds the
// count letters and the digit in its first bytes (the digit alone for one nibble) and their number in
// its last byte.
constexpr uint64_t kShortRun = 400;
using runText = std::array<unsigned char, 4>;

constexpr std::array<runText, 16 * kShortRun> makeRunTexts() {
  std::array<runText, 16 * kShortRun> table{};
  for (uint64_t length = 1; length < kShortRun; ++length) {
    for (unsigned nibble = 0; nibble < 16; ++nibble) {
      runText& entry = table[16 * length + nibble];
      unsigned char count = 0;
      if (length >= 20) entry[count++] = static_cast<unsigned char>(0x66 + length / 20);
      if (length >= 2 && length % 20 != 0) entry[count++] = static_cast<unsigned char>(0x46 + length % 20);
      entry[count++] = kDigits[nibble];
      entry[3] = count;
    }
  }
  return table;
}
constexpr std::array<runText, 16 * kShortRun> kRunTexts = makeRunTexts();

// 'textNibbles()' - the eight bytes of 'word' (in memory order) as sixteen nibbles in text order:
// nibble i of the result, at bits 4i to 4i + 3, is the high nibble of byte i / 2 for even i and its
// low nibble for odd i.
uint64_t textNibbles(uint64_t word) {
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  constexpr uint64_t kLow = 0x0F0F0F0F0F0F0F0FULL;
  return ((word >> 4) & kLow) | ((word & kLow) << 4);
}

// 'nibbleChanges()' - bit 4i set where nibble i of 'nibbles' differs from the nibble before it
// ('previous' before nibble 0).
uint64_t nibbleChanges(uint64_t nibbles, unsigned previous) {
  uint64_t diff = nibbles ^ (nibbles << 4 | previous);
  diff |= diff >> 2;
  diff |= diff >> 1;
  return diff & 0x1111111111111111ULL;
}

// 'encodeRow()' - spell a row of n >= 2 bytes as runs, ending with "," when it ends in two or more whole
// zero bytes. The zero-tail test is made at every byte boundary from byte 1 on, so the fill starts at
// the later of byte 1 and the first trailing zero byte.
//
// Runs are found sixteen nibbles at a time: each word of the row gives a mask of the nibbles that
// differ from their predecessor, and every set bit ends one run. Positions are counted in bits (four
// per nibble) so that a set bit's index is the position itself.
//
// A run that more nibbles of the row follow is written with one four-byte store of its table entry, up
// to three bytes beyond its own characters. That stays inside the row's worst-case room: the text
// written before a run is at most as long as the run's start in nibbles, and the row has room for
// 2 n + 2 characters. The extra bytes are overwritten before the row ends, since at least one more run
// or fill and CR LF follow. Only the row's last run is written exactly.
unsigned char* encodeRow(const unsigned char* row, size_t n, unsigned char* out) {
  const size_t tail = zeroTailStart(row, n);
  const size_t fillFrom = tail < 1 ? 1 : tail;
  const bool zeroFill = n - fillFrom >= 2;
  const size_t spelled = zeroFill ? fillFrom : n;

  unsigned run = row[0] >> 4;
  uint64_t runStart = 0;  // in bits of nibbles: 4 per nibble
  // A row shorter than 200 bytes has no run of 400 nibbles; only longer rows test for one.
  const bool longRuns = n >= kShortRun / 2;
  const auto endRuns = [&](uint64_t nibbles, uint64_t changes, uint64_t base) {
    while (changes != 0) {
      const unsigned shift = static_cast<unsigned>(std::countr_zero(changes));
      const uint64_t at = base + shift;
      const uint64_t length4 = at - runStart;
      if (longRuns && length4 >= 4 * kShortRun) {
        out = putNibbleRun(out, run, length4 / 4);
      } else {
        const runText& entry = kRunTexts[4 * length4 + run];
        std::memcpy(out, entry.data(), entry.size());
        out += entry[3];
      }
      run = static_cast<unsigned>(nibbles >> shift) & 0x0F;
      runStart = at;
      changes &= changes - 1;
    }
  };

  unsigned previous = run;
  size_t j = 0;
  for (; j + 8 <= spelled; j += 8) {
    const uint64_t nibbles = textNibbles(load64(row + j));
    endRuns(nibbles, nibbleChanges(nibbles, previous), 8 * j);
    previous = static_cast<unsigned>(nibbles >> 60);
  }
  if (j < spelled) {
    // The last word of the spelled bytes; what follows them in the row is masked off.
    unsigned char last[8] = {};
    const unsigned char* bytes = row + j;
    if (j + 8 > n) {
      for (size_t k = 0; k < spelled - j; ++k) last[k] = row[j + k];
      bytes = last;
    }
    const uint64_t nibbles = textNibbles(load64(bytes));
    const uint64_t inside = (uint64_t{1} << (8 * (spelled - j))) - 1;
    endRuns(nibbles, nibbleChanges(nibbles, previous) & inside, 8 * j);
  }
  runStart /= 4;

  const uint64_t length = 2 * spelled - runStart;
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
