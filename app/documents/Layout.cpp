// SPDX-License-Identifier: Apache-2.0
// A page onto the label: where the ink is, how much of the page is shown and at what scale, turned or
// not, and the dots drawn from the page's pixels. The same rules place a PDF page, a PNG and a JPEG.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "app/documents/documents.h"

namespace {

// Darker than this is ink.
inline constexpr unsigned char kInkLevel = 128;
// A page whose ink covers at most this share of it, and that is kSheetAreas times the label or more,
// is a label on a larger sheet: with automatic scaling only the box around its ink is printed.
inline constexpr double kInkShare = 0.5;
// The margin kept around the ink, in inches, and the tolerance of "the label's size", in inches.
inline constexpr double kInkMargin = 0.04;
inline constexpr double kSizeTolerance = 0.04;
// Mid-tones (neither near-black nor near-white) make a photograph when they cover this share of a label.
inline constexpr unsigned char kMidToneLow = 64, kMidToneHigh = 191;
inline constexpr double kPhotographShare = 0.125;
// A dot drawn from a smaller source averages at most this many of its pixels each way.
inline constexpr int kMaxSamples = 4;

}  // namespace

inkBox findInk(const greyImage& image) {
  uint32_t left = image.width, right = 0, top = image.height, bottom = 0;
  for (uint32_t y = 0; y < image.height; ++y) {
    const unsigned char* row = image.pixels.data() + size_t{y} * image.width;
    for (uint32_t x = 0; x < image.width; ++x)
      if (row[x] < kInkLevel) {
        left = std::min(left, x), right = std::max(right, x);
        top = std::min(top, y), bottom = std::max(bottom, y);
      }
  }
  if (left > right) return {0, 0, 0, 0};
  return {double(left), double(top), double(right - left + 1), double(bottom - top + 1)};
}

placement placePage(double pageWidth, double pageHeight, double unitsPerInch, const inkBox& ink,
                    uint32_t labelWidth, uint32_t labelHeight, int dpi, pappl_scaling_t scaling) {
  placement p{};
  p.cropX = 0, p.cropY = 0, p.cropWidth = pageWidth, p.cropHeight = pageHeight;
  const double labelInches = double(labelWidth) * labelHeight / (double(dpi) * dpi);
  const bool automatic = scaling == PAPPL_SCALING_AUTO || scaling == PAPPL_SCALING_AUTO_FIT;
  const bool sheet = scaling == PAPPL_SCALING_AUTO && ink.width > 0 && ink.height > 0 &&
                     pageWidth * pageHeight >= kSheetAreas * labelInches * unitsPerInch * unitsPerInch &&
                     ink.width * ink.height <= kInkShare * pageWidth * pageHeight;
  if (sheet) {
    const double margin = kInkMargin * unitsPerInch;
    p.cropX = std::max(0.0, ink.x - margin), p.cropY = std::max(0.0, ink.y - margin);
    p.cropWidth = std::min(pageWidth, ink.x + ink.width + margin) - p.cropX;
    p.cropHeight = std::min(pageHeight, ink.y + ink.height + margin) - p.cropY;
  }
  // Turned a quarter when the page's orientation is not the label's.
  p.rotate = p.cropWidth != p.cropHeight && labelWidth != labelHeight &&
             (p.cropWidth > p.cropHeight) != (labelWidth > labelHeight);
  const double across = (p.rotate ? p.cropHeight : p.cropWidth) / unitsPerInch * dpi;  // dots at 1:1
  const double down = (p.rotate ? p.cropWidth : p.cropHeight) / unitsPerInch * dpi;
  const double fit = std::min(labelWidth / across, labelHeight / down);
  const double fill = std::max(labelWidth / across, labelHeight / down);
  const double tolerance = kSizeTolerance * dpi;
  double scale = 1;
  if (scaling == PAPPL_SCALING_FIT || sheet ||
      (automatic && (across > labelWidth + tolerance || down > labelHeight + tolerance)))
    scale = fit;
  else if (scaling == PAPPL_SCALING_FILL)
    scale = fill;
  p.dotsPerUnit = scale * dpi / unitsPerInch;
  // What the label shows: the page's middle, when it is larger than the label.
  const double shownAcross = std::min(across * scale, double(labelWidth));
  const double shownDown = std::min(down * scale, double(labelHeight));
  const double keepX = (p.rotate ? shownDown : shownAcross) / p.dotsPerUnit;
  const double keepY = (p.rotate ? shownAcross : shownDown) / p.dotsPerUnit;
  p.cropX += (p.cropWidth - keepX) / 2, p.cropWidth = keepX;
  p.cropY += (p.cropHeight - keepY) / 2, p.cropHeight = keepY;
  p.width = std::max<uint32_t>(1, uint32_t(std::lround(shownAcross)));
  p.height = std::max<uint32_t>(1, uint32_t(std::lround(shownDown)));
  p.width = std::min(p.width, labelWidth), p.height = std::min(p.height, labelHeight);
  p.left = (labelWidth - p.width) / 2, p.top = (labelHeight - p.height) / 2;
  return p;
}

