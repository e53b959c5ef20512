// SPDX-License-Identifier: Apache-2.0
// The printer's answer to the host identification query.
#include <cstdint>
#include <cstring>

#include "commands/commands.h"

namespace {

constexpr unsigned char kStartOfText = 0x02;
constexpr unsigned char kEndOfText = 0x03;
constexpr size_t kMemoryDigits = 8;

// A field of the line: [begin, end) in the answer's bytes.
struct span {
  const unsigned char* begin;
  const unsigned char* end;
};

// 'copyText()' - a model name or version: blanks around it dropped, 1 to kMaxIdentityText printable
// characters.
bool copyText(span field, char* out) {
  while (field.begin < field.end && *field.begin == ' ') ++field.begin;
  while (field.end > field.begin && field.end[-1] == ' ') --field.end;
  const size_t length = static_cast<size_t>(field.end - field.begin);
  if (length == 0 || length > kMaxIdentityText) return false;
  for (const unsigned char* c = field.begin; c < field.end; ++c)
    if (*c < 0x20 || *c > 0x7E) return false;
  std::memcpy(out, field.begin, length);
  out[length] = '\0';
  return true;
}

bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }

// 'readLine()' - the five fields of an answer's text into *identity; false when it is not one.
bool readLine(const unsigned char* text, size_t length, hostIdentity* identity) {
  span fields[5];
  size_t count = 0;
  const unsigned char* start = text;
  for (const unsigned char* c = text; c <= text + length; ++c) {
    if (c < text + length && *c != ',') continue;
    if (count == 5) return false;
    fields[count++] = {start, c};
    start = c + 1;
  }
  if (count != 5) return false;
  hostIdentity id;
  std::memset(&id, 0, sizeof id);
  if (!copyText(fields[0], id.model) || !copyText(fields[1], id.version)) return false;

  static constexpr struct {
    const char* text;
    int dotsPerMm, dotsPerInch;
  } kHeads[] = {{"6", 6, 152}, {"8", 8, 203}, {"12", 12, 300}, {"24", 24, 600}};
  const size_t dpmLength = static_cast<size_t>(fields[2].end - fields[2].begin);
  for (const auto& head : kHeads)
    if (dpmLength == std::strlen(head.text) && std::memcmp(fields[2].begin, head.text, dpmLength) == 0) {
      id.dotsPerMm = head.dotsPerMm;
      id.dotsPerInch = head.dotsPerInch;
    }
  if (id.dotsPerMm == 0) return false;

  const unsigned char* c = fields[3].begin;
  int64_t memory = 0;
  size_t digits = 0;
  for (; c < fields[3].end && isDigit(*c) && digits < kMemoryDigits; ++c, ++digits)
    memory = memory * 10 + (*c - '0');
  if (digits == 0 || fields[3].end - c != 2 || c[1] != 'B' || (c[0] != 'K' && c[0] != 'M')) return false;
  memory *= c[0] == 'M' ? 1024 : 1;
  if (memory > INT32_MAX) return false;
  id.memoryKilobytes = static_cast<int32_t>(memory);

  const size_t optionLength = static_cast<size_t>(fields[4].end - fields[4].begin);
  if (optionLength > kMaxIdentityOptions) return false;
  for (size_t i = 0; i < optionLength; ++i) {
    const unsigned char o = fields[4].begin[i];
    if (!isDigit(o) && !(o >= 'A' && o <= 'Z') && !(o >= 'a' && o <= 'z')) return false;
    id.options[i] = static_cast<char>(o);
  }
  *identity = id;
  return true;
}

}  // namespace

int parseHostIdentity(const unsigned char* data, size_t size, hostIdentity* identity, size_t* consumed) {
  const bool capped = size >= kMaxHostIdentityBytes;
  if (capped) size = kMaxHostIdentityBytes;
  const int incomplete = capped ? kHostStatusMalformed : kHostStatusIncomplete;
  // Unframed: the line from the first byte. A line that begins with anything but its frame is read
  // so once it has ended; a 0x02 before the line's end makes it a framed answer after noise.
  // Line ends before it (the end of an earlier answer) are passed over.
  size_t first = 0;
  while (first < size && (data[first] == '\r' || data[first] == '\n')) ++first;
  size_t at = first;
  while (at < size && data[at] != kStartOfText && data[at] != '\n') ++at;
  if (at == size) return at - first > kMaxHostIdentityLine ? kHostStatusMalformed : incomplete;
  if (data[at] == '\n') {
    const size_t length = (data[at - 1] == '\r' ? at - 1 : at) - first;
    if (length > kMaxHostIdentityLine || !readLine(data + first, length, identity))
      return kHostStatusMalformed;
    *consumed = at + 1;
    return kHostStatusComplete;
  }
  // Framed: 0x02, the line, 0x03 CR LF.
  if (at - first > kMaxHostIdentityLine) return kHostStatusMalformed;
  const size_t start = ++at;
  while (at < size && data[at] != kEndOfText) {
    if (data[at] == kStartOfText || at - start >= kMaxHostIdentityLine) return kHostStatusMalformed;
    ++at;
  }
  if (at == size) return incomplete;
  const size_t end = at;
  for (unsigned char expected : {'\r', '\n'}) {
    if (++at == size) return incomplete;
    if (data[at] != expected) return kHostStatusMalformed;
  }
  hostIdentity id;
  if (!readLine(data + start, end - start, &id)) return kHostStatusMalformed;
  *identity = id;
  *consumed = at + 1;
  return kHostStatusComplete;
}
