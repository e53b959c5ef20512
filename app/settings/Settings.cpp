// SPDX-License-Identifier: Apache-2.0
// The printer settings an administrator changes from the command line or over IPP, as one table: the
// modify subcommand checks every name and value against it before anything is sent, the options
// subcommand lists it, and the server checks a Set-Printer-Attributes request's values with it, so
// that a setting is either changed as asked or refused with the reason, never erased.
#include "app/settings/settings.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// How a setting's value is written and checked.
enum settingKind {
  kKeyword,        // one of the "-supported" keywords
  kInteger,        // within the "-supported" range, or one of its integers
  kPercent,        // 0 to 100
  kSignedPercent,  // -100 to 100
  kBoolean,        // true or false
  kEnumName,       // a keyword or number of an IPP enumeration (orientation-requested, print-quality)
  kSpeed,          // a speed: hundredths of mm per second, or "N in" / "N mm" per second
  kLength,         // hundredths of mm, or "N mm" / "N in"
  kResolution,     // "NNNdpi" among the supported resolutions
  kSize,           // a label size: one of the supported ones, or a custom size within their range
  kGeo,            // a geo: URI, "geo:LATITUDE,LONGITUDE"
  kText,           // free text
};

// A setting: the name given to modify (its short name; the IPP name is accepted too), the printer
// attribute it sets, how its value is read, the attribute that lists its supported values, and what
// the options subcommand says of it.
struct settingRow {
  const char* name;
  const char* attribute;  // the Set-Printer-Attributes attribute ("" for the media-col members)
  settingKind kind;
  const char* supported;  // "" when fixed by the kind
  const char* words;
};

inline constexpr settingRow kSettings[] = {
    {"label-mode-configured", "label-mode-configured", kKeyword, "label-mode-supported",
     "what happens to each label: tear-off, peel-off (handed over to be taken), rewind"},
    {"printer-darkness-configured", "printer-darkness-configured", kPercent, "",
     "the printer's darkness, percent (0 to 100)"},
    {"print-darkness-default", "print-darkness-default", kSignedPercent, "",
     "jobs' change of the darkness, percent (-100 to 100)"},
    {"print-speed-default", "print-speed-default", kSpeed, "print-speed-supported",
     "print speed, hundredths of mm per second or 'N in' per second; 0 keeps the printer's own"},
    {"media-default", "media-default", kSize, "media-supported",
     "the label size jobs print on, also the size loaded (the printer has one roll)"},
    {"media-ready", "media-ready", kSize, "media-supported",
     "the label size loaded, also the one jobs print on"},
    {"media-tracking", "", kKeyword, "media-tracking-supported",
     "how the printer finds each label: gap, mark, continuous, web"},
    {"media-type", "", kKeyword, "media-type-supported", "the media's type"},
    {"media-source", "", kKeyword, "media-source-supported", "the media's source"},
    {"media-top-offset", "", kLength, "media-top-offset-supported",
     "where printing starts on the label, hundredths of mm or 'N mm'"},
    {"orientation-requested-default", "orientation-requested-default", kEnumName,
     "orientation-requested-supported", "the page's turn: portrait, landscape, ..."},
    {"print-color-mode-default", "print-color-mode-default", kKeyword, "print-color-mode-supported",
     "how colours become dots"},
    {"print-content-optimize-default", "print-content-optimize-default", kKeyword,
     "print-content-optimize-supported", "photo dithers grey; the others cut it at mid-grey"},
    {"print-quality-default", "print-quality-default", kEnumName, "print-quality-supported",
     "draft, normal, high"},
    {"print-scaling-default", "print-scaling-default", kKeyword, "print-scaling-supported",
     "how a page is fitted to the label"},
    {"printer-resolution-default", "printer-resolution-default", kResolution, "printer-resolution-supported",
     "the resolution, dots per inch"},
    {"copies-default", "copies-default", kInteger, "copies-supported", "copies of each document"},
    {"label-tear-offset-default", "label-tear-offset-default", kInteger, "label-tear-offset-supported",
     "where the label stops for tearing off, hundredths of mm"},
    {"label-media-type-default", "label-media-type-default", kKeyword, "label-media-type-supported",
     "direct thermal, thermal transfer (ribbon), or as set on the printer"},
    {"label-rotate-180-default", "label-rotate-180-default", kBoolean, "", "print each label upside down"},
    {"label-mirror-default", "label-mirror-default", kBoolean, "", "print each label mirrored"},
    {"label-inverse-default", "label-inverse-default", kBoolean, "", "print white on black"},
    {"label-pause-default", "label-pause-default", kKeyword, "label-pause-supported",
     "pause the printer after each job or label"},
    {"printer-location", "printer-location", kText, "", "where the printer is"},
    {"printer-geo-location", "printer-geo-location", kGeo, "", "its place as a geo: URI"},
    {"printer-organization", "printer-organization", kText, "", "its organization"},
    {"printer-organizational-unit", "printer-organizational-unit", kText, "", "its unit"},
};

