// SPDX-License-Identifier: Apache-2.0
#include "LabelPages.h"

#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr double kLabelWidthPt = 288;   // 4 in
constexpr double kLabelHeightPt = 432;  // 6 in

uint64_t paddedRowBytes(unsigned width) { return ((static_cast<uint64_t>(width) + 31) >> 5) << 2; }
uint64_t paddedRows(unsigned height) { return (static_cast<uint64_t>(height) + 31) & ~uint64_t{31}; }

uint32_t nextRandom(uint32_t* state) {
  uint32_t x = *state;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  *state = x;
  return x;
}

// A drawing surface in points (1/72 in), origin at the top left, painting whole dots.
struct canvas {
  benchPage* page;
  unsigned width;   // dots
  unsigned height;  // dots
  double dotsPerPoint;
};

// 'fillRect()' - set every dot whose centre lies in the rectangle.
void fillRect(const canvas& c, double x, double y, double w, double h) {
  const auto toDot = [&](double pt, unsigned limit) {
    const long dot = std::lround(pt * c.dotsPerPoint);
    return static_cast<unsigned>(dot < 0 ? 0 : (dot > static_cast<long>(limit) ? limit : dot));
  };
  const unsigned x0 = toDot(x, c.width), x1 = toDot(x + w, c.width);
  const unsigned y0 = toDot(y, c.height), y1 = toDot(y + h, c.height);
  for (unsigned yy = y0; yy < y1; ++yy) {
    unsigned char* row = c.page->bitmap.data() + yy * c.page->rowBytes;
    for (unsigned xx = x0; xx < x1; ++xx) row[xx >> 3] |= static_cast<unsigned char>(0x80 >> (xx & 7));
  }
}

void box(const canvas& c, double x, double y, double w, double h, double line) {
  fillRect(c, x, y, w, line);
  fillRect(c, x, y + h - line, w, line);
  fillRect(c, x, y, line, h);
  fillRect(c, x + w - line, y, line, h);
}

// 'segmentDistance()' - distance of the point (px, py) from the segment (ax, ay)-(bx, by).
double segmentDistance(double px, double py, double ax, double ay, double bx, double by) {
  const double dx = bx - ax, dy = by - ay;
  const double lengthSquared = dx * dx + dy * dy;
  double t = lengthSquared == 0 ? 0 : ((px - ax) * dx + (py - ay) * dy) / lengthSquared;
  t = t < 0 ? 0 : (t > 1 ? 1 : t);
  const double ex = px - (ax + t * dx), ey = py - (ay + t * dy);
  return std::sqrt(ex * ex + ey * ey);
}

// 'text()' - a line of text 'size' points high. Each character is drawn as three to five strokes between
// points of a 3 x 4 grid, chosen from its code (a blank for the space): straight and slanted edges make
// neighbouring rows differ as they do in printed text.
void text(const canvas& c, const std::string& line, double x, double y, double size) {
  const double glyphWidth = 0.55 * size, glyphHeight = 0.72 * size, stroke = 0.14 * size;
  for (const char ch : line) {
    if (ch != ' ') {
      uint32_t state = 0x9E3779B9u ^ static_cast<unsigned char>(ch) * 2654435761u;
      double segments[5][4];
      const int count = 3 + static_cast<int>(nextRandom(&state) % 3);
      for (int k = 0; k < count; ++k) {
        const uint32_t r = nextRandom(&state);
        segments[k][0] = x + (r % 3) * glyphWidth / 2;
        segments[k][1] = y + ((r >> 4) % 4) * glyphHeight / 3;
        segments[k][2] = x + ((r >> 8) % 3) * glyphWidth / 2;
        segments[k][3] = y + ((r >> 12) % 4) * glyphHeight / 3;
      }
      const double step = 1 / c.dotsPerPoint;
      for (double py = y - stroke; py < y + glyphHeight + stroke; py += step) {
        for (double px = x - stroke; px < x + glyphWidth + stroke; px += step) {
          bool ink = false;
          for (int k = 0; k < count && !ink; ++k)
            ink = segmentDistance(px, py, segments[k][0], segments[k][1], segments[k][2], segments[k][3]) <=
                  stroke / 2;
          if (ink) fillRect(c, px - step / 2, py - step / 2, step, step);
        }
      }
    }
    x += 0.75 * size;
  }
}

