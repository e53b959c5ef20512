// SPDX-License-Identifier: Apache-2.0
// A printer changed in place: another device, another driver, the same name, id, settings and jobs.
// PAPPL 1.3.1 keeps a printer's device URI and driver name as two strings of its private printer
// record, and no function of its changes them. They are found there by their values, each exactly
// once, with the framework's open device and its in-use flag between them as PAPPL 1.3 lays its
// record out; anything else and nothing is changed. Each is replaced by one atomic store, and the
// string it held stays allocated as long as the printer, since other threads may be reading it. A new
// driver's data comes from the driver callback, with every setting the new driver takes carried over;
// while a job prints, the change waits for its end.
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "app/printer/printer.h"

// The framework's own, exported without a header: a driver data record as a new printer's begins, and
// the mark that has the system save its state.
extern "C" void _papplPrinterInitDriverData(pappl_pr_driver_data_t* data);
extern "C" void _papplSystemConfigChanged(pappl_system_t* system);

namespace {

// Where this thread's driver callback says why it refused a device, while someone listens.
thread_local std::string* tRefusals = nullptr;

// The words of the framework's printer record that a change writes: the device URI, the device it
// keeps open between jobs and whether that is in use, and the driver name.
struct recordSlots {
  char** deviceUri;
  pappl_device_t** device;
  bool* deviceInUse;
  char** driverName;
};

// 'locateSlots()' - the change's words in the printer's record: 0, or 1 with the reason.
int locateSlots(pappl_printer_t* printer, recordSlots* slots, std::string* reason) {
  const size_t size = malloc_usable_size(printer);
  size_t uri = 0, driver = 0;
  if (findPointerSlot(printer, size, papplPrinterGetDeviceURI(printer), &uri) != 0 ||
      findPointerSlot(printer, size, papplPrinterGetDriverName(printer), &driver) != 0 ||
      driver != uri + 3 * sizeof(void*)) {
    *reason =
        "this version of the framework keeps its printers in a way this application cannot change in place";
    return 1;
  }
  char* base = reinterpret_cast<char*>(printer);
  slots->deviceUri = reinterpret_cast<char**>(base + uri);
  slots->device = reinterpret_cast<pappl_device_t**>(base + uri + sizeof(void*));
  slots->deviceInUse = reinterpret_cast<bool*>(base + uri + 2 * sizeof(void*));
  slots->driverName = reinterpret_cast<char**>(base + driver);
  return 0;
}

// 'listed()' - whether 'value' is one of 'count' names.
bool listed(const char* const* names, int count, const char* value) {
  for (int i = 0; i < count; ++i)
    if (names[i] != nullptr && std::strcmp(names[i], value) == 0) return true;
  return false;
}

// 'mediaTaken()' - whether the driver takes 'media' as loaded or default stock: one of its sizes, or
// a custom size within its custom range (its head's width at most: the framework itself checks only the
// range of all its sizes, the widest label on its side among them), and a source, type, tracking and
// offsets it has. Margins below its own are raised to them.
bool mediaTaken(const pappl_pr_driver_data_t& d, pappl_media_col_t* media) {
  int minWidth = INT_MAX, maxWidth = 0, minLength = INT_MAX, maxLength = 0;
  bool named = false;
  for (int i = 0; i < d.num_media && i < PAPPL_MAX_MEDIA; ++i) {
    if (d.media[i] == nullptr) continue;
    const bool low = std::strncmp(d.media[i], "custom_min_", 11) == 0;
    const bool high = std::strncmp(d.media[i], "custom_max_", 11) == 0;
    named = named || (!low && !high && std::strcmp(d.media[i], media->size_name) == 0);
    const pwg_media_t* size = low || high ? pwgMediaForPWG(d.media[i]) : nullptr;
    if (size == nullptr) continue;
    (low ? minWidth : maxWidth) = size->width;
    (low ? minLength : maxLength) = size->length;
  }
  const bool custom = std::strncmp(media->size_name, "custom_", 7) == 0 &&
                      pwgMediaForPWG(media->size_name) != nullptr && media->size_width >= minWidth &&
                      media->size_width <= maxWidth && media->size_length >= minLength &&
                      media->size_length <= maxLength;
  if (!named && !custom) return false;
  if ((media->source[0] != '\0' && !listed(d.source, d.num_source, media->source)) ||
      (media->type[0] != '\0' && !listed(d.type, d.num_type, media->type)) ||
      (media->tracking != 0 && (media->tracking & d.tracking_supported) == 0) ||
      media->top_offset < d.top_offset_supported[0] || media->top_offset > d.top_offset_supported[1] ||
      media->left_offset < d.left_offset_supported[0] || media->left_offset > d.left_offset_supported[1])
    return false;
  if (!d.borderless) {
    media->left_margin = std::max(media->left_margin, d.left_right);
    media->right_margin = std::max(media->right_margin, d.left_right);
    media->top_margin = std::max(media->top_margin, d.bottom_top);
    media->bottom_margin = std::max(media->bottom_margin, d.bottom_top);
  }
  return true;
}

// 'valueTaken()' - whether a vendor default is one of the values of 'supported' (a text default when
// there is none, as the framework keeps it).
bool valueTaken(ipp_attribute_t* value, ipp_attribute_t* supported) {
  if (supported == nullptr) return ippGetValueTag(value) == IPP_TAG_TEXT;
  const ipp_tag_t tag = ippGetValueTag(supported);
  if (tag == IPP_TAG_BOOLEAN) return ippGetValueTag(value) == IPP_TAG_BOOLEAN;
  const bool number = tag == IPP_TAG_RANGE || tag == IPP_TAG_INTEGER;
  if (ippGetValueTag(value) != (number ? IPP_TAG_INTEGER : tag)) return false;
  for (int i = 0; i < ippGetCount(supported); ++i) {
    int upper = 0;
    if (tag == IPP_TAG_RANGE) {
      const int lower = ippGetRange(supported, i, &upper);
      if (ippGetInteger(value, 0) >= lower && ippGetInteger(value, 0) <= upper) return true;
    } else if (tag == IPP_TAG_INTEGER) {
      if (ippGetInteger(value, 0) == ippGetInteger(supported, i)) return true;
    } else if (const char* s = ippGetString(supported, i, nullptr)) {
      if (std::strcmp(s, ippGetString(value, 0, nullptr)) == 0) return true;
    }
  }
  return false;
}

// 'newDriverData()' - the driver callback's data and attributes for 'driver' at 'uri', with the
// printer's settings carried over (those the driver does not take in *reset): 0, or 1 with the reason.
// The printer keeps its own link record; the caller deletes *attributes.
int newDriverData(pappl_printer_t* printer, printerLink* link, const std::string& driver, const char* uri,
                  pappl_pr_driver_data_t* data, ipp_t** attributes, std::vector<std::string>* reset,
                  std::string* reason) {
  _papplPrinterInitDriverData(data);
  *attributes = nullptr;
  if (!labelDriver(papplPrinterGetSystem(printer), driver.c_str(), uri, papplPrinterGetDeviceID(printer),
                   data, attributes, const_cast<appConfig*>(link->config))) {
    *reason = "the driver '" + driver + "' cannot be used with this printer (the server's log says why)";
    return 1;
  }
  labelDelete(printer, data);
  data->extension = link;
  pappl_pr_driver_data_t present;
  papplPrinterGetDriverData(printer, &present);
  ipp_t* presentAttributes = papplPrinterGetDriverAttributes(printer);
  carrySettings(present, presentAttributes, data, *attributes, reset);
  ippDelete(presentAttributes);
  return 0;
}

// 'replaceString()' - store 'copy' (allocated with malloc) in one of the record's string words at once;
// the string it held goes to the link's retired ones. The caller has made room for it there.
void replaceString(char** slot, char* copy, printerLink* link) {
  link->retired.emplace_back(std::atomic_ref<char*>(*slot).exchange(copy));
}

// 'deviceIdPrefix()' - the start of the device ID the framework makes for a printer that brought none,
// from its driver's make and model: "MFG:Generic;MDL:Label Printer 203dpi;".
std::string deviceIdPrefix(const char* makeAndModel) {
  const std::string words = makeAndModel;
  const size_t space = words.find(' ');
  return space == std::string::npos
             ? "MFG:" + words + ";MDL:" + words + ";"
             : "MFG:" + words.substr(0, space) + ";MDL:" + words.substr(space + 1) + ";";
}

// 'renameDeviceId()' - a device ID the framework made from the old driver's make and model names the
// new one's; the record keeps it just before the device URI. One the printer gave stays.
void renameDeviceId(pappl_printer_t* printer, printerLink* link, const recordSlots& slots,
                    const char* oldModel, const char* newModel) {
  const char* id = papplPrinterGetDeviceID(printer);
  const std::string from = deviceIdPrefix(oldModel), to = deviceIdPrefix(newModel);
  size_t offset = 0;
  if (id == nullptr || from == to || std::strncmp(id, from.c_str(), from.size()) != 0 ||
      findPointerSlot(printer, malloc_usable_size(printer), id, &offset) != 0 ||
      reinterpret_cast<char*>(printer) + offset + sizeof(void*) != reinterpret_cast<char*>(slots.deviceUri))
    return;
  if (char* copy = strdup((to + (id + from.size())).c_str()))
    replaceString(reinterpret_cast<char**>(reinterpret_cast<char*>(printer) + offset), copy, link);
}

// 'describeMove()' - a change in words: "device socket://..., driver generic-label-300dpi".
std::string describeMove(const printerMove& move) {
  std::string words;
  if (!move.deviceUri.empty()) words = "device " + move.deviceUri;
  if (!move.driver.empty()) words += (words.empty() ? "driver " : ", driver ") + move.driver;
  return words;
}

// 'resetWords()' - the settings a new driver set to its defaults, in words ("" for none).
std::string resetWords(const std::vector<std::string>& reset) {
  std::string words;
  for (const std::string& name : reset) words += (words.empty() ? "" : ", ") + name;
  return words.empty() ? "" : " Not taken by the new driver, so set to its defaults: " + words + ".";
}

// 'makeMove()' - make the change with the printer's place taken and the link's 'moving' held: 0 with
// what was done in *words, or 1 with the reason, nothing changed.
int makeMove(pappl_printer_t* printer, printerLink* link, const printerMove& move, std::string* words) {
  recordSlots slots;
  if (checkMove(printer, move, words) != 0 || locateSlots(printer, &slots, words) != 0) return 1;
  const std::string presentUri = std::atomic_ref<char*>(*slots.deviceUri).load();
  const std::string presentDriver = std::atomic_ref<char*>(*slots.driverName).load();
  const bool newUri = !move.deviceUri.empty() && move.deviceUri != presentUri;
  const bool newDriver = !move.driver.empty() && move.driver != presentDriver;
  if (!newUri && !newDriver) {
    *words = "The printer has that device and driver already.";
    return 0;
  }
  // No status query opens the framework's device meanwhile (labelStatus() asks with 'asking' held).
  std::lock_guard<std::mutex> asking(link->asking);
  if (newUri && *slots.deviceInUse) {
    *words = "the printer's device is in use; try again";
    return 1;
  }
  char* uriCopy = newUri ? strdup(move.deviceUri.c_str()) : nullptr;
  char* driverCopy = newDriver ? strdup(move.driver.c_str()) : nullptr;
  if ((newUri && uriCopy == nullptr) || (newDriver && driverCopy == nullptr)) {
    std::free(uriCopy);
    std::free(driverCopy);
    *words = "out of memory";
    return 1;
  }
  link->retired.reserve(link->retired.size() + 3);
  std::vector<std::string> reset;
  if (newDriver) {
    pappl_pr_driver_data_t present, data;
    papplPrinterGetDriverData(printer, &present);
    ipp_t* attributes = nullptr;
    const std::string uri = newUri ? move.deviceUri : presentUri;
    int refused = newDriverData(printer, link, move.driver, uri.c_str(), &data, &attributes, &reset, words);
    if (refused == 0 && !papplPrinterSetDriverData(printer, &data, attributes)) {
      *words = "the framework refused the new driver's data (the server's log says why)";
      refused = 1;
    }
    ippDelete(attributes);
    if (refused != 0) {
      std::free(uriCopy);
      std::free(driverCopy);
      return 1;
    }
    replaceString(slots.driverName, driverCopy, link);
    renameDeviceId(printer, link, slots, present.make_and_model, data.make_and_model);
    // The printer is announced again with its new make and model.
    char name[256];
    if (papplPrinterGetDNSSDName(printer, name, sizeof name) != nullptr)
      papplPrinterSetDNSSDName(printer, name);
  }
  if (newUri) {
    // The framework keeps the device open between queued jobs: the next job opens the new one.
    if (pappl_device_t* open = std::atomic_ref<pappl_device_t*>(*slots.device).exchange(nullptr))
      papplDeviceClose(open);
    replaceString(slots.deviceUri, uriCopy, link);
    link->refusedDevice.clear();
    forgetDevice(printer, link);
  }
  _papplSystemConfigChanged(papplPrinterGetSystem(printer));
  *words = "Changed: " + describeMove({newUri ? move.deviceUri : "", newDriver ? move.driver : ""}) + "." +
           resetWords(reset);
  papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "%s", words->c_str());
  return 0;
}

}  // namespace

