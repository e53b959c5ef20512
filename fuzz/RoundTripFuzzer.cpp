// SPDX-License-Identifier: Apache-2.0
// Any bitmap, compressed and decoded again by both decoders, comes back byte for byte.
#include <cstring>
#include <vector>

#include "fuzz/FuzzInput.h"
#include "grf/DataComDecompress.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzInput input = {data, size};
  const uint64_t rowBytes = 1 + takeNumber(&input, 1) % 160;
  const uint64_t rows = input.size / rowBytes;
  if (rows == 0) return 0;
  const uint64_t bitmapSize = rows * rowBytes;

  std::vector<unsigned char> text(GRFCompressBound(input.size, rowBytes));
  uint64_t textLength = 0;
  require(GRFDataCompress(input.data, input.size, rowBytes, text.data(), &textLength) == 0, "compressed");
  require(textLength <= text.size(), "text within its bound");

  std::vector<unsigned char> decoded(bitmapSize);
  uint64_t decodedLength = 0;
  require(GRFDataDecompressBounded(text.data(), textLength, rowBytes, decoded.data(), bitmapSize,
                                   &decodedLength) == 0,
          "block decoder read the whole text");
  require(decodedLength == bitmapSize, "block decoder length");
  require(std::memcmp(decoded.data(), input.data, bitmapSize) == 0, "block decoder bytes");

  std::vector<unsigned char> incremental(bitmapSize);
  uint64_t offset = 0, repeat = 1, produced = 0, phase = 0;
  unsigned char pending = 0;
  for (uint64_t i = 0; i < textLength; ++i) {
    const int64_t status =
        GRFDataDecompressSingleCharProcessBounded(text[i], rowBytes, &offset, &pending, &repeat, &produced,
                                                  &phase, incremental.data(), bitmapSize, bitmapSize);
    // "Incomplete" also answers the row ends, which carry no data.
    require(status == (produced == bitmapSize ? kGRFSuccess : kGRFIncomplete) ||
                (status == kGRFIncomplete && (text[i] == '\r' || text[i] == '\n')),
            "single-character decoder stays within the bitmap");
  }
  require(produced == bitmapSize, "single-character decoder completes the bitmap");
  require(std::memcmp(incremental.data(), input.data, bitmapSize) == 0, "single-character decoder bytes");
  return 0;
}
