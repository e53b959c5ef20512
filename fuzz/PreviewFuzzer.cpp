// SPDX-License-Identifier: Apache-2.0
// The label preview in process: any bytes as printer data, fed whole and again in chunks of a size the
// input chooses. Both ways end alike with the same labels, and the limits hold after every step.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzInput.h"
#include "commands/preview/preview.h"

namespace {

// What a run gave: each label's size and a digest of its dots, then how it ended.
struct previewOutcome {
  std::vector<uint64_t> labels;
  int status = kPreviewMore;
  std::string message;
};

// 'digest()' - FNV-1a over the label's size and dots.
uint64_t digest(const previewLabel& label) {
  uint64_t hash = 14695981039346656037ull ^ (uint64_t{label.width} << 32 | label.length);
  for (unsigned char byte : label.bits) hash = (hash ^ byte) * 1099511628211ull;
  return hash;
}

// 'checkLimits()' - what the state holds stays within the stated limits, and the count of graphic
// bytes is the bytes of the graphics alive.
void checkLimits(const previewState& state) {
  uint64_t alive = state.download.graphic != nullptr ? state.download.total : 0;
  for (const auto& [name, graphic] : state.graphics) alive += graphic->rowBytes * graphic->rows;
  for (const auto& graphic : state.released) alive += graphic->rowBytes * graphic->rows;
  require(alive == state.graphicBytes, "graphic bytes counted as they are alive");
  require(state.graphicBytes <= kPreviewMaxGraphicBytes, "stored graphics within their limit");
  require(state.graphics.size() + state.released.size() <= kPreviewMaxGraphics,
          "graphics within their count");
  require(state.fields.size() <= kPreviewMaxFields, "fields within their count");
  require(state.parameters.size() <= kPreviewMaxParameterBytes, "parameters within their limit");
}

// 'checkLabel()' - a finished label lies within the limits; a small one is written as a PNG.
void checkLabel(const previewLabel& label) {
  const uint64_t dots = uint64_t{label.width} * label.length;
  require(label.width >= 1 && label.length >= 1 && label.width <= kPreviewMaxSide &&
              label.length <= kPreviewMaxSide && dots <= kPreviewMaxLabelDots,
          "label size within the limits");
  require(label.bits.size() == (dots + 7) / 8, "one bit per dot");
  if (dots <= 4096) {
    std::string message;
    require(previewWritePng("/dev/null", label, &message) == 0, "a small label is written");
  }
}

// 'runPreview()' - feed the data 'chunk' bytes at a time, then finish.
previewOutcome runPreview(const uint8_t* data, size_t size, size_t chunk) {
  previewOutcome outcome;
  previewState state;
  for (size_t at = 0; at < size;) {
    const size_t piece = std::min(chunk, size - at);
    size_t used = 0;
    outcome.status = previewFeed(&state, data + at, piece, &used, &outcome.message);
    checkLimits(state);
    if (outcome.status == kPreviewError) return outcome;
    require(used <= piece && (outcome.status == kPreviewLabel || used == piece), "bytes taken as reported");
    at += used;
    if (outcome.status == kPreviewLabel) {
      checkLabel(state.label);
      outcome.labels.push_back(digest(state.label));
    }
  }
  while ((outcome.status = previewFinish(&state, &outcome.message)) == kPreviewLabel) {
    checkLabel(state.label);
    outcome.labels.push_back(digest(state.label));
  }
  checkLimits(state);
  require(outcome.status == kPreviewMore || outcome.status == kPreviewError, "a known end");
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzInput input = {data, size};
  const size_t chunk = 1 + takeNumber(&input, 1) % 16;
  const previewOutcome whole = runPreview(input.data, input.size, input.size);
  const previewOutcome pieces = runPreview(input.data, input.size, chunk);
  require(whole.labels == pieces.labels, "the same labels in chunks");
  require(whole.status == pieces.status && whole.message == pieces.message, "the same end in chunks");
  return 0;
}
