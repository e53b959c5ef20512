// SPDX-License-Identifier: Apache-2.0
// The one door to the framework, closed when it does not fit. The program stands before some of the
// framework's functions (and a few of libcups' and the DNS-SD library's) under their own names, and
// calls some of the framework's internal ones; on a PAPPL where one of them is missing or means
// something else, a rule of the application's would silently stop applying, or the program would call
// through a null pointer. So the program checks at its start that each of them resolves, and the
// server that the PAPPL it runs with is one it was built and tested against. Linked into the program
// only.
#include "app/door/door.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Every function the program defines under a framework's (or a library's) name; the test
// Build.FrameworkDoor checks this list against the program's own symbols.
inline constexpr const char* kStoodBefore[] = {
    "_papplClientCreate",
    "_papplClientDelete",
    "_papplClientProcessHTTP",
    "_papplJobCopyDocumentData",
    "_papplJobCreate",
    "_papplJobProcess",
    "_papplJobProcessIPP",
    "_papplJobProcessRaster",
    "_papplMainloopAddPrinter",
    "_papplMainloopConnect",
    "_papplMainloopModifyPrinter",
    "_papplMainloopShowDrivers",
    "_papplMainloopShowJobs",
    "_papplMainloopShowOptions",
    "_papplMainloopShowStatus",
    "_papplMainloopShutdownServer",
    "_papplPrinterCleanJobsNoLock",
    "_papplPrinterIsAuthorized",
    "_papplPrinterProcessIPP",
    "_papplPrinterReasonString",
    "_papplPrinterWebDefaults",
    "_papplPrinterWebHome",
    "_papplPrinterWebIteratorCallback",
    "_papplPrinterWebJobs",
    "_papplPrinterWebMedia",
    "_papplSystemProcessIPP",
    "avahi_service_browser_free",
    "avahi_service_browser_new",
    "cupsArrayCount",
    "cupsRasterReadHeader2",
    "httpGetField",
    "httpRead2",
    "ippAddStrings",
    "ippRead",
    "papplClientGetLocString",
    "papplClientHTMLAuthorize",
    "papplClientIsAuthorized",
    "papplClientRespond",
    "papplDeviceIsSupported",
    "papplDeviceOpen",
    "papplJobCancel",
    "papplPrinterCancelAllJobs",
    "papplPrinterCreate",
    "papplPrinterSetDriverDefaults",
    "papplSystemHashPassword",
    "papplSystemSetMaxImageSize",
};

// The framework's internal functions the application calls, which no installed header declares.
inline constexpr const char* kInternals[] = {
    "_papplColorModeString",
    "_papplColorModeValue",
    "_papplContentString",
    "_papplClientIsAuthorizedForGroup",
    "_papplContentValue",
    "_papplDeviceAddNetworkSchemes",
    "_papplDeviceAddUSBScheme",
    "_papplJobSetState",
    "_papplJobSubmitFile",
    "_papplLabelModeString",
    "_papplLabelModeValue",
    "_papplMainloopAddPrinterURI",
    "_papplMainloopConnectURI",
    "_papplMainloopGetDefaultPrinter",
    "_papplMainloopGetServerPath",
    "_papplMediaTrackingString",
    "_papplMediaTrackingValue",
    "_papplPrinterCheckJobs",
    "_papplPrinterInitDriverData",
    "_papplScalingString",
    "_papplScalingValue",
    "_papplSystemConfigChanged",
    "_papplSystemFindMIMEFilter",
};

}  // namespace

int checkFrameworkDoor(std::string* missing) {
  for (const char* name : kStoodBefore)
    if (frameworkFunction<void*>(name) == nullptr) {
      *missing = name;
      return 1;
    }
  for (const char* name : kInternals)
    if (dlsym(RTLD_DEFAULT, name) == nullptr) {
      *missing = name;
      return 1;
    }
  return 0;
}

namespace {

// 'frameworkVersion()' - the version of the PAPPL library the program runs with, as the library names
// itself in its Server: header ("PAPPL/1.3.1"), "" when it cannot be told.
std::string frameworkVersion() {
  Dl_info where{};
  if (dladdr(reinterpret_cast<void*>(&papplSystemCreate), &where) == 0 || where.dli_fname == nullptr)
    return "";
  const std::string library = readWholeFile(where.dli_fname);
  for (size_t at = library.find("PAPPL/"); at != std::string::npos; at = library.find("PAPPL/", at + 1)) {
    size_t end = at + 6;
    while (end < library.size() &&
           (std::isdigit(static_cast<unsigned char>(library[end])) || library[end] == '.'))
      ++end;
    if (end > at + 6 && std::isdigit(static_cast<unsigned char>(library[at + 6])))
      return library.substr(at + 6, end - at - 6);
  }
  return "";
}

}  // namespace

int checkFrameworkVersion(std::string* version) {
  *version = frameworkVersion();
  const std::string tested = LABEL_PAPPL_TESTED ".";
  if (version->compare(0, tested.size(), tested) == 0) return 0;
  return LABEL_UNTESTED_PAPPL ? 2 : 1;
}
