// SPDX-License-Identifier: Apache-2.0
// The label printer models as data, and the driver callback that hands them to the framework.
#include <cstring>
#include <string>

#include "app/printer/printer.h"

extern const unsigned char kIcon48[], kIcon128[], kIcon512[];
extern const size_t kIcon48Size, kIcon128Size, kIcon512Size;

namespace {

// A model: the driver's name, what it shows, its resolution in dots per inch, and its largest custom
// label (its head's width, and the longest label the PPD files allow).
struct labelModel {
  const char* name;
  const char* makeAndModel;
  int resolution;
  const char* customMax;
};
// Each head is as wide as a typical printer's of its resolution: 152 dpi (6 dots/mm), a 4-inch
// printer of coarse shipping and pallet labels, 104 mm (624 dots); 203 dpi (8 dots/mm), a 4-inch
// desktop printer, 108 mm (4.25 in, 864 dots); 300 dpi (12 dots/mm), a 4-inch industrial printer,
// 105.7 mm (4.16 in, 1248 dots); 600 dpi (24 dots/mm), a 4-inch industrial printer of fine labels,
// 104 mm (4.09 in, 2456 dots).
inline constexpr labelModel kModels[] = {
    {"generic-label-152dpi", "Generic Label Printer 152dpi", 152, "custom_max_4.09x39in"},
    {"generic-label-203dpi", "Generic Label Printer 203dpi", 203, "custom_max_4.25x39in"},
    {"generic-label-300dpi", "Generic Label Printer 300dpi", 300, "custom_max_4.16x39in"},
    {"generic-label-600dpi", "Generic Label Printer 600dpi", 600, "custom_max_4.09x39in"},
};

// The label sizes of the filter's PPD files (common label stock, inch and metric), then the custom size
// range: the model's largest, and the smallest label.
inline constexpr const char* kMedia[] = {
    "na_index-4x6_4x6in",           "oe_6x4-label_6x4in",         "oe_4x3-label_4x3in",
    "oe_4x2-label_4x2in",           "oe_2x1-label_2x1in",         "oe_2-25x1-25-label_2.25x1.25in",
    "om_100x150-label_100x150mm",   "oe_4x4-label_4x4in",         "oe_4x8-label_4x8in",
    "oe_4x1-label_4x1in",           "oe_3x2-label_3x2in",         "oe_3x1-label_3x1in",
    "oe_2-25x0-5-label_2.25x0.5in", "oe_1-5x1-label_1.5x1in",     "oe_1-25x1-label_1.25x1in",
    "om_100x50-label_100x50mm",     "om_100x100-label_100x100mm", "om_100x200-label_100x200mm",
    "om_57x32-label_57x32mm",       "om_50x25-label_50x25mm",     "om_60x40-label_60x40mm",
    "om_38x25-label_38x25mm",       "custom_min_0.5x0.25in",
};
inline constexpr int kSizeCount = static_cast<int>(sizeof kMedia / sizeof kMedia[0]) - 1;
inline constexpr const char* kDefaultMedia = "na_index-4x6_4x6in";

// Margins of one hundredth of a millimetre, not zero: with zero margins a driverless CUPS queue offers
// only borderless sizes and renders jobs without a size on Letter.
inline constexpr int kMargin = 1;

// Darkness: 31 levels, the configured default 50 of 100 being the command's 15 of 30.
inline constexpr int kDarknessLevels = 31;
inline constexpr int kDarknessConfigured = 50;

// The vendor attributes' supported values.
inline constexpr const char* kMediaTypeValues[] = {"printer-setting", "thermal-transfer", "direct-thermal"};
inline constexpr const char* kPauseValues[] = {"none", "after-job", "after-label"};

// 'vendorAttributes()' - the vendor attributes' defaults and supported values.
ipp_t* vendorAttributes() {
  ipp_t* attributes = ippNew();
  ippAddInteger(attributes, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "label-tear-offset-default", 0);
  ippAddRange(attributes, IPP_TAG_PRINTER, "label-tear-offset-supported", -1500, 1500);
  ippAddString(attributes, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "label-media-type-default", nullptr,
               kDefaultMediaType);
  ippAddStrings(attributes, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD), "label-media-type-supported", 3,
                nullptr, kMediaTypeValues);
  for (const char* name : {kRotateAttr, kMirrorAttr, kInverseAttr}) {
    ippAddBoolean(attributes, IPP_TAG_PRINTER, (std::string(name) + "-default").c_str(), 0);
    ippAddBoolean(attributes, IPP_TAG_PRINTER, (std::string(name) + "-supported").c_str(), 1);
  }
  ippAddString(attributes, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "label-pause-default", nullptr, "none");
  ippAddStrings(attributes, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD), "label-pause-supported", 3,
                nullptr, kPauseValues);
  return attributes;
}

}  // namespace

