// SPDX-License-Identifier: Apache-2.0
// The GRF readers: the block and single-character decoders, their bounded companions, and round trips
// through the compressor.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "grf/DataComDecompress.h"
#include "support/GrfReference.h"
#include "support/Raster.h"

namespace {

constexpr unsigned char kGuard = 0xEE;
constexpr size_t kRoom = 1024;
constexpr uint64_t kUntouched = 12345;

// 'hex()' - bytes written as "A1 B2 ..."; "EE" marks a byte the decoder must leave alone.
bytes hex(const std::string& text) {
  bytes data;
  for (size_t i = 0; i + 1 < text.size(); i += 3)
    data.push_back(static_cast<unsigned char>(std::stoul(text.substr(i, 2), nullptr, 16)));
  return data;
}

const unsigned char* chars(const std::string& text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

// 'expectBitmap()' - the buffer holds 'expected' and then nothing but guard bytes.
void expectBitmap(const bytes& buffer, const std::string& expected, const std::string& label) {
  bytes want = hex(expected);
  want.resize(buffer.size(), kGuard);
  EXPECT_EQ(buffer, want) << label;
}

// The two block decoders behind one signature; the unbounded one is told no capacity.
using blockDecoder = int64_t (*)(const std::string& text, uint64_t rowBytes, unsigned char* bitmap,
                                 uint64_t capacity, uint64_t* length);

int64_t unbounded(const std::string& text, uint64_t rowBytes, unsigned char* bitmap, uint64_t,
                  uint64_t* length) {
  return GRFDataDecompress(chars(text), text.size(), rowBytes, bitmap, length);
}

int64_t bounded(const std::string& text, uint64_t rowBytes, unsigned char* bitmap, uint64_t capacity,
                uint64_t* length) {
  return GRFDataDecompressBounded(chars(text), text.size(), rowBytes, bitmap, capacity, length);
}

struct blockCase {
  std::string text;
  uint64_t rowBytes;
  int64_t status;
  uint64_t length;  // kUntouched: the length must keep its value
  std::string bitmap;
};

// Both block decoders read every case alike; the bounded one has room to spare here.
void expectBlockCases(const std::vector<blockCase>& cases) {
  for (const auto& c : cases) {
    for (blockDecoder decode : {unbounded, bounded}) {
      bytes buffer(kRoom, kGuard);
      uint64_t length = kUntouched;
      const std::string label = "text \"" + c.text + "\", row bytes " + std::to_string(c.rowBytes);
      EXPECT_EQ(decode(c.text, c.rowBytes, buffer.data(), kRoom, &length), c.status) << label;
      EXPECT_EQ(length, c.length) << label;
      expectBitmap(buffer, c.bitmap, label);
    }
  }
}

// 'repeated()' - 'count' copies of the byte written as two hexadecimal digits.
std::string repeated(const std::string& byte, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) text += byte + " ";
  return text;
}

TEST(BlockDecoder, DigitsAndCountLetters) {
  expectBlockCases({
      {"A1B2", 4, 0, 2, "A1 B2"},
      {"G0", 4, 0, 0, ""},  // one nibble, still pending at the end
      {"H1", 4, 0, 1, "11"},
      {"I1", 4, 0, 1, "11"},
      {"GGA1", 4, 0, 1, "AA"},  // letters add up; the sum is the run length
      {"gA", 30, 0, 10, repeated("AA", 10)},
      {"zzA", 4, 0, 400, repeated("AA", 400)},
      {"A1B2G", 4, 0, 2, "A1 B2"},  // a trailing count has no effect
      {"A1\r\nB2", 4, 0, 2, "A1 B2"},
      {"HA1F", 4, 0, 2, "AA 1F"},
      {"GAHB", 4, 0, 1, "AB"},  // "G" alone is one nibble, not two
  });
}

TEST(BlockDecoder, FillsCompleteTheHalfByteAndRunToTheNextRowBoundary) {
  expectBlockCases({
      {",", 4, 0, 4, "00 00 00 00"},
      {"A1B2C3D4,", 4, 0, 8, "A1 B2 C3 D4 00 00 00 00"},
      {"A,", 4, 0, 4, "A0 00 00 00"},
      {"A!", 4, 0, 4, "AF FF FF FF"},
      {"A1B2C3D,", 4, 0, 8, "A1 B2 C3 D0 00 00 00 00"},
      {"A1B2C3D!", 4, 0, 8, "A1 B2 C3 DF FF FF FF FF"},
      {"A1,,", 4, 0, 8, "A1 00 00 00 00 00 00 00"},
      {"!!", 3, 0, 6, "FF FF FF FF FF FF"},
      {"H,1", 2, 0, 3, "00 00 11"},  // the count survives the fill
  });
}

TEST(BlockDecoder, RepeatsCopyTheLastRowLongStretch) {
  expectBlockCases({
      {":", 4, -1, kUntouched, ""},
      {"A1:", 4, -1, kUntouched, "A1"},  // bytes before the stop stay
      {"A1B2C3D4:", 4, 0, 8, "A1 B2 C3 D4 A1 B2 C3 D4"},
      {"A1B2C3D4E:", 4, 0, 8, "A1 B2 C3 D4 A1 B2 C3 D4"},  // the half byte is dropped
      {"A1B2C3:", 2, 0, 5, "A1 B2 C3 B2 C3"},
      {"A1B2:::", 2, 0, 8, "A1 B2 A1 B2 A1 B2 A1 B2"},
  });
}

TEST(BlockDecoder, RefusedCharactersAndArguments) {
  expectBlockCases({
      {"A1 B2", 4, 1, 1, "A1"},
      {"a1", 4, 1, 0, ""},
      {"Z1", 4, 1, 0, ""},
      {std::string("A1\0B2", 5), 4, 1, 1, "A1"},
      {"A1\x80", 4, 1, 1, "A1"},
      {"A1B2", 0, 1, kUntouched, ""},
      {"", 4, 1, kUntouched, ""},
  });
  unsigned char bitmap[8];
  uint64_t length = kUntouched;
  EXPECT_EQ(GRFDataDecompress(nullptr, 2, 4, bitmap, &length), 1);
  EXPECT_EQ(GRFDataDecompress(chars("A1"), 2, 4, nullptr, &length), 1);
  EXPECT_EQ(GRFDataDecompress(chars("A1"), 2, 4, bitmap, nullptr), 1);
  EXPECT_EQ(GRFDataDecompressBounded(nullptr, 2, 4, bitmap, 8, &length), 1);
  EXPECT_EQ(GRFDataDecompressBounded(chars("A1"), 2, 4, nullptr, 8, &length), 1);
  EXPECT_EQ(GRFDataDecompressBounded(chars("A1"), 2, 4, bitmap, 8, nullptr), 1);
  EXPECT_EQ(length, kUntouched);
}

// The decoding state of the single-character decoder, in argument order.
struct charState {
  uint64_t offset = 0;
  unsigned char pending = 0;
  uint64_t repeat = 1;
  uint64_t produced = 0;
  uint64_t phase = 0;
};

bool operator==(const charState& a, const charState& b) {
  return a.offset == b.offset && a.pending == b.pending && a.repeat == b.repeat && a.produced == b.produced &&
         a.phase == b.phase;
}

std::ostream& operator<<(std::ostream& out, const charState& s) {
  return out << "{offset " << s.offset << ", pending " << unsigned{s.pending} << ", repeat " << s.repeat
             << ", produced " << s.produced << ", phase " << s.phase << "}";
}

int64_t feed(char c, uint64_t rowBytes, charState* s, unsigned char* bitmap, uint64_t total, bool bounded,
             uint64_t capacity = kRoom) {
  if (bounded)
    return GRFDataDecompressSingleCharProcessBounded(c, rowBytes, &s->offset, &s->pending, &s->repeat,
                                                     &s->produced, &s->phase, bitmap, total, capacity);
  return GRFDataDecompressSingleCharProcess(c, rowBytes, &s->offset, &s->pending, &s->repeat, &s->produced,
                                            &s->phase, bitmap, total);
}

struct charCase {
  std::string text;
  uint64_t rowBytes;
  uint64_t total;
  charState start;
  std::vector<int64_t> statuses;
  std::string bitmap;
  charState end;
};

std::vector<int64_t> fives(size_t n, int64_t last) {
  std::vector<int64_t> statuses(n, 5);
  statuses.push_back(last);
  return statuses;
}

TEST(SingleCharDecoder, StatusesAndStateAfterEachCharacter) {
  const charState fresh;
  const std::vector<charCase> cases = {
      {"A1B2", 4, 2, fresh, {5, 5, 5, 0}, "A1 B2", {2, 0, 1, 2, 0}},
      {"A1B2C3", 4, 2, fresh, {5, 5, 5, 0, 0, 6}, "A1 B2 C3", {3, 0, 1, 3, 0}},
      {"H1", 4, 1, fresh, {5, 0}, "11", {1, 0, 1, 1, 0}},
      {"I1", 4, 2, fresh, {5, 5}, "11", {1, 0x10, 1, 1, 4}},
      {"gA", 30, 10, fresh, {5, 0}, repeated("AA", 10), {10, 0, 1, 10, 0}},
      {"A1,", 4, 4, fresh, {5, 5, 0}, "A1 00 00 00", {4, 0, 1, 4, 0}},
      {"A,", 4, 4, fresh, {5, 0}, "A0 00 00 00", {4, 0, 1, 4, 0}},
      {"A!", 4, 4, fresh, {5, 0}, "AF FF FF FF", {4, 0, 1, 4, 0}},
      {"A1B2C3D,", 4, 8, fresh, fives(7, 0), "A1 B2 C3 D0 00 00 00 00", {8, 0, 1, 8, 0}},
      {"A1B2C3D4,", 4, 6, fresh, fives(8, 6), "A1 B2 C3 D4 00 00 00 00", {8, 0, 1, 8, 0}},
      {":", 4, 4, fresh, {-1}, "", fresh},
      {"A1B2C3D4E:", 4, 8, fresh, fives(9, 0), "A1 B2 C3 D4 A1 B2 C3 D4", {8, 0, 1, 8, 0}},
      {"A1\r\nB2", 4, 2, fresh, {5, 5, 5, 5, 5, 0}, "A1 B2", {2, 0, 1, 2, 0}},
      {"A1B2 \r", 4, 2, fresh, {5, 5, 5, 0, 5, 5}, "A1 B2", {2, 0, 1, 2, 0}},
      {"A1a", 4, 2, fresh, {5, 5, 5}, "A1", {1, 0, 1, 1, 0}},  // refused bytes are passed over
      {"A1B2G", 4, 2, fresh, {5, 5, 5, 0, 0}, "A1 B2", {2, 0, 2, 2, 0}},
      {"A1", 4, 1, {0, 0, 0, 0, 0}, {5, 5}, "", {0, 0x10, 1, 0, 4}},
      {"12", 4, 1, {0, 0x3C, 1, 0, 0}, {5, 0}, "D2", {1, 0, 1, 1, 0}},  // a stray pending byte is ORed
      {",", 4, 8, {4, 0, 1, 0, 0}, {5}, "EE EE EE EE 00 00 00 00", {8, 0, 1, 4, 0}},
      {"H,1", 2, 3, fresh, {5, 5, 0}, "00 00 11", {3, 0, 1, 3, 0}},
  };
  for (bool isBounded : {false, true}) {
    for (const auto& c : cases) {
      bytes buffer(kRoom, kGuard);
      charState s = c.start;
      std::vector<int64_t> statuses;
      for (char ch : c.text) statuses.push_back(feed(ch, c.rowBytes, &s, buffer.data(), c.total, isBounded));
      const std::string label = "text \"" + c.text + (isBounded ? "\", bounded" : "\"");
      EXPECT_EQ(statuses, c.statuses) << label;
      EXPECT_EQ(s, c.end) << label;
      expectBitmap(buffer, c.bitmap, label);
    }
  }
}

TEST(SingleCharDecoderBounded, RefusesMissingArgumentsAndForeignStates) {
  unsigned char bitmap[4] = {kGuard, kGuard, kGuard, kGuard};
  charState s;
  auto call = [&](uint64_t rowBytes, uint64_t* offset, unsigned char* pending, uint64_t* repeat,
                  uint64_t* produced, uint64_t* phase, unsigned char* out) {
    return GRFDataDecompressSingleCharProcessBounded('A', rowBytes, offset, pending, repeat, produced, phase,
                                                     out, 4, 4);
  };
  EXPECT_EQ(call(0, &s.offset, &s.pending, &s.repeat, &s.produced, &s.phase, bitmap), 1);
  EXPECT_EQ(call(4, nullptr, &s.pending, &s.repeat, &s.produced, &s.phase, bitmap), 1);
  EXPECT_EQ(call(4, &s.offset, nullptr, &s.repeat, &s.produced, &s.phase, bitmap), 1);
  EXPECT_EQ(call(4, &s.offset, &s.pending, nullptr, &s.produced, &s.phase, bitmap), 1);
  EXPECT_EQ(call(4, &s.offset, &s.pending, &s.repeat, nullptr, &s.phase, bitmap), 1);
  EXPECT_EQ(call(4, &s.offset, &s.pending, &s.repeat, &s.produced, nullptr, bitmap), 1);
  EXPECT_EQ(call(4, &s.offset, &s.pending, &s.repeat, &s.produced, &s.phase, nullptr), 1);
  s.phase = 2;
  EXPECT_EQ(call(4, &s.offset, &s.pending, &s.repeat, &s.produced, &s.phase, bitmap), 1);
  charState expected;
  expected.phase = 2;
  EXPECT_EQ(s, expected);
  EXPECT_EQ(bytes(bitmap, bitmap + 4), bytes(4, kGuard));
}

// The character that would cross the capacity writes nothing; what came before it stays.
TEST(BoundedDecoders, StopAtTheCapacity) {
  const struct {
    std::string text;
    uint64_t rowBytes, capacity;
    uint64_t length;  // bytes written before the stop, kept when the block decoder stops
    std::string bitmap;
  } cases[] = {
      {"A1B2C3", 4, 2, 2, "A1 B2"},
      {"zzA", 4, 399, 0, ""},
      {"A,", 4, 3, 0, ""},
      {"A1B2C3D,", 4, 7, 3, "A1 B2 C3"},
      {"A1B2C3D4:", 4, 7, 4, "A1 B2 C3 D4"},
      {"A1H2", 4, 1, 1, "A1"},
      {"A1", 4, 0, 0, ""},
      {"A1,", UINT64_MAX, 1000, 1, "A1"},
      {"A1!", uint64_t{1} << 63, 1000, 1, "A1"},
  };
  for (const auto& c : cases) {
    const std::string label = "text \"" + c.text + "\", capacity " + std::to_string(c.capacity);
    bytes buffer(kRoom, kGuard);
    uint64_t length = kUntouched;
    EXPECT_EQ(GRFDataDecompressBounded(chars(c.text), c.text.size(), c.rowBytes, buffer.data(), c.capacity,
                                       &length),
              kGRFCapacityExceeded)
        << label;
    EXPECT_EQ(length, c.length) << label;
    expectBitmap(buffer, c.bitmap, label);

    // The single-character decoder refuses the same character and keeps its state.
    bytes charBuffer(kRoom, kGuard);
    charState s;
    int64_t status = kGRFIncomplete;
    size_t i = 0;
    for (; i < c.text.size() && status != kGRFCharCapacityExceeded; ++i) {
      const charState before = s;
      status = feed(c.text[i], c.rowBytes, &s, charBuffer.data(), 1000, true, c.capacity);
      if (status == kGRFCharCapacityExceeded) {
        EXPECT_EQ(s, before) << label;
      }
    }
    EXPECT_EQ(status, kGRFCharCapacityExceeded) << label;
    EXPECT_EQ(s.offset, c.length) << label;
    expectBitmap(charBuffer, c.bitmap, label);
  }
  // Exactly at the capacity is within it.
  bytes buffer(2, kGuard);
  uint64_t length = 0;
  EXPECT_EQ(GRFDataDecompressBounded(chars("A1B2"), 4, 4, buffer.data(), 2, &length), 0);
  EXPECT_EQ(length, 2u);
}

// 'describedBound()' - more bytes than any decoder writes for 'text': each count letter, digit, fill or
// repeat taken at its most.
uint64_t describedBound(const std::string& text, uint64_t rowBytes) {
  uint64_t bound = 0;
  for (unsigned char c : text) {
    if (c >= 'G' && c <= 'Y') bound += (c - 70u) / 2 + 1;
    if (c >= 'g' && c <= 'z') bound += (c - 102u) * 10 + 1;
    if (std::strchr("0123456789ABCDEF", c) != nullptr && c != 0) bound += 1;
    if (c == ',' || c == '!' || c == ':') bound += rowBytes + 1;
  }
  return bound;
}

// Random and crafted texts into a buffer with guard bytes on both sides: the bounded decoders never
// touch the guards, and while the unbounded decoders stay within the capacity the bounded ones agree
// with them byte for byte.
TEST(BoundedDecoders, HostileTextsNeverWritePastTheCapacity) {
  const std::string alphabet =
      "0123456789ABCDEF0123456789ABCDEFGHIYGHIYghyzzzzz,,,!!!::::::\r\n a\x80Z" + std::string(1, '\0');
  struct hostile {
    std::string text;
    uint64_t rowBytes, capacity;
  };
  std::vector<hostile> texts = {{std::string(1000, 'z') + "F", 4, 10},
                                {"A,", UINT64_MAX, 64},
                                {"A1" + std::string(50, ':'), 1, 20},
                                {std::string(40, ',') + std::string(40, '!'), 3, 31},
                                {"zzzzA,:!:" + std::string(30, ':'), 7, 100},
                                {"GGGGGGGGGGGGGGGGGGGGGGGGGGGGGGGGGGGGGGGGGGGGGGGGG1", 5, 12}};
  for (uint32_t seed = 1; seed <= 3000; ++seed) {
    const bytes r = noise(3 + 80, seed);
    hostile h{{}, 1u + r[0] % 40, r[1] % 200u};
    for (size_t i = 0; i < 1u + r[2] % 80; ++i) h.text.push_back(alphabet[r[3 + i] % alphabet.size()]);
    texts.push_back(h);
  }

  constexpr size_t kGuardBytes = 64, kLarge = 1 << 16;
  for (const auto& h : texts) {
    const std::string label = "text \"" + h.text + "\", row bytes " + std::to_string(h.rowBytes) +
                              ", capacity " + std::to_string(h.capacity);
    const size_t room = static_cast<size_t>(h.capacity);
    bytes buffer(kGuardBytes + room + kGuardBytes, kGuard);
    unsigned char* bitmap = buffer.data() + kGuardBytes;
    uint64_t length = kUntouched;
    const int64_t status =
        GRFDataDecompressBounded(chars(h.text), h.text.size(), h.rowBytes, bitmap, h.capacity, &length);
    ASSERT_EQ(bytes(buffer.begin(), buffer.begin() + kGuardBytes), bytes(kGuardBytes, kGuard)) << label;
    ASSERT_EQ(bytes(buffer.end() - kGuardBytes, buffer.end()), bytes(kGuardBytes, kGuard)) << label;
    if (status != kGRFRepeatBeforeFirstRow) {
      ASSERT_LE(length, h.capacity) << label;
    }

    // The unbounded decoder, with room for anything these texts describe (unless a row is huge).
    const bool fitsLarge = h.rowBytes < kLarge && describedBound(h.text, h.rowBytes) < kLarge;
    if (fitsLarge) {
      bytes large(kLarge, kGuard);
      uint64_t largeLength = kUntouched;
      const int64_t largeStatus =
          GRFDataDecompress(chars(h.text), h.text.size(), h.rowBytes, large.data(), &largeLength);
      if (largeStatus != kGRFRepeatBeforeFirstRow && largeLength <= h.capacity) {
        EXPECT_EQ(status, largeStatus) << label;
        EXPECT_EQ(length, largeLength) << label;
      } else {
        EXPECT_TRUE(status == kGRFCapacityExceeded || status == kGRFRepeatBeforeFirstRow) << label;
      }
      if (status != kGRFRepeatBeforeFirstRow) {
        EXPECT_EQ(bytes(bitmap, bitmap + length),
                  bytes(large.begin(), large.begin() + static_cast<long>(length)))
            << label;
      }
    }

    // The bounded single-character decoder, character by character, beside the unbounded one until the
    // capacity first stops it.
    bytes charBuffer(kGuardBytes + room + kGuardBytes, kGuard);
    bytes large(kLarge, kGuard);
    charState s, free;
    bool diverged = !fitsLarge;
    for (char c : h.text) {
      const int64_t st = feed(c, h.rowBytes, &s, charBuffer.data() + kGuardBytes, 100, true, h.capacity);
      ASSERT_TRUE(st == 0 || st == 5 || st == 6 || st == -1 || st == kGRFCharCapacityExceeded) << label;
      if (st == kGRFCharCapacityExceeded) diverged = true;
      if (!diverged) {
        EXPECT_EQ(feed(c, h.rowBytes, &free, large.data(), 100, false), st) << label;
        EXPECT_EQ(s, free) << label;
      }
    }
    ASSERT_EQ(bytes(charBuffer.begin(), charBuffer.begin() + kGuardBytes), bytes(kGuardBytes, kGuard))
        << label;
    ASSERT_EQ(bytes(charBuffer.end() - kGuardBytes, charBuffer.end()), bytes(kGuardBytes, kGuard)) << label;
  }
}

// Bitmaps that reach every branch of the writer, pages as the filter pads them (widths that are not a
// multiple of 8, ink or blank padding) and random sparse rows of every width up to 70 bytes.
std::vector<namedBitmap> roundTripBitmaps() {
  std::vector<namedBitmap> cases = generatedBitmaps();
  for (unsigned width : {1u, 7u, 203u, 833u}) {
    for (unsigned char fill : {0x00, 0xFF}) {
      const pbmPage page = patternPage(width, 45, width);
      cases.push_back({"page" + std::to_string(width) + "-" + std::to_string(fill), (width + 31) / 32 * 4,
                       paddedBitmap(page, fill)});
    }
  }
  for (uint32_t seed = 1; seed <= 100; ++seed) {
    const bytes shape = noise(2, seed);
    const size_t rowBytes = 1 + shape[0] % 70;
    bytes data = noise(rowBytes * (1 + shape[1] % 6), seed + 1000);
    for (auto& byte : data) byte = byte % 8 < 4 ? 0 : byte % 8 < 6 ? 0xFF : byte;
    cases.push_back({"sparse-seed" + std::to_string(seed), rowBytes, data});
  }
  return cases;
}

TEST(RoundTrip, EveryDecoderGivesBackWhatTheCompressorWasGiven) {
  for (const auto& c : roundTripBitmaps()) {
    const uint64_t size = c.data.size() / c.rowBytes * c.rowBytes;
    const bytes original(c.data.begin(), c.data.begin() + static_cast<long>(size));
    bytes guarded = original;
    guarded.resize(size + 8, kGuard);
    std::string text(GRFCompressBound(c.data.size(), c.rowBytes), '\0');
    uint64_t textLength = 0;
    ASSERT_EQ(GRFDataCompress(c.data.data(), c.data.size(), c.rowBytes,
                              reinterpret_cast<unsigned char*>(text.data()), &textLength),
              0);
    text.resize(textLength);

    for (blockDecoder decode : {unbounded, bounded}) {
      bytes bitmap(size + 8, kGuard);  // the bounded decoder's capacity is exactly the bitmap
      uint64_t length = 0;
      EXPECT_EQ(decode(text, c.rowBytes, bitmap.data(), size, &length), 0) << c.name;
      EXPECT_EQ(length, size) << c.name;
      EXPECT_EQ(bitmap, guarded) << c.name;
    }

    for (bool isBounded : {false, true}) {
      bytes bitmap(size + 8, kGuard);
      charState s;
      int64_t last = 5;
      for (char ch : text) {
        const int64_t status = feed(ch, c.rowBytes, &s, bitmap.data(), size, isBounded, size);
        if (ch != '\r' && ch != '\n') last = status;
      }
      EXPECT_EQ(last, 0) << c.name;
      EXPECT_EQ(s.produced, size) << c.name;
      EXPECT_EQ(bitmap, guarded) << c.name;
    }
  }
}

}  // namespace
