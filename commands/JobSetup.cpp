// SPDX-License-Identifier: Apache-2.0
// The job prologue.
#include <cinttypes>
#include <cstdio>

#include "commands/commands.h"

namespace {

// 'sendAdjustment()' - an adjustment command: the zero record for none, else the number of dots
// formatted after the command for its direction (the sign is part of the command text, never of the
// number).
void sendAdjustment(byteSink* out, int64_t dots, const char* forwardFormat, const char* backFormat,
                    command zero) {
  if (dots > 0)
    outputFormatted(out, forwardFormat, dots);
  else if (dots < 0)
    outputFormatted(out, backFormat, -dots);
  else
    outputCommand(out, zero);
}

}  // namespace

adjustmentDots settingAdjustments(const settings_& settings) {
  // In 64 bits, so that no index can overflow it.
  return {4 * (int64_t{settings.tearoffposition} - 20), 4 * (int64_t{settings.printposition} - 20)};
}

void jobSetup(byteSink* out, settings_ settings) { jobSetup(out, settings, settingAdjustments(settings)); }

void jobSetup(byteSink* out, settings_ settings, adjustmentDots adjustments) {
  outputCommand(out, btChangeCmmd);
  outputCommand(out, btStartFormat);

  // The tear-off number is padded to at least three digits, the top number is not.
  sendAdjustment(out, adjustments.tearoff, "~TA%.3" PRId64, "~TA-%.3" PRId64, btAdjustTearoff);
  outputCommand(out, btBackFeed[2]);
  sendAdjustment(out, adjustments.top, "^LT%" PRId64, "^LT-%" PRId64, btAdjustTop);

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