int checkDeviceUri(const char* uri, const std::string& folder, std::string* reason) {
  char scheme[32], userpass[256], host[256], resource[1024];
  int port = 0;
  if (uri == nullptr ||
      httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme, sizeof scheme, userpass, sizeof userpass, host,
                      sizeof host, &port, resource, sizeof resource) < HTTP_URI_STATUS_OK) {
    *reason = "not a device URI (socket://HOST:PORT, usb://..., file:///PATH)";
    return 1;
  }
  if (std::strcmp(scheme, "file") == 0) {
    if (checkFileDevice(uri, folder, reason) != 0) return 1;
    std::string path = resource;
    path = path.substr(0, path.find('?'));
    if (access(path.c_str(), W_OK) != 0) {
      *reason = "'" + path + "' is no file or folder the server can write (" + std::strerror(errno) + ")";
      return 1;
    }
    return 0;
  }
  if (!papplDeviceIsSupported(uri)) {
    *reason = std::string("the server has no device for '") + scheme + ":' URIs";
    return 1;
  }
  if (std::strcmp(scheme, "socket") == 0 && host[0] == '\0') {
    *reason = "a socket: URI names the printer's host (socket://HOST:PORT)";
    return 1;
  }
  return 0;
}

bool isDriverName(const std::string& name) {
  for (int i = 0; i < kDriverCount; ++i)
    if (name == kDrivers[i].name) return true;
  return false;
}

