// SPDX-License-Identifier: Apache-2.0
// The parser of the printer's status answer: any bytes, as a printer (or a broken link) might send.
#include <cstring>

#include "commands/commands.h"
#include "fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  hostStatus status;
  std::memset(&status, 0xAB, sizeof status);
  const hostStatus untouched = status;
  size_t consumed = 12345;
  const int result = parseHostStatus(data, size, &status, &consumed);
  require(result == kHostStatusComplete || result == kHostStatusIncomplete || result == kHostStatusMalformed,
          "known status");
  if (result != kHostStatusComplete) {
    require(consumed == 12345 && std::memcmp(&status, &untouched, sizeof status) == 0,
            "no answer leaves the outputs alone");
    return 0;
  }
  require(consumed <= size && consumed <= kMaxHostStatusBytes, "the answer lies within the bytes read");
  require(status.labelLength >= 0 && status.labelLength <= 99999999, "numbers are at most eight digits");
  // The answer alone reads the same, and every cut of it is only incomplete.
  hostStatus again;
  size_t againConsumed = 0;
  require(parseHostStatus(data, consumed, &again, &againConsumed) == kHostStatusComplete &&
              againConsumed == consumed && std::memcmp(&again, &status, sizeof status) == 0,
          "the answer alone reads the same");
  for (size_t cut = 0; cut < consumed; ++cut)
    require(parseHostStatus(data, cut, &again, &againConsumed) == kHostStatusIncomplete,
            "a cut is incomplete");
  return 0;
}
