// SPDX-License-Identifier: Apache-2.0
// The job prologue.
#include <cinttypes>
#include <cstdio>

#include "commands/commands.h"

namespace {

// 'adjustment()' - the command number of an adjustment setting: 20 is the zero point and each step
// away from it moves 4 dots. Computed in 64 bits, so no setting value can overflow it.
int64_t adjustment(int value) {
  const int64_t steps = int64_t{value} - 20;
  return 4 * (steps < 0 ? -steps : steps);
}

// 'sendAdjustment()' - an adjustment command: the zero record at 20, else the number formatted after the
// command for its direction (the sign is part of the command text, never of the number).
void sendAdjustment(byteSink* out, int value, const char* forwardFormat, const char* backFormat,
                    command zero) {
  if (value > 20)
    outputFormatted(out, forwardFormat, adjustment(value));
  else if (value < 20)
    outputFormatted(out, backFormat, adjustment(value));
  else
    outputCommand(out, zero);
}

}  // namespace

void jobSetup(byteSink* out, settings_ settings) {
  outputCommand(out, btChangeCmmd);
  outputCommand(out, btStartFormat);

  // The tear-off number is padded to at least three digits, the top number is not.
  sendAdjustment(out, settings.tearoffposition, "~TA%.3" PRId64, "~TA-%.3" PRId64, btAdjustTearoff);
  outputCommand(out, btBackFeed[2]);
  sendAdjustment(out, settings.printposition, "^LT%" PRId64, "^LT-%" PRId64, btAdjustTop);

  outputCommand(out, tableEntry(btPaperType, settings.pagetype));
  outputCommand(out, tableEntry(btThermal, settings.printtype));
  outputCommand(out, tableEntry(btRote180, settings.imagecontrol));
  outputCommand(out, tableEntry(btMirror, settings.mirror));
  outputCommand(out, btLabelHome);
  outputCommand(out, btResolution);
  outputCommand(out, tableEntry(btSpeed, settings.printspeed));
  outputCommand(out, tableEntry(btDarkness, settings.density));
  outputCommand(out, btUpdateConfig);
  outputCommand(out, btInverse[0]);
  outputCommand(out, btInterFont);
  outputCommand(out, btEndFormat);
}

void jobSetup(settings_ settings) {
  byteSink out = {nullptr, 0, 0, -1, 0};
  jobSetup(&out, settings);
  std::fwrite(out.bytes, 1, out.length, stdout);
  releaseSink(&out);
}