// The characters of an option's name on the command line.
inline constexpr char kOptionNameCharacters[] =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.";

// The options the command line carries besides settings.
inline constexpr const char* kNotSettings[] = {"printer-name", "printer-uri",     "server-hostname",
                                               "job-id",       "smi55357-driver", "smi55357-device-uri",
                                               "cancel-all"};

// 'findSetting()' - the row of a name: the setting's own, or its name without "-default" or
// "-configured" as a job option says it.
const settingRow* findSetting(const std::string& name) {
  for (const settingRow& row : kSettings) {
    const std::string own = row.name;
    if (name == own) return &row;
    for (const char* suffix : {"-default", "-configured"})
      if (own.size() > std::strlen(suffix) && own.ends_with(suffix) &&
          name == own.substr(0, own.size() - std::strlen(suffix)))
        return &row;
  }
  return nullptr;
}

bool integerOf(const std::string& text, long* number) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  *number = std::strtol(text.c_str(), &end, 10);
  return errno == 0 && *end == '\0';
}

// 'lengthOf()' - a length or speed in hundredths of mm: a bare number, or a number of mm or in.
bool lengthOf(const std::string& text, long* hundredths) {
  char* end = nullptr;
  errno = 0;
  const double number = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || errno != 0) return false;
  std::string unit = end;
  while (!unit.empty() && unit.front() == ' ') unit.erase(0, 1);
  double scale = 0;
  if (unit.empty()) scale = 1;
  if (unit == "mm") scale = 100;
  if (unit == "in") scale = 2540;
  if (scale == 0 || number * scale < -1e9 || number * scale > 1e9) return false;
  *hundredths = std::lround(number * scale);
  return unit.empty() ? number == static_cast<double>(*hundredths) : true;
}

// 'inRange()' - whether a number is one of the supported attribute's integers or within its range
// (true when the printer lists none).
bool inRange(ipp_attribute_t* supported, long number) {
  if (supported == nullptr) return true;
  for (int i = 0; i < ippGetCount(supported); ++i) {
    if (ippGetValueTag(supported) == IPP_TAG_RANGE) {
      int upper = 0;
      const int lower = ippGetRange(supported, i, &upper);
      if (number >= lower && number <= upper) return true;
    } else if (ippGetInteger(supported, i) == number) {
      return true;
    }
  }
  return false;
}

// 'supportedText()' - the supported values in words: "tear-off, peel-off" or "-1500 to 1500".
std::string supportedText(ipp_attribute_t* supported) {
  if (supported == nullptr) return "";
  std::string text;
  for (int i = 0; i < ippGetCount(supported); ++i) {
    if (!text.empty()) text += ", ";
    if (ippGetValueTag(supported) == IPP_TAG_RANGE) {
      int upper = 0;
      const int lower = ippGetRange(supported, i, &upper);
      text += std::to_string(lower) + " to " + std::to_string(upper);
    } else {
      char value[64];
      if (ippGetValueTag(supported) == IPP_TAG_ENUM) {
        text += ippEnumString(ippGetName(supported), ippGetInteger(supported, i));
      } else if (ippGetValueTag(supported) == IPP_TAG_INTEGER) {
        text += std::to_string(ippGetInteger(supported, i));
      } else if (ippGetValueTag(supported) == IPP_TAG_RESOLUTION) {
        ipp_res_t units;
        int y = 0;
        std::snprintf(value, sizeof value, "%ddpi", ippGetResolution(supported, i, &y, &units));
        text += value;
      } else if (const char* s = ippGetString(supported, i, nullptr)) {
        text += s;
      }
    }
  }
  return text;
}