const pappl_pr_driver_t kDrivers[] = {
    {kModels[0].name, kModels[0].makeAndModel, nullptr, nullptr},
    {kModels[1].name, kModels[1].makeAndModel, nullptr, nullptr},
    {kModels[2].name, kModels[2].makeAndModel, nullptr, nullptr},
    {kModels[3].name, kModels[3].makeAndModel, nullptr, nullptr},
};
const int kDriverCount = static_cast<int>(sizeof kDrivers / sizeof kDrivers[0]);
static_assert(sizeof kDrivers / sizeof kDrivers[0] == sizeof kModels / sizeof kModels[0]);

bool labelDriver(pappl_system_t* system, const char* driverName, const char* deviceUri, const char*,
                 pappl_pr_driver_data_t* data, ipp_t** attributes, void* context) {
  const labelModel* model = nullptr;
  for (const labelModel& m : kModels)
    if (driverName != nullptr && std::strcmp(driverName, m.name) == 0) model = &m;
  if (model == nullptr) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unknown driver '%s'.", driverName != nullptr ? driverName : "");
    return false;
  }

  // The callbacks that print a job's documents and the test label, which the program hands over with
  // the server's settings; the printer's status and its end are this file's.
  if (const appConfig* settings = static_cast<const appConfig*>(context)) {
    const printerCallbacks& c = settings->callbacks;
    data->printfile_cb = c.printfile;
    data->rstartjob_cb = c.startJob;
    data->rstartpage_cb = c.startPage;
    data->rwriteline_cb = c.writeLine;
    data->rendpage_cb = c.endPage;
    data->rendjob_cb = c.endJob;
    data->testpage_cb = c.testPage;
  }
  data->status_cb = labelStatus;
  // Identify feeds a blank label.
  data->identify_cb = identifyByFeed;
  data->identify_supported = PAPPL_IDENTIFY_ACTIONS_DISPLAY;
  data->identify_default = PAPPL_IDENTIFY_ACTIONS_DISPLAY;
  data->delete_cb = labelDelete;
  // The printers' icons: a label printer, at the three sizes IPP asks for.
  data->icons[0] = {"", kIcon48, kIcon48Size};
  data->icons[1] = {"", kIcon128, kIcon128Size};
  data->icons[2] = {"", kIcon512, kIcon512Size};
  // A device the server cannot use, a file device outside the file device folder among them, is
  // refused to every new printer, whatever route it comes by (the web page, IPP, the add command); a
  // printer the state file brings keeps a file device outside the folder but prints nothing.
  appConfig* config = static_cast<appConfig*>(context);
  const bool running = papplSystemIsRunning(system);
  std::string refused;
  if (config != nullptr && (running ? checkDeviceUri(deviceUri, config->fileFolder, &refused)
                                    : checkFileDevice(deviceUri, config->fileFolder, &refused)) != 0) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "Refusing the device '%s': %s.", deviceUri, refused.c_str());
    if (running) {
      noteDeviceRefusal(refused);
      return false;
    }
  } else {
    refused.clear();
  }
  printerLink* link = newPrinterLink(config);
  if (link != nullptr) {
    link->refusedDevice = refused;
    // The labels of a printer the state file brings may have been chosen before the restart.
    link->sizeChosen = !papplSystemIsRunning(system);
  }
  data->extension = link;
  data->format = kLabelCommandFormat;
  std::strncpy(data->make_and_model, model->makeAndModel, sizeof data->make_and_model - 1);
  data->kind = PAPPL_KIND_LABEL | PAPPL_KIND_ROLL;
  data->ppm = 60;
  data->orient_default = IPP_ORIENT_PORTRAIT;
  data->quality_default = IPP_QUALITY_NORMAL;
  data->color_supported = PAPPL_COLOR_MODE_AUTO | PAPPL_COLOR_MODE_MONOCHROME | PAPPL_COLOR_MODE_BI_LEVEL;
  data->color_default = PAPPL_COLOR_MODE_MONOCHROME;
  data->content_default = PAPPL_CONTENT_AUTO;
  data->scaling_default = PAPPL_SCALING_AUTO;
  // No 8-bit sGray and no forced raster type: the framework then hands 8-bit pages over as they came
  // (the driver makes the dots, within the line it was given), and builds its own page header in black
  // (K), whose padding is white in 1-bit lines too. Apple raster stays available: it is always 8-bit.
  data->raster_types = PAPPL_PWG_RASTER_TYPE_BLACK_1 | PAPPL_PWG_RASTER_TYPE_BLACK_8;
  data->force_raster_type = PAPPL_PWG_RASTER_TYPE_NONE;
  data->sides_supported = PAPPL_SIDES_ONE_SIDED;
  data->sides_default = PAPPL_SIDES_ONE_SIDED;

  data->num_resolution = 1;
  data->x_resolution[0] = data->y_resolution[0] = model->resolution;
  data->x_default = data->y_default = model->resolution;
  data->left_right = kMargin;
  data->bottom_top = kMargin;

  for (int i = 0; i < kSizeCount; ++i) data->media[i] = kMedia[i];
  data->media[kSizeCount] = model->customMax;
  data->media[kSizeCount + 1] = kMedia[kSizeCount];
  data->num_media = kSizeCount + 2;
  data->num_source = 1;
  data->source[0] = "main-roll";
  data->num_type = 1;
  data->type[0] = "labels";
  data->tracking_supported = PAPPL_MEDIA_TRACKING_CONTINUOUS | PAPPL_MEDIA_TRACKING_MARK |
                             PAPPL_MEDIA_TRACKING_GAP | PAPPL_MEDIA_TRACKING_WEB;
  data->top_offset_supported[0] = -1500;
  data->top_offset_supported[1] = 1500;

  pappl_media_col_t& ready = data->media_ready[0];
  pwg_media_t* size = pwgMediaForPWG(kDefaultMedia);
  std::strncpy(ready.size_name, kDefaultMedia, sizeof ready.size_name - 1);
  ready.size_width = size->width;
  ready.size_length = size->length;
  ready.left_margin = ready.right_margin = kMargin;
  ready.top_margin = ready.bottom_margin = kMargin;
  ready.tracking = PAPPL_MEDIA_TRACKING_GAP;
  std::strncpy(ready.source, "main-roll", sizeof ready.source - 1);
  std::strncpy(ready.type, "labels", sizeof ready.type - 1);
  data->media_default = ready;

  data->mode_supported = PAPPL_LABEL_MODE_TEAR_OFF | PAPPL_LABEL_MODE_REWIND | PAPPL_LABEL_MODE_PEEL_OFF;
  data->mode_configured = kDefaultLabelMode;
  data->darkness_supported = kDarknessLevels;
  data->darkness_configured = kDarknessConfigured;
  data->darkness_default = 0;
  data->speed_supported[0] = 2 * 2540;
  data->speed_supported[1] = 6 * 2540;
  data->speed_default = 0;

  data->num_vendor = 6;
  data->vendor[0] = kTearOffsetAttr;
  data->vendor[1] = kMediaTypeAttr;
  data->vendor[2] = kRotateAttr;
  data->vendor[3] = kMirrorAttr;
  data->vendor[4] = kInverseAttr;
  data->vendor[5] = kPauseAttr;
  *attributes = vendorAttributes();
  return true;
}

const char* driverForResolution(int dotsPerInch) {
  for (const labelModel& m : kModels)
    if (m.resolution == dotsPerInch) return m.name;
  return nullptr;
}
