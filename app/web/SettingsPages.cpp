// SPDX-License-Identifier: Apache-2.0
// The printer's settings pages in label words. The framework's printing defaults page shows the label
// settings under their attribute names (the tear-off adjustment as a bare number of hundredths of a
// millimetre), calls the colour mode "Print Mode", has no label mode; its media page has no names on
// its lists and saves a custom size wider than the head. These two pages take their place: every
// setting under its name and unit from the localisation strings (Words.cpp), lengths in millimetres,
// and a size outside the driver's range refused with the reason (the door, app/door/Web.cpp, shows
// them in the framework's place).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/web/web.h"

namespace {

const char* words(pappl_client_t* client, const char* key) { return papplClientGetLocString(client, key); }

// 'keywordWords()' - a keyword value's words: the strings' "NAME.VALUE", else the value itself.
std::string keywordWords(pappl_client_t* client, const char* name, const char* value) {
  const std::string key = std::string(name) + "." + value;
  const char* text = words(client, key.c_str());
  return text != nullptr && key != text ? text : value;
}

void row(pappl_client_t* client, const char* key) {
  papplClientHTMLPrintf(client, "              <tr><th>%s:</th><td>", words(client, key));
}

void select(pappl_client_t* client, const char* name, const char* const* values, int count,
            const char* current, const char* wordsOf) {
  papplClientHTMLPrintf(client, "<select name=\"%s\">", name);
  for (int i = 0; i < count; ++i)
    papplClientHTMLPrintf(client, "<option value=\"%s\"%s>%s</option>", values[i],
                          current != nullptr && std::strcmp(values[i], current) == 0 ? " selected" : "",
                          keywordWords(client, wordsOf, values[i]).c_str());
  papplClientHTMLPuts(client, "</select>");
}

// 'selectBits()' - a list of the keywords of the supported bits, from 'first' to 'last', 'current'
// chosen, in the words of "WORDSOF.KEYWORD", ending the row.
template <typename Bits>
void selectBits(pappl_client_t* client, const char* name, const char* wordsOf, unsigned supported,
                unsigned current, unsigned first, unsigned last, const char* (*keyword)(Bits)) {
  papplClientHTMLPrintf(client, "<select name=\"%s\">", name);
  for (unsigned bit = first; bit <= last; bit *= 2) {
    if ((supported & bit) == 0) continue;
    const char* value = keyword(static_cast<Bits>(bit));
    papplClientHTMLPrintf(client, "<option value=\"%s\"%s>%s</option>", value,
                          current == bit ? " selected" : "", keywordWords(client, wordsOf, value).c_str());
  }
  papplClientHTMLPuts(client, "</select></td></tr>\n");
}

// 'vendorDefault()' - a vendor attribute's default, as text.
std::string vendorDefault(pappl_printer_t* printer, const char* name) {
  ipp_t* attributes = papplPrinterGetDriverAttributes(printer);
  char value[256] = "";
  ippAttributeString(ippFindAttribute(attributes, (std::string(name) + "-default").c_str(), IPP_TAG_ZERO),
                     value, sizeof value);
  ippDelete(attributes);
  return value;
}

// 'sizeWords()' - a label size in words: "4 x 6 in (102 x 152 mm)", or "100 x 150 mm".
std::string sizeWords(const char* name) {
  const pwg_media_t* size = pwgMediaForPWG(name);
  if (size == nullptr) return name;
  char text[96];
  const double mmWide = size->width / 100.0, mmLong = size->length / 100.0;
  if (std::strlen(name) > 2 && std::strcmp(name + std::strlen(name) - 2, "in") == 0)
    std::snprintf(text, sizeof text, "%g x %g in (%.0f x %.0f mm)", size->width / 2540.0,
                  size->length / 2540.0, mmWide, mmLong);
  else
    std::snprintf(text, sizeof text, "%g x %g mm", mmWide, mmLong);
  return text;
}

// The driver's custom size range, in hundredths of mm.
struct sizeRange {
  int minWidth = 0, minLength = 0, maxWidth = 0, maxLength = 0;
};

// 'customRange()' - the driver's custom size range; false without one. (The size lookup answers a
// custom size in one buffer, so each is copied at once.)
bool customRange(const pappl_pr_driver_data_t& data, sizeRange* range) {
  bool low = false, high = false;
  for (int i = 0; i < data.num_media; ++i) {
    const bool isLow = std::strncmp(data.media[i], "custom_min_", 11) == 0;
    const bool isHigh = std::strncmp(data.media[i], "custom_max_", 11) == 0;
    const pwg_media_t* size = isLow || isHigh ? pwgMediaForPWG(data.media[i]) : nullptr;
    if (size == nullptr) continue;
    (isLow ? range->minWidth : range->maxWidth) = size->width;
    (isLow ? range->minLength : range->maxLength) = size->length;
    (isLow ? low : high) = true;
  }
  return low && high;
}

// 'formNumber()' - a form field as a number; false when it is missing or is not one.
bool formNumber(int count, cups_option_t* form, const char* name, double* number) {
  const char* value = cupsGetOption(name, count, form);
  if (value == nullptr || value[0] == '\0') return false;
  char* end = nullptr;
  *number = std::strtod(value, &end);
  return *end == '\0' && std::isfinite(*number);
}

inline constexpr const char* kBooleanVendors[] = {kRotateAttr, kMirrorAttr, kInverseAttr};
inline constexpr const char* kMediaTypes[] = {"printer-setting", "direct-thermal", "thermal-transfer"};
inline constexpr const char* kPauses[] = {"none", "after-label", "after-job"};
inline constexpr const char* kOrientations[] = {"3", "4", "5", "6", "7"};
inline constexpr const char* kQualities[] = {"3", "4", "5"};
inline constexpr const char* kContents[] = {"auto", "text", "text-and-graphic", "graphic", "photo"};
inline constexpr const char* kScalings[] = {"auto", "auto-fit", "fit", "fill", "none"};

// 'listed()' - whether a form value is one of a list's.
template <size_t N>
bool listed(const char* value, const char* const (&values)[N]) {
  for (const char* one : values)
    if (std::strcmp(value, one) == 0) return true;
  return false;
}

// 'formInteger()' - a form field as a whole number within 'low' to 'high': 1, 0 when the field is
// missing, -1 when it is not one of them.
int formInteger(int count, cups_option_t* form, const char* name, long low, long high, long* number) {
  double value = 0;
  if (cupsGetOption(name, count, form) == nullptr) return 0;
  if (!formNumber(count, form, name, &value) || value != std::floor(value) || value < low || value > high)
    return -1;
  *number = static_cast<long>(value);
  return 1;
}

// 'readForm()' - the form a page was sent, checked: nullptr, or the banner's words when there is none
// to use.
const char* readForm(pappl_client_t* client, int* count, cups_option_t** form) {
  *count = papplClientGetForm(client, form);
  if (*count == 0) return "Invalid form data.";
  if (papplClientIsValidForm(client, *count, *form)) return nullptr;
  cupsFreeOptions(*count, *form);
  return "Invalid form submission.";
}

// 'saveDefaults()' - the printing defaults from the form: the status words for the banner. A value
// outside what the printer takes saves nothing.
const char* saveDefaults(pappl_client_t* client, pappl_printer_t* printer, pappl_pr_driver_data_t* data) {
  int count = 0;
  cups_option_t* form = nullptr;
  if (const char* refused = readForm(client, &count, &form)) return refused;
  bool refused = false;
  const auto get = [&](const char* name) { return cupsGetOption(name, count, form); };
  if (const char* mode = get("label-mode-configured")) {
    const pappl_label_mode_t value = _papplLabelModeValue(mode);
    refused = refused || (data->mode_supported & value) == 0;
    data->mode_configured = value;
  }
  long number = 0;
  // Each field: 1 when given and taken, 0 when missing, -1 when refused.
  const auto integer = [&](const char* name, long low, long high) {
    const int got = formInteger(count, form, name, low, high, &number);
    refused = refused || got < 0;
    return got > 0;
  };
  if (integer("printer-darkness-configured", 0, 100)) data->darkness_configured = static_cast<int>(number);
  if (integer("print-darkness-default", -100, 100)) data->darkness_default = static_cast<int>(number);
  if (integer("print-speed-default", 0, data->speed_supported[1])) {
    refused = refused || (number != 0 && number < data->speed_supported[0]);
    data->speed_default = static_cast<int>(number);
  }
  int copies = 0;
  if (integer("copies-default", 1, kMaxCopies)) copies = static_cast<int>(number);
  if (integer("orientation-requested", IPP_ORIENT_PORTRAIT, IPP_ORIENT_NONE))
    data->orient_default = static_cast<ipp_orient_t>(number);
  if (integer("print-quality", IPP_QUALITY_DRAFT, IPP_QUALITY_HIGH))
    data->quality_default = static_cast<ipp_quality_t>(number);
  if (const char* color = get("print-color-mode")) {
    data->color_default = _papplColorModeValue(color);
    refused = refused || (data->color_supported & data->color_default) == 0;
  }
  if (const char* content = get("print-content-optimize")) {
    refused = refused || !listed(content, kContents);
    data->content_default = _papplContentValue(content);
  }
  if (const char* scaling = get("print-scaling")) {
    refused = refused || !listed(scaling, kScalings);
    data->scaling_default = _papplScalingValue(scaling);
  }

  int vendorCount = 0;
  cups_option_t* vendor = nullptr;
  double tear = 0;
  if (get(kTearOffsetAttr) != nullptr) {
    if (!formNumber(count, form, kTearOffsetAttr, &tear) || tear < -15 || tear > 15)
      refused = true;
    else
      vendorCount = cupsAddOption(kTearOffsetAttr, std::to_string(std::lround(tear * 100)).c_str(),
                                  vendorCount, &vendor);
  }
  const auto keyword = [&](const char* name, bool (*known)(const char*)) {
    if (const char* value = get(name)) {
      refused = refused || !known(value);
      vendorCount = cupsAddOption(name, value, vendorCount, &vendor);
    }
  };
  keyword(kMediaTypeAttr, [](const char* value) { return listed(value, kMediaTypes); });
  keyword(kPauseAttr, [](const char* value) { return listed(value, kPauses); });
  for (const char* name : kBooleanVendors)
    vendorCount = cupsAddOption(name, get(name) != nullptr ? "true" : "false", vendorCount, &vendor);
  cupsFreeOptions(count, form);
  const bool saved = !refused && saveDriverDefaults(printer, data, vendorCount, vendor, copies);
  cupsFreeOptions(vendorCount, vendor);
  return saved ? "Changes saved." : "label-settings.refused";
}

// 'saveMedia()' - the loaded labels from the form: the status words for the banner.
const char* saveMedia(pappl_client_t* client, pappl_printer_t* printer, const pappl_pr_driver_data_t& data) {
  int count = 0;
  cups_option_t* form = nullptr;
  if (const char* refused = readForm(client, &count, &form)) return refused;
  pappl_media_col_t ready = data.media_ready[0];
  const char* status = "Changes saved.";
  const char* size = cupsGetOption("size", count, form);
  pwg_media_t* chosen = nullptr;
  if (size != nullptr && std::strcmp(size, "custom") == 0) {
    double width = 0, length = 0;
    const char* units = cupsGetOption("units", count, form);
    const double scale = units != nullptr && std::strcmp(units, "in") == 0 ? 2540 : 100;
    sizeRange range;
    if (!formNumber(count, form, "width", &width) || !formNumber(count, form, "length", &length) ||
        !customRange(data, &range) || width * scale < range.minWidth || width * scale > range.maxWidth ||
        length * scale < range.minLength || length * scale > range.maxLength)
      status = "media.size-refused";
    else
      chosen = pwgMediaForSize(static_cast<int>(std::lround(width * scale)),
                               static_cast<int>(std::lround(length * scale)));
  } else if (size != nullptr) {
    for (int i = 0; i < data.num_media; ++i)
      if (std::strcmp(size, data.media[i]) == 0 && std::strncmp(size, "custom_", 7) != 0)
        chosen = pwgMediaForPWG(size);
    if (chosen == nullptr) status = "media.size-refused";
  }
  if (chosen != nullptr) {
    papplCopyString(ready.size_name, chosen->pwg, sizeof ready.size_name);
    ready.size_width = chosen->width;
    ready.size_length = chosen->length;
  }
  if (const char* tracking = cupsGetOption("tracking", count, form)) {
    const pappl_media_tracking_t value = _papplMediaTrackingValue(tracking);
    if ((data.tracking_supported & value) == 0) status = "label-settings.refused";
    ready.tracking = value;
  }
  if (const char* type = cupsGetOption("type", count, form)) {
    bool known = false;
    for (int i = 0; i < data.num_type; ++i) known = known || std::strcmp(type, data.type[i]) == 0;
    if (!known) status = "label-settings.refused";
    papplCopyString(ready.type, type, sizeof ready.type);
  }
  double offset = 0;
  if (formNumber(count, form, "top-offset", &offset)) {
    const long hundredths = std::lround(offset * 100);
    if (hundredths < data.top_offset_supported[0] || hundredths > data.top_offset_supported[1])
      status = "media.offset-refused";
    else
      ready.top_offset = static_cast<int>(hundredths);
  }
  cupsFreeOptions(count, form);
  if (std::strcmp(status, "Changes saved.") != 0) return status;
  if (!papplPrinterSetReadyMedia(printer, 1, &ready)) return "label-settings.refused";
  // The size saved is the user's: the length the printer measures no longer replaces it.
  if (printerLink* link = linkOf(printer); link != nullptr && size != nullptr) link->sizeChosen = true;
  return status;
}

void banner(pappl_client_t* client, const char* status) {
  if (status != nullptr)
    papplClientHTMLPrintf(client, "<div class=\"banner\">%s</div>\n", words(client, status));
}

}  // namespace

