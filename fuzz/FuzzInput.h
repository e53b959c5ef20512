// SPDX-License-Identifier: Apache-2.0
// Taking fuzz input apart: small numbers from the front, the rest as data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

struct fuzzInput {
  const uint8_t* data;
  size_t size;
};

// 'takeNumber()' - the next 'bytes' bytes as a little-endian number (0 once the input runs out).
inline uint64_t takeNumber(fuzzInput* input, size_t bytes) {
  uint64_t value = 0;
  for (size_t i = 0; i < bytes && input->size > 0; ++i, ++input->data, --input->size)
    value |= static_cast<uint64_t>(*input->data) << (8 * i);
  return value;
}

// 'require()' - a check that stays on in every build: a failed one is a finding.
inline void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "check failed: %s\n", what);
  std::abort();
}
