// SPDX-License-Identifier: Apache-2.0
// Settings that keep their word. PAPPL 1.3.1 stores an unknown label mode or colour mode as none
// (the printer then stops sending the media handling command), never saves the print speed nor a
// darkness of 0, answers printer-id 0 for a printer added since the start (so that it cannot be
// deleted until a restart), names the print speed printer-speed-default, and points printer-supply-info-uri
// at a page it only makes for printers with supplies. Its Set-Printer-Attributes hands printer-location
// and printer-organization to the geo-location's setter, looks for printer-organizational-unit under
// another name, refuses print-scaling-default and copies-default and, given a media-size-name it does
// not know, crashes; it never answers print-darkness-default, and answers copies-default 1 whatever the
// default. The requests below go through the application's checks around the framework's processing
// ('next'), which the door (app/door/Ipp.cpp) hands in.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/service/service.h"

namespace {

// 'addBits()' - the keywords of the bits set in 'bits', from 1 to 'last'.
template <typename Bits>
void addBits(ipp_t* attributes, const char* name, unsigned bits, unsigned last,
             const char* (*keyword)(Bits)) {
  ipp_attribute_t* list = nullptr;
  for (unsigned bit = 1; bit <= last; bit *= 2) {
    if ((bits & bit) == 0) continue;
    const char* value = keyword(static_cast<Bits>(bit));
    if (value == nullptr) continue;
    if (list == nullptr)
      list = ippAddString(attributes, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, name, nullptr, value);
    else
      ippSetString(attributes, &list, ippGetCount(list), value);
  }
}

// 'supportedValues()' - what the printer supports for the settings a Set-Printer-Attributes request
// may change, from its driver data.
ipp_t* supportedValues(pappl_printer_t* printer) {
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  ipp_t* attributes = papplPrinterGetDriverAttributes(printer);
  if (attributes == nullptr) attributes = ippNew();
  addBits(attributes, "label-mode-supported", data.mode_supported, PAPPL_LABEL_MODE_TEAR_OFF,
          _papplLabelModeString);
  addBits(attributes, "media-tracking-supported", data.tracking_supported, PAPPL_MEDIA_TRACKING_WEB,
          _papplMediaTrackingString);
  addBits(attributes, "print-color-mode-supported", data.color_supported, PAPPL_COLOR_MODE_PROCESS_MONOCHROME,
          _papplColorModeString);
  ippAddStrings(attributes, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "media-supported", data.num_media, nullptr,
                data.media);
  ippAddRange(attributes, IPP_TAG_PRINTER, "print-speed-supported", data.speed_supported[0],
              data.speed_supported[1]);
  static const char* const contents[] = {"auto", "graphic", "photo", "text", "text-and-graphic"};
  ippAddStrings(attributes, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-content-optimize-supported", 5, nullptr,
                contents);
  static const char* const scalings[] = {"auto", "auto-fit", "fill", "fit", "none"};
  ippAddStrings(attributes, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-scaling-supported", 5, nullptr,
                scalings);
  ippAddRange(attributes, IPP_TAG_PRINTER, "copies-supported", 1, kMaxCopies);
  static const int orientations[] = {3, 4, 5, 6, 7};
  ippAddIntegers(attributes, IPP_TAG_PRINTER, IPP_TAG_ENUM, "orientation-requested-supported", 5,
                 orientations);
  static const int qualities[] = {3, 4, 5};
  ippAddIntegers(attributes, IPP_TAG_PRINTER, IPP_TAG_ENUM, "print-quality-supported", 3, qualities);
  return attributes;
}

// 'refuseBadSettings()' - answer a Set-Printer-Attributes request that holds a value the printer does
// not take with the reason, before the framework stores it as none or crashes on it: true when refused.
bool refuseBadSettings(pappl_client_t* client) {
  pappl_printer_t* printer = papplClientGetPrinter(client);
  if (printer == nullptr || papplClientGetOperation(client) != IPP_OP_SET_PRINTER_ATTRIBUTES) return false;
  ipp_t* supported = supportedValues(printer);
  std::string error;
  const int status = checkSettingsRequest(papplClientGetRequest(client), supported, &error);
  ippDelete(supported);
  if (status == 0) return false;
  papplClientRespondIPP(client, IPP_STATUS_ERROR_ATTRIBUTES_OR_VALUES, "Nothing changed: %s.", error.c_str());
  return true;
}

// The settings of a Set-Printer-Attributes request that the application sets itself.
inline constexpr const char* kOwnSettings[] = {"printer-location", "printer-organization",
                                               "printer-organizational-unit", "print-scaling-default",
                                               "copies-default"};

// 'takeOwnSettings()' - move the request's settings that the application sets itself out of it.
ipp_t* takeOwnSettings(ipp_t* request) {
  ipp_t* own = ippNew();
  for (ipp_attribute_t* a = ippFirstAttribute(request); a != nullptr;) {
    bool ours = false;
    for (const char* name : kOwnSettings)
      ours = ours || (ippGetGroupTag(a) == IPP_TAG_PRINTER && ippGetName(a) != nullptr &&
                      std::strcmp(ippGetName(a), name) == 0);
    if (!ours) {
      a = ippNextAttribute(request);
      continue;
    }
    ippCopyAttribute(own, a, 0);
    ippDeleteAttribute(request, a);
    a = ippFirstAttribute(request);  // the walk starts again from the top, past what is done
  }
  return own;
}

// 'applyOwnSettings()' - set what takeOwnSettings() took out of a request: false when the printer
// refused it.
bool applyOwnSettings(pappl_printer_t* printer, ipp_t* own) {
  const auto text = [own](const char* name) -> const char* {
    ipp_attribute_t* a = ippFindAttribute(own, name, IPP_TAG_ZERO);
    if (a == nullptr) return nullptr;
    const char* value = ippGetString(a, 0, nullptr);
    return value != nullptr ? value : "";
  };
  // An empty text clears the setting.
  if (const char* value = text("printer-location"))
    papplPrinterSetLocation(printer, *value ? value : nullptr);
  if (const char* value = text("printer-organization"))
    papplPrinterSetOrganization(printer, *value ? value : nullptr);
  if (const char* value = text("printer-organizational-unit"))
    papplPrinterSetOrganizationalUnit(printer, *value ? value : nullptr);
  const char* scaling = text("print-scaling-default");
  ipp_attribute_t* copies = ippFindAttribute(own, "copies-default", IPP_TAG_INTEGER);
  if (scaling == nullptr && copies == nullptr) return true;
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  if (scaling != nullptr) data.scaling_default = _papplScalingValue(scaling);
  return saveDriverDefaults(printer, &data, 0, nullptr, copies != nullptr ? ippGetInteger(copies, 0) : 0);
}

// 'followDefaultMedia()' - after a request that changed the default labels and not the loaded ones,
// the loaded labels of the default's source become the same: the printers have one roll, which jobs
// print on and the Media page shows. A size named by the request, or any change of the loaded size,
// is the user's choice, which the printer's measured length no longer replaces.
void followDefaultMedia(pappl_printer_t* printer, ipp_t* request, const pappl_media_col_t& readyBefore) {
  const auto has = [request](const char* name) {
    return ippFindAttribute(request, name, IPP_TAG_ZERO) != nullptr;
  };
  const bool defaultOnly =
      (has("media-default") || has("media-col-default")) && !has("media-ready") && !has("media-col-ready");
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  if (defaultOnly) {
    const int sources = data.num_source > 0 ? data.num_source : 1;
    for (int i = 0; i < sources; ++i)
      if (std::strcmp(data.media_ready[i].source, data.media_default.source) == 0)
        data.media_ready[i] = data.media_default;
    papplPrinterSetReadyMedia(printer, sources, data.media_ready);
  }
  printerLink* link = linkOf(printer);
  if (link != nullptr && (has("media-default") || has("media-ready") ||
                          std::strcmp(readyBefore.size_name, data.media_ready[0].size_name) != 0))
    link->sizeChosen = true;
}

// 'wanted()' - whether a Get-Printer-Attributes request asks for an attribute: all of them, its name,
// or for a default the printer-defaults group.
bool wanted(ipp_t* request, const char* name) {
  ipp_attribute_t* asked = ippFindAttribute(request, "requested-attributes", IPP_TAG_KEYWORD);
  if (asked == nullptr) return true;
  const bool isDefault = std::string(name).ends_with("-default");
  for (int i = 0; i < ippGetCount(asked); ++i) {
    const std::string one = ippGetString(asked, i, nullptr);
    if (one == "all" || one == name || (isDefault && one == "printer-defaults")) return true;
  }
  return false;
}

}  // namespace