// 'barcode()' - interleaved 2 of 5 of an even number of digits: narrow 1.2 pt, wide 3 pt elements.
void barcode(const canvas& c, const std::string& digits, double x, double y, double height) {
  static const char* const patterns[] = {"00110", "10001", "01001", "11000", "00101",
                                         "10100", "01100", "00011", "10010", "01010"};
  const auto element = [&](bool wide, bool bar) {
    const double w = wide ? 3.0 : 1.2;
    if (bar) fillRect(c, x, y, w, height);
    x += w;
  };
  for (int i = 0; i < 4; ++i) element(false, i % 2 == 0);
  for (size_t i = 0; i + 1 < digits.size(); i += 2) {
    const char* a = patterns[digits[i] - '0'];
    const char* b = patterns[digits[i + 1] - '0'];
    for (int k = 0; k < 5; ++k) {
      element(a[k] == '1', true);
      element(b[k] == '1', false);
    }
  }
  element(true, true);
  element(false, false);
  element(false, true);
}

// 'matrixCode()' - 29 x 29 modules of 'module' points: three finder squares, the rest pseudo-random.
void matrixCode(const canvas& c, double x, double y, double module, uint32_t seed) {
  uint32_t state = seed * 2654435761u + 12345;
  const auto finder = [&](double fx, double fy) {
    box(c, fx, fy, 7 * module, 7 * module, module);
    fillRect(c, fx + 2 * module, fy + 2 * module, 3 * module, 3 * module);
  };
  for (int r = 0; r < 29; ++r) {
    for (int q = 0; q < 29; ++q) {
      const bool inFinder = (r < 8 && q < 8) || (r < 8 && q > 20) || (r > 20 && q < 8);
      if (!inFinder && (nextRandom(&state) & 0x100) != 0)
        fillRect(c, x + q * module, y + r * module, module, module);
    }
  }
  finder(x, y);
  finder(x + 22 * module, y);
  finder(x, y + 22 * module);
}

// 'readPbmNumber()' - the next number of a PBM header, past blanks and comments, and the one blank after it.
bool readPbmNumber(FILE* in, unsigned* value) {
  int ch = std::fgetc(in);
  while (ch == '#' || (ch != EOF && std::isspace(ch))) {
    if (ch == '#')
      while (ch != EOF && ch != '\n') ch = std::fgetc(in);
    ch = std::fgetc(in);
  }
  if (ch == EOF || !std::isdigit(ch)) return false;
  *value = 0;
  for (; ch != EOF && std::isdigit(ch); ch = std::fgetc(in))
    *value = *value * 10 + static_cast<unsigned>(ch - '0');
  return ch != EOF && std::isspace(ch);
}

std::string number(uint32_t* state, int digits) {
  std::string s;
  for (int i = 0; i < digits; ++i) s.push_back(static_cast<char>('0' + nextRandom(state) % 10));
  return s;
}

}  // namespace

benchPage emptyPage(unsigned width, unsigned height, unsigned char fill) {
  benchPage page{paddedRowBytes(width), paddedRows(height), {}};
  page.bitmap.assign(page.rowBytes * page.rows, fill);
  return page;
}