void showDefaultsPage(pappl_client_t* client, pappl_printer_t* printer) {
  if (!papplClientHTMLAuthorize(client)) return;
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  const char* status = nullptr;
  if (papplClientGetMethod(client) == HTTP_STATE_POST) {
    status = saveDefaults(client, printer, &data);
    papplPrinterGetDriverData(printer, &data);
  }
  papplClientHTMLPrinterHeader(client, printer, "Printing Defaults", 0, nullptr, nullptr);
  banner(client, status);
  papplClientHTMLStartForm(client, papplClientGetURI(client), false);
  papplClientHTMLPuts(client, "          <table class=\"form\">\n            <tbody>\n");

  char mediaPath[1024];
  papplPrinterGetPath(printer, "media", mediaPath, sizeof mediaPath);
  row(client, "label-size");
  papplClientHTMLPrintf(client, "%s <a class=\"btn\" href=\"%s\">%s</a></td></tr>\n",
                        sizeWords(data.media_ready[0].size_name).c_str(), mediaPath,
                        words(client, "Configure Media"));

  row(client, "label-mode-configured");
  selectBits(client, "label-mode-configured", "label-mode-configured", data.mode_supported,
             data.mode_configured, PAPPL_LABEL_MODE_APPLICATOR, PAPPL_LABEL_MODE_TEAR_OFF,
             _papplLabelModeString);

  const std::string mediaType = vendorDefault(printer, kMediaTypeAttr);
  row(client, kMediaTypeAttr);
  select(client, kMediaTypeAttr, kMediaTypes, 3, mediaType.c_str(), kMediaTypeAttr);
  papplClientHTMLPuts(client, "</td></tr>\n");

  // The darkness in the printer's steps, and the present value among them when it lies between two.
  row(client, "printer-darkness-configured");
  papplClientHTMLPuts(client, "<select name=\"printer-darkness-configured\">");
  for (int i = 0, shown = -1; i < data.darkness_supported; ++i) {
    const int percent = 100 * i / (data.darkness_supported - 1);
    if (data.darkness_configured > shown && data.darkness_configured < percent)
      papplClientHTMLPrintf(client, "<option value=\"%d\" selected>%d%%</option>", data.darkness_configured,
                            data.darkness_configured);
    papplClientHTMLPrintf(client, "<option value=\"%d\"%s>%d%%</option>", percent,
                          percent == data.darkness_configured ? " selected" : "", percent);
    shown = percent;
  }
  papplClientHTMLPuts(client, "</select></td></tr>\n");

  row(client, "print-darkness-default");
  papplClientHTMLPrintf(client,
                        "<input type=\"number\" name=\"print-darkness-default\" min=\"-100\" max=\"100\" "
                        "step=\"1\" value=\"%d\"></td></tr>\n",
                        data.darkness_default);

  // Speeds in whole inches per second, and the present one among them when it lies between two; the
  // values are hundredths of a millimetre per second, as the setting's.
  row(client, "print-speed-default");
  papplClientHTMLPrintf(client, "<select name=\"print-speed-default\"><option value=\"0\"%s>%s</option>",
                        data.speed_default == 0 ? " selected" : "",
                        words(client, "print-speed-default.printer"));
  for (int speed = data.speed_supported[0], shown = 0; speed <= data.speed_supported[1] && speed > 0;
       speed += 2540) {
    if (data.speed_default > shown && data.speed_default < speed)
      papplClientHTMLPrintf(client, "<option value=\"%d\" selected>%.2f</option>", data.speed_default,
                            data.speed_default / 2540.0);
    papplClientHTMLPrintf(client, "<option value=\"%d\"%s>%d</option>", speed,
                          speed == data.speed_default ? " selected" : "", speed / 2540);
    shown = speed;
  }
  papplClientHTMLPuts(client, "</select></td></tr>\n");

  row(client, "copies-default");
  papplClientHTMLPrintf(client,
                        "<input type=\"number\" name=\"copies-default\" min=\"1\" max=\"%d\" step=\"1\" "
                        "value=\"%d\"></td></tr>\n",
                        kMaxCopies, copiesDefault(printer));

  const std::string tear = vendorDefault(printer, kTearOffsetAttr);
  row(client, kTearOffsetAttr);
  papplClientHTMLPrintf(
      client,
      "<input type=\"number\" name=\"%s\" min=\"-15\" max=\"15\" step=\"0.01\" value=\"%.2f\"></td></tr>\n",
      kTearOffsetAttr, std::atoi(tear.c_str()) / 100.0);

  for (const char* name : kBooleanVendors) {
    row(client, name);
    papplClientHTMLPrintf(client, "<input type=\"checkbox\" name=\"%s\"%s></td></tr>\n", name,
                          vendorDefault(printer, name) == "true" ? " checked" : "");
  }

  const std::string pause = vendorDefault(printer, kPauseAttr);
  row(client, kPauseAttr);
  select(client, kPauseAttr, kPauses, 3, pause.c_str(), kPauseAttr);
  papplClientHTMLPuts(client, "</td></tr>\n");

  row(client, "print-content-optimize-default");
  select(client, "print-content-optimize", kContents, 5, _papplContentString(data.content_default),
         "print-content-optimize-default");
  papplClientHTMLPuts(client, "</td></tr>\n");

  row(client, "print-scaling-default");
  select(client, "print-scaling", kScalings, 5, _papplScalingString(data.scaling_default),
         "print-scaling-default");
  papplClientHTMLPuts(client, "</td></tr>\n");

  row(client, "print-color-mode-default");
  selectBits(client, "print-color-mode", "print-color-mode-default", data.color_supported, data.color_default,
             PAPPL_COLOR_MODE_AUTO, PAPPL_COLOR_MODE_PROCESS_MONOCHROME, _papplColorModeString);

  row(client, "print-quality-default");
  const std::string quality = std::to_string(static_cast<int>(data.quality_default));
  select(client, "print-quality", kQualities, 3, quality.c_str(), "print-quality-default");
  papplClientHTMLPuts(client, "</td></tr>\n");

  row(client, "orientation-requested-default");
  const std::string orientation = std::to_string(static_cast<int>(data.orient_default));
  select(client, "orientation-requested", kOrientations, 5, orientation.c_str(),
         "orientation-requested-default");
  papplClientHTMLPuts(client, "</td></tr>\n");

  row(client, "printer-resolution-default");
  papplClientHTMLPrintf(client, "%d dpi</td></tr>\n", data.x_default);

  papplClientHTMLPrintf(client,
                        "              <tr><th></th><td><input type=\"submit\" value=\"%s\"></td></tr>\n"
                        "            </tbody>\n          </table>\n        </form>\n",
                        words(client, "Save Changes"));
  papplClientHTMLPrinterFooter(client);
}

