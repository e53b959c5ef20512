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

}  // namespace

void jobSetup(settings_ settings) {
  outputCommand(btChangeCmmd);
  outputCommand(btStartFormat);

  if (settings.tearoffposition > 20)
    outputFormatted("~TA%.3" PRId64, adjustment(settings.tearoffposition));
  else if (settings.tearoffposition < 20)
    outputFormatted("~TA-%.3" PRId64, adjustment(settings.tearoffposition));
  else
    outputCommand(btAdjustTearoff);

  outputCommand(btBackFeed[2]);

  if (settings.printposition > 20)
    outputFormatted("^LT%" PRId64, adjustment(settings.printposition));
  else if (settings.printposition < 20)
    outputFormatted("^LT-%" PRId64, adjustment(settings.printposition));
  else
    outputCommand(btAdjustTop);

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
