// SPDX-License-Identifier: Apache-2.0
#include "support/GrfReference.h"

namespace {

char digitOf(unsigned nibble) { return "0123456789ABCDEF"[nibble]; }

unsigned nibbleAt(const unsigned char* row, size_t i) {
  return i % 2 == 0 ? row[i / 2] >> 4 : row[i / 2] & 15;
}

void putRun(std::string* text, char digit, uint64_t count) {
  text->append(count / 400, 'z');
  const uint64_t m = count % 400;
  if (m / 20 != 0) text->push_back(static_cast<char>(0x66 + m / 20));
  if (m % 20 != 0) text->push_back(static_cast<char>(0x46 + m % 20));
  text->push_back(digit);
}

void putPending(std::string* text, char digit, uint64_t k) { putRun(text, digit, k > 0 ? k + 1 : 0); }

void encodeRow(const unsigned char* row, size_t b, std::string* text) {
  if (b == 1) {
    const unsigned hi = row[0] >> 4, lo = row[0] & 15;
    if (hi != lo) {
      text->push_back(digitOf(hi));
      text->push_back(digitOf(lo));
    } else if (row[0] == 0) {
      text->push_back(',');
    } else if (row[0] == 0xFF) {
      text->push_back('!');
    } else {
      putRun(text, digitOf(hi), 2);
    }
    return;
  }
  char run = digitOf(nibbleAt(row, 0));
  uint64_t k = 0;
  for (size_t i = 1; i < 2 * b; ++i) {
    if (i % 2 == 0) {
      const size_t first = i / 2;
      bool zero = b - first >= 2;
      for (size_t j = first; zero && j < b; ++j) zero = row[j] == 0;
      if (zero) {
        if (run != '0') putPending(text, run, k);
        text->push_back(',');
        return;
      }
    }
    const char d = digitOf(nibbleAt(row, i));
    if (d == run) {
      if (i < 2 * b - 1)
        ++k;
      else
        putRun(text, d, k + 2);
    } else {
      putPending(text, run, k);
      if (i == 2 * b - 1) putRun(text, d, 0);
      k = 0;
    }
    run = d;
  }
}

}  // namespace

std::string referenceCompress(const bytes& bitmap, size_t rowBytes) {
  std::string text;
  const size_t rows = bitmap.size() / rowBytes;
  for (size_t r = 0; r < rows; ++r) {
    const unsigned char* row = bitmap.data() + r * rowBytes;
    bool same = r > 0;
    for (size_t j = 0; same && j < rowBytes; ++j) same = row[j] == row[j - rowBytes];
    if (same) {
      text.push_back(':');
      continue;
    }
    encodeRow(row, rowBytes, &text);
    text += "\r\n";
  }
  return text;
}

bool referenceDecode(const std::string& text, size_t rowBytes, size_t rows, bytes* bitmap) {
  const size_t rowNibbles = 2 * rowBytes, total = rowNibbles * rows;
  std::vector<unsigned> nibbles(total, 0);
  size_t p = 0;
  uint64_t count = 0;
  for (const char c : text) {
    if (c == '\r' || c == '\n') continue;
    if (c >= 'G' && c <= 'Y') {
      count += static_cast<uint64_t>(c - 0x46);
    } else if (c >= 'g' && c <= 'z') {
      count += 20 * static_cast<uint64_t>(c - 0x66);
    } else if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) {
      const unsigned v = c <= '9' ? static_cast<unsigned>(c - '0') : static_cast<unsigned>(c - 'A' + 10);
      const uint64_t n = count == 0 ? 1 : count;
      if (p + n > total) return false;
      for (uint64_t i = 0; i < n; ++i) nibbles[p++] = v;
      count = 0;
    } else if (c == ',' || c == '!') {
      if (p >= total) return false;
      const size_t end = (p / rowNibbles + 1) * rowNibbles;
      while (p < end) nibbles[p++] = c == ',' ? 0 : 15;
    } else if (c == ':') {
      if (p % rowNibbles != 0 || p == 0 || p >= total) return false;
      for (size_t i = 0; i < rowNibbles; ++i, ++p) nibbles[p] = nibbles[p - rowNibbles];
    } else {
      return false;
    }
  }
  if (p != total) return false;
  bitmap->assign(total / 2, 0);
  for (size_t i = 0; i < total / 2; ++i)
    (*bitmap)[i] = static_cast<unsigned char>(nibbles[2 * i] << 4 | nibbles[2 * i + 1]);
  return true;
}

bytes noise(size_t size, uint32_t seed) {
  bytes data(size);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& byte : data) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    byte = static_cast<unsigned char>(x >> 24);
  }
  return data;
}

std::vector<namedBitmap> generatedBitmaps() {
  std::vector<namedBitmap> cases;
  for (size_t b : {1, 2, 3, 4, 5, 28, 104}) {
    cases.push_back({"white" + std::to_string(b), b, bytes(b * 7, 0x00)});
    cases.push_back({"black" + std::to_string(b), b, bytes(b * 7, 0xFF)});
    bytes ramp(b * 40);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<unsigned char>(i * 7 + i / b);
    cases.push_back({"ramp" + std::to_string(b), b, ramp});
    cases.push_back({"noise" + std::to_string(b), b, noise(b * 33, static_cast<uint32_t>(b))});
  }
  // Runs of every length around the letter boundaries: 19/20/21, 399/400/401, 799/800 nibbles.
  for (size_t nibbles : {2, 3, 19, 20, 21, 39, 40, 399, 400, 401, 419, 420, 799, 800, 801, 1000}) {
    const size_t b = nibbles / 2 + 3;
    bytes row(b, 0x5A);
    for (size_t i = 0; i < nibbles; ++i) {
      const size_t at = 1 + i;  // start at a low nibble so odd and even lengths both occur
      row[at / 2] =
          static_cast<unsigned char>(at % 2 == 0 ? (row[at / 2] & 0x0F) | 0x70 : (row[at / 2] & 0xF0) | 0x07);
    }
    bytes data = row;
    bytes black = row;
    for (auto& byte : black) byte = byte == 0x77 ? 0xFF : byte;
    data.insert(data.end(), black.begin(), black.end());
    bytes white = row;
    for (size_t j = 1; j < b; ++j) white[j] = white[j] == 0x77 ? 0x00 : white[j];
    data.insert(data.end(), white.begin(), white.end());
    cases.push_back({"runs" + std::to_string(nibbles), b, data});
  }
  // Sparse label-like rows: zero tails of every start, lone set bytes, repeated rows.
  for (size_t b : {2, 3, 4, 9, 16}) {
    bytes data;
    for (size_t set = 0; set < b; ++set) {
      for (unsigned value : {0x01u, 0x10u, 0x80u, 0xFFu}) {
        bytes row(b, 0);
        row[set] = static_cast<unsigned char>(value);
        data.insert(data.end(), row.begin(), row.end());
        if (value == 0x80) data.insert(data.end(), row.begin(), row.end());
      }
    }
    cases.push_back({"sparse" + std::to_string(b), b, data});
  }
  cases.push_back(
      {"trailing-part-row", 4, bytes{0x12, 0x34, 0x56, 0x78, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}});
  return cases;
}
