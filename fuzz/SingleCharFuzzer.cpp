// SPDX-License-Identifier: Apache-2.0
// The bounded single-character decoder fed any characters: it never writes past its capacity, never
// changes anything when it refuses a character, and otherwise matches the unchecked decoder.
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/FuzzInput.h"
#include "grf/DataComDecompress.h"

namespace {

struct decoderState {
  uint64_t outputOffset;
  unsigned char pendingByte;
  uint64_t repeatCount;
  uint64_t bytesProduced;
  uint64_t nibblePhase;
};

bool sameState(const decoderState& a, const decoderState& b) {
  return a.outputOffset == b.outputOffset && a.pendingByte == b.pendingByte &&
         a.repeatCount == b.repeatCount && a.bytesProduced == b.bytesProduced &&
         a.nibblePhase == b.nibblePhase;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzInput input = {data, size};
  const uint64_t rowBytes = 1 + takeNumber(&input, 2) % 600;
  const uint64_t capacity = takeNumber(&input, 2) % 4096;
  const uint64_t expectedTotal = takeNumber(&input, 2) % 4096;
  const uint64_t startOffset = takeNumber(&input, 1) % 64;

  // new[] gives a real pointer even for 0 bytes, as a caller's buffer would be.
  const std::unique_ptr<unsigned char[]> owned(new unsigned char[capacity]());
  unsigned char* const bounded = owned.get();
  // The unchecked decoder gets a copy of every byte the bounded one may touch, and more.
  std::vector<unsigned char> unbounded(capacity + 2 * 4096 + 64, 0);
  decoderState state = {startOffset, 0, 1, 0, 0};
  decoderState mirror = state;
  for (size_t i = 0; i < input.size; ++i) {
    const decoderState before = state;
    const int64_t status = GRFDataDecompressSingleCharProcessBounded(
        input.data[i], rowBytes, &state.outputOffset, &state.pendingByte, &state.repeatCount,
        &state.bytesProduced, &state.nibblePhase, bounded, expectedTotal, capacity);
    require(state.outputOffset <= capacity || state.outputOffset == before.outputOffset,
            "no write past capacity");
    if (status == kGRFCharCapacityExceeded || status == kGRFRefused) {
      require(sameState(before, state), "a refused character changes nothing");
      require(status != kGRFRefused, "arguments are valid here");
      return 0;
    }
    const int64_t expected = GRFDataDecompressSingleCharProcess(
        input.data[i], rowBytes, &mirror.outputOffset, &mirror.pendingByte, &mirror.repeatCount,
        &mirror.bytesProduced, &mirror.nibblePhase, unbounded.data(), expectedTotal);
    require(status == expected, "same status as the unchecked decoder");
    require(sameState(state, mirror), "same state as the unchecked decoder");
  }
  if (capacity != 0)
    require(std::memcmp(bounded, unbounded.data(), capacity) == 0, "same bytes as the unchecked decoder");
  return 0;
}
