// SPDX-License-Identifier: Apache-2.0
// The printer's settings pages in label words. The framework's printing defaults page shows the label
// settings under their attribute names (the tear-off adjustment as a bare number of hundredths of a
// millimetre), calls the colour mode "Print Mode", has no label mode; its media page has no names on
// its lists and saves a custom size wider than the head. These two pages take their place: every
// setting under its name and unit from the localisation strings (Words.cpp), lengths in millimetres,
// and a size outside the driver's range refused with the reason. The functions have the framework's
// names (see Guard.cpp) and are linked into the program only.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/Interpose.h"
#include "app/app.h"

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

// 'readForm()' - the form a page was sent, checked: nullptr, or the banner's words when there is none
// to use.
const char* readForm(pappl_client_t* client, int* count, cups_option_t** form) {
  *count = papplClientGetForm(client, form);
  if (*count == 0) return "Invalid form data.";
  if (papplClientIsValidForm(client, *count, *form)) return nullptr;
  cupsFreeOptions(*count, *form);
  return "Invalid form submission.";
}

// 'saveDefaults()' - the printing defaults from the form: the status words for the banner.
const char* saveDefaults(pappl_client_t* client, pappl_printer_t* printer, pappl_pr_driver_data_t* data) {
  int count = 0;
  cups_option_t* form = nullptr;
  if (const char* refused = readForm(client, &count, &form)) return refused;
  const char* refusal = nullptr;
  const auto get = [&](const char* name) { return cupsGetOption(name, count, form); };
  if (const char* mode = get("label-mode-configured")) {
    const pappl_label_mode_t value = _papplLabelModeValue(mode);
    if ((data->mode_supported & value) == 0)
      refusal = "label-settings.refused";
    else
      data->mode_configured = value;
  }
  double number = 0;
  if (formNumber(count, form, "printer-darkness-configured", &number) && number >= 0 && number <= 100)
    data->darkness_configured = static_cast<int>(number);
  if (formNumber(count, form, "print-speed-default", &number) && number >= 0 &&
      number * 2540 <= data->speed_supported[1])
    data->speed_default = static_cast<int>(number) * 2540;
  if (const char* content = get("print-content-optimize"))
    data->content_default = _papplContentValue(content);
  if (const char* scaling = get("print-scaling")) data->scaling_default = _papplScalingValue(scaling);
  if (formNumber(count, form, "orientation-requested", &number) && number >= 3 && number <= 7)
    data->orient_default = static_cast<ipp_orient_t>(number);

  int vendorCount = 0;
  cups_option_t* vendor = nullptr;
  if (formNumber(count, form, kTearOffsetAttr, &number)) {
    if (number < -15 || number > 15)
      refusal = "label-settings.refused";
    else
      vendorCount = cupsAddOption(kTearOffsetAttr, std::to_string(std::lround(number * 100)).c_str(),
                                  vendorCount, &vendor);
  }
  for (const char* name : {kMediaTypeAttr, kPauseAttr})
    if (const char* value = get(name)) vendorCount = cupsAddOption(name, value, vendorCount, &vendor);
  for (const char* name : kBooleanVendors)
    vendorCount = cupsAddOption(name, get(name) != nullptr ? "true" : "false", vendorCount, &vendor);
  cupsFreeOptions(count, form);
  if (refusal != nullptr) {
    cupsFreeOptions(vendorCount, vendor);
    return refusal;
  }
  const bool saved = papplPrinterSetDriverDefaults(printer, data, vendorCount, vendor);
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
    if ((data.tracking_supported & value) != 0) ready.tracking = value;
  }
  if (const char* type = cupsGetOption("type", count, form))
    for (int i = 0; i < data.num_type; ++i)
      if (std::strcmp(type, data.type[i]) == 0) papplCopyString(ready.type, type, sizeof ready.type);
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
  papplPrinterSetReadyMedia(printer, 1, &ready);
  return status;
}

void banner(pappl_client_t* client, const char* status) {
  if (status != nullptr)
    papplClientHTMLPrintf(client, "<div class=\"banner\">%s</div>\n", words(client, status));
}

}  // namespace

extern "C" {

void _papplPrinterWebDefaults(pappl_client_t* client, pappl_printer_t* printer) {
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

  row(client, "printer-darkness-configured");
  papplClientHTMLPuts(client, "<select name=\"printer-darkness-configured\">");
  for (int i = 0; i < data.darkness_supported; ++i) {
    const int percent = 100 * i / (data.darkness_supported - 1);
    papplClientHTMLPrintf(client, "<option value=\"%d\"%s>%d%%</option>", percent,
                          percent == data.darkness_configured ? " selected" : "", percent);
  }
  papplClientHTMLPuts(client, "</select></td></tr>\n");

  row(client, "print-speed-default");
  papplClientHTMLPrintf(client, "<select name=\"print-speed-default\"><option value=\"0\">%s</option>",
                        words(client, "print-speed-default.printer"));
  for (int speed = data.speed_supported[0]; speed <= data.speed_supported[1] && speed > 0; speed += 2540)
    papplClientHTMLPrintf(client, "<option value=\"%d\"%s>%d</option>", speed / 2540,
                          speed == data.speed_default ? " selected" : "", speed / 2540);
  papplClientHTMLPuts(client, "</select></td></tr>\n");

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
  const char* const contents[] = {"auto", "text", "text-and-graphic", "graphic", "photo"};
  select(client, "print-content-optimize", contents, 5, _papplContentString(data.content_default),
         "print-content-optimize-default");
  papplClientHTMLPuts(client, "</td></tr>\n");

  row(client, "print-scaling-default");
  const char* const scalings[] = {"auto", "auto-fit", "fit", "fill", "none"};
  select(client, "print-scaling", scalings, 5, _papplScalingString(data.scaling_default),
         "print-scaling-default");
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

void _papplPrinterWebMedia(pappl_client_t* client, pappl_printer_t* printer) {
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
  papplClientHTMLPuts(client, "</select></td></tr>\n");
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

}  // extern "C"
