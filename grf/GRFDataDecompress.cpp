// SPDX-License-Identifier: Apache-2.0
// GRF text readers: the codec's byte routines, the block decoder and the single-character decoder, each
// decoder with a bounded companion for text that is not trusted.
#include <array>
#include <cstring>

#include "grf/DataComDecompress.h"

namespace {

// What a text byte means to the readers. Digits are their own values, 0 to 15.
enum : uint8_t { kZeroFill = 16, kOneFill, kRepeatRow, kLineEnd, kCountLetter, kRefused };

struct charClass {
  uint8_t kind;    // a digit value, or one of the kinds above
  uint16_t count;  // the value of a count letter
};

constexpr std::array<charClass, 256> makeClasses() {
  std::array<charClass, 256> classes{};
  for (auto& c : classes) c = {kRefused, 0};
  for (unsigned c = '0'; c <= '9'; ++c) classes[c] = {static_cast<uint8_t>(c - '0'), 0};
  for (unsigned c = 'A'; c <= 'F'; ++c) classes[c] = {static_cast<uint8_t>(c - 'A' + 10), 0};
  for (unsigned c = 'G'; c <= 'Y'; ++c)
    classes[c] = {kCountLetter, static_cast<uint16_t>(c - kGRFUnitLetterBase)};
  for (unsigned c = 'g'; c <= kGRFFourHundredLetter; ++c)
    classes[c] = {kCountLetter, static_cast<uint16_t>((c - kGRFTwentiesLetterBase) * 20)};
  classes[kGRFZeroFill] = {kZeroFill, 0};
  classes[kGRFOneFill] = {kOneFill, 0};
  classes[kGRFRepeatRow] = {kRepeatRow, 0};
  classes['\r'] = {kLineEnd, 0};
  classes['\n'] = {kLineEnd, 0};
  return classes;
}

constexpr std::array<charClass, 256> kClasses = makeClasses();

// The unbounded entry points fill and copy through the byte routines; the bounded ones a block at a
// time. A row copy never overlaps: its source ends where its destination begins.
void fill(unsigned char* destination, unsigned value, uint64_t count, bool byteRoutines) {
  if (byteRoutines)
    memsetEx(destination, static_cast<int>(value), count);
  else if (count != 0)
    std::memset(destination, static_cast<int>(value), static_cast<size_t>(count));
}

void copy(unsigned char* destination, const unsigned char* source, uint64_t count, bool byteRoutines) {
  if (byteRoutines)
    memcpyEx(destination, source, count);
  else if (count != 0)
    std::memcpy(destination, source, static_cast<size_t>(count));
}

// 'fits()' - whether 'count' bytes written at 'offset' stay below 'capacity'.
bool fits(uint64_t offset, uint64_t count, uint64_t capacity) {
  return count == 0 || (offset <= capacity && count <= capacity - offset);
}

// 'digitBytes()' - the bytes that 'count' nibble steps complete from nibble phase 'phase' (0 or 4).
uint64_t digitBytes(uint64_t count, uint64_t phase) { return count / 2 + (phase == 4 && count % 2 == 1); }

// 'putNibbles()' - the nibble step 'count' times with 'value': OR the value into the pending byte and add
// 4 to the phase; at phase 4 the pending byte's low nibble becomes its high nibble, at phase 8 the byte
// is written. Steps are taken one by one until the state is at a clean byte boundary (phase 0, nothing
// pending), which the decoders' own states reach within two steps; the whole bytes after that are one
// fill.
void putNibbles(unsigned char* bitmap, unsigned value, uint64_t count, uint64_t* offset,
                unsigned char* pending, uint64_t* phase, bool byteRoutines) {
  for (; count != 0 && (*phase != 0 || *pending != 0); --count) {
    *pending = static_cast<unsigned char>(*pending | value);
    *phase += 4;
    if (*phase == 4) {
      *pending = static_cast<unsigned char>((*pending & 0x0F) << 4);
    } else if (*phase == 8) {
      bitmap[(*offset)++] = *pending;
      *pending = 0;
      *phase = 0;
    }
  }
  fill(bitmap + *offset, value * 0x11, count / 2, byteRoutines);
  *offset += count / 2;
  if (count % 2 == 1) {
    *pending = static_cast<unsigned char>(value << 4);
    *phase = 4;
  }
}

// 'decodeText()' - the block decoder over checked arguments. With 'bounded', a character that would
// write at or past bitmap[capacity] stops decoding with kGRFCapacityExceeded before it writes anything.
int64_t decodeText(const unsigned char* text, uint64_t textLength, uint64_t rowBytes, unsigned char* bitmap,
                   uint64_t capacity, bool bounded, bool byteRoutines, uint64_t* bitmapLength) {
  uint64_t offset = 0;
  unsigned char pending = 0;
  uint64_t phase = 0;
  uint64_t repeat = 1;
  for (uint64_t i = 0; i < textLength; ++i) {
    const charClass c = kClasses[text[i]];
    if (c.kind < 16) {
      const unsigned value = c.kind;
      const uint64_t count = repeat >= 2 ? repeat - 1 : repeat;
      repeat = 1;
      if (count == 1 && phase == 0) {  // the first digit of a pair
        pending = static_cast<unsigned char>(value << 4);
        phase = 4;
        continue;
      }
      if (bounded && !fits(offset, digitBytes(count, phase), capacity)) {
        *bitmapLength = offset;
        return kGRFCapacityExceeded;
      }
      if (count == 1) {  // the second digit of a pair
        bitmap[offset++] = static_cast<unsigned char>(pending | value);
        pending = 0;
        phase = 0;
        continue;
      }
      putNibbles(bitmap, value, count, &offset, &pending, &phase, byteRoutines);
      continue;
    }
    switch (c.kind) {
      case kCountLetter:
        repeat += c.count;
        break;
      case kZeroFill:
      case kOneFill: {
        const uint64_t half = phase == 4 ? 1 : 0;
        const uint64_t length = rowBytes - (offset + half) % rowBytes;
        if (bounded && !(fits(offset, half, capacity) && fits(offset + half, length, capacity))) {
          *bitmapLength = offset;
          return kGRFCapacityExceeded;
        }
        const bool ones = c.kind == kOneFill;
        if (half != 0) bitmap[offset++] = static_cast<unsigned char>(ones ? pending | 0x0F : pending);
        fill(bitmap + offset, ones ? 0xFF : 0x00, length, byteRoutines);
        offset += length;
        pending = 0;
        phase = 0;
        break;
      }
      case kRepeatRow:
        if (offset < rowBytes) return kGRFRepeatBeforeFirstRow;
        if (bounded && !fits(offset, rowBytes, capacity)) {
          *bitmapLength = offset;
          return kGRFCapacityExceeded;
        }
        copy(bitmap + offset, bitmap + offset - rowBytes, rowBytes, byteRoutines);
        offset += rowBytes;
        pending = 0;
        phase = 0;
        break;
      case kLineEnd:
        break;
      default:
        *bitmapLength = offset;
        return kGRFRefused;
    }
  }
  *bitmapLength = offset;
  return kGRFSuccess;
}

// 'completion()' - the single-character decoder's status after a character: 0 when the bytes produced
// reach the expected total, 6 past it, 5 short of it.
int64_t completion(uint64_t produced, uint64_t expectedTotal) {
  if (produced == expectedTotal) return kGRFSuccess;
  return produced > expectedTotal ? kGRFOverfull : kGRFIncomplete;
}

// 'decodeCharGeneral()' - decodeChar() for the characters that write more than a nibble: digits with a
// count, fills and row copies.
[[gnu::noinline]] int64_t decodeCharGeneral(const charClass c, uint64_t rowBytes, uint64_t* outputOffset,
                                            unsigned char* pendingByte, uint64_t* repeatCount,
                                            uint64_t* bytesProduced, uint64_t* nibblePhase,
                                            unsigned char* bitmap, uint64_t expectedTotal, uint64_t capacity,
                                            bool bounded) {
  const uint64_t before = *outputOffset;
  if (c.kind < 16) {
    const uint64_t count = *repeatCount > 1 ? *repeatCount - 1 : *repeatCount;
    if (bounded && !fits(before, digitBytes(count, *nibblePhase), capacity)) return kGRFCharCapacityExceeded;
    putNibbles(bitmap, c.kind, count, outputOffset, pendingByte, nibblePhase, true);
    *repeatCount = 1;
  } else if (c.kind == kZeroFill || c.kind == kOneFill) {
    const uint64_t half = *nibblePhase == 4 ? 1 : 0;
    const uint64_t length = rowBytes - (before + half) % rowBytes;
    if (bounded && !(fits(before, half, capacity) && fits(before + half, length, capacity)))
      return kGRFCharCapacityExceeded;
    const bool ones = c.kind == kOneFill;
    if (half != 0)
      bitmap[(*outputOffset)++] = static_cast<unsigned char>(ones ? *pendingByte | 0x0F : *pendingByte);
    memsetEx(bitmap + *outputOffset, ones ? 0xFF : 0x00, length);
    *outputOffset += length;
    *pendingByte = 0;
    *nibblePhase = 0;
  } else {  // kRepeatRow
    if (before < rowBytes) return kGRFRepeatBeforeFirstRow;
    if (bounded && !fits(before, rowBytes, capacity)) return kGRFCharCapacityExceeded;
    memcpyEx(bitmap + before, bitmap + before - rowBytes, rowBytes);
    *outputOffset += rowBytes;
    *pendingByte = 0;
    *nibblePhase = 0;
  }
  *bytesProduced += *outputOffset - before;
  return completion(*bytesProduced, expectedTotal);
}

// 'decodeChar()' - the single-character decoder over checked arguments; with 'bounded', a character that
// would write at or past bitmap[capacity] changes nothing and returns kGRFCharCapacityExceeded. The
// characters of most texts (single digits, count letters, line ends) are decoded here, the rest by
// decodeCharGeneral().
int64_t decodeChar(int character, uint64_t rowBytes, uint64_t* outputOffset, unsigned char* pendingByte,
                   uint64_t* repeatCount, uint64_t* bytesProduced, uint64_t* nibblePhase,
                   unsigned char* bitmap, uint64_t expectedTotal, uint64_t capacity, bool bounded) {
  const charClass c = kClasses[static_cast<unsigned char>(character & 0xFF)];
  if (c.kind < 16 && *repeatCount == 1 && (*nibblePhase == 0 || *nibblePhase == 4)) {
    // One nibble: the nibble step of putNibbles() taken once.
    if (*nibblePhase == 0) {
      *pendingByte = static_cast<unsigned char>(((*pendingByte | c.kind) & 0x0F) << 4);
      *nibblePhase = 4;
      return completion(*bytesProduced, expectedTotal);
    }
    const uint64_t before = *outputOffset;
    if (bounded && !fits(before, 1, capacity)) return kGRFCharCapacityExceeded;
    bitmap[before] = static_cast<unsigned char>(*pendingByte | c.kind);
    *outputOffset = before + 1;
    *pendingByte = 0;
    *nibblePhase = 0;
    return completion(++*bytesProduced, expectedTotal);
  }
  if (c.kind == kCountLetter) {
    *repeatCount += c.count;
    return completion(*bytesProduced, expectedTotal);
  }
  if (c.kind == kLineEnd || c.kind == kRefused) return kGRFIncomplete;  // no meaning here: nothing changes
  return decodeCharGeneral(c, rowBytes, outputOffset, pendingByte, repeatCount, bytesProduced, nibblePhase,
                           bitmap, expectedTotal, capacity, bounded);
}

}  // namespace

