#include "tools/preview/Preview.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstring>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "grf/DataComDecompress.h"

namespace {

constexpr int64_t kMaxMagnification = 10;
constexpr char kControlPrefixAlternative = 0x10;  // stands for the control prefix, as in "\x10" "CT~"
constexpr size_t kReadBytes = 65536;
constexpr size_t kMaxParameterBytes = 4096;  // of a followed command other than a download

// The command syntax in force; the data may change each character.
struct commandSyntax {
  char format = '^';
  char control = '~';
  char delimiter = ',';
};

// The input, read a block at a time: the unread bytes are bytes[start..], and bytes[0] is byte
// 'offset' of the data.
struct inputWindow {
  FILE* file;
  std::string bytes;
  size_t start;
  uint64_t offset;
  bool ended;
  int error;  // errno of a failed read
};

// One command of the data: prefix, two-character name and the parameter text up to the next prefix.
struct commandToken {
  uint64_t offset;  // of the prefix in the data
  char prefix;
  std::string name;
  std::string parameters;
  bool tooLong;  // the parameters ran past kMaxParameterBytes and were not kept
};

struct storedGraphic {
  uint64_t rowBytes;
  uint64_t rows;
  std::vector<unsigned char> bits;  // a 1 bit is a dot
};

// A field of the open format: a recalled graphic, or a box when 'graphic' is null.
struct labelField {
  std::shared_ptr<const storedGraphic> graphic;
  int64_t x, y;
  bool fromBottom;  // ^FT: y is the field's bottom edge; ^FO: its top edge
  bool reverse;     // the field's dots invert what is beneath them
  int64_t magnifyX, magnifyY;
  int64_t boxWidth, boxHeight, thickness;
  bool whiteBox;
};

// Everything the data has set up so far.
struct previewState {
  commandSyntax syntax;
  std::map<std::string, std::shared_ptr<const storedGraphic>> graphics;
  // Graphics replaced or deleted while a field of the open format shows them; they live, and count
  // against the limit, until the format ends.
  std::vector<std::shared_ptr<const storedGraphic>> retired;
  uint64_t heldBytes = 0;  // of the stored and the retired graphics
  int64_t width = 0;       // 0: not given yet
  int64_t length = 0;
  bool reverse = false;
  bool inFormat = false;
  int64_t fieldX = 0, fieldY = 0;
  bool fromBottom = false;
  std::vector<labelField> fields;
};

// A label image, one bit a dot (1 where a dot prints), rows of 'rowBytes'.
struct labelImage {
  uint32_t width;
  uint32_t length;
  uint64_t rowBytes;
  std::vector<unsigned char> bits;
};

// What a field does to the dots it covers.
enum class paint { ink, paper, invert };

bool isPrefix(char c, const commandSyntax& syntax) {
  return c == syntax.format || c == syntax.control || c == kControlPrefixAlternative;
}

// 'readMore()' - append the next block of the input, dropping the bytes already read; false when
// nothing more came (the end of the input, or a read error kept in 'error').
bool readMore(inputWindow* in) {
  if (in->ended) return false;
  in->bytes.erase(0, in->start);
  in->offset += in->start;
  in->start = 0;
  char block[kReadBytes];
  const size_t got = std::fread(block, 1, sizeof block, in->file);
  if (got < sizeof block) {
    in->ended = true;
    if (std::ferror(in->file) != 0) in->error = errno != 0 ? errno : EIO;
  }
  in->bytes.append(block, got);
  return got > 0;
}

// 'available()' - make at least 'count' unread bytes available if the input has them.
bool available(inputWindow* in, size_t count) {
  while (in->bytes.size() - in->start < count)
    if (!readMore(in)) return false;
  return true;
}

// 'nextCommand()' - the command at or after the read position: 1 and the token, 0 at the end of the
// data, -1 when the data ends inside a command name. Bytes before a prefix belong to no command and
// are passed over. A download (~DG) is returned without its parameters: downloadGraphic() reads them.
int nextCommand(inputWindow* in, const commandSyntax& syntax, commandToken* token) {
  for (;;) {
    const char* bytes = in->bytes.data();
    const size_t size = in->bytes.size();
    size_t at = in->start;
    while (at < size && !isPrefix(bytes[at], syntax)) ++at;
    in->start = at;
    if (at < size) break;
    if (!readMore(in)) return 0;
  }
  token->offset = in->offset + in->start;
  token->prefix = in->bytes[in->start] == kControlPrefixAlternative ? syntax.control : in->bytes[in->start];
  token->parameters.clear();
  token->tooLong = false;
  if (!available(in, 3)) {
    in->start = in->bytes.size();
    return -1;
  }
  token->name = in->bytes.substr(in->start + 1, 2);
  in->start += 3;
  if (token->name == "CC" || token->name == "CD" || token->name == "CT") {
    // The parameter is one character, which may well be a prefix.
    if (!available(in, 1)) return -1;
    token->parameters = in->bytes[in->start++];
    return 1;
  }
  if (token->name == "DG" && token->prefix == syntax.control) return 1;
  for (;;) {
    const char* bytes = in->bytes.data();
    const size_t size = in->bytes.size();
    size_t end = in->start;
    while (end < size && !isPrefix(bytes[end], syntax)) ++end;
    if (token->parameters.size() + (end - in->start) > kMaxParameterBytes) token->tooLong = true;
    if (!token->tooLong) token->parameters.append(bytes + in->start, end - in->start);
    in->start = end;
    if (end < size || !readMore(in)) return 1;
  }
}

// 'withoutLineEnds()' - the parameters without the blanks and line ends that may follow a command.
std::string_view withoutLineEnds(std::string_view text) {
  while (!text.empty() &&
         (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
    text.remove_suffix(1);
  return text;
}

// 'splitParameters()' - the first 'count' - 1 parameters and the rest of the text as the last one.
std::vector<std::string_view> splitParameters(std::string_view text, char delimiter, size_t count) {
  std::vector<std::string_view> parts;
  while (parts.size() + 1 < count) {
    const size_t at = text.find(delimiter);
    if (at == std::string_view::npos) break;
    parts.push_back(text.substr(0, at));
    text.remove_prefix(at + 1);
  }
  parts.push_back(text);
  return parts;
}

std::string_view parameter(const std::vector<std::string_view>& parts, size_t index) {
  return index < parts.size() ? parts[index] : std::string_view();
}

// 'parseNumber()' - a decimal number from 'minimum' to 'maximum'; an empty text gives 'fallback'.
bool parseNumber(std::string_view text, int64_t minimum, int64_t maximum, int64_t fallback, int64_t* value) {
  if (text.empty()) {
    *value = fallback;
    return true;
  }
  int64_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + (c - '0');
    if (number > maximum) return false;
  }
  if (number < minimum) return false;
  *value = number;
  return true;
}

// 'graphicName()' - a stored graphic's name without a storage letter ("R:"), with ".GRF" when it has no
// extension.
std::string graphicName(std::string_view text) {
  if (text.size() >= 2 && text[1] == ':') text.remove_prefix(2);
  std::string name(text);
  if (name.find('.') == std::string::npos) name += ".GRF";
  return name;
}

std::string describeByte(unsigned char c) {
  char text[16];
  std::snprintf(text, sizeof text, c >= 0x20 && c < 0x7F ? "'%c'" : "0x%02X", c);
  return text;
}

// 'inTextAlphabet()' - whether the GRF reader takes the character (line ends included).
bool inTextAlphabet(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Y') || (c >= 'g' && c <= 'z') || c == kGRFZeroFill ||
         c == kGRFOneFill || c == kGRFRepeatRow || c == '\r' || c == '\n';
}

// 'dropGraphic()' - take a graphic out of the store: freed at once, or retired while a field of the
// open format still shows it.
void dropGraphic(previewState* state,
                 std::map<std::string, std::shared_ptr<const storedGraphic>>::iterator at) {
  if (at->second.use_count() > 1) {
    state->retired.push_back(at->second);
  } else {
    state->heldBytes -= at->second->bits.size();
  }
  state->graphics.erase(at);
}

// 'clearFields()' - forget the open format's fields, and with them the retired graphics.
void clearFields(previewState* state) {
  state->fields.clear();
  for (const auto& graphic : state->retired) state->heldBytes -= graphic->bits.size();
  state->retired.clear();
}

// 'downloadGraphic()' - ~DG name,total bytes,row bytes,GRF text: decode the text, as it is read, into
// exactly 'total bytes' and store the graphic under its name, replacing one of the same name.
bool downloadGraphic(previewState* state, inputWindow* in, std::string* error) {
  std::string header[3];
  for (std::string& part : header) {
    for (;;) {
      if (!available(in, 1) || isPrefix(in->bytes[in->start], state->syntax)) {
        *error = "the download needs a name, a byte count, row bytes and the graphic text";
        return false;
      }
      const char c = in->bytes[in->start++];
      if (c == state->syntax.delimiter) break;
      if (part.size() == kMaxParameterBytes) {
        *error = "the download's name or numbers run past " + std::to_string(kMaxParameterBytes) + " bytes";
        return false;
      }
      part += c;
    }
  }
  const std::string name = graphicName(header[0]);
  int64_t total = 0, rowBytes = 0;
  if (!parseNumber(header[1], 1, static_cast<int64_t>(kPreviewMaxStoredBytes), -1, &total) || total < 1) {
    *error = "the byte count \"" + header[1] + "\" is not a number from 1 to " +
             std::to_string(kPreviewMaxStoredBytes);
    return false;
  }
  if (!parseNumber(header[2], 1, total, -1, &rowBytes) || rowBytes < 1 || total % rowBytes != 0) {
    *error = "the row bytes \"" + header[2] + "\" do not divide the byte count " + std::to_string(total);
    return false;
  }
  const auto old = state->graphics.find(name);
  const bool freesOld = old != state->graphics.end() && old->second.use_count() == 1;
  const uint64_t kept = state->heldBytes - (freesOld ? old->second->bits.size() : 0);
  if (static_cast<uint64_t>(total) > kPreviewMaxStoredBytes - kept) {
    *error = "the stored graphics would exceed " + std::to_string(kPreviewMaxStoredBytes) + " bytes";
    return false;
  }

  auto graphic = std::make_shared<storedGraphic>();
  graphic->rowBytes = static_cast<uint64_t>(rowBytes);
  graphic->rows = static_cast<uint64_t>(total / rowBytes);
  graphic->bits.assign(static_cast<size_t>(total), 0);
  const std::string what = "graphic " + name + ": ";
  uint64_t outputOffset = 0, repeatCount = 1, produced = 0, nibblePhase = 0;
  unsigned char pendingByte = 0;
  uint64_t characters = 0;
  uint64_t firstBlank = 0;  // the first blank of the text (from 1), harmless only at its end
  unsigned char blank = 0;
  while (available(in, 1)) {
    const char* bytes = in->bytes.data();
    const size_t size = in->bytes.size();
    size_t at = in->start;
    for (; at < size && !isPrefix(bytes[at], state->syntax); ++at) {
      const unsigned char c = static_cast<unsigned char>(bytes[at]);
      ++characters;
      if (c == ' ' || c == '\t') {
        if (firstBlank == 0) {
          firstBlank = characters;
          blank = c;
        }
        continue;
      }
      if (c == '\r' || c == '\n') continue;
      if (firstBlank != 0 || !inTextAlphabet(c)) {
        *error = what + "the text holds " + describeByte(firstBlank != 0 ? blank : c) + " at its character " +
                 std::to_string(firstBlank != 0 ? firstBlank : characters);
        return false;
      }
      const int64_t status = GRFDataDecompressSingleCharProcessBounded(
          c, graphic->rowBytes, &outputOffset, &pendingByte, &repeatCount, &produced, &nibblePhase,
          graphic->bits.data(), graphic->bits.size(), graphic->bits.size());
      if (status == kGRFRepeatBeforeFirstRow) {
        *error = what + "the text repeats a row before its first row is complete";
        return false;
      }
      if (status == kGRFCharCapacityExceeded) {
        *error = what + "the text describes more than the " + std::to_string(total) + " bytes announced";
        return false;
      }
    }
    in->start = at;
    if (at < size) break;
  }
  if (produced < static_cast<uint64_t>(total)) {
    *error = what + "the text ends after " + std::to_string(produced) + " of the " + std::to_string(total) +
             " bytes announced";
    return false;
  }
  if (old != state->graphics.end()) dropGraphic(state, old);
  state->heldBytes += static_cast<uint64_t>(total);
  state->graphics[name] = graphic;
  return true;
}

// 'newField()' - a field at the current field position, in the current reverse mode.
labelField newField(const previewState& state) {
  labelField field{};
  field.x = state.fieldX;
  field.y = state.fieldY;
  field.fromBottom = state.fromBottom;
  field.reverse = state.reverse;
  field.magnifyX = field.magnifyY = 1;
  return field;
}

// 'recallGraphic()' - ^XG name,magnification x,magnification y.
bool recallGraphic(previewState* state, std::string_view parameters, std::string* error) {
  const auto parts = splitParameters(parameters, state->syntax.delimiter, 3);
  labelField field = newField(*state);
  const std::string name = graphicName(parts[0]);
  const auto found = state->graphics.find(name);
  if (found == state->graphics.end()) {
    *error = "graphic " + name + " is recalled but was not downloaded";
    return false;
  }
  if (!parseNumber(parameter(parts, 1), 1, kMaxMagnification, 1, &field.magnifyX) ||
      !parseNumber(parameter(parts, 2), 1, kMaxMagnification, 1, &field.magnifyY)) {
    *error = "the magnification is not a number from 1 to " + std::to_string(kMaxMagnification);
    return false;
  }
  field.graphic = found->second;
  state->fields.push_back(field);
  return true;
}

// 'drawBox()' - ^GB width,height,thickness,colour,rounding. Width and height are at least the
// thickness; rounding is accepted and drawn square.
bool drawBox(previewState* state, std::string_view parameters, std::string* error) {
  const auto parts = splitParameters(parameters, state->syntax.delimiter, 5);
  labelField field = newField(*state);
  int64_t rounding = 0;
  if (!parseNumber(parameter(parts, 2), 1, kPreviewMaxLabelSide, 1, &field.thickness) ||
      !parseNumber(parameter(parts, 0), 0, kPreviewMaxLabelSide, field.thickness, &field.boxWidth) ||
      !parseNumber(parameter(parts, 1), 0, kPreviewMaxLabelSide, field.thickness, &field.boxHeight) ||
      !parseNumber(parameter(parts, 4), 0, 8, 0, &rounding)) {
    *error = "the box \"" + std::string(parameters) + "\" has a size out of range";
    return false;
  }
  const std::string_view colour = parameter(parts, 3);
  if (colour != "" && colour != "B" && colour != "W") {
    *error = "the box colour \"" + std::string(colour) + "\" is neither B nor W";
    return false;
  }
  field.whiteBox = colour == "W";
  field.boxWidth = std::max(field.boxWidth, field.thickness);
  field.boxHeight = std::max(field.boxHeight, field.thickness);
  state->fields.push_back(field);
  return true;
}

// 'applyByte()' - paint the dots of 'mask' in one byte of the label.
void applyByte(unsigned char* target, unsigned mask, paint how) {
  if (how == paint::ink) *target |= static_cast<unsigned char>(mask);
  if (how == paint::paper) *target &= static_cast<unsigned char>(~mask);
  if (how == paint::invert) *target ^= static_cast<unsigned char>(mask);
}

// 'bitsFrom()' - the dots from x0 up to x1 of one byte whose first dot is 'byteX'.
unsigned bitsFrom(int64_t byteX, int64_t x0, int64_t x1) {
  const int64_t first = std::max<int64_t>(x0 - byteX, 0), end = std::min<int64_t>(x1 - byteX, 8);
  return first >= end ? 0u : (0xFFu >> first) & (0xFFu << (8 - end)) & 0xFFu;
}

// 'fillRect()' - paint the dots from (x0, y0) up to (x1, y1), clipped to the label, a byte at a time.
void fillRect(labelImage* label, int64_t x0, int64_t y0, int64_t x1, int64_t y1, paint how) {
  x0 = std::max<int64_t>(x0, 0), y0 = std::max<int64_t>(y0, 0);
  x1 = std::min<int64_t>(x1, label->width), y1 = std::min<int64_t>(y1, label->length);
  if (x0 >= x1 || y0 >= y1) return;
  for (int64_t y = y0; y < y1; ++y) {
    unsigned char* row = label->bits.data() + static_cast<uint64_t>(y) * label->rowBytes;
    for (int64_t b = x0 / 8; b <= (x1 - 1) / 8; ++b) applyByte(row + b, bitsFrom(b * 8, x0, x1), how);
  }
}

// 'drawGraphic()' - paint the dots of a recalled graphic, clipped to the label: a byte at a time when
// it is not magnified, else dot by dot over the dots it covers.
void drawGraphic(labelImage* label, const labelField& field, int64_t left, int64_t top, paint how) {
  const storedGraphic& graphic = *field.graphic;
  const int64_t width = static_cast<int64_t>(graphic.rowBytes * 8) * field.magnifyX;
  const int64_t height = static_cast<int64_t>(graphic.rows) * field.magnifyY;
  const int64_t x0 = std::max<int64_t>(left, 0), x1 = std::min<int64_t>(left + width, label->width);
  const int64_t y0 = std::max<int64_t>(top, 0), y1 = std::min<int64_t>(top + height, label->length);
  if (x0 >= x1 || y0 >= y1) return;
  const int64_t sourceBytes = static_cast<int64_t>(graphic.rowBytes);
  for (int64_t y = y0; y < y1; ++y) {
    const unsigned char* source =
        graphic.bits.data() + static_cast<uint64_t>((y - top) / field.magnifyY) * graphic.rowBytes;
    unsigned char* row = label->bits.data() + static_cast<uint64_t>(y) * label->rowBytes;
    if (field.magnifyX == 1) {
      // The graphic's dot u lands on label dot left + u: each label byte takes 8 graphic dots.
      for (int64_t b = x0 / 8; b <= (x1 - 1) / 8; ++b) {
        const int64_t u = b * 8 - left;  // the graphic dot under the byte's first dot (may be < 0)
        const int64_t q = u >= 0 ? u / 8 : -((-u + 7) / 8), r = u - q * 8;
        const unsigned high = q >= 0 && q < sourceBytes ? source[q] : 0;
        const unsigned low = q + 1 >= 0 && q + 1 < sourceBytes ? source[q + 1] : 0;
        const unsigned dots = (((high << 8) | low) << r) >> 8 & 0xFFu;
        applyByte(row + b, dots & bitsFrom(b * 8, x0, x1), how);
      }
      continue;
    }
    for (int64_t x = x0; x < x1; ++x) {
      const uint64_t column = static_cast<uint64_t>((x - left) / field.magnifyX);
      if ((source[column / 8] >> (7 - column % 8)) & 1) applyByte(row + x / 8, 0x80u >> (x % 8), how);
    }
  }
}

// 'fieldExtent()' - the field's size in dots and its top edge.
void fieldExtent(const labelField& field, int64_t* width, int64_t* height, int64_t* top) {
  const storedGraphic* graphic = field.graphic.get();
  *width = graphic != nullptr ? static_cast<int64_t>(graphic->rowBytes * 8) * field.magnifyX : field.boxWidth;
  *height = graphic != nullptr ? static_cast<int64_t>(graphic->rows) * field.magnifyY : field.boxHeight;
  *top = field.fromBottom ? field.y - *height : field.y;
}

// 'renderLabel()' - the label of the finished format: fields in the order given, clipped to the label.
// A box is its four borders (which meet in a solid box when the thickness reaches half a side).
void renderLabel(const previewState& state, int64_t width, int64_t length, labelImage* label) {
  label->width = static_cast<uint32_t>(width);
  label->length = static_cast<uint32_t>(length);
  label->rowBytes = (static_cast<uint64_t>(width) + 7) / 8;
  label->bits.assign(label->rowBytes * label->length, 0);
  for (const labelField& field : state.fields) {
    int64_t w, h, top;
    fieldExtent(field, &w, &h, &top);
    const int64_t left = field.x;
    if (field.graphic != nullptr) {
      drawGraphic(label, field, left, top, field.reverse ? paint::invert : paint::ink);
      continue;
    }
    const paint how = field.reverse ? paint::invert : field.whiteBox ? paint::paper : paint::ink;
    const int64_t t = field.thickness;
    const int64_t middleEnd = std::max(t, h - t);
    fillRect(label, left, top, left + w, top + std::min(t, h), how);
    fillRect(label, left, top + t, left + std::min(t, w), top + middleEnd, how);
    fillRect(label, left + std::max(t, w - t), top + t, left + w, top + middleEnd, how);
    fillRect(label, left, top + middleEnd, left + w, top + h, how);
  }
}

// 'labelSize()' - the number of ^PW or ^LL.
bool labelSize(std::string_view parameters, int64_t* value, std::string* error) {
  int64_t number = 0;
  if (!parseNumber(parameters, 1, kPreviewMaxLabelSide, 0, &number) || number < 1) {
    *error = std::string("\"") + std::string(parameters) + "\" is not a number of dots from 1 to " +
             std::to_string(kPreviewMaxLabelSide);
    return false;
  }
  *value = number;
  return true;
}

// 'startFormat()' - ^XA: a new format with no fields, the field position at the origin.
bool startFormat(previewState* state, std::string* error) {
  if (state->inFormat) {
    *error = "a label format starts inside another one";
    return false;
  }
  state->inFormat = true;
  clearFields(state);
  state->fieldX = state->fieldY = 0;
  state->fromBottom = false;
  return true;
}

// 'fieldPosition()' - ^FO or ^FT x,y; the position holds for the fields up to ^FS.
bool fieldPosition(previewState* state, std::string_view parameters, bool fromBottom, std::string* error) {
  const auto parts = splitParameters(parameters, state->syntax.delimiter, 3);
  if (!parseNumber(parameter(parts, 0), 0, kPreviewMaxLabelSide, 0, &state->fieldX) ||
      !parseNumber(parameter(parts, 1), 0, kPreviewMaxLabelSide, 0, &state->fieldY)) {
    *error = "the field position \"" + std::string(parameters) + "\" is out of range";
    return false;
  }
  state->fromBottom = fromBottom;
  return true;
}

// 'endFormat()' - ^XZ: 1 and the label when the format drew a field, 0 when it drew none. A label
// whose width or length was never given is as wide or as long as what its fields draw.
int endFormat(previewState* state, labelImage* label, std::string* error) {
  state->inFormat = false;
  if (state->fields.empty()) return 0;
  int64_t right = 1, bottom = 1;
  for (const labelField& field : state->fields) {
    int64_t w, h, top;
    fieldExtent(field, &w, &h, &top);
    right = std::max(right, field.x + w);
    bottom = std::max(bottom, top + h);
  }
  const int64_t width = state->width != 0 ? state->width : std::min(right, kPreviewMaxLabelSide);
  const int64_t length = state->length != 0 ? state->length : std::min(bottom, kPreviewMaxLabelSide);
  if (static_cast<uint64_t>(width) * static_cast<uint64_t>(length) > kPreviewMaxLabelDots) {
    *error = "a label of " + std::to_string(width) + " x " + std::to_string(length) +
             " dots is larger than the preview's limit of " + std::to_string(kPreviewMaxLabelDots) + " dots";
    return -1;
  }
  renderLabel(*state, width, length, label);
  clearFields(state);
  return 1;
}

// 'applyCommand()' - follow one command. Returns 0 to go on, 1 when it finished a label (in *label),
// -1 with *error when the data is malformed.
int applyCommand(previewState* state, inputWindow* in, const commandToken& token, labelImage* label,
                 std::string* error) {
  const std::string& name = token.name;
  if (name == "CC" || name == "CT" || name == "CD") {
    char& changed = name == "CC"   ? state->syntax.format
                    : name == "CT" ? state->syntax.control
                                   : state->syntax.delimiter;
    changed = token.parameters[0];
    return 0;
  }
  if (token.prefix != state->syntax.format) {
    if (name == "DG") return downloadGraphic(state, in, error) ? 0 : -1;
    return 0;
  }

  static constexpr std::string_view kFollowed[] = {"PW", "LL", "LR", "ID", "XA", "FO",
                                                   "FT", "XG", "GB", "FS", "XZ"};
  if (std::find(std::begin(kFollowed), std::end(kFollowed), name) == std::end(kFollowed)) return 0;
  if (token.tooLong) {
    *error = "the parameters run past " + std::to_string(kMaxParameterBytes) + " bytes";
    return -1;
  }
  const std::string_view parameters = withoutLineEnds(token.parameters);
  if (name == "PW") return labelSize(parameters, &state->width, error) ? 0 : -1;
  if (name == "LL") return labelSize(parameters, &state->length, error) ? 0 : -1;
  if (name == "LR") {
    if (parameters != "Y" && parameters != "N") {
      *error = "reverse printing is set with Y or N, not \"" + std::string(parameters) + "\"";
      return -1;
    }
    state->reverse = parameters == "Y";
    return 0;
  }
  if (name == "ID") {
    const auto found = state->graphics.find(graphicName(parameters));
    if (found != state->graphics.end()) dropGraphic(state, found);
    return 0;
  }
  if (name == "XA") return startFormat(state, error) ? 0 : -1;
  if (!state->inFormat) {
    *error = "^" + name + " stands outside a label format";
    return -1;
  }
  if (name == "FO" || name == "FT") return fieldPosition(state, parameters, name == "FT", error) ? 0 : -1;
  if (name == "XG") return recallGraphic(state, parameters, error) ? 0 : -1;
  if (name == "GB") return drawBox(state, parameters, error) ? 0 : -1;
  if (name == "FS") {
    state->fieldX = state->fieldY = 0;
    state->fromBottom = false;
    return 0;
  }
  return endFormat(state, label, error);
}

// 'writeRows()' - the PNG stream of the label through libpng, which reports failure by a long jump:
// nothing here needs a destructor.
bool writeRows(png_structp png, png_infop info, FILE* file, const labelImage* label, unsigned char* row) {
  if (setjmp(png_jmpbuf(png)) != 0) return false;
  png_init_io(png, file);
  png_set_user_limits(png, 0x7fffffff, 0x7fffffff);
  png_set_compression_level(png, 1);
  png_set_IHDR(png, info, label->width, label->length, 1, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (uint32_t y = 0; y < label->length; ++y) {
    const unsigned char* dots = label->bits.data() + static_cast<uint64_t>(y) * label->rowBytes;
    for (uint64_t i = 0; i < label->rowBytes; ++i) row[i] = static_cast<unsigned char>(~dots[i]);
    png_write_row(png, row);
  }
  png_write_end(png, nullptr);
  return true;
}

// 'writePng()' - the label as a one-bit grey PNG file: black (0) where a dot prints, white elsewhere.
bool writePng(const std::string& path, const labelImage& label, std::string* error) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  std::vector<unsigned char> row(label.rowBytes);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  bool written = info != nullptr && writeRows(png, info, file, &label, row.data());
  png_destroy_write_struct(&png, &info);
  written = std::fclose(file) == 0 && written;
  if (!written) *error = "cannot write " + path;
  return written;
}

// 'previewAll()' - previewLabels() without the guard against running out of memory.
int previewAll(FILE* file, const char* folder, previewResult* result) {
  inputWindow in{file, {}, 0, 0, false, 0};
  previewState state;
  if (folder != nullptr) {
    std::error_code made;
    std::filesystem::create_directories(folder, made);
  }
  for (;;) {
    commandToken token;
    const int found = nextCommand(&in, state.syntax, &token);
    if (found == 0) break;
    if (found < 0) {
      result->error = "byte " + std::to_string(token.offset) + ": the data ends inside a command";
      return 1;
    }
    labelImage label;
    std::string error;
    const int applied = applyCommand(&state, &in, token, &label, &error);
    if (applied < 0) {
      result->error =
          "byte " + std::to_string(token.offset) + " (" + token.prefix + token.name + "): " + error;
      return 1;
    }
    if (applied == 0) continue;
    ++result->labels;
    if (folder == nullptr) continue;
    char name[32];
    std::snprintf(name, sizeof name, "label-%04d.png", result->labels);
    const std::string path = (std::filesystem::path(folder) / name).string();
    if (!writePng(path, label, &result->error)) return 1;
    std::printf("%s (%u x %u dots)\n", path.c_str(), label.width, label.length);
  }
  if (in.error != 0) {
    result->error = std::string("reading the data: ") + std::strerror(in.error);
    return 1;
  }
  if (state.inFormat) {
    result->error = "the data ends inside a label format (no ^XZ)";
    return 1;
  }
  return 0;
}

}  // namespace

int previewLabels(FILE* in, const char* folder, previewResult* result) {
  result->labels = 0;
  result->error.clear();
  try {
    return previewAll(in, folder, result);
  } catch (const std::bad_alloc&) {
    result->error = "memory ran out";
  } catch (const std::exception& e) {
    result->error = e.what();
  }
  return 1;
}
