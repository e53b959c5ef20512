// SPDX-License-Identifier: Apache-2.0
// Drawing a format's fields on a one-bit label: spans of dots a byte at a time, so that a field costs
// the dots it covers on the label, however large its bounding box.
#include <algorithm>
#include <cstring>

#include "commands/preview/preview.h"

namespace {

enum dotOperation { kSetDots, kClearDots, kInvertDots };

// A field's place: its top-left corner and size in dots, before clipping to the label.
struct fieldArea {
  int64_t left, top, width, height;
};

void applyMask(unsigned char* byte, unsigned mask, dotOperation operation) {
  if (operation == kSetDots)
    *byte = static_cast<unsigned char>(*byte | mask);
  else if (operation == kClearDots)
    *byte = static_cast<unsigned char>(*byte & ~mask);
  else
    *byte = static_cast<unsigned char>(*byte ^ mask);
}

// 'fillDots()' - apply 'operation' to the dots first .. first + count - 1 of 'bits'.
void fillDots(unsigned char* bits, uint64_t first, uint64_t count, dotOperation operation) {
  if (count == 0) return;
  const uint64_t end = first + count;
  const uint64_t firstByte = first / 8, lastByte = (end - 1) / 8;
  const unsigned head = 0xFFu >> (first % 8);
  const unsigned tail = (0xFF00u >> (1 + (end - 1) % 8)) & 0xFFu;
  if (firstByte == lastByte) {
    applyMask(bits + firstByte, head & tail, operation);
    return;
  }
  applyMask(bits + firstByte, head, operation);
  unsigned char* middle = bits + firstByte + 1;
  const size_t middleBytes = static_cast<size_t>(lastByte - firstByte - 1);
  if (operation == kInvertDots) {
    for (size_t i = 0; i < middleBytes; ++i) middle[i] = static_cast<unsigned char>(~middle[i]);
  } else {
    std::memset(middle, operation == kSetDots ? 0xFF : 0x00, middleBytes);
  }
  applyMask(bits + lastByte, tail, operation);
}

// 'sourceOctet()' - the 8 dots of 'source' from dot 'first' on (which may lie up to 7 dots before the
// start); dots outside its 'sourceBytes' bytes are 0.
unsigned sourceOctet(const unsigned char* source, uint64_t sourceBytes, int64_t first) {
  if (first < 0) return source[0] >> -first;
  const uint64_t byte = static_cast<uint64_t>(first) / 8;
  const unsigned shift = static_cast<unsigned>(first % 8);
  unsigned octet = static_cast<unsigned>(source[byte]) << shift;
  if (shift != 0 && byte + 1 < sourceBytes) octet |= source[byte + 1] >> (8 - shift);
  return octet & 0xFFu;
}

// 'combineDots()' - set (or invert) dots first .. first + count - 1 of 'bits' where the dots of
// 'source' from 'sourceFirst' on are 1. The source dots read lie within its 'sourceBytes' bytes.
void combineDots(unsigned char* bits, uint64_t first, const unsigned char* source, uint64_t sourceBytes,
                 uint64_t sourceFirst, uint64_t count, dotOperation operation) {
  if (count == 0) return;
  const uint64_t end = first + count;
  const uint64_t firstByte = first / 8, lastByte = (end - 1) / 8;
  // The source dot that falls on the first dot of byte b is sourceFirst + 8 * b - first.
  const int64_t offset = static_cast<int64_t>(sourceFirst) - static_cast<int64_t>(first);
  for (uint64_t b = firstByte; b <= lastByte; ++b) {
    unsigned mask = 0xFFu;
    if (b == firstByte) mask &= 0xFFu >> (first % 8);
    if (b == lastByte) mask &= (0xFF00u >> (1 + (end - 1) % 8)) & 0xFFu;
    const unsigned dots = sourceOctet(source, sourceBytes, offset + static_cast<int64_t>(8 * b)) & mask;
    if (dots != 0) applyMask(bits + b, dots, operation);
  }
}

// 'areaOf()' - where a field lies: a graphic is its row bytes x 8 by its rows, magnified; ^FT places
// the bottom edge at the field's y.
fieldArea areaOf(const previewField& field) {
  fieldArea area;
  if (field.graphic != nullptr) {
    area.width = static_cast<int64_t>(field.graphic->rowBytes * 8) * field.magnifyX;
    area.height = static_cast<int64_t>(field.graphic->rows) * field.magnifyY;
  } else {
    area.width = field.boxWidth;
    area.height = field.boxHeight;
  }
  area.left = field.x;
  area.top = field.fromBottom ? field.y - area.height : field.y;
  return area;
}

// 'drawRectangle()' - apply 'operation' to a rectangle of the label, clipped to it, a row span at a time.
void drawRectangle(previewLabel* label, const fieldArea& area, dotOperation operation) {
  const int64_t firstX = std::max<int64_t>(area.left, 0);
  const int64_t endX = std::min<int64_t>(area.left + area.width, label->width);
  const int64_t firstY = std::max<int64_t>(area.top, 0);
  const int64_t endY = std::min<int64_t>(area.top + area.height, label->length);
  if (firstX >= endX) return;
  for (int64_t y = firstY; y < endY; ++y)
    fillDots(label->bits.data(), static_cast<uint64_t>(y) * label->width + static_cast<uint64_t>(firstX),
             static_cast<uint64_t>(endX - firstX), operation);
}

// 'drawBox()' - a box as its border: four rectangles that do not overlap (each dot is inverted once in
// reverse), or one solid rectangle when the thickness reaches half the smaller side.
void drawBox(previewLabel* label, const previewField& field) {
  const fieldArea area = areaOf(field);
  const dotOperation operation = field.reverse ? kInvertDots : field.whiteBox ? kClearDots : kSetDots;
  const int64_t t = field.thickness;
  if (2 * t >= std::min(area.width, area.height)) {
    drawRectangle(label, area, operation);
    return;
  }
  drawRectangle(label, {area.left, area.top, area.width, t}, operation);
  drawRectangle(label, {area.left, area.top + area.height - t, area.width, t}, operation);
  drawRectangle(label, {area.left, area.top + t, t, area.height - 2 * t}, operation);
  drawRectangle(label, {area.left + area.width - t, area.top + t, t, area.height - 2 * t}, operation);
}

// 'magnifyRow()' - the label dots firstX .. endX - 1 of a graphic row magnified 'magnify' times
// across, into 'row' from its dot 0.
void magnifyRow(const unsigned char* source, int64_t left, int64_t magnify, int64_t firstX, int64_t endX,
                std::vector<unsigned char>* row) {
  row->assign(static_cast<size_t>((endX - firstX + 7) / 8), 0);
  const int64_t lastColumn = (endX - 1 - left) / magnify;
  for (int64_t column = (firstX - left) / magnify; column <= lastColumn; ++column) {
    const unsigned char byte = source[column / 8];
    if (byte == 0) {
      column |= 7;  // a blank byte: on to the next one
      continue;
    }
    if (((byte >> (7 - column % 8)) & 1) == 0) continue;
    const int64_t from = std::max(left + column * magnify, firstX);
    const int64_t to = std::min(left + (column + 1) * magnify, endX);
    fillDots(row->data(), static_cast<uint64_t>(from - firstX), static_cast<uint64_t>(to - from), kSetDots);
  }
}

// 'drawGraphic()' - a recalled graphic, clipped to the label, a row at a time: its dots set (or
// inverted in reverse) on the label, blank dots leaving the label as it is.
void drawGraphic(previewLabel* label, const previewField& field, std::vector<unsigned char>* row) {
  const previewGraphic& graphic = *field.graphic;
  const fieldArea area = areaOf(field);
  const int64_t firstX = std::max<int64_t>(area.left, 0);
  const int64_t endX = std::min<int64_t>(area.left + area.width, label->width);
  const int64_t firstY = std::max<int64_t>(area.top, 0);
  const int64_t endY = std::min<int64_t>(area.top + area.height, label->length);
  if (firstX >= endX) return;
  const dotOperation operation = field.reverse ? kInvertDots : kSetDots;
  const uint64_t span = static_cast<uint64_t>(endX - firstX);
  const uint64_t graphicBytes = graphic.rowBytes * graphic.rows;
  int64_t magnifiedRow = -1;
  for (int64_t y = firstY; y < endY; ++y) {
    const int64_t sourceRow = (y - area.top) / field.magnifyY;
    const uint64_t at = static_cast<uint64_t>(y) * label->width + static_cast<uint64_t>(firstX);
    if (field.magnifyX == 1) {
      combineDots(
          label->bits.data(), at, graphic.bits.get(), graphicBytes,
          static_cast<uint64_t>(sourceRow) * graphic.rowBytes * 8 + static_cast<uint64_t>(firstX - area.left),
          span, operation);
      continue;
    }
    if (sourceRow != magnifiedRow) {
      magnifyRow(graphic.bits.get() + static_cast<uint64_t>(sourceRow) * graphic.rowBytes, area.left,
                 field.magnifyX, firstX, endX, row);
      magnifiedRow = sourceRow;
    }
    combineDots(label->bits.data(), at, row->data(), row->size(), 0, span, operation);
  }
}

// 'extentSide()' - a side the format did not give: the fields' extent, from 1 to 'maximum'.
int64_t extentSide(int64_t extent, int64_t maximum) {
  return std::clamp<int64_t>(extent, 1, std::max<int64_t>(maximum, 1));
}

}  // namespace