benchPage labelPage(unsigned dpi, uint32_t variant) {
  const unsigned width = static_cast<unsigned>(std::lround(4.0 * dpi));
  const unsigned height = static_cast<unsigned>(std::lround(6.0 * dpi));
  benchPage page = emptyPage(width, height, 0x00);
  const canvas c{&page, width, height, dpi / 72.0};
  uint32_t state = variant * 2246822519u + 1;

  // Frame, rules and the sender / date split.
  box(c, 6, 6, kLabelWidthPt - 12, kLabelHeightPt - 12, 2);
  for (const double y : {102.0, 202.0, 312.0}) fillRect(c, 6, y, kLabelWidthPt - 12, 2);
  fillRect(c, 150, 6, 2, 96);

  // Sender block and shipment details.
  text(c, "FROM", 12, 12, 7);
  const char* const sender[] = {"NORTHWIND PARTS LTD", "14 HARBOUR ROAD, UNIT 3", "LEEDS LS1 4AB",
                                "UNITED KINGDOM", "TEL 0113 496 "};
  for (int i = 0; i < 5; ++i) {
    std::string line = sender[i];
    if (i == 4) line += number(&state, 4);
    text(c, line, 12, 24 + 11 * i, 8);
  }
  text(c, "SHIP DATE: " + number(&state, 2) + " DEC 2026", 156, 14, 8);
  text(c, "WEIGHT: " + number(&state, 1) + "." + number(&state, 1) + " KG", 156, 26, 8);
  text(c, "DIMS: 30 X 20 X 15 CM", 156, 38, 8);
  text(c, "REF: PO-" + number(&state, 5), 156, 50, 8);
  text(c, "1 OF 1", 156, 68, 16);

  // Recipient in large type.
  text(c, "SHIP TO", 12, 108, 8);
  text(c, "MARIA GONZALEZ " + number(&state, 2), 20, 120, 16);
  text(c, "RECEIVING DOCK " + number(&state, 1), 20, 142, 12);
  text(c, number(&state, 4) + " INDUSTRIAL PARKWAY", 20, 158, 12);
  text(c, "SPRINGFIELD OR " + number(&state, 5), 20, 176, 16);

  // Service, routing box and barcode.
  text(c, "PRIORITY", 12, 208, 20);
  box(c, 192, 208, 84, 40, 3);
  text(c, "P", 220, 214, 28);
  text(c, "ROUTE " + number(&state, 1) + " - ZONE C", 12, 236, 10);
  text(c, "SORT: SPR-" + number(&state, 2), 12, 250, 10);
  const std::string tracking = number(&state, 14);
  barcode(c, tracking, 34, 258, 40);
  text(c, "TRACKING " + tracking, 40, 302, 8);

  // Contents, 2D code and signature box.
  matrixCode(c, 180, 322, 3, variant);
  text(c, "CONTENTS: SPARE PARTS", 12, 326, 9);
  text(c, "HANDLE WITH CARE", 12, 340, 9);
  text(c, "THIS SIDE UP", 12, 354, 9);
  box(c, 14, 376, 150, 36, 1);
  text(c, "SIGNATURE REQUIRED", 20, 380, 8);
  return page;
}

benchPage noisePage(unsigned dpi, uint32_t seed) {
  benchPage page = emptyPage(static_cast<unsigned>(std::lround(4.0 * dpi)),
                             static_cast<unsigned>(std::lround(6.0 * dpi)), 0x00);
  uint32_t state = seed * 2654435761u + 1;
  for (auto& byte : page.bitmap) byte = static_cast<unsigned char>(nextRandom(&state) >> 24);
  return page;
}

bool renderSamplePage(const std::string& psPath, unsigned dpi, benchPage* page) {
  const unsigned width = static_cast<unsigned>(std::lround(4.0 * dpi));
  const unsigned height = static_cast<unsigned>(std::lround(6.0 * dpi));
  char pbmPath[] = "/tmp/labelbench-XXXXXX";
  const int fd = mkstemp(pbmPath);
  if (fd < 0) return false;
  close(fd);
  const std::string command = "gs -q -dSAFER -dNOPAUSE -dBATCH -sDEVICE=pbmraw -r" + std::to_string(dpi) +
                              " -g" + std::to_string(width) + "x" + std::to_string(height) +
                              " -sOutputFile=" + pbmPath + " '" + psPath + "' >/dev/null 2>&1";
  bool ok = std::system(command.c_str()) == 0;

  FILE* in = ok ? std::fopen(pbmPath, "rb") : nullptr;
  unsigned w = 0, h = 0;
  ok = in != nullptr && std::fgetc(in) == 'P' && std::fgetc(in) == '4' && readPbmNumber(in, &w) &&
       readPbmNumber(in, &h) && w == width && h == height;
  if (ok) {
    *page = emptyPage(width, height, 0x00);
    const size_t lineBytes = (width + 7) / 8;
    for (unsigned y = 0; ok && y < height; ++y)
      ok = std::fread(page->bitmap.data() + y * page->rowBytes, 1, lineBytes, in) == lineBytes;
  }
  if (in != nullptr) std::fclose(in);
  std::remove(pbmPath);
  return ok;
}
