// SPDX-License-Identifier: Apache-2.0
// The requests that change a printer's device or driver in place (Relocate.cpp makes the change): a
// Set-Printer-Attributes request with the device URI or the driver, and the printer's "Device and
// driver" page; and the answer to a Create-Printer request whose device is refused, which says why.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>

#include "app/service/service.h"

namespace {

// 'refuse()' - answer a request whose 'attribute' cannot be taken, with the reason.
void refuse(pappl_client_t* client, ipp_attribute_t* attribute, const std::string& reason) {
  papplClientRespondIPP(client, IPP_STATUS_ERROR_ATTRIBUTES_OR_VALUES, "Nothing changed: %s.",
                        reason.c_str());
  if (attribute == nullptr) return;
  ipp_t* response = papplClientGetResponse(client);
  ipp_attribute_t* unsupported = ippCopyAttribute(response, attribute, 0);
  ippSetGroupTag(response, &unsupported, IPP_TAG_UNSUPPORTED_GROUP);
}

// 'devicePage()' - the printer's "Device and driver" page: the device URI and the driver, changed by its
// form; an administrator's, as the printer's other settings pages are.
bool devicePage(pappl_client_t* client, void* data) {
  pappl_printer_t* printer = static_cast<pappl_printer_t*>(data);
  if (!papplClientHTMLAuthorize(client)) return true;
  std::string banner;
  if (papplClientGetMethod(client) == HTTP_STATE_POST) {
    cups_option_t* form = nullptr;
    const int count = papplClientGetForm(client, &form);
    if (count == 0) {
      banner = papplClientGetLocString(client, "Invalid form data.");
    } else if (!papplClientIsValidForm(client, count, form)) {
      banner = papplClientGetLocString(client, "Invalid form submission.");
    } else {
      const char* uri = cupsGetOption("device_uri", count, form);
      const char* driver = cupsGetOption("driver", count, form);
      printerMove move{uri != nullptr ? uri : "", driver != nullptr ? driver : ""};
      std::string words;
      banner = movePrinter(printer, move, &words) == 0 ? words : "Nothing changed: " + words + ".";
    }
    cupsFreeOptions(count, form);
  }
  papplClientHTMLPrinterHeader(client, printer, "Device and driver", 0, nullptr, nullptr);
  if (!banner.empty()) papplClientHTMLPrintf(client, "<div class=\"banner\">%s</div>\n", banner.c_str());
  papplClientHTMLStartForm(client, papplClientGetURI(client), false);
  papplClientHTMLPrintf(
      client,
      "          <table class=\"form\">\n            <tbody>\n"
      "              <tr><th>%s:</th><td><input type=\"text\" name=\"device_uri\" size=\"60\" "
      "value=\"%s\"></td></tr>\n"
      "              <tr><th>%s:</th><td><select name=\"driver\">",
      papplClientGetLocString(client, "Device"), papplPrinterGetDeviceURI(printer),
      papplClientGetLocString(client, "Driver"));
  const char* present = papplPrinterGetDriverName(printer);
  for (int i = 0; i < kDriverCount; ++i)
    papplClientHTMLPrintf(client, "<option value=\"%s\"%s>%s</option>", kDrivers[i].name,
                          std::strcmp(kDrivers[i].name, present) == 0 ? " selected" : "",
                          kDrivers[i].description);
  papplClientHTMLPrintf(client,
                        "</select></td></tr>\n"
                        "              <tr><th></th><td>%s</td></tr>\n"
                        "              <tr><th></th><td><input type=\"submit\" value=\"%s\"></td></tr>\n"
                        "            </tbody>\n          </table>\n        </form>\n",
                        papplClientGetLocString(client,
                                                "The printer keeps its name, settings and jobs. While a job "
                                                "prints, the change is made when it ends."),
                        papplClientGetLocString(client, "Change"));
  papplClientHTMLPrinterFooter(client);
  return true;
}

// 'parseIndex()' - a form value as a number from 1 to 'most', else 0.
int parseIndex(const char* value, long most) {
  if (value == nullptr || value[0] < '0' || value[0] > '9') return 0;
  char* end = nullptr;
  const long number = std::strtol(value, &end, 10);
  return *end == '\0' && number >= 1 && number <= most ? static_cast<int>(number) : 0;
}

// 'jobLabelPage()' - a job's label as printed (?job=ID&label=N), for a client that may see the job's
// content; a stranger learns nothing of the job from it.
bool jobLabelPage(pappl_client_t* client, void* data) {
  pappl_printer_t* printer = static_cast<pappl_printer_t*>(data);
  if (papplClientGetMethod(client) != HTTP_STATE_GET)
    return papplClientRespond(client, HTTP_STATUS_METHOD_NOT_ALLOWED, nullptr, nullptr, 0, 0);
  cups_option_t* form = nullptr;
  const int count = papplClientGetForm(client, &form);
  const int id = parseIndex(cupsGetOption("job", count, form), 0x7FFFFFFF);
  const int label = parseIndex(cupsGetOption("label", count, form), static_cast<long>(kJobLabels));
  cupsFreeOptions(count, form);
  pappl_job_t* job = id != 0 && label != 0 ? papplPrinterFindJob(printer, id) : nullptr;
  if (job == nullptr || !maySeeJobContent(client, job))
    return papplClientRespond(client, job == nullptr ? HTTP_STATUS_NOT_FOUND : HTTP_STATUS_FORBIDDEN, nullptr,
                              nullptr, 0, 0);
  return sendJobLabel(client, job, static_cast<size_t>(label - 1));
}

}  // namespace

