// SPDX-License-Identifier: Apache-2.0
// The subcommands (app/service/Commands.cpp).
#include "app/door/door.h"

extern "C" {

// Every subcommand reaches the server that runs, and never starts one of its own: a server started by a
// command would run in the background, unattended, beside the one the system starts.
http_t* _papplMainloopConnect(const char* base, bool) {
  return connectServer(base, frameworkFunction<http_t* (*)(const char*, bool)>("_papplMainloopConnect"));
}

int _papplMainloopShowStatus(const char* base, int count, cups_option_t* options) {
  return statusCommand(base, count, options);
}

int _papplMainloopShowJobs(const char* base, int count, cups_option_t* options) {
  return jobsCommand(base, count, options);
}

int _papplMainloopModifyPrinter(const char* base, int count, cups_option_t* options) {
  return modifyCommand(base, count, options);
}

int _papplMainloopShowOptions(const char* base, int count, cups_option_t* options) {
  return optionsCommand(base, count, options);
}

int _papplMainloopShowDrivers(const char* base, int count, pappl_pr_driver_t* drivers,
                              pappl_pr_autoadd_cb_t autoadd, pappl_pr_driver_cb_t driver, int optionCount,
                              cups_option_t* options, void* system, void* data) {
  return driversCommand(base, count, drivers, autoadd, driver, optionCount, options, system, data);
}

int _papplMainloopShutdownServer(const char* base, int count, cups_option_t* options) {
  using shutdownServer = int (*)(const char*, int, cups_option_t*);
  return shutdownCommand(base, count, options,
                         frameworkFunction<shutdownServer>("_papplMainloopShutdownServer"));
}

int _papplMainloopAddPrinter(const char* base, int count, cups_option_t* options) {
  using addPrinter = int (*)(const char*, int, cups_option_t*);
  return addCommand(base, count, options, frameworkFunction<addPrinter>("_papplMainloopAddPrinter"));
}

}  // extern "C"
