// SPDX-License-Identifier: Apache-2.0
// The words of the application's pages: its settings under their names and units, and their values,
// as localisation strings the framework's pages and the application's own look up. They are added to
// every language the framework has, in English until they are translated, so that no page shows an
// attribute name.
#include <cstring>

#include "app/web/web.h"

extern "C" const char* _papplPrinterReasonString(pappl_preason_t value);

namespace {

inline constexpr char kWords[] = R"words(
"label-size" = "Labels loaded";
"label-mode-configured" = "Label mode";
"label-mode-configured.tear-off" = "Tear-off";
"label-mode-configured.peel-off" = "Peel-off (each label handed over to be taken)";
"label-mode-configured.rewind" = "Rewind";
"label-mode-configured.cutter" = "Cutter";
"label-mode-configured.applicator" = "Applicator";
"label-media-type" = "Media";
"label-media-type.direct-thermal" = "Direct thermal";
"label-media-type.thermal-transfer" = "Thermal transfer (with ribbon)";
"label-media-type.printer-setting" = "As set on the printer";
"printer-darkness-configured" = "Darkness";
"print-speed-default" = "Print speed (inches per second)";
"print-speed-default.printer" = "As set on the printer";
"label-tear-offset" = "Tear-off adjustment (mm)";
"label-rotate-180" = "Rotate 180 degrees";
"label-mirror" = "Mirror";
"label-inverse" = "Negative image";
"label-pause" = "Pause";
"label-pause.none" = "Never";
"label-pause.after-label" = "After each label";
"label-pause.after-job" = "After each job";
"print-content-optimize-default" = "Grey and pictures";
"print-content-optimize-default.auto" = "Automatic: photographs dithered, the rest sharp";
"print-content-optimize-default.text" = "Text: grey cut at mid-grey";
"print-content-optimize-default.text-and-graphic" = "Text and graphics: grey cut at mid-grey";
"print-content-optimize-default.graphic" = "Graphics and barcodes: grey cut at mid-grey";
"print-content-optimize-default.photo" = "Photographs: grey dithered";
"print-scaling-default" = "Fit to the label";
"print-scaling-default.auto" = "Automatic";
"print-scaling-default.auto-fit" = "Fit when larger";
"print-scaling-default.fit" = "Fit";
"print-scaling-default.fill" = "Fill (cropped)";
"print-scaling-default.none" = "Actual size";
"orientation-requested-default" = "Orientation";
"orientation-requested-default.3" = "Portrait";
"orientation-requested-default.4" = "Landscape";
"orientation-requested-default.5" = "Reverse landscape";
"orientation-requested-default.6" = "Reverse portrait";
"orientation-requested-default.7" = "Automatic";
"printer-resolution-default" = "Resolution";
"print-darkness-default" = "Darkness change of each job (-100 to 100)";
"copies-default" = "Copies of each document";
"print-color-mode-default" = "Colours";
"print-color-mode-default.auto" = "Automatic";
"print-color-mode-default.monochrome" = "Grey";
"print-color-mode-default.bi-level" = "Black and white";
"print-quality-default" = "Quality";
"print-quality-default.3" = "Draft";
"print-quality-default.4" = "Normal";
"print-quality-default.5" = "High";
"label-source" = "Source";
"media-source.main-roll" = "Main roll";
"media.measured" = "the printer measured";
"label-settings.refused" = "Not saved: a value is outside what this printer takes.";
"media.custom" = "Custom size";
"media.custom-size" = "Custom size (width x length)";
"media.range" = "From";
"media.size-refused" = "Not saved: that size is outside the labels this printer takes.";
"media.offset-refused" = "Not saved: the top adjustment is outside what this printer takes.";
"label-tracking" = "Label detection";
"label-tracking.gap" = "Gap between labels (die-cut)";
"label-tracking.mark" = "Black mark";
"label-tracking.continuous" = "Continuous (no gaps)";
"label-tracking.web" = "Web sensing";
"label-stock" = "Stock";
"label-top-offset" = "Top adjustment (mm)";
"printer-state-reasons.offline-report" = "The printer cannot be reached";
)words";

// The languages of the framework's own strings.
inline constexpr const char* kLanguages[] = {"de", "en", "es", "fr", "it", "ja", "nb-NO", "pl", "tr"};

// The prefix of the words of a state reason as an item of the status line's list.
inline constexpr char kListPrefix[] = "label-list.";
inline constexpr char kReasonPrefix[] = "printer-state-reasons.";

}  // namespace

void addLabelWords(pappl_system_t* system, std::deque<std::string>* kept) {
  for (const char* language : kLanguages) {
    // The framework's words of the state reasons are sentences, which its status line lists after a
    // comma and ends with a full stop of its own: the list takes them without theirs.
    std::string strings = kWords;
    if (pappl_loc_t* loc = papplSystemFindLoc(system, language))
      for (unsigned bit = PAPPL_PREASON_OTHER; bit <= PAPPL_PREASON_TONER_LOW; bit *= 2) {
        const char* keyword = _papplPrinterReasonString(static_cast<pappl_preason_t>(bit));
        if (keyword == nullptr) continue;
        std::string key = kReasonPrefix;
        key.append(keyword);
        const char* words = papplLocGetString(loc, key.c_str());
        if (words == nullptr || key == words || std::strpbrk(words, "\"\\") != nullptr) continue;
        strings.append("\"").append(kListPrefix).append(key).append("\" = \"");
        strings.append(listItemWords(words)).append("\";\n");
      }
    kept->push_back(strings);
    std::string path = "/label-words/";
    path.append(language).append(".strings");
    papplSystemAddStringsData(system, path.c_str(), language, kept->back().c_str());
  }
}

std::string listItemWords(const std::string& sentence) {
  size_t end = sentence.size();
  while (end > 0 && (sentence[end - 1] == '.' || sentence[end - 1] == ' ')) --end;
  return sentence.substr(0, end);
}

std::string listWordsKey(const char* key) {
  if (key == nullptr || std::strncmp(key, kReasonPrefix, sizeof kReasonPrefix - 1) != 0) return "";
  std::string listed = kListPrefix;
  listed.append(key);
  return listed;
}
