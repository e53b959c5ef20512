// SPDX-License-Identifier: Apache-2.0
// The printers' devices: network printers whose waits are bounded and notice cancellation, and file
// devices confined to one folder (Devices.cpp). The lowest room: it needs nothing of the others.
#pragma once

#include <pappl/pappl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "commands/commands.h"

// How long a network connection may take to open, and how long a printer may take no data before
// the job gives up (a device URI may set its own, "socket://HOST:PORT/?timeout=SECONDS", 1 to 3600).
inline constexpr int kConnectMilliseconds = 1500;
inline constexpr int kDefaultStallSeconds = 300;

// 'addDeviceSchemes()' - register the application's socket and file devices in place of the
// framework's, then the framework's other schemes (USB, DNS-SD, SNMP). Call once, before the
// framework opens or lists any device.
void addDeviceSchemes();

// 'isNetworkUri()' - whether a device URI is a network printer's: socket://, or one that the framework's
// discovery found by DNS-SD or SNMP (dnssd://, snmp://), which the application's own device writes too.
bool isNetworkUri(const char* uri);

// 'discoveredDeviceUri()' - the URI of the application's own device for a printer that DNS-SD or SNMP
// found ("dnssd://NAME._pdl-datastream._tcp.local/" is "label-dnssd://NAME._pdl-datastream._tcp.local/"),
// "" for every other URI. Its waits are a socket:// printer's: bounded and cancellable; a DNS-SD
// service is resolved within 5 seconds, and a printer found by SNMP is reached by the name it reported.
std::string discoveredDeviceUri(const char* uri);

// 'checkFileDevice()' - whether a printer may have the device 'uri' when file devices are confined to
// 'folder' ("" when they are off): 0 for every URI that is not a file URI, and for a file URI whose
// path lies inside the folder, names no "." or ".." and passes through no symbolic link; otherwise
// 1, with the reason in *reason.
int checkFileDevice(const char* uri, const std::string& folder, std::string* reason);

// 'openJobDevicesLate()' - whether the network devices this thread opens may stay unconnected when
// their printer cannot be reached at once: the framework pauses the printer whenever a job's device
// does not open, so the job's thread takes the device unconnected and connects it itself
// (awaitConnection()).
void openJobDevicesLate(bool late);

// 'connectDevice()' - connect the printer's network device that was opened unconnected, or open a
// file device's output (a new file of the server's naming in a folder, else the named regular file):
// true when it is connected or open (or is neither kind), else false with the reason in *error.
bool connectDevice(pappl_printer_t* printer, pappl_device_t* device, std::string* error);

// 'watchJob()' - make the printer's network device give up its waits as soon as 'job' is cancelled
// (nullptr: no job), and name a folder's file device's output after the job ("job-ID.prn").
// Devices of other kinds are left as they are.
void watchJob(pappl_printer_t* printer, pappl_device_t* device, pappl_job_t* job);

// 'sendToDevice()' - write 'length' bytes and flush them: true only when every byte reached the
// device. The framework keeps small writes in a buffer and drops the errors of its flush, so the
// device's byte count is what tells.
bool sendToDevice(pappl_device_t* device, const void* bytes, size_t length);

// 'drainDevice()' - wait until a network printer has acknowledged every byte sent to it: false when
// the connection fails, the job is cancelled, or the printer takes nothing for its stall time.
// Devices of other kinds are done at once.
bool drainDevice(pappl_printer_t* printer, pappl_device_t* device);

// 'monotonicMilliseconds()' - a steady clock, for deadlines.
int64_t monotonicMilliseconds();

// 'checkDeviceUri()' - whether a new or moved printer may have the device 'uri' when file devices are
// confined to 'folder' ("" when they are off): a URI of a scheme the server has a device for, a network
// printer's with its host, a file device's inside the folder (checkFileDevice()) at a file or folder
// the server can write. 0, or 1 with the reason in *reason.
int checkDeviceUri(const char* uri, const std::string& folder, std::string* reason);
