// SPDX-License-Identifier: Apache-2.0
// The door to the framework: every function that stands before one of PAPPL's, libcups' or the
// DNS-SD library's own, one file by framework area (Access.cpp: who may do what, passwords, each
// request's Host and image limits; Ipp.cpp: the IPP requests; Jobs.cpp: the jobs' threads and raster
// streams; Printers.cpp: a printer's creation, defaults, device and reasons; Web.cpp: the printer's
// pages; Mainloop.cpp: the subcommands; History.cpp: the job history; Limits.cpp: requests and
// documents read within their limits, each request on its client's thread, clients made and ended;
// Dnssd.cpp: DNS-SD), and its check that the framework it runs with has them all (Door.cpp). The
// functions have the framework's names, so that the dynamic linker resolves the framework's own calls
// to them (its parts call each other through the symbol table); each applies the application's rule
// by calling a function of a room, handing it the framework's own, found with dlsym(RTLD_NEXT). The
// program only: the tests' library has none of them.
#pragma once

#include <dlfcn.h>
#include <pappl/pappl.h>

#include <string>

#include "app/service/service.h"

// 'frameworkFunction()' - the framework's own function 'name', which the program's function of that
// name stands before.
template <typename Function>
Function frameworkFunction(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// 'checkFrameworkDoor()' - whether every framework function the program stands before, and every
// internal one it calls, resolves in the libraries it runs with: 0, or 1 with the first missing one's
// name in *missing (Door.cpp).
int checkFrameworkDoor(std::string* missing);

// 'checkFrameworkVersion()' - whether the PAPPL the program runs with (its version in *version, "" when
// it cannot be told) is of the series the program was built and tested against: 0, 1 when it is not,
// 2 when it is not but the program was built to run on it all the same (-DLABEL_UNTESTED_PAPPL=ON).
int checkFrameworkVersion(std::string* version);

// 'limitConnections()' - the connections the server takes: kMaxConnections in all, 'perAddress' from
// one address (Limits.cpp). Call before the system runs.
void limitConnections(pappl_system_t* system, int perAddress);