std::string driverNames() {
  std::string names;
  for (int i = 0; i < kDriverCount; ++i) names += (i > 0 ? ", " : "") + std::string(kDrivers[i].name);
  return names;
}

int findPointerSlot(const void* record, size_t size, const void* value, size_t* offset) {
  if (record == nullptr || value == nullptr) return 1;
  const unsigned char* bytes = static_cast<const unsigned char*>(record);
  int found = 0;
  for (size_t at = 0; at + sizeof(void*) <= size; at += alignof(void*)) {
    const void* word = nullptr;
    std::memcpy(&word, bytes + at, sizeof word);
    if (word != value) continue;
    *offset = at;
    ++found;
  }
  return found == 1 ? 0 : 1;
}

void carrySettings(const pappl_pr_driver_data_t& from, ipp_t* fromAttributes, pappl_pr_driver_data_t* to,
                   ipp_t* toAttributes, std::vector<std::string>* reset) {
  reset->clear();
  const auto carry = [reset](bool taken, const char* name, auto* field, auto value) {
    if (taken)
      *field = value;
    else
      reset->push_back(name);
  };
  // Values every driver takes.
  to->orient_default = from.orient_default;
  to->content_default = from.content_default;
  to->quality_default = from.quality_default;
  to->scaling_default = from.scaling_default;
  to->darkness_configured = from.darkness_configured;
  to->darkness_default = from.darkness_default;
  carry((from.color_default & to->color_supported) != 0, "print-color-mode-default", &to->color_default,
        from.color_default);
  carry((from.sides_default & to->sides_supported) != 0, "sides-default", &to->sides_default,
        from.sides_default);
  carry((from.identify_default & ~to->identify_supported) == 0, "identify-actions-default",
        &to->identify_default, from.identify_default);
  carry((from.mode_configured & to->mode_supported) != 0, "label-mode-configured", &to->mode_configured,
        from.mode_configured);
  carry(from.tear_offset_configured >= to->tear_offset_supported[0] &&
            from.tear_offset_configured <= to->tear_offset_supported[1],
        "label-tear-offset-configured", &to->tear_offset_configured, from.tear_offset_configured);
  carry(from.speed_default == 0 ||
            (from.speed_default >= to->speed_supported[0] && from.speed_default <= to->speed_supported[1]),
        "print-speed-default", &to->speed_default, from.speed_default);
  carry(from.bin_default == 0 || from.bin_default < to->num_bin, "output-bin-default", &to->bin_default,
        from.bin_default);
  pappl_media_col_t media = from.media_default;
  carry(mediaTaken(*to, &media), "media-default", &to->media_default, media);
  for (int i = 0; i < to->num_source && i < PAPPL_MAX_SOURCE; ++i)
    for (int j = 0; j < from.num_source && j < PAPPL_MAX_SOURCE; ++j) {
      if (std::strcmp(from.media_ready[j].source, to->media_ready[i].source) != 0) continue;
      media = from.media_ready[j];
      carry(mediaTaken(*to, &media), "media-ready", &to->media_ready[i], media);
    }
  for (int i = 0; i < to->num_vendor && i < PAPPL_MAX_VENDOR; ++i) {
    const std::string name = std::string(to->vendor[i]) + "-default";
    ipp_attribute_t* value = ippFindAttribute(fromAttributes, name.c_str(), IPP_TAG_ZERO);
    if (value == nullptr) continue;
    const std::string supported = std::string(to->vendor[i]) + "-supported";
    if (!valueTaken(value, ippFindAttribute(toAttributes, supported.c_str(), IPP_TAG_ZERO))) {
      reset->push_back(name);
      continue;
    }
    ippDeleteAttribute(toAttributes, ippFindAttribute(toAttributes, name.c_str(), IPP_TAG_ZERO));
    ippCopyAttribute(toAttributes, value, 0);
  }
}

