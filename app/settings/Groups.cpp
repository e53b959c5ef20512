// SPDX-License-Identifier: Apache-2.0
// Which printer attributes a Get-Printer-Attributes request asks for. The client names attributes and
// groups of them: "all" (every attribute), "printer-description" (the printer's own), "job-template"
// (the printer's values of the job template attributes: their defaults and supported values). The
// CUPS library's lists of the groups, which the framework asks, know none of the label attributes,
// and "all" beside another name became CUPS's list too: a client that asks as CUPS does
// ("all,media-col-database") saw no label setting at all.
#include <algorithm>
#include <cstring>

#include "app/settings/settings.h"

namespace {

// The attributes the printers answer that the CUPS library's group lists leave out, with their group.
struct groupedAttribute {
  const char* name;
  bool description;  // printer-description
  bool jobTemplate;  // job-template
};
inline constexpr groupedAttribute kGroupedAttributes[] = {
    {"label-mode-configured", true, false},
    {"label-mode-supported", true, false},
    {"label-tear-offset-configured", true, false},
    // The framework's printer setting and the application's job attribute share the name.
    {"label-tear-offset-supported", true, true},
    {"printer-darkness-configured", true, false},
    {"printer-darkness-supported", true, false},
    {"printer-settable-attributes", true, false},
    {"printer-strings-languages-supported", true, false},
    {"printer-strings-uri", true, false},
    {"media-top-offset-supported", false, true},
    {"media-tracking-supported", false, true},
    {"print-darkness-default", false, true},
    {"print-darkness-supported", false, true},
    {"print-speed-default", false, true},
    {"print-speed-supported", false, true},
    {"label-tear-offset-default", false, true},
    {"label-media-type-default", false, true},
    {"label-media-type-supported", false, true},
    {"label-rotate-180-default", false, true},
    {"label-rotate-180-supported", false, true},
    {"label-mirror-default", false, true},
    {"label-mirror-supported", false, true},
    {"label-inverse-default", false, true},
    {"label-inverse-supported", false, true},
    {"label-pause-default", false, true},
    {"label-pause-supported", false, true},
};

}  // namespace

std::vector<std::string> expandRequestedAttributes(const std::vector<std::string>& asked, bool* database) {
  const auto has = [&asked](const char* name) {
    return std::find(asked.begin(), asked.end(), name) != asked.end();
  };
  *database = has("media-col-database");
  // "all" alone is every attribute to the framework; only the media database is left out of it, and
  // is answered when it is named.
  if (has("all")) return {"all"};
  *database = false;
  std::vector<std::string> names = asked;
  const bool description = has("printer-description"), jobTemplate = has("job-template");
  for (const groupedAttribute& a : kGroupedAttributes)
    if (((a.description && description) || (a.jobTemplate && jobTemplate)) && !has(a.name))
      names.emplace_back(a.name);
  return names;
}
