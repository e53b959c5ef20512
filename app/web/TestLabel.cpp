// SPDX-License-Identifier: Apache-2.0
// The test label, drawn for whatever label is loaded: what the printer is and how it is set, a border
// one dot inside the label's edges (where the label sits under the head), a millimetre ruler (whether
// the size is right), a ladder of fine lines (whether every dot prints) and a Code 128 barcode (whether
// the darkness lets it scan). Text is set with FreeType in the system's sans-serif font, found
// through fontconfig; the barcode is encoded by libzint and drawn a whole number of dots a module.
#include <fcntl.h>
#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include <png.h>
#include <unistd.h>
#include <zint.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/web/web.h"

namespace {

void fill(greyImage* image, int x, int y, int width, int height) {
  const int x0 = std::max(x, 0), y0 = std::max(y, 0);
  const int x1 = std::min<int>(x + width, static_cast<int>(image->width));
  const int y1 = std::min<int>(y + height, static_cast<int>(image->height));
  for (int row = y0; row < y1; ++row)
    for (int column = x0; column < x1; ++column) image->pixels[size_t(row) * image->width + column] = 0;
}

// 'fontFile()' - the file of the system's bold sans-serif font, "" when there is none.
std::string fontFile() {
  FcConfig* config = FcInitLoadConfigAndFonts();
  if (config == nullptr) return "";
  std::string file;
  FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>("sans-serif:bold"));
  FcConfigSubstitute(config, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult result;
  if (FcPattern* match = FcFontMatch(config, pattern, &result)) {
    FcChar8* path = nullptr;
    if (FcPatternGetString(match, FC_FILE, 0, &path) == FcResultMatch) file = reinterpret_cast<char*>(path);
    FcPatternDestroy(match);
  }
  FcPatternDestroy(pattern);
  FcConfigDestroy(config);
  return file;
}

// A typesetter: one face at one size, black glyphs without grey edges.
struct typesetter {
  FT_Library library = nullptr;
  FT_Face face = nullptr;
  ~typesetter() {
    if (face != nullptr) FT_Done_Face(face);
    if (library != nullptr) FT_Done_FreeType(library);
  }
};

// 'write()' - set 'text' with its baseline at y, from x, 'pixels' high: the x after it.
int write(typesetter& type, greyImage* image, int x, int y, int pixels, const std::string& text) {
  if (type.face == nullptr || FT_Set_Pixel_Sizes(type.face, 0, static_cast<FT_UInt>(pixels)) != 0) return x;
  for (const unsigned char c : text) {
    if (FT_Load_Char(type.face, c < 0x80 ? c : '?', FT_LOAD_RENDER | FT_LOAD_TARGET_MONO) != 0) continue;
    const FT_GlyphSlot glyph = type.face->glyph;
    const FT_Bitmap& bits = glyph->bitmap;
    for (unsigned row = 0; row < bits.rows; ++row)
      for (unsigned column = 0; column < bits.width; ++column)
        if (bits.buffer[row * bits.pitch + column / 8] & (0x80 >> (column % 8)))
          fill(image, x + glyph->bitmap_left + static_cast<int>(column),
               y - glyph->bitmap_top + static_cast<int>(row), 1, 1);
    x += static_cast<int>(glyph->advance.x >> 6);
  }
  return x;
}

// 'measure()' - how wide 'text' sets 'pixels' high, in dots; -1 without a font.
int measure(typesetter& type, int pixels, const std::string& text) {
  if (type.face == nullptr || FT_Set_Pixel_Sizes(type.face, 0, static_cast<FT_UInt>(pixels)) != 0) return -1;
  int width = 0;
  for (const unsigned char c : text)
    if (FT_Load_Char(type.face, c < 0x80 ? c : '?', FT_LOAD_DEFAULT | FT_LOAD_TARGET_MONO) == 0)
      width += static_cast<int>(type.face->glyph->advance.x >> 6);
  return width;
}

// 'wrap()' - 'text' in lines no wider than 'width' dots, broken between words; a word wider than a line
// alone loses its last characters. None without a font, or when not one character fits.
std::vector<std::string> wrap(typesetter& type, int pixels, const std::string& text, int width) {
  std::vector<std::string> lines;
  std::string line, word;
  const auto fits = [&](const std::string& t) {
    const int w = measure(type, pixels, t);
    return w >= 0 && w <= width;
  };
  const auto place = [&](std::string w) {
    if (w.empty()) return true;
    if (!line.empty() && fits(line + " " + w)) {
      line += " " + w;
      return true;
    }
    if (!line.empty()) lines.push_back(line);
    while (!w.empty() && !fits(w)) w.pop_back();
    line = w;
    return !w.empty();
  };
  for (const char c : text + " ") {
    if (c != ' ') {
      word += c;
      continue;
    }
    if (!place(word)) return {};
    word.clear();
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

// 'code128()' - the modules of a Code 128 symbol of 'data' as libzint encodes it, true for a bar; none
// when it cannot be encoded.
std::vector<bool> code128(const std::string& data) {
  std::vector<bool> modules;
  zint_symbol* symbol = ZBarcode_Create();
  if (symbol == nullptr) return modules;
  symbol->symbology = BARCODE_CODE128;
  if (ZBarcode_Encode(symbol, reinterpret_cast<const unsigned char*>(data.data()),
                      static_cast<int>(data.size())) < ZINT_ERROR &&
      symbol->rows >= 1)
    for (int i = 0; i < symbol->width && i < 144 * 8; ++i)
      modules.push_back((symbol->encoded_data[0][i / 8] >> (i % 8)) & 1);
  ZBarcode_Delete(symbol);
  return modules;
}

// A part of the label above the barcode or beneath it: its height, and whether it is drawn.
struct part {
  int height = 0;
  bool placed = false;
};

}  // namespace

std::string testLabelBarcode(const std::string& printerName) {
  std::string data;
  for (const char c : printerName)
    if (c > ' ' && c < 0x7f) data += c;
  return data.empty() ? "LABEL-TEST" : data.substr(0, 24);
}

bool drawTestLabel(const testLabelFacts& facts, greyImage* label, testLabelLayout* layout) {
  const int dpi = facts.dpi, width = static_cast<int>(facts.width), height = static_cast<int>(facts.height);
  if (dpi <= 0 || width < 8 || height < 8 || facts.width > 1'000'000 || facts.height > 1'000'000)
    return false;
  const auto mm = [dpi](double millimetres) { return static_cast<int>(millimetres * dpi / 25.4 + 0.5); };
  testLabelLayout at;

  // Small labels keep narrower margins and gaps between the parts.
  at.margin = std::min(width, height) >= mm(20) ? mm(2) : std::max(3, mm(1));
  const int gap = height >= mm(40) ? mm(2) : mm(1);
  const int right = width - at.margin, room = height - 2 * at.margin;

  // The barcode with its quiet zones between the border's lines (dots 2 to width - 3): the whole name at
  // the widest module that fits, about a quarter of a millimetre at most; else one dot a module and as
  // many of the name's first characters as fit.
  constexpr int kQuiet = 10;
  std::string data = testLabelBarcode(facts.name);
  std::vector<bool> bars = code128(data);
  for (at.module = std::max(1, dpi / 100); at.module > 1; --at.module)
    if ((static_cast<int>(bars.size()) + 2 * kQuiet) * at.module <= width - 4) break;
  while (data.size() > 1 && (static_cast<int>(bars.size()) + 2 * kQuiet) * at.module > width - 4) {
    data.pop_back();
    bars = code128(data);
  }
  at.barWidth = static_cast<int>(bars.size()) * at.module;
  if (bars.empty() || at.barWidth + 2 * kQuiet * at.module > width - 4 || room < 4) return false;
  at.barcode = data;
  at.barX = std::max(at.margin, 2 + kQuiet * at.module);
  if (at.barX + at.barWidth + kQuiet * at.module > width - 2)
    at.barX = width - 2 - at.barWidth - kQuiet * at.module;

  typesetter type;
  const std::string font = fontFile();
  if (!font.empty() && FT_Init_FreeType(&type.library) == 0)
    FT_New_Face(type.library, font.c_str(), 0, &type.face);
  const int big = mm(2.8), small = mm(2);
  const int bigLine = mm(3.5), smallLine = mm(2.8);

  // The words, each wrapped to the label's width.
  const std::string speed =
      facts.speedInches > 0 ? std::to_string(facts.speedInches) + " in/s" : "printer's own";
  char size[96];
  std::snprintf(size, sizeof size, "label %.1f x %.1f mm (%d x %d dots)", width * 25.4 / dpi,
                height * 25.4 / dpi, width, height);
  const std::vector<std::string> name = wrap(type, big, facts.name, right - at.margin);
  const std::vector<std::string> model = wrap(type, small, facts.model, right - at.margin);
  const std::vector<std::string> settings =
      wrap(type, small,
           std::to_string(dpi) + " dpi, darkness " + std::to_string(facts.darkness) + "%, speed " + speed,
           right - at.margin);
  const std::vector<std::string> sizeText = wrap(type, small, size, right - at.margin);
  const int barTextWidth = measure(type, small, data);

  // The ladder's steps that fit across: lines 1 to 4 dots thick with gaps as wide, across the head,
  // then along it.
  const int ladderBlock = mm(5), ladderHeight = std::max(mm(5), 28);
  const auto stepWidth = [&](int thickness) { return 8 * thickness + mm(1) + ladderBlock; };
  for (int x = at.margin; at.ladderSteps < 4 && x + stepWidth(at.ladderSteps + 1) <= right;
       x += stepWidth(at.ladderSteps) + mm(1))
    ++at.ladderSteps;

  // What fits, by priority: the barcode 4 mm high (or as high as the label allows), the ladder, 2 mm
  // more of barcode, then each other part whole while there is room; what is left makes the barcode
  // taller, up to a centimetre.
  part barcode{std::min(mm(4), room), true}, ladder{ladderHeight}, nameLines{int(name.size()) * bigLine},
      ruler{mm(3)}, settingsLines{int(settings.size()) * smallLine},
      sizeLines{int(sizeText.size()) * smallLine}, barText{mm(3)}, modelLines{int(model.size()) * smallLine};
  // The words are one block, a gap after it, its lines one beneath the other.
  int used = barcode.height;
  bool words = false;
  const auto take = [&](part& p, bool possible, bool word = false) {
    const int needed = p.height + (word && words ? 0 : gap);
    if (possible && p.height > 0 && used + needed <= room) {
      p.placed = true;
      used += needed;
      words = words || word;
    }
  };
  take(ladder, at.ladderSteps > 0);
  const int taller = std::max(0, std::min(mm(6) - barcode.height, room - used));  // easier to scan
  barcode.height += taller;
  used += taller;
  take(nameLines, true, true);
  take(ruler, right - at.margin >= mm(5));
  take(settingsLines, true, true);
  take(sizeLines, true, true);
  take(barText, barTextWidth >= 0 && barTextWidth <= right - at.margin);
  take(modelLines, true, true);
  barcode.height = std::min(std::max(barcode.height, mm(10)), barcode.height + room - used);
  if (!ladder.placed) at.ladderSteps = 0;
  at.ruler = ruler.placed;
  at.barcodeText = barText.placed;
  at.barHeight = barcode.height;

  label->width = facts.width;
  label->height = facts.height;
  label->pixels.assign(size_t(width) * height, 255);

  // The border, one dot inside each edge.
  fill(label, 1, 1, width - 2, 1);
  fill(label, 1, height - 2, width - 2, 1);
  fill(label, 1, 1, 1, height - 2);
  fill(label, width - 2, 1, 1, height - 2);

  // The words: the name, the model, the settings and the size, as many as were placed.
  int y = at.margin;
  const auto lines = [&](const part& p, const std::vector<std::string>& text, int pixels, int pitch) {
    if (!p.placed) return;
    for (const std::string& line : text) {
      write(type, label, at.margin, y + pixels, pixels, line);
      y += pitch;
      ++at.textLines;
    }
  };
  lines(nameLines, name, big, bigLine);
  lines(modelLines, model, small, smallLine);
  lines(settingsLines, settings, small, smallLine);
  lines(sizeLines, sizeText, small, smallLine);
  if (words) y += gap;

  // The ruler: a tick each millimetre, longer each 5 and 10, numbered each 10 where the number fits.
  if (ruler.placed) {
    fill(label, at.margin, y, right - at.margin, 1);
    for (int i = 0; at.margin + mm(i) < right; ++i) {
      const int tick = i % 10 == 0 ? mm(3) : i % 5 == 0 ? mm(2) : mm(1);
      fill(label, at.margin + mm(i), y, 1, tick);
      const std::string number = std::to_string(i);
      if (i % 10 == 0 && i > 0 && at.margin + mm(i) + 2 + measure(type, small, number) <= right)
        write(type, label, at.margin + mm(i) + 2, y + mm(3), small, number);
    }
    y += ruler.height + gap;
  }

  // The ladder: lines 1 to 4 dots thick with gaps as wide, across and along the head.
  if (ladder.placed) {
    int x = at.margin;
    for (int thickness = 1; thickness <= at.ladderSteps; ++thickness) {
      for (int i = 0; i < 4; ++i) fill(label, x + 2 * thickness * i, y, thickness, ladderBlock);
      for (int i = 0; i < 4; ++i)
        fill(label, x + 8 * thickness + mm(1), y + 2 * thickness * i, ladderBlock, thickness);
      x += stepWidth(thickness) + mm(1);
    }
    y += ladder.height + gap;
  }

  // The barcode, a whole number of dots a module, and its text centred beneath it.
  at.barY = y;
  for (size_t i = 0; i < bars.size(); ++i)
    if (bars[i]) fill(label, at.barX + static_cast<int>(i) * at.module, y, at.module, at.barHeight);
  y += at.barHeight + gap;
  if (barText.placed) write(type, label, at.barX + (at.barWidth - barTextWidth) / 2, y + small, small, data);

  if (layout != nullptr) *layout = at;
  return true;
}

const char* writeTestLabel(pappl_printer_t* printer, char* buffer, size_t size) {
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  const pappl_media_col_t& ready = data.media_ready[0];
  testLabelFacts facts;
  facts.name = papplPrinterGetName(printer);
  facts.model = data.make_and_model;
  facts.dpi = data.x_default > 0 ? data.x_default : 203;
  facts.width = static_cast<uint32_t>(ready.size_width * int64_t{facts.dpi} / 2540);
  facts.height = static_cast<uint32_t>(ready.size_length * int64_t{facts.dpi} / 2540);
  facts.darkness = data.darkness_configured;
  facts.speedInches = data.speed_default / 2540;
  greyImage label;
  if (!drawTestLabel(facts, &label)) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "The loaded label is too small for a test label.");
    return nullptr;
  }
  const printerLink* link = linkOf(printer);
  if (link == nullptr || link->config == nullptr) return nullptr;
  std::snprintf(buffer, size, "%s/test-label-%d-XXXXXX", link->config->spoolFolder.c_str(),
                papplPrinterGetID(printer));
  const int fd = mkstemp(buffer);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "wb");
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = label.width;
  image.height = label.height;
  image.format = PNG_FORMAT_GRAY;
  const bool written =
      file != nullptr && png_image_write_to_stdio(&image, file, 0, label.pixels.data(), 0, nullptr);
  if (file != nullptr)
    std::fclose(file);
  else
    close(fd);
  if (!written) {
    unlink(buffer);
    papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "Unable to write the test label.");
    return nullptr;
  }
  return buffer;
}