int memsetEx(void* destination, int value, uint64_t count) {
  unsigned char* d = static_cast<unsigned char*>(destination);
  for (uint64_t i = 0; i < count; ++i) d[i] = static_cast<unsigned char>(value);
  return kGRFSuccess;
}

int memcpyEx(void* destination, const void* source, uint64_t count) {
  unsigned char* d = static_cast<unsigned char*>(destination);
  const unsigned char* s = static_cast<const unsigned char*>(source);
  for (uint64_t i = 0; i < count; ++i) d[i] = s[i];
  return kGRFSuccess;
}

int64_t GRFDataDecompress(const unsigned char* text, uint64_t textLength, uint64_t rowBytes,
                          unsigned char* bitmap, uint64_t* bitmapLength) {
  if (text == nullptr || textLength == 0 || rowBytes == 0 || bitmap == nullptr || bitmapLength == nullptr)
    return kGRFRefused;
  return decodeText(text, textLength, rowBytes, bitmap, UINT64_MAX, false, true, bitmapLength);
}

int64_t GRFDataDecompressBounded(const unsigned char* text, uint64_t textLength, uint64_t rowBytes,
                                 unsigned char* bitmap, uint64_t capacity, uint64_t* bitmapLength) {
  if (text == nullptr || textLength == 0 || rowBytes == 0 || bitmap == nullptr || bitmapLength == nullptr)
    return kGRFRefused;
  return decodeText(text, textLength, rowBytes, bitmap, capacity, true, false, bitmapLength);
}

