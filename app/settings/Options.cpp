// SPDX-License-Identifier: Apache-2.0
// The job's settings record from its IPP attributes: the same table indexes the filter takes from its
// PPD choices, so that the prologue and the page formats are the filter's own.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "app/settings/settings.h"

namespace {

// A keyword vendor attribute's values, in the order of their table indexes.
struct keywordChoice {
  const char* keyword;
  int index;
};
inline constexpr keywordChoice kMediaTypes[] = {
    {"thermal-transfer", 0}, {"direct-thermal", 1}, {"printer-setting", 2}};
inline constexpr keywordChoice kPauses[] = {{"none", 0}, {"after-job", 1}, {"after-label", 2}};
inline constexpr keywordChoice kBooleans[] = {{"false", 0}, {"true", 1}};

// The widest adjustment accepted, in hundredths of mm either way (the printers take about 120 dots).
inline constexpr int kMaxOffset = 1500;

// 'vendorValue()' - the job's value of a vendor attribute, else the printer's default, else nullptr.
const char* vendorValue(const pappl_pr_options_t& options, int defaultCount, cups_option_t* defaults,
                        const char* name) {
  const char* value = cupsGetOption(name, static_cast<int>(options.num_vendor), options.vendor);
  return value != nullptr ? value : cupsGetOption(name, static_cast<int>(defaultCount), defaults);
}

// 'choose()' - the index of a keyword value; 'absent' without a value, -2 for an unknown one.
template <size_t N>
int choose(const char* value, const keywordChoice (&choices)[N], int absent) {
  if (value == nullptr) return absent;
  for (const keywordChoice& choice : choices)
    if (std::strcmp(value, choice.keyword) == 0) return choice.index;
  return -2;
}

// 'offsetDots()' - an adjustment in hundredths of mm as dots at 'resolution' dots per inch, to the
// nearest dot (half a dot away from none). False outside the accepted range.
bool offsetDots(long hundredths, int resolution, int64_t* dots) {
  if (hundredths < -kMaxOffset || hundredths > kMaxOffset) return false;
  *dots = std::lround(static_cast<double>(hundredths) * resolution / 2540.0);
  return true;
}

// 'darknessLevel()' - the printer's configured darkness (0 to 100) moved by the job's print-darkness
// (-100 to 100), as one of the 31 darkness commands.
int darknessLevel(int configured, int job) {
  int level = configured + job;
  level = level < 0 ? 0 : level > 100 ? 100 : level;
  return (level * 30 + 50) / 100;
}

// 'speedIndex()' - print-speed (hundredths of mm per second) as the speed table's index: 2 to 6 inches
// per second are 0 to 4; no speed (0) keeps the printer's own (5).
int speedIndex(int speed) {
  if (speed <= 0) return 5;
  const int inches = (speed + 1270) / 2540;
  return inches < 2 ? 0 : inches > 6 ? 4 : inches - 2;
}

// 'trackingIndex()' - media-tracking as the media tracking table's index.
int trackingIndex(pappl_media_tracking_t tracking) {
  switch (tracking) {
    case PAPPL_MEDIA_TRACKING_CONTINUOUS:
      return 0;
    case PAPPL_MEDIA_TRACKING_MARK:
      return 1;
    case PAPPL_MEDIA_TRACKING_GAP:
    case PAPPL_MEDIA_TRACKING_WEB:
      return 2;
    default:
      return -1;
  }
}

// 'modeIndex()' - label-mode-configured as the media handling table's index.
int modeIndex(pappl_label_mode_t mode) {
  switch (mode) {
    case PAPPL_LABEL_MODE_TEAR_OFF:
      return 0;
    case PAPPL_LABEL_MODE_REWIND:
      return 1;
    case PAPPL_LABEL_MODE_PEEL_OFF:
      return 2;
    default:
      return -1;
  }
}

}  // namespace

int jobSettings(const pappl_pr_options_t& options, int defaultCount, cups_option_t* defaults,
                pappl_label_mode_t labelMode, int resolution, settings_* settings,
                adjustmentDots* adjustments, const char** badAttribute) {
  std::memset(settings, 0, sizeof *settings);
  *adjustments = {0, 0};
  settings->papersize = -1;
  settings->backfeed = -1;
  settings->density = darknessLevel(options.darkness_configured, options.print_darkness);
  settings->printspeed = speedIndex(options.print_speed);
  settings->outpagemode = modeIndex(labelMode);
  settings->pagetype = trackingIndex(options.media.tracking);
  // The adjustments go out to the dot; the record's 4-dot indexes say none.
  settings->printposition = settings->tearoffposition = 20;
  const bool topFits = offsetDots(options.media.top_offset, resolution, &adjustments->top);

  const auto value = [&](const char* name) { return vendorValue(options, defaultCount, defaults, name); };
  const char* tear = value(kTearOffsetAttr);
  char* end = nullptr;
  const long tearOffset = tear != nullptr ? std::strtol(tear, &end, 10) : 0;
  const bool tearFits = (tear == nullptr || (end != tear && *end == '\0')) &&
                        offsetDots(tearOffset, resolution, &adjustments->tearoff);
  settings->printtype = choose(value(kMediaTypeAttr), kMediaTypes, 2);
  settings->imagecontrol = choose(value(kRotateAttr), kBooleans, 0);
  settings->mirror = choose(value(kMirrorAttr), kBooleans, 0);
  settings->inverse = choose(value(kInverseAttr), kBooleans, 0);
  settings->pause = choose(value(kPauseAttr), kPauses, 0);

  const struct {
    const char* name;
    bool bad;
  } checks[] = {{kTearOffsetAttr, !tearFits},
                {kMediaTypeAttr, settings->printtype == -2},
                {kRotateAttr, settings->imagecontrol == -2},
                {kMirrorAttr, settings->mirror == -2},
                {kInverseAttr, settings->inverse == -2},
                {kPauseAttr, settings->pause == -2},
                {"media-top-offset", !topFits}};
  for (const auto& check : checks)
    if (check.bad) {
      *badAttribute = check.name;
      return 1;
    }
  return 0;
}
