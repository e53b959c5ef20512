// SPDX-License-Identifier: Apache-2.0
// Reading printer data a chunk at a time: commands split at their prefixes, downloads decoded as their
// text arrives, formats collected into fields until ^XZ draws them.
#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <new>
#include <string_view>

#include "commands/preview/preview.h"
#include "grf/DataComDecompress.h"

namespace {

constexpr char kControlPrefixAlternative = 0x10;  // stands for the control prefix, as in "\x10" "CT~"

// The format commands that are followed; the others are skipped without keeping their parameters.
constexpr std::string_view kFollowed[] = {"PW", "LL", "LR", "ID", "XA", "FO", "FT", "XG", "GB", "FS", "XZ"};
static_assert(std::size(kFollowed) == 11);

bool isPrefix(char c, const previewSyntax& syntax) {
  return c == syntax.format || c == syntax.control || c == kControlPrefixAlternative;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool isLineEnd(char c) { return c == '\r' || c == '\n'; }

// 'isGrfCharacter()' - whether the GRF reader gives the byte a meaning (line ends included).
bool isGrfCharacter(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Y') || (c >= 'g' && c <= kGRFFourHundredLetter) ||
         c == kGRFZeroFill || c == kGRFOneFill || c == kGRFRepeatRow || c == '\r' || c == '\n';
}

// 'withoutLineEnds()' - the parameters without the blanks and line ends that may follow a command.
std::string_view withoutLineEnds(std::string_view text) {
  while (!text.empty() && (isBlank(text.back()) || isLineEnd(text.back()))) text.remove_suffix(1);
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

// 'text()' - the parts one after another. Messages are put together here rather than with the string
// operator +, whose inlined copies GCC 12 at -O3 takes for overlapping ones (-Wrestrict).
std::string text(std::initializer_list<std::string_view> parts) {
  size_t size = 0;
  for (const std::string_view part : parts) size += part.size();
  std::string joined;
  joined.reserve(size);
  for (const std::string_view part : parts) joined.append(part);
  return joined;
}

// 'fail()' - stop the reading with 'what' about the command being read.
int fail(previewState* state, std::string_view what) {
  char where[64];
  std::snprintf(where, sizeof where, "byte %llu (%c", static_cast<unsigned long long>(state->commandOffset),
                state->prefix);
  state->failure = text({where, state->name, "): ", what});
  return kPreviewError;
}

uint64_t graphicSize(const previewGraphic& graphic) { return graphic.rowBytes * graphic.rows; }

// 'dropGraphic()' - take a graphic out of the store. One that a field of the open format recalled stays
// alive, and counted, until the format ends.
void dropGraphic(previewState* state,
                 std::map<std::string, std::shared_ptr<const previewGraphic>>::iterator it) {
  if (it->second.use_count() > 1)
    state->released.push_back(it->second);
  else
    state->graphicBytes -= graphicSize(*it->second);
  state->graphics.erase(it);
}

// 'clearFields()' - forget the open format's fields, and the graphics only they kept alive.
void clearFields(previewState* state) {
  state->fields.clear();
  for (const auto& graphic : state->released) state->graphicBytes -= graphicSize(*graphic);
  state->released.clear();
}

// 'startDownload()' - ~DG name,total bytes,row bytes: check the numbers and the room for the graphic,
// which replaces one of the same name, and set the decoder going.
int startDownload(previewState* state) {
  const auto parts = splitParameters(state->parameters, state->syntax.delimiter, 3);
  const std::string name = graphicName(parts[0]);
  int64_t total = 0, rowBytes = 0;
  const uint64_t most = std::min(state->maxGraphicBytes, kPreviewMaxGraphicBytes);
  if (!parseNumber(parts[1], 1, static_cast<int64_t>(most), -1, &total) || total < 1)
    return fail(state,
                text({"the byte count \"", parts[1], "\" is not a number from 1 to ", std::to_string(most)}));
  if (!parseNumber(parts[2], 1, total, -1, &rowBytes) || rowBytes < 1 || total % rowBytes != 0)
    return fail(state, text({"the row bytes \"", parts[2], "\" do not divide the byte count ",
                             std::to_string(total)}));
  const auto old = state->graphics.find(name);
  if (old != state->graphics.end()) dropGraphic(state, old);
  if (static_cast<uint64_t>(total) > most - std::min(most, state->graphicBytes))
    return fail(state, text({"the stored graphics would exceed ", std::to_string(most), " bytes"}));
  if (state->graphics.size() + state->released.size() >= kPreviewMaxGraphics)
    return fail(state,
                text({"more than ", std::to_string(kPreviewMaxGraphics), " graphics would be stored"}));

  previewDownload& download = state->download;
  download = previewDownload{};
  download.name = name;
  download.total = static_cast<uint64_t>(total);
  download.graphic = std::make_shared<previewGraphic>();
  download.graphic->rowBytes = static_cast<uint64_t>(rowBytes);
  download.graphic->rows = static_cast<uint64_t>(total / rowBytes);
  // Not cleared: the decoder writes every byte before the graphic is complete, and only then is it read.
  download.graphic->bits = std::make_unique_for_overwrite<unsigned char[]>(static_cast<size_t>(total));
  state->graphicBytes += download.total;
  return kPreviewMore;
}

// 'downloadFailure()' - stop the reading with 'what' about the graphic being downloaded.
int downloadFailure(previewState* state, std::string_view what) {
  return fail(state, text({"graphic ", state->download.name, ": ", what}));
}

// 'downloadCharacter()' - one character of the GRF text. Blanks and line ends may follow the text.
int downloadCharacter(previewState* state, char c) {
  previewDownload& download = state->download;
  ++download.characters;
  if (isBlank(c)) {
    if (download.firstBlank == 0) download.firstBlank = download.characters;
    return kPreviewMore;
  }
  if (isLineEnd(c)) return kPreviewMore;
  if (download.firstBlank != 0)
    return downloadFailure(
        state, text({"the text holds ' ' at its character ", std::to_string(download.firstBlank)}));
  const auto byte = static_cast<unsigned char>(c);
  if (!isGrfCharacter(byte))
    return downloadFailure(state, text({"the text holds ", describeByte(byte), " at its character ",
                                        std::to_string(download.characters)}));
  previewGraphic& graphic = *download.graphic;
  const int64_t status = GRFDataDecompressSingleCharProcessBounded(
      byte, graphic.rowBytes, &download.outputOffset, &download.pendingByte, &download.repeatCount,
      &download.bytesProduced, &download.nibblePhase, graphic.bits.get(), download.total, download.total);
  if (status == kGRFRepeatBeforeFirstRow)
    return downloadFailure(state, "the text repeats a row before its first row is complete");
  if (status == kGRFCharCapacityExceeded || status == kGRFOverfull)
    return downloadFailure(state, text({"the text describes more than the ", std::to_string(download.total),
                                        " bytes announced"}));
  return kPreviewMore;
}

// 'finishDownload()' - the end of the GRF text: store the graphic when the text gave all its bytes.
int finishDownload(previewState* state) {
  previewDownload& download = state->download;
  if (download.bytesProduced < download.total)
    return fail(state, text({"graphic ", download.name, ": the text ends after ",
                             std::to_string(download.bytesProduced), " of the ",
                             std::to_string(download.total), " bytes announced"}));
  state->graphics[download.name] = std::move(download.graphic);
  download = previewDownload{};
  return kPreviewMore;
}

// 'newField()' - a field at the current field position, in the current reverse mode; fails when the
// format holds the most fields it may.
int newField(previewState* state, previewField* field) {
  if (state->fields.size() >= kPreviewMaxFields)
    return fail(state, text({"the format has more than ", std::to_string(kPreviewMaxFields), " fields"}));
  *field = previewField{};
  field->x = state->fieldX;
  field->y = state->fieldY;
  field->fromBottom = state->fromBottom;
  field->reverse = state->reverse;
  field->magnifyX = field->magnifyY = 1;
  return kPreviewMore;
}

// 'recallGraphic()' - ^XG name,magnification x,magnification y.
int recallGraphic(previewState* state, std::string_view parameters) {
  const auto parts = splitParameters(parameters, state->syntax.delimiter, 3);
  previewField field;
  if (newField(state, &field) != kPreviewMore) return kPreviewError;
  const std::string name = graphicName(parts[0]);
  const auto found = state->graphics.find(name);
  if (found == state->graphics.end())
    return fail(state, text({"graphic ", name, " is recalled but was not downloaded"}));
  if (!parseNumber(parameter(parts, 1), 1, kPreviewMaxMagnification, 1, &field.magnifyX) ||
      !parseNumber(parameter(parts, 2), 1, kPreviewMaxMagnification, 1, &field.magnifyY))
    return fail(state, text({"the magnification is not a number from 1 to ",
                             std::to_string(kPreviewMaxMagnification)}));
  field.graphic = found->second;
  state->fields.push_back(field);
  return kPreviewMore;
}

// 'drawBox()' - ^GB width,height,thickness,colour,rounding. Width and height are at least the
// thickness; rounding is accepted and drawn square.
int drawBox(previewState* state, std::string_view parameters) {
  const auto parts = splitParameters(parameters, state->syntax.delimiter, 5);
  previewField field;
  if (newField(state, &field) != kPreviewMore) return kPreviewError;
  int64_t rounding = 0;
  if (!parseNumber(parameter(parts, 2), 1, kPreviewMaxSide, 1, &field.thickness) ||
      !parseNumber(parameter(parts, 0), 0, kPreviewMaxSide, field.thickness, &field.boxWidth) ||
      !parseNumber(parameter(parts, 1), 0, kPreviewMaxSide, field.thickness, &field.boxHeight) ||
      !parseNumber(parameter(parts, 4), 0, 8, 0, &rounding))
    return fail(state, text({"the box \"", parameters, "\" has a size out of range"}));
  const std::string_view colour = parameter(parts, 3);
  if (colour != "" && colour != "B" && colour != "W")
    return fail(state, text({"the box colour \"", colour, "\" is neither B nor W"}));
  field.whiteBox = colour == "W";
  field.boxWidth = std::max(field.boxWidth, field.thickness);
  field.boxHeight = std::max(field.boxHeight, field.thickness);
  state->fields.push_back(field);
  return kPreviewMore;
}

// 'labelSize()' - the number of ^PW or ^LL.
int labelSize(previewState* state, std::string_view parameters, int64_t* value) {
  int64_t number = 0;
  if (!parseNumber(parameters, 1, kPreviewMaxSide, 0, &number) || number < 1)
    return fail(state, text({"\"", parameters, "\" is not a number of dots from 1 to ",
                             std::to_string(kPreviewMaxSide)}));
  *value = number;
  return kPreviewMore;
}

// 'fieldPosition()' - ^FO or ^FT x,y; the position holds for the fields up to ^FS.
int fieldPosition(previewState* state, std::string_view parameters, bool fromBottom) {
  const auto parts = splitParameters(parameters, state->syntax.delimiter, 3);
  if (!parseNumber(parameter(parts, 0), 0, kPreviewMaxSide, 0, &state->fieldX) ||
      !parseNumber(parameter(parts, 1), 0, kPreviewMaxSide, 0, &state->fieldY))
    return fail(state, text({"the field position \"", parameters, "\" is out of range"}));
  state->fromBottom = fromBottom;
  return kPreviewMore;
}

// 'endFormat()' - ^XZ: a label when the format drew a field, nothing when it drew none.
int endFormat(previewState* state) {
  state->inFormat = false;
  if (state->fields.empty()) return kPreviewMore;
  std::string message;
  if (previewDrawLabel(state, &message) != 0) return fail(state, message);
  clearFields(state);
  return kPreviewLabel;
}

// 'applyFormatCommand()' - a followed command of the format prefix, its parameters read.
int applyFormatCommand(previewState* state) {
  const std::string& name = state->name;
  const std::string_view parameters = withoutLineEnds(state->parameters);
  if (name == "ID") {
    // A name longer than the parameters kept was never stored.
    const auto found = state->graphics.find(graphicName(parameters));
    if (!state->overlong && found != state->graphics.end()) dropGraphic(state, found);
    return kPreviewMore;
  }
  const bool readsParameters = name != "XA" && name != "FS" && name != "XZ";
  if (readsParameters && state->overlong)
    return fail(state, text({"the parameters are longer than ", std::to_string(kPreviewMaxParameterBytes),
                             " bytes"}));
  if (name == "PW") return labelSize(state, parameters, &state->width);
  if (name == "LL") return labelSize(state, parameters, &state->length);
  if (name == "LR") {
    if (parameters != "Y" && parameters != "N")
      return fail(state, text({"reverse printing is set with Y or N, not \"", parameters, "\""}));
    state->reverse = parameters == "Y";
    return kPreviewMore;
  }
  if (name == "XA") {
    if (state->inFormat) return fail(state, "a label format starts inside another one");
    state->inFormat = true;
    clearFields(state);
    state->fieldX = state->fieldY = 0;
    state->fromBottom = false;
    return kPreviewMore;
  }
  if (!state->inFormat) return fail(state, text({"^", name, " stands outside a label format"}));
  if (name == "FO" || name == "FT") return fieldPosition(state, parameters, name == "FT");
  if (name == "XG") return recallGraphic(state, parameters);
  if (name == "GB") return drawBox(state, parameters);
  if (name == "FS") {
    state->fieldX = state->fieldY = 0;
    state->fromBottom = false;
    return kPreviewMore;
  }
  return endFormat(state);
}

// 'endCommand()' - the command being read ends (at a prefix or the end of the data): it takes effect.
int endCommand(previewState* state) {
  const previewPhase phase = state->phase;
  state->phase = previewPhase::between;
  if (phase == previewPhase::parameters) return applyFormatCommand(state);
  if (phase == previewPhase::downloadHeader)
    return fail(state, "the download needs a name, a byte count, row bytes and the graphic text");
  if (phase == previewPhase::downloadText) return finishDownload(state);
  return kPreviewMore;
}

// 'startReading()' - the command's name is complete: choose how its parameters are read.
void startReading(previewState* state) {
  const std::string& name = state->name;
  state->parameters.clear();
  state->overlong = false;
  if (name == "CC" || name == "CD" || name == "CT") {
    state->phase = previewPhase::syntaxCharacter;  // one character, which may well be a prefix
  } else if (state->prefix != state->syntax.format) {
    state->phase = name == "DG" ? previewPhase::downloadHeader : previewPhase::skipping;
  } else {
    const bool followed = std::find(std::begin(kFollowed), std::end(kFollowed), name) != std::end(kFollowed);
    state->phase = followed ? previewPhase::parameters : previewPhase::skipping;
  }
}

// 'changeSyntax()' - ~CC, ~CT or ~CD with its character.
void changeSyntax(previewState* state, char c) {
  const std::string& name = state->name;
  char& changed = name == "CC"   ? state->syntax.format
                  : name == "CT" ? state->syntax.control
                                 : state->syntax.delimiter;
  changed = c;
  state->phase = previewPhase::between;
}

// 'keepParameter()' - one more parameter byte, kept up to the limit; past it, blanks and line ends are
// dropped as the trailing ones they are, anything else marks the parameters as too long.
void keepParameter(previewState* state, char c) {
  if (state->parameters.size() < kPreviewMaxParameterBytes)
    state->parameters.push_back(c);
  else if (!isBlank(c) && !isLineEnd(c))
    state->overlong = true;
}

// 'headerCharacter()' - one character of a download's header; the third delimiter ends it.
int headerCharacter(previewState* state, char c) {
  if (c == state->syntax.delimiter &&
      std::count(state->parameters.begin(), state->parameters.end(), state->syntax.delimiter) == 2) {
    state->phase = previewPhase::downloadText;
    return startDownload(state);
  }
  if (state->parameters.size() >= kPreviewMaxParameterBytes)
    return fail(state, text({"the name, byte count and row bytes take more than ",
                             std::to_string(kPreviewMaxParameterBytes), " bytes"}));
  state->parameters.push_back(c);
  return kPreviewMore;
}

// 'feedBytes()' - previewFeed() without the memory guard.
int feedBytes(previewState* state, const unsigned char* bytes, size_t size, size_t* used) {
  const char* data = reinterpret_cast<const char*>(bytes);
  size_t at = 0;
  while (at < size) {
    const char c = data[at];
    const previewPhase phase = state->phase;
    if (phase == previewPhase::done) {
      at = size;  // the data has ended: nothing more is read
      break;
    }
    if (phase == previewPhase::name) {
      state->name.push_back(c);
      if (state->name.size() == 2) startReading(state);
    } else if (phase == previewPhase::syntaxCharacter) {
      changeSyntax(state, c);
    } else if (isPrefix(c, state->syntax)) {
      if (phase != previewPhase::between) {
        // The prefix is taken again, as the start of the next command, once this one took effect.
        const int status = endCommand(state);
        if (status != kPreviewMore) {
          *used = at;
          return status;
        }
        continue;
      }
      state->commandOffset = state->offset;
      state->prefix = c == kControlPrefixAlternative ? state->syntax.control : c;
      state->name.clear();
      state->phase = previewPhase::name;
    } else if (phase == previewPhase::parameters) {
      keepParameter(state, c);
    } else if (phase == previewPhase::downloadHeader) {
      if (headerCharacter(state, c) != kPreviewMore) return kPreviewError;
    } else if (phase == previewPhase::downloadText) {
      // The text runs to the next prefix; it is the bulk of the data, so it is swept in one loop.
      const previewSyntax syntax = state->syntax;
      size_t end = at;
      for (; end < size && !isPrefix(data[end], syntax); ++end)
        if (downloadCharacter(state, data[end]) != kPreviewMore) return kPreviewError;
      state->offset += end - at;
      at = end;
      continue;
    }
    ++at;
    ++state->offset;
  }
  *used = at;
  return kPreviewMore;
}

}  // namespace

int previewFeed(previewState* state, const unsigned char* bytes, size_t size, size_t* used,
                std::string* message) {
  *used = 0;
  if (state->failure.empty()) {
    try {
      const int status = feedBytes(state, bytes, size, used);
      if (status != kPreviewError) return status;
    } catch (const std::bad_alloc&) {
      fail(state, "not enough memory");
    }
  }
  *message = state->failure;
  return kPreviewError;
}

int previewFinish(previewState* state, std::string* message) {
  if (state->failure.empty()) {
    try {
      const previewPhase phase = state->phase;
      if (phase == previewPhase::name || phase == previewPhase::syntaxCharacter) {
        state->failure =
            text({"byte ", std::to_string(state->commandOffset), ": the data ends inside a command"});
      } else if (phase != previewPhase::between && phase != previewPhase::done) {
        const int status = endCommand(state);
        if (status != kPreviewError)
          return status == kPreviewLabel ? kPreviewLabel : previewFinish(state, message);
      } else if (state->inFormat) {
        state->failure = "the data ends inside a label format (no ^XZ)";
      } else {
        state->phase = previewPhase::done;
        return kPreviewMore;
      }
    } catch (const std::bad_alloc&) {
      fail(state, "not enough memory");
    }
  }
  *message = state->failure;
  return kPreviewError;
}
