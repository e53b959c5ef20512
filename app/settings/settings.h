// SPDX-License-Identifier: Apache-2.0
// The settings: the vendor attributes and the job's settings record from its IPP attributes
// (Options.cpp), the table of the printer settings that modify, options and Set-Printer-Attributes
// check against (Settings.cpp), and a printer's printing defaults (Defaults.cpp).
#pragma once

#include <functional>

#include "app/devices/devices.h"

// The framework's internal functions that PAPPL 1.3.1 exports but declares in no installed header.
extern "C" {
bool _papplPrinterIsAuthorized(pappl_client_t* client);
const char* _papplColorModeString(pappl_color_mode_t value);
pappl_color_mode_t _papplColorModeValue(const char* value);
const char* _papplContentString(pappl_content_t value);
pappl_content_t _papplContentValue(const char* value);
const char* _papplLabelModeString(pappl_label_mode_t value);
pappl_label_mode_t _papplLabelModeValue(const char* value);
const char* _papplMediaTrackingString(pappl_media_tracking_t value);
pappl_media_tracking_t _papplMediaTrackingValue(const char* value);
const char* _papplScalingString(pappl_scaling_t value);
pappl_scaling_t _papplScalingValue(const char* value);
void _papplSystemConfigChanged(pappl_system_t* system);
}

// The vendor attributes, job template attributes with printer defaults ("NAME-default").
inline constexpr char kTearOffsetAttr[] = "label-tear-offset";  // hundredths of mm
inline constexpr char kMediaTypeAttr[] =
    "label-media-type";  // printer-setting, thermal-transfer, direct-thermal
inline constexpr char kRotateAttr[] = "label-rotate-180";  // boolean
inline constexpr char kMirrorAttr[] = "label-mirror";      // boolean
inline constexpr char kInverseAttr[] = "label-inverse";    // boolean
inline constexpr char kPauseAttr[] = "label-pause";        // none, after-job, after-label

// A new printer's label mode and media type, until someone chooses others or the printer reports its own.
inline constexpr pappl_label_mode_t kDefaultLabelMode = PAPPL_LABEL_MODE_TEAR_OFF;
inline constexpr char kDefaultMediaType[] = "printer-setting";

// 'jobSettings()' - the settings record of a job: the job's options (which hold the printer's defaults
// for the standard attributes), the vendor attributes of the job or else of the printer's defaults
// ('defaults', named without "-default"), and the printer's configured label mode, at 'resolution'
// dots per inch vertically; the tear-off and top adjustments in *adjustments, to the nearest dot.
// Returns 0, or 1 when a vendor attribute holds a value outside its supported values (its name is
// then in *badAttribute and the record is unfinished).
int jobSettings(const pappl_pr_options_t& options, int defaultCount, cups_option_t* defaults,
                pappl_label_mode_t labelMode, int resolution, settings_* settings,
                adjustmentDots* adjustments, const char** badAttribute);

// The most copies of a job, as the framework checks them: its copies-supported, the default copies and
// submit -n.
inline constexpr int kMaxCopies = 999;

// 'addSettings()' - add to a Set-Printer-Attributes 'request' the settings of the command line's
// options, each checked against the 'printer''s attributes (what it supports, its media defaults):
// 0, or 1 with the reason in *error for a name that is no setting or a value the printer does not
// take, nothing then being worth sending. Options that name the printer or the server are skipped.
int addSettings(int count, cups_option_t* options, ipp_t* printer, ipp_t* request, std::string* error);

// 'checkSettingsRequest()' - whether the settings of a Set-Printer-Attributes request are all values
// the printer takes: 0, or 1 with the reason.
int checkSettingsRequest(ipp_t* request, ipp_t* printer, std::string* error);

// 'describeSettings()' - every setting with what it does, its values and the printer's present one,
// for the options subcommand.
std::string describeSettings(ipp_t* printer);

// 'joinOptionWords()' - the text of a command line's "-o" as the framework reads it (options
// NAME=VALUE apart by blanks) with each word that does not begin "NAME=" kept in the value before it:
// "printer-location=Dock 4" becomes printer-location="Dock 4". Text already quoted or escaped the
// framework's way, or holding a collection ("{...}"), is left as it is.
std::string joinOptionWords(const std::string& text);

// 'copiesDefault()' - the printer's default copies, 1 to kMaxCopies.
int copiesDefault(pappl_printer_t* printer);

// 'saveDriverDefaults()' - papplPrinterSetDriverDefaults() with the default copies ('copies', 0 to
// leave them as they are) beside the vendor defaults: false when the printer refuses a value.
bool saveDriverDefaults(pappl_printer_t* printer, pappl_pr_driver_data_t* data, int vendorCount,
                        cups_option_t* vendor, int copies);

// 'setDriverDefaultsTurned()' - the printing defaults through 'next' (the framework's setter, which
// leaves the default orientation out), and then the default orientation: false when the printer
// refuses a value.
using setDriverDefaults = std::function<bool(pappl_printer_t*, pappl_pr_driver_data_t*, int, cups_option_t*)>;
bool setDriverDefaultsTurned(pappl_printer_t* printer, pappl_pr_driver_data_t* data, int vendorCount,
                             cups_option_t* vendor, const setDriverDefaults& next);

// 'expandRequestedAttributes()' - a Get-Printer-Attributes request's requested-attributes as the
// framework is to read them: with "all" among them, "all" alone (*database then says whether
// media-col-database, which "all" leaves out, was named too, to be added to the answer); else the names
// asked, with the label attributes (and the others the CUPS library does not list) of each group
// asked, printer-description and job-template (Groups.cpp).
std::vector<std::string> expandRequestedAttributes(const std::vector<std::string>& asked, bool* database);
