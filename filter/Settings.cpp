// SPDX-License-Identifier: Apache-2.0
// The job's settings record, from the queue's PPD and the job options.
#include <strings.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "filter/filter.h"

namespace {

// 'markMirrorOption()' - mark the PPD's "Mirror" option from a job option named "mirror" in any case.
// The CUPS library takes that name for its own standard option and never marks the PPD's choice, so a
// job's choice ("Mirror=1") would otherwise be lost. A boolean value ("mirror", "mirror=true", "nomirror")
// is that standard option itself: the page filters ahead of this one mirror the page image for it, so
// the printer must not mirror as well, whatever the PPD's default; it selects choice 0. Other values
// leave the PPD's default.
void markMirrorOption(ppd_file_t* ppd, int count, cups_option_t* options) {
  for (int i = 0; i < count; ++i) {
    if (strcasecmp(options[i].name, "mirror") != 0) continue;
    const char* value = options[i].value;
    for (const char* boolean : {"true", "on", "yes", "false", "off", "no"})
      if (strcasecmp(value, boolean) == 0) value = "0";
    ppdMarkOption(ppd, "Mirror", value);
  }
}

}  // namespace

int getOptionChoiceIndex(const char* choiceName, ppd_file_t* ppd) {
  if (ppd == nullptr) return -1;
  ppd_choice_t* choice = ppdFindMarkedChoice(ppd, choiceName);
  if (choice == nullptr) {
    ppd_option_t* option = ppdFindOption(ppd, choiceName);
    if (option != nullptr) choice = ppdFindChoice(option, option->defchoice);
  }
  if (choice == nullptr) return -1;
  // A number outside 32 bits is no setting at all, never another value by wrapping around.
  errno = 0;
  const long number = std::strtol(choice->choice, nullptr, 10);
  if (errno == ERANGE || number < INT32_MIN || number > INT32_MAX) return -1;
  return static_cast<int>(number);
}

void initializeSettings(const char* commandLineOptionSettings, settings_* settings) {
  const char* path = std::getenv("PPD");
  ppd_file_t* ppd = path != nullptr ? ppdOpenFile(path) : nullptr;
  if (ppd != nullptr) ppdMarkDefaults(ppd);
  // The labels still print, with the printer's own settings; the line says why the job's are not used
  // (a queue's PPD always opens: this is a hand-made run with a wrong path).
  if (ppd == nullptr && path != nullptr && path[0] != '\0')
    std::fprintf(stderr, "WARNING: Unable to open the PPD file '%s': the job's options are not applied.\n",
                 path);

  cups_option_t* options = nullptr;
  const int count = cupsParseOptions(commandLineOptionSettings, 0, &options);
  if (count > 0 && options != nullptr && ppd != nullptr) {
    cupsMarkOptions(ppd, count, options);
    markMirrorOption(ppd, count, options);
  }
  cupsFreeOptions(count, options);

  std::memset(settings, 0, sizeof *settings);
  settings->modelNumber = ppd != nullptr ? ppd->model_number : 0;
  settings->papersize = getOptionChoiceIndex("PageSize", ppd);
  settings->printposition = getOptionChoiceIndex("PrintPosition", ppd);
  settings->tearoffposition = getOptionChoiceIndex("TearoffPosition", ppd);
  settings->bytesPerScanLine = 100;
  settings->bytesPerScanLineStd = 100;
  settings->backfeed = getOptionChoiceIndex("BackFeed", ppd);
  settings->pagetype = getOptionChoiceIndex("PageType", ppd);
  settings->printtype = getOptionChoiceIndex("MediaType", ppd);
  settings->imagecontrol = getOptionChoiceIndex("ImageControl", ppd);
  settings->mirror = getOptionChoiceIndex("Mirror", ppd);
  settings->inverse = getOptionChoiceIndex("Inverse", ppd);
  settings->printspeed = getOptionChoiceIndex("PrintSpeed", ppd);
  settings->pause = getOptionChoiceIndex("Pause", ppd);
  settings->density = getOptionChoiceIndex("Darkness", ppd);
  settings->outpagemode = getOptionChoiceIndex("OutMode", ppd);

  if (ppd != nullptr) ppdClose(ppd);
}
