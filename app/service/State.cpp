// SPDX-License-Identifier: Apache-2.0
// The state file read and written for the framework: its own part, the settings it leaves out of each
// printer's block, and each queued job's place, replacing the old file in one step; read back with the
// faults of earlier versions' states mended (StateFile.cpp).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/service/service.h"

extern "C" void _papplSystemConfigChanged(pappl_system_t* system);

std::string savedLines(pappl_printer_t* printer) {
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  std::string lines;
  if (data.speed_default != 0) lines += "print-speed-default " + std::to_string(data.speed_default) + "\n";
  if (data.darkness_configured == 0) lines += "printer-darkness-configured 0\n";
  if (const int copies = copiesDefault(printer); copies != 1)
    lines += "copies-default " + std::to_string(copies) + "\n";
  return lines;
}

int copiesDefault(pappl_printer_t* printer) {
  ipp_t* attributes = papplPrinterGetDriverAttributes(printer);
  char value[32] = "";
  ippAttributeString(ippFindAttribute(attributes, "copies-default", IPP_TAG_ZERO), value, sizeof value);
  ippDelete(attributes);
  char* end = nullptr;
  const long copies = std::strtol(value, &end, 10);
  return end != value && *end == '\0' && copies >= 1 && copies <= kMaxCopies ? static_cast<int>(copies) : 1;
}

namespace {

// 'placeOfJob()' - a printer's queued job's place, 0 when it has none.
uint64_t placeOfJob(pappl_system_t* system, int printerId, int jobId) {
  pappl_printer_t* printer = papplSystemFindPrinter(system, nullptr, printerId, nullptr);
  return printer != nullptr ? placeOf(printer, jobId) : 0;
}

// 'findConfig()' - the server's settings, from the first printer that has a link.
void findConfig(pappl_printer_t* printer, void* data) {
  auto** config = static_cast<appConfig**>(data);
  if (const printerLink* link = *config == nullptr ? linkOf(printer) : nullptr) *config = link->config;
}

}  // namespace

bool changesState(ipp_op_t op) {
  switch (op) {
    case IPP_OP_PRINT_JOB:
    case IPP_OP_CREATE_JOB:
    case IPP_OP_SEND_DOCUMENT:
    case IPP_OP_CANCEL_JOB:
    case IPP_OP_CANCEL_JOBS:
    case IPP_OP_CANCEL_MY_JOBS:
    case IPP_OP_CANCEL_CURRENT_JOB:
    case IPP_OP_HOLD_JOB:
    case IPP_OP_RELEASE_JOB:
    case IPP_OP_HOLD_NEW_JOBS:
    case IPP_OP_RELEASE_HELD_NEW_JOBS:
    case IPP_OP_PAUSE_PRINTER:
    case IPP_OP_RESUME_PRINTER:
    case IPP_OP_ENABLE_PRINTER:
    case IPP_OP_DISABLE_PRINTER:
    case IPP_OP_SET_PRINTER_ATTRIBUTES:
    case IPP_OP_SET_SYSTEM_ATTRIBUTES:
    case IPP_OP_CREATE_PRINTER:
    case IPP_OP_DELETE_PRINTER:
      return true;
    default:
      return false;
  }
}

void saveAfterRequest(pappl_client_t* client) {
  ipp_t* response = papplClientGetResponse(client);
  if (response == nullptr || ippGetStatusCode(response) >= IPP_STATUS_ERROR_BAD_REQUEST) return;
  pappl_printer_t* printer = papplClientGetPrinter(client);
  const printerLink* link = printer != nullptr ? linkOf(printer) : nullptr;
  appConfig* config = link != nullptr ? link->config : nullptr;
  pappl_system_t* system = papplClientGetSystem(client);
  // A request to the system (a printer made or deleted): the settings come with any printer.
  if (config == nullptr) papplSystemIteratePrinters(system, findConfig, &config);
  if (config != nullptr && papplSystemIsRunning(system)) saveState(system, config);
}

namespace {

// 'saveLocked()' - the save of saveState(), with 'saving' held: the saves asked for up to 'asked' are
// made once.
bool saveLocked(pappl_system_t* system, appConfig* config, uint64_t asked) {
  if (config->savesMade >= asked) return true;
  const uint64_t covered = config->saveRequests.load();
  // The framework writes its part (and each queued job's attributes beside its document) to a
  // scratch file; the whole state then replaces the old one in one step.
  // It holds the administrator password's hash: the scratch file is the server's alone before the
  // framework writes it, whatever the umask.
  const std::string scratch = config->statePath + ".framework";
  std::string error;
  if (!makePrivateFile(scratch, &error)) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to save the state: %s.", error.c_str());
    return false;
  }
  if (!papplSystemSaveState(system, scratch.c_str())) {
    std::remove(scratch.c_str());
    return false;
  }
  const std::string written = readWholeFile(scratch);
  std::remove(scratch.c_str());
  const std::string text = annotateSavedState(
      written,
      [system](int printerId) {
        pappl_printer_t* printer = papplSystemFindPrinter(system, nullptr, printerId, nullptr);
        return printer != nullptr ? savedLines(printer) : std::string();
      },
      [system](int printerId, int jobId) { return placeOfJob(system, printerId, jobId); });
  if (text != config->lastSaved && !replaceFile(config->statePath, text, &error)) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to save the state: %s.", error.c_str());
    return false;
  }
  config->lastSaved = text;
  config->savesMade = covered;
  return true;
}

}  // namespace

bool saveStateSoon(pappl_system_t* system, void* data) {
  appConfig* config = static_cast<appConfig*>(data);
  if (config == nullptr || config->statePath.empty()) return false;
  std::unique_lock<std::mutex> lock(config->saving, std::try_to_lock);
  if (!lock.owns_lock()) {
    // A request's save is being made: the framework's loop asks again at its next turn.
    _papplSystemConfigChanged(system);
    return true;
  }
  return saveLocked(system, config, config->saveRequests.fetch_add(1) + 1);
}

bool saveState(pappl_system_t* system, void* data) {
  appConfig* config = static_cast<appConfig*>(data);
  if (config == nullptr || config->statePath.empty()) return false;
  // Saves asked for at once are made once: a save that began after this one was asked for holds its
  // change too.
  const uint64_t asked = config->saveRequests.fetch_add(1) + 1;
  std::lock_guard<std::mutex> lock(config->saving);
  return saveLocked(system, config, asked);
}

bool loadState(pappl_system_t* system, appConfig* config) {
  const std::string text = readWholeFile(config->statePath);
  if (text.empty()) return false;
  std::vector<std::string> notes;
  const std::string prepared = prepareStateForLoad(
      text,
      [config](const std::string& uri, int dotsPerInch) {
        const char* driver = driverForResolution(dotsPerInch);
        if (driver == nullptr) driver = identifyPrinter(nullptr, uri.c_str(), nullptr, config);
        return std::string(driver != nullptr ? driver : driverForResolution(203));
      },
      &config->loadedPlaces, &notes);
  uint64_t last = 0;
  for (const savedPlace& p : config->loadedPlaces) last = std::max(last, p.place);
  config->nextPlace.store(last + 1);
  const std::string scratch = config->statePath + ".load";
  std::string error;
  bool loaded = replaceFile(scratch, prepared, &error);
  if (loaded) loaded = papplSystemLoadState(system, scratch.c_str());
  std::remove(scratch.c_str());
  if (!error.empty()) papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to read the state: %s.", error.c_str());
  for (const std::string& note : notes) papplLog(system, PAPPL_LOGLEVEL_WARN, "%s", note.c_str());
  config->loadedPlaces.clear();
  return loaded;
}
