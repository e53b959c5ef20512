// labelpreview: draw the labels that printer data prints, one PNG image per label.
//
//   labelpreview [-d DIR] [FILE]
//
// Reads printer data as the filter writes it (FILE, or standard input without one or with "-") and
// follows the commands that decide what a label shows: stored-graphic downloads (~DG, GRF text), label
// formats (^XA .. ^XZ) with the label width (^PW) and length (^LL), field positions (^FO top-left
// corner, ^FT bottom-left corner), graphic recalls (^XG), boxes (^GB), reverse printing (^LRY .. ^LRN),
// graphic deletion (^ID) and changes of the command prefixes and delimiter (~CC, ~CT, ~CD, also
// introduced by the byte 0x10). Every other command is skipped. A format that draws at least one field
// becomes DIR/label-0001.png, label-0002.png, ...: 8-bit grey, black where the printer puts a dot, the
// label's width by its length in dots.
//
// Exit status: 0 when the whole input was read; 1 for malformed or truncated data (with a message on
// standard error; the labels completed before it are written) or an image that cannot be written;
// 2 for a usage error.
#include <getopt.h>
#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "grf/DataComDecompress.h"

namespace {

constexpr int64_t kMaxLabelSide = 32000;         // dots, for widths, lengths and positions
constexpr uint64_t kMaxLabelDots = 1u << 26;     // width x length of one label image
constexpr uint64_t kMaxStoredBytes = 64u << 20;  // all stored graphics together
constexpr int64_t kMaxMagnification = 10;
constexpr char kControlPrefixAlternative = 0x10;  // stands for the control prefix, as in "\x10" "CT~"

// The command syntax in force; the data may change each character.
struct commandSyntax {
  char format = '^';
  char control = '~';
  char delimiter = ',';
};

// One command of the data: prefix, two-character name and the parameter text up to the next prefix.
struct commandToken {
  size_t offset;  // of the prefix in the data
  char prefix;
  std::string name;
  std::string_view parameters;
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
  uint64_t storedBytes = 0;
  int64_t width = 0;  // 0: not given yet
  int64_t length = 0;
  bool reverse = false;
  bool inFormat = false;
  int64_t fieldX = 0, fieldY = 0;
  bool fromBottom = false;
  std::vector<labelField> fields;
};

struct labelImage {
  uint32_t width;
  uint32_t length;
  std::vector<unsigned char> grey;  // 0 where a dot prints, 255 elsewhere, row after row
};

bool isPrefix(char c, const commandSyntax& syntax) {
  return c == syntax.format || c == syntax.control || c == kControlPrefixAlternative;
}

// 'nextCommand()' - the command at or after *position: 1 and the token, 0 at the end of the data, -1
// when the data ends inside a command name. Bytes before a prefix belong to no command and are passed
// over.
int nextCommand(const std::string& data, size_t* position, const commandSyntax& syntax, commandToken* token) {
  size_t at = *position;
  while (at < data.size() && !isPrefix(data[at], syntax)) ++at;
  if (at == data.size()) {
    *position = at;
    return 0;
  }
  token->offset = at;
  token->prefix = data[at] == kControlPrefixAlternative ? syntax.control : data[at];
  if (data.size() - at < 3) {
    *position = data.size();
    return -1;
  }
  token->name = data.substr(at + 1, 2);
  size_t end = at + 3;
  if (token->name == "CC" || token->name == "CD" || token->name == "CT") {
    // The parameter is one character, which may well be a prefix.
    if (end == data.size()) {
      *position = end;
      return -1;
    }
    ++end;
  } else {
    while (end < data.size() && !isPrefix(data[end], syntax)) ++end;
  }
  token->parameters = std::string_view(data).substr(at + 3, end - at - 3);
  *position = end;
  return 1;
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

// 'downloadGraphic()' - ~DG name,total bytes,row bytes,GRF text: decode the text into exactly
// 'total bytes' and store the graphic under its name, replacing one of the same name.
bool downloadGraphic(previewState* state, std::string_view parameters, std::string* error) {
  const auto parts = splitParameters(parameters, state->syntax.delimiter, 4);
  if (parts.size() < 4) {
    *error = "the download needs a name, a byte count, row bytes and the graphic text";
    return false;
  }
  const std::string name = graphicName(parts[0]);
  int64_t total = 0, rowBytes = 0;
  if (!parseNumber(parts[1], 1, static_cast<int64_t>(kMaxStoredBytes), -1, &total) || total < 1) {
    *error = "the byte count \"" + std::string(parts[1]) + "\" is not a number from 1 to " +
             std::to_string(kMaxStoredBytes);
    return false;
  }
  if (!parseNumber(parts[2], 1, total, -1, &rowBytes) || rowBytes < 1 || total % rowBytes != 0) {
    *error = "the row bytes \"" + std::string(parts[2]) + "\" do not divide the byte count " +
             std::to_string(total);
    return false;
  }
  const auto old = state->graphics.find(name);
  const uint64_t kept = state->storedBytes - (old == state->graphics.end() ? 0 : old->second->bits.size());
  if (static_cast<uint64_t>(total) > kMaxStoredBytes - kept) {
    *error = "the stored graphics would exceed " + std::to_string(kMaxStoredBytes) + " bytes";
    return false;
  }

  const std::string_view text = withoutLineEnds(parts[3]);
  auto graphic = std::make_shared<storedGraphic>();
  graphic->rowBytes = static_cast<uint64_t>(rowBytes);
  graphic->rows = static_cast<uint64_t>(total / rowBytes);
  graphic->bits.assign(static_cast<size_t>(total), 0);
  uint64_t length = 0;
  const int64_t status =
      text.empty()
          ? 0
          : GRFDataDecompressBounded(reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                                     graphic->rowBytes, graphic->bits.data(), graphic->bits.size(), &length);
  const std::string what = "graphic " + name + ": ";
  if (status == 1) {
    // The first byte outside the reader's alphabet, which stopped it.
    const size_t bad =
        std::min(text.find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYghijklmnopqrstuvwxyz,!:\r\n"),
                 text.size() - 1);
    *error = what + "the text holds " + describeByte(static_cast<unsigned char>(text[bad])) +
             " at its character " + std::to_string(bad + 1);
    return false;
  }
  if (status == -1) {
    *error = what + "the text repeats a row before its first row is complete";
    return false;
  }
  if (status == kGRFCapacityExceeded) {
    *error = what + "the text describes more than the " + std::to_string(total) + " bytes announced";
    return false;
  }
  if (length < static_cast<uint64_t>(total)) {
    *error = what + "the text ends after " + std::to_string(length) + " of the " + std::to_string(total) +
             " bytes announced";
    return false;
  }
  state->storedBytes = kept + static_cast<uint64_t>(total);
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
  if (!parseNumber(parameter(parts, 2), 1, kMaxLabelSide, 1, &field.thickness) ||
      !parseNumber(parameter(parts, 0), 0, kMaxLabelSide, field.thickness, &field.boxWidth) ||
      !parseNumber(parameter(parts, 1), 0, kMaxLabelSide, field.thickness, &field.boxHeight) ||
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

// 'plotDot()' - put one field dot on the label: black (or white for a white box), or inverted in reverse.
void plotDot(labelImage* label, int64_t x, int64_t y, const labelField& field) {
  unsigned char& dot = label->grey[static_cast<size_t>(y) * label->width + static_cast<size_t>(x)];
  dot = field.reverse ? static_cast<unsigned char>(255 - dot) : field.whiteBox ? 255 : 0;
}

// 'renderLabel()' - the label of the finished format: fields in the order given, clipped to the label.
void renderLabel(const previewState& state, labelImage* label) {
  label->width = static_cast<uint32_t>(state.width);
  label->length = static_cast<uint32_t>(state.length);
  label->grey.assign(static_cast<size_t>(label->width) * label->length, 255);
  for (const labelField& field : state.fields) {
    const storedGraphic* graphic = field.graphic.get();
    const int64_t width =
        graphic != nullptr ? static_cast<int64_t>(graphic->rowBytes * 8) * field.magnifyX : field.boxWidth;
    const int64_t height =
        graphic != nullptr ? static_cast<int64_t>(graphic->rows) * field.magnifyY : field.boxHeight;
    const int64_t left = field.x;
    const int64_t top = field.fromBottom ? field.y - height : field.y;
    const int64_t firstY = std::max<int64_t>(top, 0), endY = std::min<int64_t>(top + height, state.length);
    const int64_t firstX = std::max<int64_t>(left, 0), endX = std::min<int64_t>(left + width, state.width);
    for (int64_t y = firstY; y < endY; ++y) {
      for (int64_t x = firstX; x < endX; ++x) {
        const int64_t u = x - left, v = y - top;
        bool dot;
        if (graphic != nullptr) {
          const uint64_t column = static_cast<uint64_t>(u / field.magnifyX);
          const uint64_t row = static_cast<uint64_t>(v / field.magnifyY);
          dot = (graphic->bits[row * graphic->rowBytes + column / 8] >> (7 - column % 8)) & 1;
        } else {
          const int64_t t = field.thickness;
          dot = u < t || v < t || u >= width - t || v >= height - t;
        }
        if (dot) plotDot(label, x, y, field);
      }
    }
  }
}

// 'labelSize()' - the number of ^PW or ^LL.
bool labelSize(std::string_view parameters, int64_t* value, std::string* error) {
  int64_t number = 0;
  if (!parseNumber(parameters, 1, kMaxLabelSide, 0, &number) || number < 1) {
    *error = std::string("\"") + std::string(parameters) + "\" is not a number of dots from 1 to " +
             std::to_string(kMaxLabelSide);
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
  state->fields.clear();
  state->fieldX = state->fieldY = 0;
  state->fromBottom = false;
  return true;
}

// 'fieldPosition()' - ^FO or ^FT x,y; the position holds for the fields up to ^FS.
bool fieldPosition(previewState* state, std::string_view parameters, bool fromBottom, std::string* error) {
  const auto parts = splitParameters(parameters, state->syntax.delimiter, 3);
  if (!parseNumber(parameter(parts, 0), 0, kMaxLabelSide, 0, &state->fieldX) ||
      !parseNumber(parameter(parts, 1), 0, kMaxLabelSide, 0, &state->fieldY)) {
    *error = "the field position \"" + std::string(parameters) + "\" is out of range";
    return false;
  }
  state->fromBottom = fromBottom;
  return true;
}

// 'endFormat()' - ^XZ: 1 and the label when the format drew a field, 0 when it drew none.
int endFormat(previewState* state, labelImage* label, std::string* error) {
  state->inFormat = false;
  if (state->fields.empty()) return 0;
  if (state->width == 0 || state->length == 0) {
    *error = "the label's width (^PW) or length (^LL) was never given";
    return -1;
  }
  if (static_cast<uint64_t>(state->width) * static_cast<uint64_t>(state->length) > kMaxLabelDots) {
    *error = "a label of " + std::to_string(state->width) + " x " + std::to_string(state->length) +
             " dots is larger than the preview's limit of " + std::to_string(kMaxLabelDots) + " dots";
    return -1;
  }
  renderLabel(*state, label);
  state->fields.clear();
  return 1;
}

// 'applyCommand()' - follow one command. Returns 0 to go on, 1 when it finished a label (in *label),
// -1 with *error when the data is malformed.
int applyCommand(previewState* state, const commandToken& token, labelImage* label, std::string* error) {
  const std::string& name = token.name;
  if (name == "CC" || name == "CT" || name == "CD") {
    char& changed = name == "CC"   ? state->syntax.format
                    : name == "CT" ? state->syntax.control
                                   : state->syntax.delimiter;
    changed = token.parameters[0];
    return 0;
  }
  if (token.prefix != state->syntax.format) {
    if (name == "DG") return downloadGraphic(state, token.parameters, error) ? 0 : -1;
    return 0;
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
    if (found != state->graphics.end()) {
      state->storedBytes -= found->second->bits.size();
      state->graphics.erase(found);
    }
    return 0;
  }
  if (name == "XA") return startFormat(state, error) ? 0 : -1;

  const bool inFormatOnly =
      name == "FO" || name == "FT" || name == "XG" || name == "GB" || name == "FS" || name == "XZ";
  if (!inFormatOnly) return 0;
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

// 'writePng()' - the label as an 8-bit grey PNG file.
bool writePng(const std::string& path, const labelImage& label, std::string* error) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = label.width;
  image.height = label.length;
  image.format = PNG_FORMAT_GRAY;
  if (png_image_write_to_file(&image, path.c_str(), 0, label.grey.data(), 0, nullptr) != 0) return true;
  *error = path + ": " + image.message;
  png_image_free(&image);
  return false;
}

// 'readInput()' - the whole of the named file, or of standard input for "-".
bool readInput(const char* path, std::string* data) {
  FILE* in = std::strcmp(path, "-") == 0 ? stdin : std::fopen(path, "rb");
  if (in == nullptr) return false;
  char buffer[65536];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0) data->append(buffer, got);
  const bool ok = std::ferror(in) == 0;
  if (in != stdin) std::fclose(in);
  return ok;
}

void usage(FILE* out) {
  std::fputs(
      "usage: labelpreview [-d DIR] [FILE]\n"
      "\n"
      "Draws the labels that printer data (as rastertoxxx writes it) prints: one PNG per label,\n"
      "DIR/label-0001.png, label-0002.png, ... (DIR defaults to the current folder, and is created\n"
      "when missing). Black is where the printer puts a dot; an image is the label's width (^PW) by its\n"
      "length (^LL) in dots. The data comes from FILE, or from standard input without one or with \"-\".\n"
      "\n"
      "Followed: ~DG graphic downloads, ^XA .. ^XZ label formats, ^PW, ^LL, ^FO, ^FT, ^XG, ^GB, ^FS,\n"
      "^LRY .. ^LRN, ^ID, and prefix changes (~CC, ~CT, ~CD). Every other command is skipped; in\n"
      "particular quantities (^PQ) do not repeat a label.\n"
      "\n"
      "Exit status: 0 when all the data was read, 1 when it is malformed or truncated (the message says\n"
      "where; labels completed before it are written) or an image cannot be written, 2 for a usage error.\n",
      out);
}

}  // namespace

int main(int argc, char* argv[]) {
  std::string folder = ".";
  static const option longOptions[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
  int option;
  while ((option = getopt_long(argc, argv, "d:h", longOptions, nullptr)) != -1) {
    if (option == 'd') {
      folder = optarg;
    } else if (option == 'h') {
      usage(stdout);
      return 0;
    } else {
      usage(stderr);
      return 2;
    }
  }
  if (argc - optind > 1) {
    usage(stderr);
    return 2;
  }
  const char* input = optind < argc ? argv[optind] : "-";

  std::string data;
  if (!readInput(input, &data)) {
    std::fprintf(stderr, "labelpreview: %s: %s\n", input, std::strerror(errno));
    return 1;
  }
  std::error_code made;
  std::filesystem::create_directories(folder, made);

  previewState state;
  size_t position = 0;
  int labels = 0;
  for (;;) {
    commandToken token;
    const int found = nextCommand(data, &position, state.syntax, &token);
    if (found == 0) break;
    if (found < 0) {
      std::fprintf(stderr, "labelpreview: byte %zu: the data ends inside a command\n", token.offset);
      return 1;
    }
    labelImage label;
    std::string error;
    const int applied = applyCommand(&state, token, &label, &error);
    if (applied < 0) {
      std::fprintf(stderr, "labelpreview: byte %zu (%c%s): %s\n", token.offset, token.prefix,
                   token.name.c_str(), error.c_str());
      return 1;
    }
    if (applied == 1) {
      char file[32];
      std::snprintf(file, sizeof file, "label-%04d.png", ++labels);
      const std::string path = (std::filesystem::path(folder) / file).string();
      if (!writePng(path, label, &error)) {
        std::fprintf(stderr, "labelpreview: cannot write %s\n", error.c_str());
        return 1;
      }
      std::printf("%s (%u x %u dots)\n", path.c_str(), label.width, label.length);
    }
  }
  if (state.inFormat) {
    std::fputs("labelpreview: the data ends inside a label format (no ^XZ)\n", stderr);
    return 1;
  }
  return 0;
}