void showMediaPage(pappl_client_t* client, pappl_printer_t* printer) {
  if (!papplClientHTMLAuthorize(client)) return;
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  const char* status = nullptr;
  if (papplClientGetMethod(client) == HTTP_STATE_POST) {
    status = saveMedia(client, printer, data);
    papplPrinterGetDriverData(printer, &data);
  }
  const pappl_media_col_t& ready = data.media_ready[0];
  papplClientHTMLPrinterHeader(client, printer, "Media", 0, nullptr, nullptr);
  banner(client, status);
  papplClientHTMLStartForm(client, papplClientGetURI(client), false);
  papplClientHTMLPuts(client, "          <table class=\"form\">\n            <tbody>\n");

  row(client, "label-size");
  bool listed = false;
  papplClientHTMLPuts(client, "<select name=\"size\">");
  for (int i = 0; i < data.num_media; ++i) {
    if (std::strncmp(data.media[i], "custom_", 7) == 0) continue;
    const bool current = std::strcmp(data.media[i], ready.size_name) == 0;
    listed = listed || current;
    papplClientHTMLPrintf(client, "<option value=\"%s\"%s>%s</option>", data.media[i],
                          current ? " selected" : "", sizeWords(data.media[i]).c_str());
  }
  sizeRange range;
  const bool custom = customRange(data, &range);
  if (custom)
    papplClientHTMLPrintf(client, "<option value=\"custom\"%s>%s</option>", listed ? "" : " selected",
                          words(client, "media.custom"));
  papplClientHTMLPuts(client, "</select>");
  // What the printer measured stands beside the size, which it never replaces once chosen.
  if (const printerLink* link = linkOf(printer); link != nullptr && link->measuredLength > 0)
    papplClientHTMLPrintf(client, " <span class=\"measured\">%s %.1f mm</span>",
                          words(client, "media.measured"), link->measuredLength / 100.0);
  papplClientHTMLPuts(client, "</td></tr>\n");
  if (custom) {
    row(client, "media.custom-size");
    papplClientHTMLPrintf(client,
                          "<input type=\"number\" name=\"width\" step=\"0.01\" value=\"%.2f\"> x "
                          "<input type=\"number\" name=\"length\" step=\"0.01\" value=\"%.2f\"> "
                          "<select name=\"units\"><option value=\"mm\" selected>mm</option><option "
                          "value=\"in\">in</option></select>"
                          "<br>%s %.1f x %.1f mm ... %.1f x %.1f mm</td></tr>\n",
                          ready.size_width / 100.0, ready.size_length / 100.0, words(client, "media.range"),
                          range.minWidth / 100.0, range.minLength / 100.0, range.maxWidth / 100.0,
                          range.maxLength / 100.0);
  }

  row(client, "label-tracking");
  selectBits(client, "tracking", "label-tracking", data.tracking_supported, ready.tracking,
             PAPPL_MEDIA_TRACKING_CONTINUOUS, PAPPL_MEDIA_TRACKING_WEB, _papplMediaTrackingString);

  row(client, "label-stock");
  select(client, "type", data.type, data.num_type, ready.type, "media-type");
  papplClientHTMLPuts(client, "</td></tr>\n");

  row(client, "label-source");
  papplClientHTMLPrintf(client, "%s</td></tr>\n", keywordWords(client, "media-source", ready.source).c_str());

  row(client, "label-top-offset");
  papplClientHTMLPrintf(client,
                        "<input type=\"number\" name=\"top-offset\" min=\"%.2f\" max=\"%.2f\" step=\"0.01\" "
                        "value=\"%.2f\"></td></tr>\n",
                        data.top_offset_supported[0] / 100.0, data.top_offset_supported[1] / 100.0,
                        ready.top_offset / 100.0);

  papplClientHTMLPrintf(client,
                        "              <tr><th></th><td><input type=\"submit\" value=\"%s\"></td></tr>\n"
                        "            </tbody>\n          </table>\n        </form>\n",
                        words(client, "Save Changes"));
  papplClientHTMLPrinterFooter(client);
}