int64_t GRFDataDecompressSingleCharProcess(int character, uint64_t rowBytes, uint64_t* outputOffset,
                                           unsigned char* pendingByte, uint64_t* repeatCount,
                                           uint64_t* bytesProduced, uint64_t* nibblePhase,
                                           unsigned char* bitmap, uint64_t expectedTotal) {
  return decodeChar(character, rowBytes, outputOffset, pendingByte, repeatCount, bytesProduced, nibblePhase,
                    bitmap, expectedTotal, UINT64_MAX, false);
}

int64_t GRFDataDecompressSingleCharProcessBounded(int character, uint64_t rowBytes, uint64_t* outputOffset,
                                                  unsigned char* pendingByte, uint64_t* repeatCount,
                                                  uint64_t* bytesProduced, uint64_t* nibblePhase,
                                                  unsigned char* bitmap, uint64_t expectedTotal,
                                                  uint64_t capacity) {
  if (outputOffset == nullptr || pendingByte == nullptr || repeatCount == nullptr ||
      bytesProduced == nullptr || nibblePhase == nullptr || bitmap == nullptr || rowBytes == 0)
    return kGRFRefused;
  if (*nibblePhase != 0 && *nibblePhase != 4) return kGRFRefused;
  return decodeChar(character, rowBytes, outputOffset, pendingByte, repeatCount, bytesProduced, nibblePhase,
                    bitmap, expectedTotal, capacity, true);
}