// 'keywordSupported()' - whether a keyword is among the supported ones.
bool keywordSupported(ipp_attribute_t* supported, const std::string& value) {
  for (int i = 0; i < ippGetCount(supported); ++i)
    if (const char* s = ippGetString(supported, i, nullptr); s != nullptr && value == s) return true;
  return false;
}

// 'sizeTaken()' - whether the printer takes labels 'width' x 'length' (hundredths of mm): one of its
// sizes, or a custom size within its range (custom_min_... to custom_max_...).
bool sizeTaken(ipp_attribute_t* supported, int width, int length) {
  int minWidth = 0, minLength = 0, maxWidth = -1, maxLength = -1;
  for (int i = 0; i < ippGetCount(supported); ++i) {
    const char* name = ippGetString(supported, i, nullptr);
    // The lookup answers a custom size in one buffer: each is read at once.
    const pwg_media_t* size = name != nullptr ? pwgMediaForPWG(name) : nullptr;
    if (size == nullptr) continue;
    if (std::strncmp(name, "custom_min_", 11) == 0) {
      minWidth = size->width, minLength = size->length;
    } else if (std::strncmp(name, "custom_max_", 11) == 0) {
      maxWidth = size->width, maxLength = size->length;
    } else if (size->width == width && size->length == length) {
      return true;
    }
  }
  return width >= minWidth && width <= maxWidth && length >= minLength && length <= maxLength;
}

// 'sizeNameTaken()' - whether a size name is one the printer takes: a supported name, or a custom
// name ("custom_50x30mm_50x30mm") whose size is within the range. The range's own ends are no sizes.
bool sizeNameTaken(ipp_attribute_t* supported, const std::string& name) {
  if (name.starts_with("custom_min_") || name.starts_with("custom_max_")) return false;
  if (keywordSupported(supported, name)) return true;
  const pwg_media_t* size = pwgMediaForPWG(name.c_str());
  return size != nullptr && sizeTaken(supported, size->width, size->length);
}

// 'geoTaken()' - whether a text is a geo: URI of a place on the earth.
bool geoTaken(const std::string& value) {
  double latitude = 0, longitude = 0;
  return std::sscanf(value.c_str(), "geo:%lf,%lf", &latitude, &longitude) == 2 && latitude >= -90 &&
         latitude <= 90 && longitude >= -180 && longitude <= 180;
}

// 'checkValue()' - whether a value is one the printer takes for the setting; else the reason.
bool checkValue(const settingRow& row, const std::string& value, ipp_t* printer, std::string* reason) {
  ipp_attribute_t* supported =
      row.supported[0] != '\0' ? ippFindAttribute(printer, row.supported, IPP_TAG_ZERO) : nullptr;
  const std::string name = row.name;
  const auto refuse = [&](const std::string& allowed) {
    *reason = "'" + value + "' is not a value of " + name + (allowed.empty() ? "" : " (" + allowed + ")");
    return false;
  };
  long number = 0;
  switch (row.kind) {
    case kKeyword:
      return keywordSupported(supported, value) ? true : refuse(supportedText(supported));
    case kInteger:
      return integerOf(value, &number) && inRange(supported, number) ? true
                                                                     : refuse(supportedText(supported));
    case kPercent:
      return integerOf(value, &number) && number >= 0 && number <= 100 ? true : refuse("0 to 100");
    case kSignedPercent:
      return integerOf(value, &number) && number >= -100 && number <= 100 ? true : refuse("-100 to 100");
    case kBoolean:
      return value == "true" || value == "false" ? true : refuse("true, false");
    case kEnumName: {
      const int asName = ippEnumValue(name.substr(0, name.rfind('-')).c_str(), value.c_str());
      const long asNumber = integerOf(value, &number) ? number : asName;
      return asNumber > 0 && inRange(supported, asNumber) ? true : refuse(supportedText(supported));
    }
    case kSpeed:
      return lengthOf(value, &number) && (number == 0 || inRange(supported, number))
                 ? true
                 : refuse("0, or " + supportedText(supported) + " hundredths of mm per second");
    case kLength:
      return lengthOf(value, &number) && inRange(supported, number) ? true : refuse(supportedText(supported));
    case kResolution: {
      int x = 0, y = 0;
      char units[8] = "";
      const int got = std::sscanf(value.c_str(), "%dx%d%7s", &x, &y, units);
      if (got != 3 && std::sscanf(value.c_str(), "%d%7s", &x, units) == 2) y = x;
      for (int i = 0; supported != nullptr && i < ippGetCount(supported); ++i) {
        ipp_res_t u;
        int sy = 0;
        if (ippGetResolution(supported, i, &sy, &u) == x && sy == y && std::strcmp(units, "dpi") == 0)
          return true;
      }
      return refuse(supportedText(supported));
    }
    case kSize:
      return sizeNameTaken(supported, value)
                 ? true
                 : refuse(supportedText(supported) + "; a custom size is custom_WxLmm_WxLmm within them");
    case kGeo:
      return geoTaken(value) ? true : refuse("geo:LATITUDE,LONGITUDE");
    case kText:
      return true;
  }
  return false;
}

