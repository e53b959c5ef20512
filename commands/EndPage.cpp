// SPDX-License-Identifier: Apache-2.0
// The page format: print the downloaded graphic as one label (or several copies of it), then delete it.
#include <cinttypes>
#include <cstdio>

#include "commands/commands.h"

namespace {

// 'sendQuantity()' - the quantity and pause command: the fixed records for one label, and the same
// commands with the quantity for copies.
void sendQuantity(byteSink* out, int pause, int32_t quantity) {
  if (quantity <= 1) {
    outputCommand(out, pause == 1 ? btPause_AfterJob : pause == 2 ? btPause_AfterLabel : btPause_No);
  } else if (pause == 1) {
    outputFormatted(out, "^PQ%d,0,1,Y^PP", quantity);
  } else if (pause == 2) {
    outputFormatted(out, "^PQ%d,1,1,N", quantity);
  } else {
    outputFormatted(out, "^PQ%d,0,1,Y", quantity);
  }
}

}  // namespace

void endPage(byteSink* out, settings_ settings, int32_t iPaperWidth, int32_t iPaperHeight, int32_t lWidth,
             int32_t lHeight, int32_t quantity) {
  outputCommand(out, btStartFormat);
  outputCommand(out, tableEntry(btOperationMode, settings.outpagemode));
  outputFormatted(out, "^PW%d", iPaperWidth);
  outputFormatted(out, "^LL%d", iPaperHeight);
  outputCommand(out, btAdjustPosition);
  outputFormatted(out, "^FT%d,%d", 0, lHeight);
  outputCommand(out, btMagnify);
  outputCommand(out, btFieldSeparate);

  if (settings.inverse == 1) {
    // A box whose line is half its width is solid: drawn in reverse it inverts the whole padded graphic.
    const int64_t boxWidth = int64_t{lWidth} * 8;
    outputCommand(out, btInverse[1]);
    outputFormatted(out, "^FO%d,%d", 0, 0);
    outputFormatted(out, "^GB%" PRId64 ",%d,%" PRId64, boxWidth, lHeight, (boxWidth + 1) / 2);
    outputCommand(out, btFieldSeparate);
    outputCommand(out, btInverse[0]);
  }

  sendQuantity(out, settings.pause, quantity);
  outputCommand(out, btEndFormat);

  deleteGraphic(out);
}

void endPage(settings_ settings, int32_t iPaperWidth, int32_t iPaperHeight, int32_t lWidth, int32_t lHeight) {
  byteSink out = {nullptr, 0, 0, -1, 0};
  endPage(&out, settings, iPaperWidth, iPaperHeight, lWidth, lHeight, 1);
  std::fwrite(out.bytes, 1, out.length, stdout);
  releaseSink(&out);
}

void deleteGraphic(byteSink* out) {
  outputCommand(out, btStartFormat);
  outputCommand(out, btDelete);
  outputCommand(out, btFieldSeparate);
  outputCommand(out, btEndFormat);
}

void pageSetup(settings_, cups_page_header_t) {}

void endJob(settings_) {}

int encode(unsigned char*, unsigned char*, int32_t) { return 1; }