void addPrinterPages(pappl_printer_t* printer, void*) {
  pappl_system_t* system = papplPrinterGetSystem(printer);
  if ((papplSystemGetOptions(system) & PAPPL_SOPTIONS_WEB_INTERFACE) == 0) return;
  char path[256];
  if (papplPrinterGetPath(printer, "device", path, sizeof path) == nullptr) return;
  papplSystemAddResourceCallback(system, path, "text/html", devicePage, printer);
  papplPrinterAddLink(printer, "Device and driver", path, PAPPL_LOPTIONS_CONFIGURATION);
  // Each job's labels as printed, which the pages of jobs show.
  if (papplPrinterGetPath(printer, kJobLabelPage, path, sizeof path) != nullptr)
    papplSystemAddResourceCallback(system, path, "image/png", jobLabelPage, printer);
}

bool takeDeviceChange(pappl_client_t* client, const std::function<void(pappl_client_t*)>& next) {
  ipp_t* request = papplClientGetRequest(client);
  ipp_attribute_t* uri = ippFindAttribute(request, kDeviceUriAttr, IPP_TAG_ZERO);
  ipp_attribute_t* driver = ippFindAttribute(request, kDriverAttr, IPP_TAG_ZERO);
  if (uri == nullptr && driver == nullptr) return false;
  printerMove move;
  for (const auto& [attribute, tag, value] :
       {std::tuple{uri, IPP_TAG_URI, &move.deviceUri}, {driver, IPP_TAG_KEYWORD, &move.driver}}) {
    if (attribute == nullptr) continue;
    const ipp_tag_t given = ippGetValueTag(attribute);
    if (ippGetCount(attribute) != 1 || (given != tag && !(tag == IPP_TAG_KEYWORD && given == IPP_TAG_NAME))) {
      refuse(client, attribute,
             std::string("'") + ippGetName(attribute) + "' takes one " + ippTagString(tag));
      return true;
    }
    *value = ippGetString(attribute, 0, nullptr);
  }
  pappl_printer_t* printer = papplClientGetPrinter(client);
  std::string words;
  if (checkMove(printer, move, &words) != 0) {
    refuse(client, !move.driver.empty() && !isDriverName(move.driver) ? driver : uri, words);
    return true;
  }
  ippDeleteAttribute(request, uri);
  ippDeleteAttribute(request, driver);
  // The request's other settings go first: when the framework refuses one, the device and driver stay.
  bool settings = false;
  for (ipp_attribute_t* a = ippFirstAttribute(request); a != nullptr; a = ippNextAttribute(request))
    settings = settings || ippGetGroupTag(a) == IPP_TAG_PRINTER;
  if (settings) {
    next(client);
    if (ippGetStatusCode(papplClientGetResponse(client)) >= IPP_STATUS_REDIRECTION_OTHER_SITE) return true;
  }
  if (movePrinter(printer, move, &words) == 0)
    papplClientRespondIPP(client, IPP_STATUS_OK, "%s", words.c_str());
  else
    papplClientRespondIPP(
        client, IPP_STATUS_ERROR_INTERNAL, "%s%s.",
        settings ? "The other settings were changed, the device and driver not: " : "Nothing changed: ",
        words.c_str());
  return true;
}

void createPrinterWithReason(pappl_client_t* client, void (*next)(pappl_client_t*)) {
  std::string refusal;
  collectDeviceRefusals(&refusal);
  next(client);
  collectDeviceRefusals(nullptr);
  if (refusal.empty() || ippGetStatusCode(papplClientGetResponse(client)) < IPP_STATUS_ERROR_BAD_REQUEST)
    return;
  const char* uri =
      ippGetString(ippFindAttribute(papplClientGetRequest(client), kDeviceUriAttr, IPP_TAG_ZERO), 0, nullptr);
  papplClientRespondIPP(client, IPP_STATUS_ERROR_ATTRIBUTES_OR_VALUES, "The device '%s' is refused: %s.",
                        uri != nullptr ? uri : "", refusal.c_str());
}

bool takesDeviceUri(const char* uri, bool (*next)(const char*)) {
  if (uri != nullptr && std::strncmp(uri, "file:", 5) == 0) {
    char scheme[32], userpass[256], host[256], resource[1024];
    int port = 0;
    return httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme, sizeof scheme, userpass, sizeof userpass, host,
                           sizeof host, &port, resource, sizeof resource) >= HTTP_URI_STATUS_OK;
  }
  return next(uri);
}
