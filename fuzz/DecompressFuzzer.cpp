// SPDX-License-Identifier: Apache-2.0
// The bounded block decoder on any text: it never writes past its capacity, and while the text fits it
// decodes exactly as the unbounded decoder does.
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/FuzzInput.h"
#include "grf/DataComDecompress.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzInput input = {data, size};
  const uint64_t rowBytes = takeNumber(&input, 2) % 600;
  const uint64_t capacity = takeNumber(&input, 2) % 4096;
  if (input.size > 4096) return 0;  // keeps the unbounded decoder's worst case small

  // Exactly 'capacity' bytes on the heap: the address sanitizer sees any write past them.
  // new[] gives a real pointer even for 0 bytes, as a caller's buffer would be.
  const std::unique_ptr<unsigned char[]> owned(new unsigned char[capacity]);
  unsigned char* const bounded = owned.get();
  uint64_t boundedLength = 12345;
  const int64_t status =
      GRFDataDecompressBounded(input.data, input.size, rowBytes, bounded, capacity, &boundedLength);
  require(status == kGRFSuccess || status == kGRFRefused || status == kGRFRepeatBeforeFirstRow ||
              status == kGRFCapacityExceeded,
          "known status");
  require(boundedLength == 12345 || boundedLength <= capacity, "length within capacity");
  if (status == kGRFCapacityExceeded) return 0;

  // Room for anything the text can describe: a character adds at most 200 bytes or one row.
  const uint64_t room = (input.size + 2) * (rowBytes > 200 ? rowBytes : 200);
  std::vector<unsigned char> unbounded(room, 0);
  uint64_t unboundedLength = 12345;
  const int64_t expected =
      GRFDataDecompress(input.data, input.size, rowBytes, unbounded.data(), &unboundedLength);
  require(status == expected, "same status as the unbounded decoder");
  require(boundedLength == unboundedLength, "same length as the unbounded decoder");
  if (boundedLength != 12345 && boundedLength != 0)
    require(std::memcmp(bounded, unbounded.data(), boundedLength) == 0, "same bytes");
  return 0;
}
