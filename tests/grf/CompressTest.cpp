// SPDX-License-Identifier: Apache-2.0
// The GRF writer and compressor: the canonical text, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "grf/DataComDecompress.h"
#include "support/GrfReference.h"

namespace {

bytes hex(const std::string& text) {
  bytes data;
  for (size_t i = 0; i + 1 < text.size(); i += 3)
    data.push_back(static_cast<unsigned char>(std::stoul(text.substr(i, 2), nullptr, 16)));
  return data;
}

std::string compress(const bytes& bitmap, uint64_t rowBytes) {
  std::string text(GRFCompressBound(bitmap.size(), rowBytes) + 1, '\0');
  uint64_t length = 12345;
  EXPECT_EQ(GRFDataCompress(bitmap.data(), bitmap.size(), rowBytes,
                            reinterpret_cast<unsigned char*>(text.data()), &length),
            0);
  EXPECT_LE(length, GRFCompressBound(bitmap.size(), rowBytes));
  text.resize(length);
  return text;
}

TEST(GRFWriteData, CanonicalCountLetters) {
  const struct {
    uint64_t count;
    std::string text;
  } cases[] = {{0, "A"},
               {1, "GA"},
               {2, "HA"},
               {19, "YA"},
               {20, "gA"},
               {21, "gGA"},
               {39, "gYA"},
               {40, "hA"},
               {399, "yYA"},
               {400, "zA"},
               {401, "zGA"},
               {419, "zYA"},
               {420, "zgA"},
               {799, "zyYA"},
               {800, "zzA"},
               {1000, "zzpA"},
               {12345, std::string(30, 'z') + "wKA"}};
  for (const auto& c : cases) {
    unsigned char text[64] = {};
    uint64_t position = 3;
    ASSERT_EQ(GRFWriteData('A', c.count, text, &position), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(text) + 3, position - 3), c.text) << "count " << c.count;
  }
}

TEST(GRFWriteData, AppendsLowByteAndRefusesNullPointers) {
  unsigned char text[16] = {};
  uint64_t position = 0;
  ASSERT_EQ(GRFWriteData(0x141, 0, text, &position), 0);
  ASSERT_EQ(GRFWriteData('B', 2, text, &position), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(text), position), "AHB");
  EXPECT_EQ(GRFWriteData('A', 5, nullptr, &position), 1);
  EXPECT_EQ(GRFWriteData('A', 5, text, nullptr), 1);
  EXPECT_EQ(position, 3u);
}

struct compressCase {
  uint64_t rowBytes;
  std::string bitmap;  // hexadecimal bytes; rows are not marked
  std::string text;
};

void PrintTo(const compressCase& c, std::ostream* os) { *os << "B=" << c.rowBytes << " " << c.bitmap; }

class CompressExamples : public testing::TestWithParam<compressCase> {};

