// SPDX-License-Identifier: Apache-2.0
#include "support/Expected.h"

#include "commands/commands.h"

std::string expectedPrologue(const prologueSteps& s) {
  return "\x10"
         "CT~~CD,~CC^~CT~^XA" +
         s.tearoff + "~JSN" + s.top + s.tracking + s.mediaType + s.orientation + s.mirror + "^LH0,0^JMA" +
         s.speed + s.darkness + "^JUS^LRN^CI0^XZ";
}

std::string expectedPageFormat(unsigned width, unsigned height, const formatSteps& s) {
  const unsigned paddedWidth = (width + 31) / 32 * 32, paddedHeight = (height + 31) / 32 * 32;
  std::string format = "^XA" + s.mode + "^PW" + std::to_string(width) + "^LL" + std::to_string(height) +
                       "^LS0^FT0," + std::to_string(paddedHeight) + "^XG" + kStoredGraphicName + ",1,1^FS";
  if (s.inverse)
    format += "^LRY^FO0,0^GB" + std::to_string(paddedWidth) + "," + std::to_string(paddedHeight) + "," +
              std::to_string(paddedWidth / 2) + "^FS^LRN";
  return format + s.quantity + "^XZ" + std::string(kExpectedDeletion);
}