void showPrinterStatus(pappl_printer_t* printer, pappl_client_t* client,
                       void (*next)(pappl_printer_t*, pappl_client_t*)) {
  next(printer, client);
  const std::vector<std::string> lines = statusLines(printer);
  if (lines.empty()) return;
  papplClientHTMLPuts(client, "          <p class=\"label-status\">");
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) papplClientHTMLPuts(client, "<br>");
    papplClientHTMLEscape(client, lines[i].c_str(), 0);
  }
  papplClientHTMLPuts(client, "</p>\n");
}

const char* pageWords(pappl_client_t* client, const char* key,
                      const char* (*next)(pappl_client_t*, const char*)) {
  if (key != nullptr && std::strcmp(key, "Unable to use that driver.") == 0 && takeNotIdentified())
    return kNotIdentifiedPage;
  // What Identify did: the framework says it was done whatever happened.
  if (key != nullptr && std::strcmp(key, "Printer identified.") == 0) {
    static thread_local std::string identified;
    identified = takeIdentifyWords();
    if (!identified.empty()) return identified.c_str();
  }
  const std::string listed = listWordsKey(key);
  if (!listed.empty()) {
    const char* text = next(client, listed.c_str());
    if (text != nullptr && text != listed.c_str() && listed != text) return text;
  }
  return next(client, key);
}