TEST_P(CompressExamples, GiveTheCanonicalText) {
  const auto& c = GetParam();
  EXPECT_EQ(compress(hex(c.bitmap + " "), c.rowBytes), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CompressExamples,
    testing::Values(compressCase{3, "00 00 00 00 00 00", ",\r\n:"}, compressCase{2, "00 00", "J0\r\n"},
                    compressCase{2, "AB 00", "ABH0\r\n"}, compressCase{3, "10 00 00", "1,\r\n"},
                    compressCase{3, "01 00 00", "01,\r\n"}, compressCase{3, "A0 00 00", "A,\r\n"},
                    compressCase{4, "00 80 00 00", "H08,\r\n"}, compressCase{4, "00 0F 00 00", "I0F,\r\n"},
                    compressCase{4, "0F 00 00 00", "0F,\r\n"}, compressCase{4, "00 00 00 01", "M01\r\n"},
                    compressCase{4, "00 00 01 00", "K01H0\r\n"},
                    compressCase{4, "00 00 00 00 00 00 00 01", ",\r\nM01\r\n"},
                    compressCase{4, "FF FF FF FF 00 00 00 00", "NF\r\n,\r\n"},
                    compressCase{4, "FF FF 00 00", "JF,\r\n"}, compressCase{2, "FF FF FF FF", "JF\r\n:"},
                    compressCase{4, "5A 5A 5A 5A A5 A5 A5 A5 5A 5A 5A 5A",
                                 "5A5A5A5A\r\nA5A5A5A5\r\n5A5A5A5A\r\n"},
                    compressCase{1, "00", ",\r\n"}, compressCase{1, "FF", "!\r\n"},
                    compressCase{1, "11", "H1\r\n"}, compressCase{1, "12", "12\r\n"},
                    compressCase{1, "11 11 11", "H1\r\n::"},
                    compressCase{4, "12 34 56 78 12 34 56 78 9A BC", "12345678\r\n:"}));

TEST(GRFDataCompress, LongRowsUseLongRuns) {
  EXPECT_EQ(compress(bytes(300, 0xFF), 300), "zpF\r\n");
  bytes zeroTail(302, 0xFF);
  zeroTail[300] = zeroTail[301] = 0;
  EXPECT_EQ(compress(zeroTail, 302), "zpF,\r\n");
  bytes lone(252, 0);
  lone[250] = 0x10;
  EXPECT_EQ(compress(lone, 252), "zk01I0\r\n");
}

TEST(GRFDataCompress, RefusedArgumentsLeaveTheLengthAlone) {
  const unsigned char bitmap[4] = {1, 2, 3, 4};
  unsigned char text[32];
  uint64_t length = 77;
  EXPECT_EQ(GRFDataCompress(nullptr, 4, 4, text, &length), 1);
  EXPECT_EQ(GRFDataCompress(bitmap, 4, 4, nullptr, &length), 1);
  EXPECT_EQ(GRFDataCompress(bitmap, 4, 4, text, nullptr), 1);
  EXPECT_EQ(GRFDataCompress(bitmap, 0, 4, text, &length), 1);
  EXPECT_EQ(GRFDataCompress(bitmap, 4, 0, text, &length), 1);
  EXPECT_EQ(length, 77u);
  EXPECT_EQ(GRFDataCompress(bitmap, 3, 4, text, &length), 0);
  EXPECT_EQ(length, 0u);
}

TEST(GRFCompressBound, CoversTheWorstCaseAndSaturates) {
  EXPECT_EQ(GRFCompressBound(3584, 28), 7424u);
  EXPECT_EQ(GRFCompressBound(10, 4), 20u);
  EXPECT_EQ(GRFCompressBound(3, 4), 0u);
  EXPECT_EQ(GRFCompressBound(5, 0), 0u);
  EXPECT_EQ(GRFCompressBound(UINT64_MAX, 1), UINT64_MAX);
  EXPECT_EQ(GRFCompressBound(UINT64_MAX, UINT64_MAX / 2), UINT64_MAX);
}

// The fast writer must take the reference writer's decisions on every generated bitmap, and the text
// must decode back to the bitmap's whole rows.
TEST(GRFDataCompress, MatchesTheReferenceWriterAndRoundTrips) {
  for (const auto& c : generatedBitmaps()) {
    const std::string text = compress(c.data, c.rowBytes);
    EXPECT_EQ(text, referenceCompress(c.data, c.rowBytes)) << c.name;
    const size_t rows = c.data.size() / c.rowBytes;
    bytes decoded;
    ASSERT_TRUE(referenceDecode(text, c.rowBytes, rows, &decoded)) << c.name;
    EXPECT_EQ(decoded, bytes(c.data.begin(), c.data.begin() + static_cast<long>(rows * c.rowBytes)))
        << c.name;
  }
}

// Random sparse rows with random widths reach the word-at-a-time paths at every alignment.
TEST(GRFDataCompress, MatchesTheReferenceWriterOnRandomSparseRows) {
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    const bytes shape = noise(4, seed);
    const size_t rowBytes = 1 + shape[0] % 70;
    bytes data = noise(rowBytes * (1 + shape[1] % 6), seed + 1000);
    for (size_t i = 0; i < data.size(); ++i) {
      const unsigned pick = data[i] % 8;
      if (pick < 4)
        data[i] = 0;
      else if (pick < 6)
        data[i] = 0xFF;
    }
    EXPECT_EQ(compress(data, rowBytes), referenceCompress(data, rowBytes)) << "seed " << seed;
  }
}

