// The filter driver: settings from the PPD and the job options, page geometry and the raster page loop.
#pragma once

#include <cups/ppd.h>
#include <cups/raster.h>

#include <cstdint>

// The job's print settings, filled once from the PPD and the job options. Option-driven fields hold the
// decimal number of the chosen choice keyword, or -1 when the PPD has no such option.
struct settings_ {
  int modelNumber;
  float pagewidth;
  float pageheight;
  int printtype;
  int pagetype;
  int imagecontrol;
  int papersize;
  int outpagemode;
  int density;
  int printposition;
  int tearoffposition;
  int printquality;
  int topsearch;
  int focusArea;
  int bytesPerScanLine;
  int bytesPerScanLineStd;
  int backfeed;
  int mirror;
  int inverse;
  int printspeed;
  int pause;
};
static_assert(sizeof(settings_) == 21 * 4, "settings_ is twenty-one 32-bit fields");

// 'getOptionChoiceIndex()' - the leading decimal number of the option's marked choice keyword, else of
// its default choice keyword; -1 when the PPD has neither (or no such option).
int getOptionChoiceIndex(const char* choiceName, ppd_file_t* ppd);

// 'initializeSettings()' - fill 'settings' from the PPD named by the PPD environment variable, with the
// job options string overriding its defaults. Without a readable PPD the model number is 0 and every
// option field is -1.
void initializeSettings(const char* commandLineOptionSettings, settings_* settings);

// Size of one page's bitmap: rows padded to 32 pixels, the height padded to 32 rows. 64-bit, so that
// no raster header can make it wrap.
struct pageGeometry {
  uint64_t rowBytes;    // ((cupsWidth + 31) / 32) * 4
  uint64_t paddedRows;  // cupsHeight rounded up to a multiple of 32
  uint64_t totalBytes;  // rowBytes * paddedRows
};

// 'computePageGeometry()' - the bitmap geometry of a page 'width' pixels wide and 'height' rows high.
pageGeometry computePageGeometry(uint32_t width, uint32_t height);

// Largest page bitmap the filter accepts, 128 MiB: a label 8.5 in wide and 350 in long at 600 dpi. The
// filter holds one bitmap and its text (at most twice as large) at a time, so a job never needs more than
// about 400 MiB whatever its headers claim; the download command could state up to 2 GiB.
constexpr uint64_t kMaxPageBytes = uint64_t{128} << 20;

// 'installSignalHandlers()' - SIGTERM cancels the job (the current graphic is finished and deleted
// unprinted), SIGPIPE is ignored so that a closed output shows up as a write error.
void installSignalHandlers();

// 'filterRasterPages()' - the page loop: read raster pages from 'fd', write the printer data of each to
// standard output, and end with the scheduler log line on standard error. Returns the exit status.
int filterRasterPages(int fd, const settings_& settings);

// 'filterMain()' - the whole filter: arguments as the scheduler passes them, PPD from the environment.
// Returns the exit status.
int filterMain(int argc, char* argv[]);
