// SPDX-License-Identifier: Apache-2.0
// The printer's answer to the host status query.
#include <cstring>

#include "commands/commands.h"

namespace {

constexpr unsigned char kStartOfText = 0x02;
constexpr unsigned char kEndOfText = 0x03;
constexpr size_t kFieldDigits = 8;

// 'readFrame()' - the line that starts at data[*at] with 0x02 and ends with 0x03 CR LF: its text in
// [*text, *text + *length) and *at past it.
int readFrame(const unsigned char* data, size_t size, size_t* at, size_t* text, size_t* length) {
  size_t i = *at;
  if (i == size) return kHostStatusIncomplete;
  if (data[i] != kStartOfText) return kHostStatusMalformed;
  const size_t start = ++i;
  while (i < size && data[i] != kEndOfText) {
    if (data[i] == kStartOfText || i - start >= kMaxHostStatusLine) return kHostStatusMalformed;
    ++i;
  }
  if (i == size) return kHostStatusIncomplete;
  *text = start;
  *length = i - start;
  for (unsigned char expected : {'\r', '\n'}) {
    if (++i == size) return kHostStatusIncomplete;
    if (data[i] != expected) return kHostStatusMalformed;
  }
  *at = i + 1;
  return kHostStatusComplete;
}

// 'readFields()' - the first 'wanted' of a line's comma-separated fields, each 1 to 8 decimal digits;
// false when a field is not, or when the line has fewer.
bool readFields(const unsigned char* text, size_t length, int32_t* values, size_t wanted) {
  size_t count = 0, digits = 0;
  int32_t value = 0;
  for (size_t i = 0; i <= length; ++i) {
    if (i == length || text[i] == ',') {
      if (digits == 0) return false;
      if (count < wanted) values[count] = value;
      ++count;
      value = 0;
      digits = 0;
    } else if (text[i] >= '0' && text[i] <= '9' && digits < kFieldDigits) {
      value = value * 10 + (text[i] - '0');
      ++digits;
    } else {
      return false;
    }
  }
  return count >= wanted;
}

}  // namespace

int parseHostStatus(const unsigned char* data, size_t size, hostStatus* status, size_t* consumed) {
  if (size > kMaxHostStatusBytes) size = kMaxHostStatusBytes;
  size_t at = 0;
  while (at < size && data[at] != kStartOfText) ++at;
  if (at == size) return size == kMaxHostStatusBytes ? kHostStatusMalformed : kHostStatusIncomplete;

  size_t text[3], length[3];
  for (int line = 0; line < 3; ++line) {
    const int framed = readFrame(data, size, &at, &text[line], &length[line]);
    if (framed == kHostStatusIncomplete && size == kMaxHostStatusBytes) return kHostStatusMalformed;
    if (framed != kHostStatusComplete) return framed;
  }

  int32_t first[12], second[11];
  if (!readFields(data + text[0], length[0], first, 12) || !readFields(data + text[1], length[1], second, 11))
    return kHostStatusMalformed;
  hostStatus s;
  std::memset(&s, 0, sizeof s);
  s.paperOut = first[1] != 0;
  s.paused = first[2] != 0;
  s.labelLength = first[3];
  s.formatsWaiting = first[4];
  s.bufferFull = first[5] != 0;
  s.diagnosticMode = first[6] != 0;
  s.partialFormat = first[7] != 0;
  s.corruptMemory = first[9] != 0;
  s.underTemperature = first[10] != 0;
  s.overTemperature = first[11] != 0;
  s.headOpen = second[2] != 0;
  s.ribbonOut = second[3] != 0;
  s.thermalTransfer = second[4] != 0;
  s.printMode = second[5];
  s.labelWaiting = second[7] != 0;
  s.labelsRemaining = second[8];
  s.formatPrinting = second[9] != 0;
  s.graphicsStored = second[10];
  *status = s;
  *consumed = at;
  return kHostStatusComplete;
}
