// SPDX-License-Identifier: Apache-2.0
// The parser of the printer's identification answer: any bytes, as a printer (or a broken link) might
// send.
#include <cstring>

#include "commands/commands.h"
#include "fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  hostIdentity identity;
  std::memset(&identity, 0xAB, sizeof identity);
  const hostIdentity untouched = identity;
  size_t consumed = 12345;
  const int result = parseHostIdentity(data, size, &identity, &consumed);
  require(result == kHostStatusComplete || result == kHostStatusIncomplete || result == kHostStatusMalformed,
          "known status");
  if (result != kHostStatusComplete) {
    require(consumed == 12345 && std::memcmp(&identity, &untouched, sizeof identity) == 0,
            "no answer leaves the outputs alone");
    return 0;
  }
  require(consumed <= size && consumed <= kMaxHostIdentityBytes, "the answer lies within the bytes read");
  require(std::strlen(identity.model) >= 1 && std::strlen(identity.model) <= kMaxIdentityText &&
              std::strlen(identity.version) >= 1 && std::strlen(identity.version) <= kMaxIdentityText &&
              std::strlen(identity.options) <= kMaxIdentityOptions,
          "texts are bounded and ended");
  require(identity.dotsPerInch == 152 || identity.dotsPerInch == 203 || identity.dotsPerInch == 300 ||
              identity.dotsPerInch == 600,
          "a known head");
  require(identity.memoryKilobytes >= 0, "memory is a size");
  // The answer alone reads the same.
  hostIdentity again;
  size_t againConsumed = 0;
  require(parseHostIdentity(data, consumed, &again, &againConsumed) == kHostStatusComplete &&
              againConsumed == consumed && std::memcmp(&again, &identity, sizeof identity) == 0,
          "the answer alone reads the same");
  return 0;
}