int checkMove(pappl_printer_t* printer, const printerMove& move, std::string* reason) {
  printerLink* link = printer != nullptr ? linkOf(printer) : nullptr;
  if (link == nullptr) {
    *reason = "the printer has no link record (the server's log says why)";
    return 1;
  }
  if (move.deviceUri.empty() && move.driver.empty()) {
    *reason = "no device and no driver given";
    return 1;
  }
  if (!move.driver.empty() && !isDriverName(move.driver)) {
    *reason = "'" + move.driver + "' is not a driver; the drivers are " + driverNames();
    return 1;
  }
  const std::string folder = link->config != nullptr ? link->config->fileFolder : "";
  const std::string uri = !move.deviceUri.empty() ? move.deviceUri : papplPrinterGetDeviceURI(printer);
  std::string why;
  if (checkDeviceUri(uri.c_str(), folder, &why) != 0) {
    *reason =
        (move.deviceUri.empty() ? "the printer's device '" : "the device '") + uri + "' is refused: " + why;
    return 1;
  }
  recordSlots slots;
  return locateSlots(printer, &slots, reason);
}

int movePrinter(pappl_printer_t* printer, const printerMove& move, std::string* words) {
  if (checkMove(printer, move, words) != 0) return 1;
  printerLink* link = linkOf(printer);
  int status = 0;
  {
    std::lock_guard<std::mutex> moving(link->moving);
    printerLink* claimed = nullptr;
    if (!claimPrinter(printer, 0, &claimed)) {
      // A job prints: the change waits for its end (releasePrinter()), together with one that waits
      // already. What the new driver will not take is told now, from the present settings.
      printerMove pending = link->pendingMove;
      if (!move.deviceUri.empty()) pending.deviceUri = move.deviceUri;
      if (!move.driver.empty()) pending.driver = move.driver;
      std::vector<std::string> reset;
      if (!pending.driver.empty() && pending.driver != papplPrinterGetDriverName(printer)) {
        pappl_pr_driver_data_t data;
        ipp_t* attributes = nullptr;
        const std::string uri =
            !pending.deviceUri.empty() ? pending.deviceUri : papplPrinterGetDeviceURI(printer);
        const int refused =
            newDriverData(printer, link, pending.driver, uri.c_str(), &data, &attributes, &reset, words);
        ippDelete(attributes);
        if (refused != 0) return 1;
      }
      link->pendingMove = pending;
      *words = "The printer is printing: the change (" + describeMove(pending) +
               ") is made when that job ends, for the next job." + resetWords(reset);
      papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "%s", words->c_str());
      return 0;
    }
    status = makeMove(printer, link, move, words);
  }
  releasePrinter(link, printer);
  return status;
}

void applyPendingMove(pappl_printer_t* printer, printerLink* link) {
  {
    std::lock_guard<std::mutex> claim(link->claim);
    if (link->orphaned) return;
  }
  if (link->pendingMove.deviceUri.empty() && link->pendingMove.driver.empty()) return;
  const printerMove move = link->pendingMove;
  link->pendingMove = {};
  std::string words;
  if (makeMove(printer, link, move, &words) != 0)
    papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "The change to %s was not made: %s.",
                    describeMove(move).c_str(), words.c_str());
}

void collectDeviceRefusals(std::string* sink) { tRefusals = sink; }

void noteDeviceRefusal(const std::string& reason) {
  if (tRefusals != nullptr) *tRefusals = reason;
}