// Dense and mixed rows of every width up to 80 bytes: runs end at every nibble of a word, cross word
// boundaries, and reach 399, 400 and more nibbles inside a row. The text must match the reference writer
// and no byte from its end to past the worst-case bound may change (the writer stores some runs four
// bytes at a time).
TEST(GRFDataCompress, MatchesTheReferenceWriterOnRandomRowsAndWritesNothingPastTheText) {
  constexpr unsigned char kCanary = 0xA5;
  for (uint32_t seed = 1; seed <= 400; ++seed) {
    const bytes shape = noise(4, seed + 5000);
    const bool longRun = seed % 10 == 0;
    const size_t rowBytes = longRun ? 210 + shape[0] % 100 : (seed <= 80 ? seed : 1 + shape[0] % 80);
    const size_t rows = 1 + shape[1] % 5;
    bytes data = noise(rowBytes * rows, seed + 9000);
    for (size_t i = 0; i < data.size(); ++i) {
      const unsigned pick = (data[i] + shape[2]) % 16;
      if (pick < 3)
        data[i] = 0;
      else if (pick < 5)
        data[i] = 0xFF;
      else if (pick < 7)
        data[i] = static_cast<unsigned char>(0x11 * (data[i] & 0x0F));
    }
    if (longRun) {
      // A run of 396 to 405 nibbles of 7 inside the first row, starting at a high or a low nibble.
      const size_t first = 1 + shape[3] % 7, length = 396 + (seed / 10) % 10;
      const auto setNibble = [&](size_t at, unsigned value) {
        unsigned char& byte = data[at / 2];
        byte = static_cast<unsigned char>(at % 2 == 0 ? (byte & 0x0F) | value << 4 : (byte & 0xF0) | value);
      };
      setNibble(first - 1, 1);
      for (size_t i = 0; i < length; ++i) setNibble(first + i, 7);
      setNibble(first + length, 2);
    }
    const uint64_t bound = GRFCompressBound(data.size(), rowBytes);
    bytes text(bound + 16, kCanary);
    uint64_t length = 0;
    ASSERT_EQ(GRFDataCompress(data.data(), data.size(), rowBytes, text.data(), &length), 0);
    ASSERT_LE(length, bound);
    EXPECT_EQ(std::string(text.begin(), text.begin() + static_cast<long>(length)),
              referenceCompress(data, rowBytes))
        << "seed " << seed;
    EXPECT_EQ(std::count(text.begin() + static_cast<long>(length), text.end(), kCanary),
              static_cast<long>(bound + 16 - length))
        << "seed " << seed;
  }
}

// Rows made of runs of random lengths: one nibble to several words, 19 to 64 nibbles (the letters worth
// 20 to 60 inside one 32-byte block), and around 400 nibbles, with rows of up to 320 bytes so that runs
// cross every block and word boundary and blocks end runs by the dozen.
TEST(GRFDataCompress, MatchesTheReferenceWriterOnRowsOfRandomRuns) {
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    const bytes shape = noise(3, seed + 20000);
    const size_t rowBytes = 2 + shape[0] % 64 + (seed % 3 == 0 ? 256 : 0);
    const size_t rows = 1 + shape[1] % 4;
    const bytes random = noise(4 * rowBytes * rows, seed + 30000);
    bytes data(rowBytes * rows, 0);
    size_t at = 0, next = 0;  // nibble position, and next random byte
    unsigned digit = 0;
    while (at < 2 * data.size()) {
      const unsigned pick = random[next++ % random.size()];
      size_t length = 1 + pick % 4;
      if (pick % 16 == 5) length = 19 + random[next++ % random.size()] % 46;
      if (pick % 64 == 9) length = 395 + random[next++ % random.size()] % 10;
      digit = (digit + 1 + random[next++ % random.size()] % 15) % 16;
      if (shape[2] % 2 == 0 && pick % 8 < 3) digit = 0;  // zero runs, zero tails
      for (size_t i = 0; i < length && at < 2 * data.size(); ++i, ++at)
        data[at / 2] = static_cast<unsigned char>(at % 2 == 0 ? digit << 4 : data[at / 2] | digit);
    }
    EXPECT_EQ(compress(data, rowBytes), referenceCompress(data, rowBytes)) << "seed " << seed;
  }
}

}  // namespace