void setPrinterSettings(pappl_client_t* client, void (*next)(pappl_client_t*)) {
  if (refuseBadSettings(client)) return;
  pappl_printer_t* printer = papplClientGetPrinter(client);
  ipp_t* request = papplClientGetRequest(client);
  pappl_pr_driver_data_t before;
  papplPrinterGetDriverData(printer, &before);
  ipp_t* own = takeOwnSettings(request);
  next(client);
  if (ippGetStatusCode(papplClientGetResponse(client)) == IPP_STATUS_OK) {
    if (!applyOwnSettings(printer, own))
      papplClientRespondIPP(client, IPP_STATUS_ERROR_ATTRIBUTES_OR_VALUES,
                            "One or more attribute values were not supported.");
    followDefaultMedia(printer, request, before.media_ready[0]);
  }
  ippDelete(own);
}

bool takeSheetMedia(ipp_t* request, const pappl_pr_driver_data_t& data) {
  int widest = 0;
  for (int i = 0; i < data.num_media; ++i)
    if (pwg_media_t* size = pwgMediaForPWG(data.media[i]); size != nullptr)
      widest = std::max(widest, size->width);
  // A size by its name (the PWG name, the legacy one as CUPS passes a size its queue does not list, or
  // a PPD one), or by its dimensions.
  const auto sizeOf = [](ipp_attribute_t* a) -> pwg_media_t* {
    if (a == nullptr || ippGetCount(a) != 1) return nullptr;
    if (ippGetValueTag(a) == IPP_TAG_BEGIN_COLLECTION) {
      ipp_t* size = ippGetCollection(a, 0);
      return pwgMediaForSize(ippGetInteger(ippFindAttribute(size, "x-dimension", IPP_TAG_INTEGER), 0),
                             ippGetInteger(ippFindAttribute(size, "y-dimension", IPP_TAG_INTEGER), 0));
    }
    const char* name = ippGetString(a, 0, nullptr);
    if (name == nullptr) return nullptr;
    pwg_media_t* size = pwgMediaForPWG(name);
    if (size == nullptr) size = pwgMediaForLegacy(name);
    return size != nullptr ? size : pwgMediaForPPD(name);
  };
  const auto isSheet = [&](ipp_attribute_t* a) {
    if (a == nullptr || widest == 0) return false;
    if (ippGetValueTag(a) != IPP_TAG_BEGIN_COLLECTION)
      for (int i = 0; i < data.num_media; ++i)
        if (const char* name = ippGetString(a, 0, nullptr);
            name != nullptr && std::strcmp(name, data.media[i]) == 0)
          return false;
    const pwg_media_t* size = sizeOf(a);
    return size != nullptr && std::min(size->width, size->length) > widest;
  };
  bool taken = false;
  if (ipp_attribute_t* media = ippFindAttribute(request, "media", IPP_TAG_ZERO); isSheet(media)) {
    ippDeleteAttribute(request, media);
    taken = true;
  }
  if (ipp_attribute_t* col = ippFindAttribute(request, "media-col", IPP_TAG_BEGIN_COLLECTION)) {
    ipp_t* members = ippGetCollection(col, 0);
    ipp_attribute_t* name = ippFindAttribute(members, "media-size-name", IPP_TAG_ZERO);
    ipp_attribute_t* size = ippFindAttribute(members, "media-size", IPP_TAG_BEGIN_COLLECTION);
    if (isSheet(name != nullptr ? name : size)) {
      ippDeleteAttribute(request, col);
      taken = true;
    }
  }
  return taken;
}