// 'valueText()' - value 'i' of an IPP attribute as the command line would give it; false for a value
// of a kind no setting takes.
bool valueText(ipp_attribute_t* a, int i, std::string* value) {
  switch (ippGetValueTag(a)) {
    case IPP_TAG_KEYWORD:
    case IPP_TAG_NAME:
    case IPP_TAG_NAMELANG:
    case IPP_TAG_TEXT:
    case IPP_TAG_TEXTLANG:
    case IPP_TAG_URI: {
      const char* text = ippGetString(a, i, nullptr);
      *value = text != nullptr ? text : "";
      return true;
    }
    case IPP_TAG_INTEGER:
    case IPP_TAG_ENUM:
      *value = std::to_string(ippGetInteger(a, i));
      return true;
    case IPP_TAG_BOOLEAN:
      *value = ippGetBoolean(a, i) ? "true" : "false";
      return true;
    default:
      return false;
  }
}

// 'checkMediaCol()' - whether the members of a media collection are values the printer takes: its
// size by name or by its dimensions, and the members that are settings of their own.
bool checkMediaCol(ipp_t* col, ipp_t* printer, std::string* error) {
  ipp_attribute_t* sizes = ippFindAttribute(printer, "media-supported", IPP_TAG_ZERO);
  const std::string allowed = " is not a label size of this printer (" + supportedText(sizes) + ")";
  for (ipp_attribute_t* a = ippFirstAttribute(col); a != nullptr; a = ippNextAttribute(col)) {
    const std::string member = ippGetName(a) != nullptr ? ippGetName(a) : "";
    std::string value;
    if (member == "media-size") {
      ipp_t* size = ippGetCollection(a, 0);
      ipp_attribute_t* x = ippFindAttribute(size, "x-dimension", IPP_TAG_INTEGER);
      ipp_attribute_t* y = ippFindAttribute(size, "y-dimension", IPP_TAG_INTEGER);
      if (x == nullptr || y == nullptr || !sizeTaken(sizes, ippGetInteger(x, 0), ippGetInteger(y, 0))) {
        *error = "media-size" + allowed;
        return false;
      }
    } else if (member == "media-size-name") {
      if (!valueText(a, 0, &value) || !sizeNameTaken(sizes, value)) {
        *error = "'" + value + "'" + allowed;
        return false;
      }
    } else if (const settingRow* row = findSetting(member); row != nullptr && row->attribute[0] == '\0') {
      if (!valueText(a, 0, &value)) {
        *error = "'" + member + "' has a value of the wrong kind";
        return false;
      }
      if (!checkValue(*row, value, printer, error)) return false;
    }
  }
  return true;
}

}  // namespace

