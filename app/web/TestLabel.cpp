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

// 'drawBarcode()' - a Code 128 barcode of 'data' at (x, y), 'module' dots a module, 'height' dots high
// with its text beneath: false when it cannot be encoded or does not fit.
bool drawBarcode(greyImage* image, int x, int y, int module, int height, const std::string& data) {
  zint_symbol* symbol = ZBarcode_Create();
  if (symbol == nullptr) return false;
  symbol->symbology = BARCODE_CODE128;
  symbol->scale = static_cast<float>(module) / 2.0f;  // a scale of 0.5 is one pixel a module
  symbol->height = static_cast<float>(height) / static_cast<float>(module);
  symbol->output_options = BARCODE_QUIET_ZONES;
  bool drawn = ZBarcode_Encode(symbol, reinterpret_cast<const unsigned char*>(data.data()),
                               static_cast<int>(data.size())) < ZINT_ERROR &&
               ZBarcode_Buffer(symbol, 0) < ZINT_ERROR &&
               x + symbol->bitmap_width <= static_cast<int>(image->width);
  for (int row = 0; drawn && row < symbol->bitmap_height; ++row)
    for (int column = 0; column < symbol->bitmap_width; ++column)
      if (symbol->bitmap[(size_t(row) * symbol->bitmap_width + column) * 3] < 128)
        fill(image, x + column, y + row, 1, 1);
  ZBarcode_Delete(symbol);
  return drawn;
}

}  // namespace

std::string testLabelBarcode(const std::string& printerName) {
  std::string data;
  for (const char c : printerName)
    if (c > ' ' && c < 0x7f) data += c;
  return data.empty() ? "LABEL-TEST" : data.substr(0, 24);
}

bool drawTestLabel(const testLabelFacts& facts, greyImage* label) {
  const int dpi = facts.dpi, width = static_cast<int>(facts.width), height = static_cast<int>(facts.height);
  if (dpi <= 0 || width < 8 || height < 8) return false;
  label->width = facts.width;
  label->height = facts.height;
  label->pixels.assign(size_t(width) * height, 255);
  const auto mm = [dpi](double millimetres) { return static_cast<int>(millimetres * dpi / 25.4 + 0.5); };

  // The border, one dot inside each edge.
  fill(label, 1, 1, width - 2, 1);
  fill(label, 1, height - 2, width - 2, 1);
  fill(label, 1, 1, 1, height - 2);
  fill(label, width - 2, 1, 1, height - 2);

  typesetter type;
  const std::string font = fontFile();
  if (!font.empty() && FT_Init_FreeType(&type.library) == 0)
    FT_New_Face(type.library, font.c_str(), 0, &type.face);
  const int margin = mm(2), line = mm(3.5), big = mm(2.8), small = mm(2);
  int y = margin + big;
  write(type, label, margin, y, big, facts.name);
  y += line;
  write(type, label, margin, y, small, facts.model);
  y += line;
  const std::string speed =
      facts.speedInches > 0 ? std::to_string(facts.speedInches) + " in/s" : "printer's own";
  write(type, label, margin, y, small,
        std::to_string(dpi) + " dpi, darkness " + std::to_string(facts.darkness) + "%, speed " + speed);
  y += line;
  char size[96];
  std::snprintf(size, sizeof size, "label %.1f x %.1f mm (%d x %d dots)", width * 25.4 / dpi,
                height * 25.4 / dpi, width, height);
  write(type, label, margin, y, small, size);
  y += mm(2);

  // The ruler: a tick each millimetre, longer each 5 and 10, numbered each 10.
  const int rulerTop = y;
  fill(label, margin, rulerTop, width - 2 * margin, 1);
  for (int i = 0; margin + mm(i) < width - margin; ++i) {
    const int tick = i % 10 == 0 ? mm(3) : i % 5 == 0 ? mm(2) : mm(1);
    fill(label, margin + mm(i), rulerTop, 1, tick);
    if (i % 10 == 0 && i > 0)
      write(type, label, margin + mm(i) + 2, rulerTop + mm(3), small, std::to_string(i));
  }
  y = rulerTop + mm(5);

  // The ladder: lines 1 to 4 dots thick with gaps as wide, across and along the head.
  int x = margin;
  for (int thickness = 1; thickness <= 4 && x < width - margin; ++thickness) {
    for (int i = 0; i < 4; ++i) fill(label, x + 2 * thickness * i, y, thickness, mm(5));
    for (int i = 0; i < 4; ++i)
      fill(label, x + 8 * thickness + mm(1), y + 2 * thickness * i, mm(5), thickness);
    x += 8 * thickness + mm(7);
  }
  y += mm(7);

  // The barcode, as wide a module as the label allows, from 3 dots down to 1.
  const int barHeight = std::min(mm(10), height - y - mm(6));
  for (int module = std::max(1, dpi / 100); module >= 1; --module)
    if (barHeight > mm(3) && drawBarcode(label, margin, y, module, barHeight, testLabelBarcode(facts.name)))
      break;
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
