// The Printer Application: PAPPL drivers for 203 and 300 dpi label printers on the project's command
// writers. The framework calls the driver, raster and raw-print callbacks declared here; the pieces
// without the framework (line conversion, document typing) are plain functions the tests call alone.
#pragma once

#include <pappl/pappl.h>

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "commands/commands.h"

// ---------------------------------------------------------------------------------------------------
// Lines into the label bitmap (Convert.cpp; no framework calls).

// What the bytes of an incoming line hold.
enum lineKind {
  kLineOneBit,       // 1 bit per dot, a 1 prints
  kLineGreyInkHigh,  // 8-bit black (K): 255 is full ink
  kLineGreyInkLow,   // 8-bit luminance (W, sW): 0 is full ink
};

// How an incoming line is read: its kind, its bytes and the pixels it holds.
struct lineLayout {
  lineKind kind;
  size_t bytes;     // readable bytes of the line; nothing past them is touched
  uint32_t pixels;  // pixels described by those bytes (at most 8 per byte, or 1 per grey byte)
  bool dither;      // grey to dots through the ordered dither matrix (photographs), else at mid-grey
};

// 'convertLine()' - write bitmap row 'y' of a label 'labelWidth' dots wide from one incoming line:
// dots past the line's pixels are white, pixels past the label are dropped. 'row' holds 'rowBytes'
// bytes (at least (labelWidth + 7) / 8); the bytes after the label's dots are left as they are.
void convertLine(const unsigned char* line, const lineLayout& layout, uint32_t y, uint32_t labelWidth,
                 unsigned char* row, size_t rowBytes);

// 'ditherThreshold()' - the ordered dither matrix's threshold (0 to 254) at a dot; ink darker than it
// prints. A 16 x 16 Bayer matrix, so that grey areas keep their tone and edges stay in place.
unsigned ditherThreshold(uint32_t x, uint32_t y);

// 'fillPadding()' - set the bitmap's bytes outside the label ('labelWidth' x 'labelHeight' dots) to
// 'fill': the columns after the label's last byte and the rows after its last row.
void fillPadding(unsigned char* bitmap, const pageGeometry& geometry, uint32_t labelWidth,
                 uint32_t labelHeight, unsigned char fill);

// The document format of data already written in the label command language.
inline constexpr char kLabelCommandFormat[] = "application/vnd.label-commands";

// 'isLabelCommandData()' - whether 'size' bytes begin a document in the label command language: after
// blanks, a command prefix ('^' or '~', or the prefix change byte 0x10) and an upper-case letter.
bool isLabelCommandData(const unsigned char* data, size_t size);

// ---------------------------------------------------------------------------------------------------
// Job settings from the IPP attributes (Options.cpp).

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
// dots per inch vertically. Returns 0, or 1 when a vendor attribute holds a value outside its
// supported values (its name is then in *badAttribute and the record is unfinished).
int jobSettings(const pappl_pr_options_t& options, int defaultCount, cups_option_t* defaults,
                pappl_label_mode_t labelMode, int resolution, settings_* settings, const char** badAttribute);

// ---------------------------------------------------------------------------------------------------
// The printer's status (Status.cpp).

// What the application knows of one printer's two-way link, kept in the driver data's extension from
// the driver callback to the printer's deletion.
struct printerLink {
  int answered;           // the last status query: 1 answered, 0 not (silent or garbled), -1 never asked
  int64_t quietUntil;     // a printer that did not answer is left alone until then (seconds)
  std::mutex asking;      // held while the printer is asked and its answer shown
  pappl_preason_t shown;  // the reasons its last answer gave
  char words[256];        // and what they say, "" when nothing is wrong
  // The configured values that follow what the printer reports: while the label mode and the media
  // type are still these, nobody has chosen them, and they take the printer's own.
  pappl_label_mode_t followedMode;
  char followedMediaType[32];
};

// What an answer to the status query means: the printer's state reasons, whether jobs wait, and the
// trouble in words ("out of labels, print head open"; "" when there is none).
struct statusReport {
  pappl_preason_t reasons;
  bool hold;
  char words[256];
};

// The print mode that hands each label over to be taken.
inline constexpr int kPrintModePeelOff = 1;

// 'reportHostStatus()' - what a status answer means: paper out is media-empty, head open cover-open,
// ribbon out (in thermal-transfer mode only) marker-supply-empty, a full receive buffer
// spool-area-full; paused at the printer, a head too cold or too hot, corrupt memory and diagnostic mode
// are 'other'; all of these hold jobs. A label waiting to be taken in peel-off mode is 'other' too, but
// holds nothing.
void reportHostStatus(const hostStatus& status, statusReport* report);

// 'updateReadyLength()' - make the loaded stock's length the one the printer measured, in dots at the
// printer's resolution; changes under a millimetre are ignored.
void updateReadyLength(pappl_printer_t* printer, const pappl_pr_driver_data_t& data, int32_t lengthDots);

// 'awaitPrinter()' - the status check of a job, before its labels or after them: ask the printer and,
// while it reports trouble that holds jobs, wait (the job says why) and ask again. A printer whose
// status is unknown never holds a job. Returns false when the job was cancelled meanwhile.
bool awaitPrinter(pappl_job_t* job, pappl_device_t* device, bool afterLabels);

// 'newPrinterLink()' - a printer's link record, nothing known yet; 'labelDelete()' frees it.
printerLink* newPrinterLink();
void labelDelete(pappl_printer_t* printer, pappl_pr_driver_data_t* data);

// ---------------------------------------------------------------------------------------------------
// The framework's callbacks (Driver.cpp, Raster.cpp, Status.cpp).

extern const pappl_pr_driver_t kDrivers[];
extern const int kDriverCount;

bool labelDriver(pappl_system_t* system, const char* driverName, const char* deviceUri, const char* deviceId,
                 pappl_pr_driver_data_t* data, ipp_t** attributes, void* context);
bool labelStatus(pappl_printer_t* printer);
bool labelStartJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
bool labelStartPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);
bool labelWriteLine(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned y,
                    const unsigned char* line);
bool labelEndPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);
bool labelEndJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
bool labelPrintRaw(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