void drawOnLabel(const greyImage& source, double sourceX, double sourceY, double dotsPerPixel,
                 const placement& p, greyImage* label) {
  if (source.width == 0 || source.height == 0 || dotsPerPixel <= 0) return;
  // The shown part unturned, in dots: a dot (u, v) of it covers the source pixels from
  // (sourceX + u / dotsPerPixel, sourceY + v / dotsPerPixel) to the next dot's.
  const uint32_t unturnedHeight = p.rotate ? p.width : p.height;
  const double step = 1 / dotsPerPixel;
  const int samples = std::clamp(int(std::ceil(step)), 1, kMaxSamples);
  const auto pixel = [&](double x, double y) {
    const uint32_t px = uint32_t(std::clamp(x, 0.0, double(source.width - 1)));
    const uint32_t py = uint32_t(std::clamp(y, 0.0, double(source.height - 1)));
    return source.pixels[size_t{py} * source.width + px];
  };
  // A part already at the label's scale and way up is copied row by row.
  if (!p.rotate && dotsPerPixel == 1 && sourceX == 0 && sourceY == 0 && source.width >= p.width &&
      source.height >= p.height) {
    for (uint32_t y = 0; y < p.height && p.top + y < label->height; ++y)
      std::memcpy(label->pixels.data() + size_t{p.top + y} * label->width + p.left,
                  source.pixels.data() + size_t{y} * source.width, std::min(p.width, label->width - p.left));
    return;
  }
  for (uint32_t oy = 0; oy < p.height && p.top + oy < label->height; ++oy) {
    unsigned char* row = label->pixels.data() + size_t{p.top + oy} * label->width + p.left;
    for (uint32_t ox = 0; ox < p.width && p.left + ox < label->width; ++ox) {
      // Turned a quarter clockwise: the label's top left is the page's bottom left.
      const double u = p.rotate ? oy : ox;
      const double v = p.rotate ? unturnedHeight - 1 - ox : oy;
      unsigned sum = 0;
      for (int j = 0; j < samples; ++j)
        for (int i = 0; i < samples; ++i)
          sum +=
              pixel(sourceX + (u + (i + 0.5) / samples) * step, sourceY + (v + (j + 0.5) / samples) * step);
      row[ox] = static_cast<unsigned char>(sum / unsigned(samples * samples));
    }
  }
}

bool looksLikePhotograph(const greyImage& label) {
  // Every other dot of every other row tells as well as all of them.
  size_t midTones = 0, looked = 0;
  for (uint32_t y = 0; y < label.height; y += 2) {
    const unsigned char* row = label.pixels.data() + size_t{y} * label.width;
    for (uint32_t x = 0; x < label.width; x += 2, ++looked)
      midTones += row[x] >= kMidToneLow && row[x] <= kMidToneHigh;
  }
  return double(midTones) > kPhotographShare * double(looked);
}