void applyCopiesDefault(pappl_client_t* client) {
  ipp_t* request = papplClientGetRequest(client);
  pappl_printer_t* printer = papplClientGetPrinter(client);
  if (printer == nullptr || ippFindAttribute(request, "copies", IPP_TAG_ZERO) != nullptr) return;
  if (const int copies = copiesDefault(printer); copies > 1)
    ippAddInteger(request, IPP_TAG_JOB, IPP_TAG_INTEGER, "copies", copies);
}

bool expandRequestGroups(ipp_t* request) {
  ipp_attribute_t* asked = ippFindAttribute(request, "requested-attributes", IPP_TAG_KEYWORD);
  if (asked == nullptr) return false;
  std::vector<std::string> names;
  for (int i = 0; i < ippGetCount(asked); ++i) names.emplace_back(ippGetString(asked, i, nullptr));
  bool database = false;
  const std::vector<std::string> expanded = expandRequestedAttributes(names, &database);
  if (expanded == names) return database;
  std::vector<const char*> values;
  for (const std::string& name : expanded) values.push_back(name.c_str());
  ippDeleteAttribute(request, asked);
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                static_cast<int>(values.size()), nullptr, values.data());
  return database;
}

void repairPrinterValues(ipp_t* response, pappl_printer_t* printer, ipp_t* request, bool database) {
  if (response == nullptr || printer == nullptr) return;
  if (database && ippFindAttribute(response, "media-col-database", IPP_TAG_ZERO) == nullptr) {
    ipp_t* attributes = papplPrinterGetDriverAttributes(printer);
    if (ipp_attribute_t* a = ippFindAttribute(attributes, "media-col-database", IPP_TAG_BEGIN_COLLECTION))
      ippCopyAttribute(response, a, 0);
    ippDelete(attributes);
  }
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  bool copies = false;
  for (ipp_attribute_t* a = ippFirstAttribute(response); a != nullptr; a = ippNextAttribute(response)) {
    const char* name = ippGetName(a);
    if (name == nullptr || ippGetGroupTag(a) != IPP_TAG_PRINTER) continue;
    if (std::strcmp(name, "printer-id") == 0) {
      ippSetInteger(response, &a, 0, papplPrinterGetID(printer));
    } else if ((std::strcmp(name, "printer-supply-info-uri") == 0 && !data.has_supplies) ||
               std::strcmp(name, "copies-default") == 0) {
      // The framework's copies-default is always 1, and the driver attributes hold the default as text.
      copies = copies || std::strcmp(name, "copies-default") == 0;
      ippDeleteAttribute(response, a);
      a = ippFirstAttribute(response);  // the walk starts again from the top, past what is done
    }
  }
  if (copies)
    ippAddInteger(response, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "copies-default", copiesDefault(printer));
  // The framework answers the print speed as "printer-speed-default", and no print-darkness-default.
  if (data.speed_supported[1] > 0 && wanted(request, "print-speed-default") &&
      ippFindAttribute(response, "print-speed-default", IPP_TAG_ZERO) == nullptr)
    ippAddInteger(response, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "print-speed-default", data.speed_default);
  if (data.darkness_supported > 0 && wanted(request, "print-darkness-default") &&
      ippFindAttribute(response, "print-darkness-default", IPP_TAG_ZERO) == nullptr)
    ippAddInteger(response, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "print-darkness-default",
                  data.darkness_default);
}