int previewDrawLabel(previewState* state, std::string* message) {
  int64_t right = 0, bottom = 0;
  for (const previewField& field : state->fields) {
    const fieldArea area = areaOf(field);
    right = std::max(right, area.left + area.width);
    bottom = std::max(bottom, area.top + area.height);
  }
  const uint64_t limit = std::min(state->maxLabelDots, kPreviewMaxLabelDots);
  const auto mostDots = static_cast<int64_t>(std::max<uint64_t>(limit, 1));
  int64_t width = state->width, length = state->length;
  if (width == 0 && length == 0) {
    width = extentSide(right, kPreviewMaxSide);
    length = extentSide(bottom, std::min(kPreviewMaxSide, mostDots / width));
  } else if (width == 0) {
    width = extentSide(right, std::min(kPreviewMaxSide, mostDots / length));
  } else if (length == 0) {
    length = extentSide(bottom, std::min(kPreviewMaxSide, mostDots / width));
  }
  if (static_cast<uint64_t>(width) * static_cast<uint64_t>(length) > limit) {
    *message = "a label of " + std::to_string(width) + " x " + std::to_string(length) +
               " dots is larger than the preview's limit of " + std::to_string(limit) + " dots";
    return 1;
  }
  previewLabel* label = &state->label;
  label->width = static_cast<uint32_t>(width);
  label->length = static_cast<uint32_t>(length);
  label->bits.assign(
      static_cast<size_t>((static_cast<uint64_t>(width) * static_cast<uint64_t>(length) + 7) / 8), 0);
  for (const previewField& field : state->fields) {
    if (field.graphic != nullptr)
      drawGraphic(label, field, &state->row);
    else
      drawBox(label, field);
  }
  return 0;
}
