// The job prologue.
#include <cinttypes>

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
void sendAdjustment(int value, const char* forwardFormat, const char* backFormat, command zero) {
  if (value > 20)
    outputFormatted(forwardFormat, adjustment(value));
  else if (value < 20)
    outputFormatted(backFormat, adjustment(value));
  else
    outputCommand(zero);
}

}  // namespace

void jobSetup(settings_ settings) {
  outputCommand(btChangeCmmd);
  outputCommand(btStartFormat);

  // The tear-off number is padded to at least three digits, the top number is not.
  sendAdjustment(settings.tearoffposition, "~TA%.3" PRId64, "~TA-%.3" PRId64, btAdjustTearoff);
  outputCommand(btBackFeed[2]);
  sendAdjustment(settings.printposition, "^LT%" PRId64, "^LT-%" PRId64, btAdjustTop);

  outputCommand(tableEntry(btPaperType, settings.pagetype));
  outputCommand(tableEntry(btThermal, settings.printtype));
  outputCommand(tableEntry(btRote180, settings.imagecontrol));
  outputCommand(tableEntry(btMirror, settings.mirror));
  outputCommand(btLabelHome);
  outputCommand(btResolution);
  outputCommand(tableEntry(btSpeed, settings.printspeed));
  outputCommand(tableEntry(btDarkness, settings.density));
  outputCommand(btUpdateConfig);
  outputCommand(btInverse[0]);
  outputCommand(btInterFont);
  outputCommand(btEndFormat);
}
