// The label preview's reader and painter: printer data in, one PNG image per printed label out. The
// labelpreview program is its command line; the fuzz harness calls it in process.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// What the preview accepts: everything the filter can send. A download holds up to the filter's
// largest page bitmap, and all stored graphics together (those replaced or deleted while the open
// format still shows them included) no more than that; a label side is at most the filter's longest
// page, and a label image at most 2^30 dots (128 MiB at one bit a dot).
inline constexpr uint64_t kPreviewMaxStoredBytes = uint64_t{128} << 20;
inline constexpr int64_t kPreviewMaxLabelSide = int64_t{1} << 25;
inline constexpr uint64_t kPreviewMaxLabelDots = uint64_t{1} << 30;

// The outcome of a preview: the labels written, and why it stopped early.
struct previewResult {
  int labels;
  std::string error;  // empty when all of the data was read
};

// 'previewLabels()' - read printer data from 'in' to its end, drawing each printed label; with a
// 'folder' each label becomes folder/label-0001.png, label-0002.png, ... and a line naming it on
// standard output, without one the labels are drawn and dropped. Memory stays within the stored
// graphics, one label image and 64 KiB of input, whatever the data. Returns 0, or 1 with
// result->error set when the data is malformed or truncated, memory runs out or an image cannot be
// written; the labels finished before it are kept.
int previewLabels(FILE* in, const char* folder, previewResult* result);