int addSettings(int count, cups_option_t* options, ipp_t* printer, ipp_t* request, std::string* error) {
  ipp_t* mediaCol = nullptr;
  for (int i = 0; i < count; ++i) {
    const std::string name = options[i].name, value = options[i].value != nullptr ? options[i].value : "";
    bool carried = false;
    for (const char* other : kNotSettings) carried = carried || name == other;
    if (carried) continue;
    const settingRow* row = findSetting(name);
    if (row == nullptr) {
      *error = "'" + name + "' is not a setting of this printer; 'options' lists them";
      ippDelete(mediaCol);
      return 1;
    }
    if (!checkValue(*row, value, printer, error)) {
      ippDelete(mediaCol);
      return 1;
    }
    long number = 0;
    const char* attribute = row->attribute;
    switch (row->kind) {
      case kSize:
        ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, attribute, nullptr, value.c_str());
        break;
      case kGeo:
        ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_URI, attribute, nullptr, value.c_str());
        break;
      case kKeyword:
        if (attribute[0] == '\0') {
          if (mediaCol == nullptr) mediaCol = ippNew();
          ippAddString(mediaCol, IPP_TAG_ZERO, IPP_TAG_KEYWORD, row->name, nullptr, value.c_str());
        } else {
          ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, attribute, nullptr, value.c_str());
        }
        break;
      case kInteger:
      case kPercent:
      case kSignedPercent:
        integerOf(value, &number);
        ippAddInteger(request, IPP_TAG_PRINTER, IPP_TAG_INTEGER, attribute, static_cast<int>(number));
        break;
      case kSpeed:
      case kLength:
        lengthOf(value, &number);
        if (attribute[0] == '\0') {
          if (mediaCol == nullptr) mediaCol = ippNew();
          ippAddInteger(mediaCol, IPP_TAG_ZERO, IPP_TAG_INTEGER, row->name, static_cast<int>(number));
        } else {
          ippAddInteger(request, IPP_TAG_PRINTER, IPP_TAG_INTEGER, attribute, static_cast<int>(number));
        }
        break;
      case kBoolean:
        ippAddBoolean(request, IPP_TAG_PRINTER, attribute, value == "true");
        break;
      case kEnumName: {
        const std::string base = std::string(row->name).substr(0, std::string(row->name).rfind('-'));
        const int asName = ippEnumValue(base.c_str(), value.c_str());
        ippAddInteger(request, IPP_TAG_PRINTER, IPP_TAG_ENUM, attribute,
                      integerOf(value, &number) ? static_cast<int>(number) : asName);
        break;
      }
      case kResolution: {
        int x = 0, y = 0;
        if (std::sscanf(value.c_str(), "%dx%d", &x, &y) != 2) y = x;
        ippAddResolution(request, IPP_TAG_PRINTER, attribute, IPP_RES_PER_INCH, x, y);
        break;
      }
      case kText:
        ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_TEXT, attribute, nullptr, value.c_str());
        break;
    }
  }
  if (mediaCol != nullptr) {
    // The members not given keep the printer's present default.
    ipp_t* current =
        ippGetCollection(ippFindAttribute(printer, "media-col-default", IPP_TAG_BEGIN_COLLECTION), 0);
    for (ipp_attribute_t* a = ippFirstAttribute(current); a != nullptr; a = ippNextAttribute(current))
      if (const char* member = ippGetName(a);
          member != nullptr && ippFindAttribute(mediaCol, member, IPP_TAG_ZERO) == nullptr)
        ippCopyAttribute(mediaCol, a, 0);
    ippAddCollection(request, IPP_TAG_PRINTER, "media-col-default", mediaCol);
    ippDelete(mediaCol);
  }
  return 0;
}

int checkSettingsRequest(ipp_t* request, ipp_t* printer, std::string* error) {
  for (ipp_attribute_t* a = ippFirstAttribute(request); a != nullptr; a = ippNextAttribute(request)) {
    const char* name = ippGetName(a);
    if (name == nullptr || ippGetGroupTag(a) != IPP_TAG_PRINTER) continue;
    // The labels loaded: one value for each of the printer's sources.
    const int sources = ippGetCount(ippFindAttribute(printer, "media-source-supported", IPP_TAG_ZERO));
    if ((std::strcmp(name, "media-ready") == 0 || std::strcmp(name, "media-col-ready") == 0) &&
        ippGetCount(a) > std::max(sources, 1)) {
      *error = std::string("'") + name + "' has more values than the printer has sources (" +
               std::to_string(std::max(sources, 1)) + ")";
      return 1;
    }
    if (std::strcmp(name, "media-col-default") == 0 || std::strcmp(name, "media-col-ready") == 0) {
      for (int i = 0; i < ippGetCount(a); ++i)
        if (ippGetValueTag(a) != IPP_TAG_BEGIN_COLLECTION ||
            !checkMediaCol(ippGetCollection(a, i), printer, error))
          return 1;
      continue;
    }
    const settingRow* row = nullptr;
    for (const settingRow& r : kSettings)
      if (r.attribute[0] != '\0' && std::strcmp(name, r.attribute) == 0) row = &r;
    if (row == nullptr || row->kind == kText || row->kind == kResolution) continue;
    for (int i = 0; i < ippGetCount(a); ++i) {
      std::string value;
      if (!valueText(a, i, &value)) {
        *error = std::string("'") + name + "' has a value of the wrong kind";
        return 1;
      }
      if (!checkValue(*row, value, printer, error)) return 1;
    }
  }
  return 0;
}