void processSystemRequest(pappl_client_t* client, void (*next)(pappl_client_t*)) {
  if (papplClientGetOperation(client) == IPP_OP_SHUTDOWN_ALL_PRINTERS) {
    // The framework's shutdown ends its main loop and frees the system while client threads still
    // use it; the application's own stop (the one SIGTERM takes) cancels the printing, saves the state
    // and ends the process instead.
    const http_status_t status = papplClientIsAuthorized(client);
    if (status != HTTP_STATUS_CONTINUE) {
      papplClientRespond(client, status, nullptr, nullptr, 0, 0);
      return;
    }
    kill(getpid(), SIGTERM);
    papplClientRespondIPP(client, IPP_STATUS_OK, nullptr);
    return;
  }
  if (papplClientGetOperation(client) == IPP_OP_CREATE_PRINTER) {
    createPrinterWithReason(client, next);
    saveAfterRequest(client);
    return;
  }
  next(client);
  if (changesState(papplClientGetOperation(client))) saveAfterRequest(client);
  if (papplClientGetOperation(client) == IPP_OP_GET_PRINTERS)
    numberPrinters(papplClientGetResponse(client), papplClientGetSystem(client));
}

void numberPrinters(ipp_t* response, pappl_system_t* system) {
  struct group {
    ipp_attribute_t* id = nullptr;
    std::string name;
  };
  std::vector<group> groups(1);
  for (ipp_attribute_t* a = ippFirstAttribute(response); a != nullptr; a = ippNextAttribute(response)) {
    const char* name = ippGetName(a);
    if (name == nullptr) {
      groups.emplace_back();
    } else if (ippGetGroupTag(a) == IPP_TAG_PRINTER && std::strcmp(name, "printer-id") == 0) {
      groups.back().id = a;
    } else if (ippGetGroupTag(a) == IPP_TAG_PRINTER && std::strcmp(name, "printer-name") == 0) {
      groups.back().name = ippGetString(a, 0, nullptr);
    }
  }
  for (group& g : groups) {
    if (g.id == nullptr || g.name.empty()) continue;
    struct match {
      const std::string* name;
      int id;
    } found{&g.name, 0};
    papplSystemIteratePrinters(
        system,
        [](pappl_printer_t* printer, void* data) {
          auto* m = static_cast<match*>(data);
          if (*m->name == papplPrinterGetName(printer)) m->id = papplPrinterGetID(printer);
        },
        &found);
    if (found.id != 0) ippSetInteger(response, &g.id, 0, found.id);
  }
}
