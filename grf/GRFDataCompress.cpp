// SPDX-License-Identifier: Apache-2.0
// GRF text writer and compressor.
#include <array>
#include <bit>
#include <cstring>

#include "grf/DataComDecompress.h"

// The wide path needs an x86-64 compiler that knows the AVX-512 byte instructions; configuring with
// -DLABEL_PORTABLE_CODEC=ON leaves it out.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(LABEL_PORTABLE_CODEC)
#define LABEL_WIDE_CODEC 1
#include <immintrin.h>
#else
#define LABEL_WIDE_CODEC 0
#endif

namespace {

constexpr unsigned char kDigits[] = "0123456789ABCDEF";

uint64_t load64(const unsigned char* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// 'putRun()' - the canonical count letters of 'count' and then 'digit'; returns the new end.
unsigned char* putRun(unsigned char* out, unsigned char digit, uint64_t count) {
  for (uint64_t q = count / kGRFFourHundred; q != 0; --q) *out++ = kGRFFourHundredLetter;
  const unsigned m = static_cast<unsigned>(count % kGRFFourHundred);
  if (m >= 20) *out++ = static_cast<unsigned char>(kGRFTwentiesLetterBase + m / 20);
  if (m % 20 != 0) *out++ = static_cast<unsigned char>(kGRFUnitLetterBase + m % 20);
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
constexpr uint64_t kShortRun = kGRFFourHundred;
using runText = std::array<unsigned char, 4>;

constexpr std::array<runText, 16 * kShortRun> makeRunTexts() {
  std::array<runText, 16 * kShortRun> table{};
  for (uint64_t length = 1; length < kShortRun; ++length) {
    for (unsigned nibble = 0; nibble < 16; ++nibble) {
      runText& entry = table[16 * length + nibble];
      unsigned char count = 0;
      if (length >= 20) entry[count++] = static_cast<unsigned char>(kGRFTwentiesLetterBase + length / 20);
      if (length >= 2 && length % 20 != 0)
        entry[count++] = static_cast<unsigned char>(kGRFUnitLetterBase + length % 20);
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

// 'nibbleAt()' - nibble 'at' of a row in text order.
unsigned nibbleAt(const unsigned char* row, uint64_t at) { return (row[at / 2] >> (4 * (~at & 1))) & 0x0F; }

// 'spellRunsPortable()' - write every run of the row's first 'spelled' bytes but the last, sixteen
// nibbles at a time: each word gives a mask of the nibbles that differ from their predecessor, and
// every set bit ends one run. Positions are counted in bits (four per nibble) so that a set bit's
// index is the position itself. Stores the start of the last run, in nibbles, in *lastStart.
unsigned char* spellRunsPortable(const unsigned char* row, size_t n, size_t spelled, unsigned char* out,
                                 uint64_t* lastStart) {
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
  *lastStart = runStart / 4;
  return out;
}

#if LABEL_WIDE_CODEC
// The wide path: 64 nibbles (32 bytes of the row) at a time in 512-bit registers, for processors with
// AVX-512 byte permutes and byte compression (VBMI and VBMI2).
#define LABEL_WIDE_TARGET __attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,popcnt,bmi,lzcnt")))

// 'putShortRun()' - a run of 'length' >= 1 nibbles that more nibbles of the row follow, with one
// four-byte store of its table entry when it is shorter than 400 nibbles (see encodeRow()).
unsigned char* putShortRun(unsigned char* out, unsigned nibble, uint64_t length) {
  if (length >= kShortRun) return putNibbleRun(out, nibble, length);
  const runText& entry = kRunTexts[16 * length + nibble];
  std::memcpy(out, entry.data(), entry.size());
  return out + entry[3];
}

using lanes64 = std::array<unsigned char, 64>;

template <typename F>
constexpr lanes64 makeLanes(F lane) {
  lanes64 v{};
  for (unsigned i = 0; i < 64; ++i) v[i] = static_cast<unsigned char>(lane(i));
  return v;
}

alignas(64) constexpr lanes64 kIota = makeLanes([](unsigned i) { return i; });
alignas(64) constexpr lanes64 kPairs = makeLanes([](unsigned i) { return i / 2; });  // byte of each nibble
alignas(64) constexpr lanes64 kBefore = makeLanes([](unsigned i) { return i == 0 ? 0 : i - 1; });
// Count letters of a run of 1 to 63 nibbles, 0 where there is none: the letter worth 20 to 60, and the
// letter worth 1 to 19 (not for a run of one nibble).
alignas(64) constexpr lanes64 kTwenties = makeLanes([](unsigned i) {
  return i >= 20 ? kGRFTwentiesLetterBase + i / 20 : 0;
});
alignas(64) constexpr lanes64 kUnits = makeLanes([](unsigned i) {
  return i >= 2 && i % 20 != 0 ? kGRFUnitLetterBase + i % 20 : 0;
});
alignas(64) constexpr lanes64 kDigitLanes = makeLanes([](unsigned i) { return kDigits[i % 16]; });

// The text of up to 64 runs is three candidate bytes per run (twenties letter, units letter, digit),
// byte g of the 192 taken from run g / 3. Output register v, lane t holds candidate g = 64 v + t: the
// two letters come from one two-table permute, the digit from a second permute into its lanes.
constexpr lanes64 letterIndex(unsigned v) {
  return makeLanes([v](unsigned t) {
    const unsigned g = 64 * v + t;
    return (g % 3 == 1 ? 64 : 0) + g / 3 % 64;
  });
}
constexpr lanes64 digitIndex(unsigned v) {
  return makeLanes([v](unsigned t) { return (64 * v + t) / 3 % 64; });
}
constexpr uint64_t digitLanes(unsigned v) {
  uint64_t mask = 0;
  for (unsigned t = 0; t < 64; ++t)
    if ((64 * v + t) % 3 == 2) mask |= uint64_t{1} << t;
  return mask;
}
alignas(64) constexpr lanes64 kLetterIndex[3] = {letterIndex(0), letterIndex(1), letterIndex(2)};
alignas(64) constexpr lanes64 kDigitIndex[3] = {digitIndex(0), digitIndex(1), digitIndex(2)};
constexpr uint64_t kDigitMask[3] = {digitLanes(0), digitLanes(1), digitLanes(2)};

LABEL_WIDE_TARGET __m512i loadLanes(const lanes64& v) { return _mm512_load_si512(v.data()); }

// 'spellRunsWide()' - spellRunsPortable() for 64 nibbles at a time. In each block the nibbles that
// differ from their predecessor mark where runs end. The first run to end in the block may have begun
// in an earlier block and is written as in the portable path; the others lie inside the block, shorter
// than 64 nibbles, and are written together: their lengths and digits are gathered into the first
// lanes of a register, their count letters looked up, and the candidate bytes compressed into place.
// Every byte is stored exactly, with masked stores.
LABEL_WIDE_TARGET unsigned char* spellRunsWide(const unsigned char* row, size_t spelled, unsigned char* out,
                                               uint64_t* lastStart) {
  const __m512i low = _mm512_set1_epi8(0x0F);
  uint64_t runStart = 0;  // in nibbles
  unsigned previous = row[0] >> 4;
  for (size_t j = 0; j < spelled; j += 32) {
    const size_t count = spelled - j < 32 ? spelled - j : 32;
    const __m512i bytes = _mm512_maskz_loadu_epi8((__mmask64{1} << count) - 1, row + j);
    const __m512i pairs = _mm512_maskz_permutexvar_epi8(~__mmask64{0}, loadLanes(kPairs), bytes);
    const __m512i nibbles =
        _mm512_mask_blend_epi8(0xAAAAAAAAAAAAAAAAULL, _mm512_and_si512(_mm512_srli_epi16(pairs, 4), low),
                               _mm512_and_si512(pairs, low));
    const __m512i before = _mm512_mask_permutexvar_epi8(_mm512_set1_epi8(static_cast<char>(previous)),
                                                        ~__mmask64{1}, loadLanes(kBefore), nibbles);
    const __mmask64 inside = count == 32 ? ~__mmask64{0} : (__mmask64{1} << (2 * count)) - 1;
    const __mmask64 changes = _mm512_mask_cmpneq_epi8_mask(inside, nibbles, before);
    previous = row[j + count - 1] & 0x0F;
    if (changes == 0) continue;

    const uint64_t base = 2 * j;
    const unsigned runs = static_cast<unsigned>(_mm_popcnt_u64(changes));
    // Lane r: where run r ends (block position of the nibble after it) and its digit.
    const __m512i ends = _mm512_maskz_compress_epi8(changes, loadLanes(kIota));
    const __m512i digits = _mm512_maskz_compress_epi8(changes, before);

    const uint64_t firstEnd = base + _tzcnt_u64(changes);
    out = putShortRun(out, nibbleAt(row, firstEnd - 1), firstEnd - runStart);
    runStart = base + 63 - _lzcnt_u64(changes);
    if (runs == 1) continue;

    // Runs 1 to runs - 1 lie inside the block: lengths from the ends before them.
    const __mmask64 inner = (runs == 64 ? ~__mmask64{0} : (__mmask64{1} << runs) - 1) & ~__mmask64{1};
    const __m512i lengths =
        _mm512_sub_epi8(ends, _mm512_maskz_permutexvar_epi8(~__mmask64{0}, loadLanes(kBefore), ends));
    const __m512i twenties = _mm512_maskz_permutexvar_epi8(inner, lengths, loadLanes(kTwenties));
    const __m512i units = _mm512_maskz_permutexvar_epi8(inner, lengths, loadLanes(kUnits));
    const __m512i chars = _mm512_maskz_permutexvar_epi8(inner, digits, loadLanes(kDigitLanes));
    const unsigned registers = (3 * runs + 63) / 64;
    for (unsigned v = 0; v < registers; ++v) {
      const __m512i letters = _mm512_permutex2var_epi8(twenties, loadLanes(kLetterIndex[v]), units);
      const __m512i candidates =
          _mm512_mask_permutexvar_epi8(letters, kDigitMask[v], loadLanes(kDigitIndex[v]), chars);
      const __mmask64 keep = _mm512_test_epi8_mask(candidates, candidates);
      const unsigned kept = static_cast<unsigned>(_mm_popcnt_u64(keep));
      const __mmask64 store = kept == 64 ? ~__mmask64{0} : (__mmask64{1} << kept) - 1;
      _mm512_mask_storeu_epi8(out, store, _mm512_maskz_compress_epi8(keep, candidates));
      out += kept;
    }
  }
  *lastStart = runStart;
  return out;
}

// 'wideCodec()' - whether this processor (and its operating system) runs the wide path.
bool wideCodec() {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2");
}
#endif

// 'encodeRow()' - spell a row of n >= 2 bytes as runs, ending with "," when it ends in two or more whole
// zero bytes. The zero-tail test is made at every byte boundary from byte 1 on, so the fill starts at
// the later of byte 1 and the first trailing zero byte.
//
// A run that more nibbles of the row follow may be written with one four-byte store of its table
// entry, up to three bytes beyond its own characters. That stays inside the row's worst-case room: the
// text written before a run is at most as long as the run's start in nibbles, and the row has room for
// 2 n + 2 characters. The extra bytes are overwritten before the row ends, since at least one more run
// or fill and CR LF follow. The row's last run is written exactly.
unsigned char* encodeRow(const unsigned char* row, size_t n, unsigned char* out, bool wide) {
  const size_t tail = zeroTailStart(row, n);
  const size_t fillFrom = tail < 1 ? 1 : tail;
  const bool zeroFill = n - fillFrom >= 2;
  const size_t spelled = zeroFill ? fillFrom : n;

  uint64_t runStart = 0;
#if LABEL_WIDE_CODEC
  if (wide)
    out = spellRunsWide(row, spelled, out, &runStart);
  else
#endif
    out = spellRunsPortable(row, n, spelled, out, &runStart);
  (void)wide;

  const unsigned run = nibbleAt(row, runStart);
  const uint64_t length = 2 * spelled - runStart;
  if (zeroFill) {
    // A pending run of "0" is covered by the fill.
    if (run != 0) out = putNibbleRun(out, run, length);
    *out++ = kGRFZeroFill;
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
    *out++ = kGRFZeroFill;
  } else if (byte == 0xFF) {
    *out++ = kGRFOneFill;
  } else {
    *out++ = 'H';
    *out++ = kDigits[high];
  }
  return out;
}

}  // namespace

int GRFWriteData(int digit, uint64_t count, unsigned char* text, uint64_t* position) {
  if (text == nullptr || position == nullptr) return kGRFRefused;
  unsigned char* start = text + *position;
  const unsigned char* end = putRun(start, static_cast<unsigned char>(digit & 0xFF), count);
  *position += static_cast<uint64_t>(end - start);
  return kGRFSuccess;
}

int GRFDataCompress(const unsigned char* bitmap, uint64_t size, uint64_t rowBytes, unsigned char* text,
                    uint64_t* textLength) {
  if (bitmap == nullptr || text == nullptr || textLength == nullptr) return kGRFRefused;
  if (size == 0 || rowBytes == 0) return kGRFRefused;

  const uint64_t rows = size / rowBytes;
  const size_t n = static_cast<size_t>(rowBytes);
#if LABEL_WIDE_CODEC
  const bool wide = wideCodec();
#else
  const bool wide = false;
#endif
  unsigned char* out = text;
  const unsigned char* row = bitmap;
  for (uint64_t r = 0; r < rows; ++r, row += n) {
    if (r != 0 && std::memcmp(row, row - n, n) == 0) {
      *out++ = kGRFRepeatRow;
      continue;
    }
    out = n == 1 ? encodeByteRow(row[0], out) : encodeRow(row, n, out, wide);
    *out++ = '\r';
    *out++ = '\n';
  }
  *textLength = static_cast<uint64_t>(out - text);
  return kGRFSuccess;
}

uint64_t GRFCompressBound(uint64_t size, uint64_t rowBytes) {
  if (rowBytes == 0) return 0;
  const uint64_t rows = size / rowBytes;
  if (rowBytes > (UINT64_MAX - 2) / 2) return rows == 0 ? 0 : UINT64_MAX;
  const uint64_t perRow = 2 * rowBytes + 2;
  if (rows != 0 && perRow > UINT64_MAX / rows) return UINT64_MAX;
  return rows * perRow;
}