std::string describeSettings(ipp_t* printer) {
  std::string text;
  for (const settingRow& row : kSettings) {
    char current[1024] = "";
    ipp_attribute_t* now = nullptr;
    if (row.attribute[0] != '\0') {
      now = ippFindAttribute(printer, row.attribute, IPP_TAG_ZERO);
    } else {
      ipp_t* media =
          ippGetCollection(ippFindAttribute(printer, "media-col-default", IPP_TAG_BEGIN_COLLECTION), 0);
      now = ippFindAttribute(media, row.name, IPP_TAG_ZERO);
    }
    if (now != nullptr) ippAttributeString(now, current, sizeof current);
    std::string choices;
    switch (row.kind) {
      case kPercent:
        choices = "0 to 100";
        break;
      case kSignedPercent:
        choices = "-100 to 100";
        break;
      case kBoolean:
        choices = "true, false";
        break;
      case kText:
        choices = "text";
        break;
      case kGeo:
        choices = "geo:LATITUDE,LONGITUDE";
        break;
      case kSize:
        choices = supportedText(ippFindAttribute(printer, row.supported, IPP_TAG_ZERO)) +
                  "; a custom size as custom_WxLmm_WxLmm within them";
        break;
      default:
        choices = supportedText(ippFindAttribute(printer, row.supported, IPP_TAG_ZERO));
        if (row.kind == kSpeed) choices = "0, " + choices;
        break;
    }
    text += "  -o " + std::string(row.name) + "=VALUE\n      " + row.words + "\n      values: " + choices +
            "\n      now: " + (current[0] != '\0' ? current : "(not set)") + "\n";
  }
  return text;
}

std::string joinOptionWords(const std::string& text) {
  // The framework's own quoting, escapes and collections are left as written.
  if (text.find_first_of("\"\\{}") != std::string::npos) return text;
  struct option {
    std::string name, value;  // a word without a name is an option of its own, as the framework reads it
    bool named;
  };
  std::vector<option> options;
  for (size_t at = text.find_first_not_of(" \t"); at != std::string::npos;) {
    const size_t end = std::min(text.find_first_of(" \t", at), text.size());
    const std::string word = text.substr(at, end - at);
    const size_t equals = word.find('=');
    const bool named = equals != std::string::npos && equals > 0 &&
                       std::isalpha(static_cast<unsigned char>(word[0])) &&
                       word.find_first_not_of(kOptionNameCharacters) == equals;
    if (named) {
      if (word.compare(equals + 1, 1, "'") == 0) return text;  // quoted the framework's way
      options.push_back({word.substr(0, equals), word.substr(equals + 1), true});
    } else if (!options.empty() && options.back().named) {
      // A word of the value before it, with the blanks between them.
      const size_t previous = text.find_last_not_of(" \t", at - 1) + 1;
      options.back().value += text.substr(previous, at - previous) + word;
    } else {
      options.push_back({"", word, false});
    }
    at = text.find_first_not_of(" \t", end);
  }
  std::string joined;
  for (const option& o : options) {
    if (!joined.empty()) joined += ' ';
    if (!o.named)
      joined += o.value;
    else if (o.value.find_first_of(" \t") == std::string::npos)
      joined += o.name + "=" + o.value;
    else
      joined += o.name + "=\"" + o.value + "\"";
  }
  return joined;
}
