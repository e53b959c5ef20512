// SPDX-License-Identifier: Apache-2.0
// Label command generation: the job's settings record, the command record and the fixed command tables,
// the job prologue, the stored-graphic download and the page format that prints and deletes it.
//
// Every writer appends to a byte sink that its caller owns, so that several jobs may be written at
// once, one sink each. The forms without a sink are the filter's own interface: they write to
// standard output.
#pragma once

#include <cups/raster.h>

#include <array>
#include <cstddef>
#include <cstdint>

// The job's print settings. Option-driven fields hold the table index of the chosen setting (the
// decimal number of a PPD choice keyword), or -1 when there is none; an index outside its table sends
// nothing for its step.
struct settings_ {
  int modelNumber;
  float pagewidth;
  float pageheight;
  int printtype;        // media type: 0 thermal transfer, 1 direct thermal
  int pagetype;         // media tracking: 0 continuous, 1 black mark, 2 gap or notch
  int imagecontrol;     // orientation: 0 normal, 1 rotated by 180 degrees
  int papersize;        // not used by the commands
  int outpagemode;      // media handling after printing: 0 tear off, 1 rewind, 2 peel off
  int density;          // darkness 0 to 30
  int printposition;    // top adjustment: 20 is none, each step 4 dots
  int tearoffposition;  // tear-off adjustment: 20 is none, each step 4 dots
  int printquality;
  int topsearch;
  int focusArea;
  int bytesPerScanLine;
  int bytesPerScanLineStd;
  int backfeed;    // not used by the commands: the back-feed command is fixed
  int mirror;      // 0 normal, 1 mirrored
  int inverse;     // 1 prints a negative image; every other value prints normally
  int printspeed;  // 0 to 4 for 2 to 6 inches per second; 5 keeps the printer's speed
  int pause;       // 0 none, 1 after the job, 2 after each label
};
static_assert(sizeof(settings_) == 21 * 4, "settings_ is twenty-one 32-bit fields");

// ---------------------------------------------------------------------------------------------------
// Facts of the label language that several commands share.

// The name under which every page's bitmap is stored, recalled and deleted.
#define LABEL_STORED_GRAPHIC "000.GRF"
inline constexpr char kStoredGraphicName[] = LABEL_STORED_GRAPHIC;

// Page padding: a stored graphic's rows are whole multiples of 32 dots, and its height a multiple of
// 32 rows.
inline constexpr uint32_t kPagePaddingDots = 32;
inline constexpr uint32_t kPagePaddingRows = 32;

// Size of one page's bitmap, in 64 bits so that no page size can make it wrap.
struct pageGeometry {
  uint64_t rowBytes;    // the width rounded up to a multiple of 32 dots, in bytes
  uint64_t paddedRows;  // the height rounded up to a multiple of 32 rows
  uint64_t totalBytes;  // rowBytes * paddedRows
};

// 'computePageGeometry()' - the bitmap geometry of a page 'width' dots wide and 'height' rows high.
pageGeometry computePageGeometry(uint32_t width, uint32_t height);

// Largest page bitmap the writers are given, 128 MiB: for example a label 8 in wide and 350 in long at
// 600 dpi. It keeps every number of the download and the page format well inside 32 bits; the
// download command itself could state up to 2 GiB.
inline constexpr uint64_t kMaxPageBytes = uint64_t{128} << 20;

// ---------------------------------------------------------------------------------------------------
// Output.

// Where the writers put their bytes: appended to the first 'length' bytes of 'bytes', a block of
// 'capacity' bytes that grows as needed and is kept for later writes (releaseSink() frees it). With a
// descriptor in 'fd', flushSink() writes the bytes there, and the graphic writer flushes by itself as
// its text grows, so that a page's text is never held whole; with 'fd' -1 the caller takes the bytes
// itself and sets 'length' back to 0. A zero-filled record with 'fd' set is a valid empty sink.
struct byteSink {
  unsigned char* bytes;
  size_t length;
  size_t capacity;
  int fd;
  int error;  // errno of the first failed write (or ENOMEM); from then on nothing more is kept or written
};

// 'sinkRoom()' - room for 'count' more bytes after the pending ones: a pointer to it, the bytes counted
// once the caller adds them to 'length'; nullptr when memory runs out (the sink is unchanged).
unsigned char* sinkRoom(byteSink* sink, size_t count);

// 'sinkAppend()' - append 'count' bytes; nothing once the sink has failed. Running out of memory fails
// the sink with ENOMEM.
void sinkAppend(byteSink* sink, const void* data, size_t count);

// 'flushSink()' - write the pending bytes to the sink's descriptor, whole: a write interrupted by a
// signal or cut short is resumed. Returns 0, or the error number of a failed write (kept in 'error';
// the pending bytes are dropped). With 'fd' -1 it leaves the bytes to the caller and returns 'error'.
int flushSink(byteSink* sink);

// 'releaseSink()' - free the sink's block; the sink is empty again, its descriptor and error kept.
void releaseSink(byteSink* sink);

// ---------------------------------------------------------------------------------------------------
// Command records and tables.

// A fixed command: exactly 'length' bytes from 'command', no terminator. The empty record (length 0,
// null pointer) sends nothing.
struct command {
  int32_t length;
  const char* command;
};

namespace commandtext {
// 'fixed()' - the record of a string literal, its length counted without the terminator.
template <size_t N>
constexpr command fixed(const char (&text)[N]) {
  return {static_cast<int32_t>(N - 1), text};
}
}  // namespace commandtext

// Single commands. The prologue's first record sets the prefix characters ("CT~" introduced by the byte
// 0x10, then "~CD,", "~CC^", "~CT~"): every later command assumes "~", "^" and ",".
inline constexpr command btChangeCmmd = commandtext::fixed(
    "\x10"
    "CT~~CD,~CC^~CT~");
inline constexpr command btStartFormat = commandtext::fixed("^XA");
inline constexpr command btAdjustTearoff = commandtext::fixed("~TA000");
inline constexpr command btAdjustTop = commandtext::fixed("^LT0");
inline constexpr command btLabelHome = commandtext::fixed("^LH0,0");
inline constexpr command btResolution = commandtext::fixed("^JMA");
inline constexpr command btUpdateConfig = commandtext::fixed("^JUS");
inline constexpr command btInterFont = commandtext::fixed("^CI0");
inline constexpr command btEndFormat = commandtext::fixed("^XZ");
inline constexpr command btAdjustPosition = commandtext::fixed("^LS0");
inline constexpr command btMagnify = commandtext::fixed("^XG" LABEL_STORED_GRAPHIC ",1,1");
inline constexpr command btFieldSeparate = commandtext::fixed("^FS");
inline constexpr command btDelete = commandtext::fixed("^ID" LABEL_STORED_GRAPHIC);
inline constexpr command btPause_No = commandtext::fixed("^PQ1,0,1,Y");
inline constexpr command btPause_AfterJob = commandtext::fixed("^PQ1,0,1,Y^PP");
inline constexpr command btPause_AfterLabel = commandtext::fixed("^PQ1,1,1,N");
static_assert(btChangeCmmd.length == 16 && btMagnify.length == 14 && btPause_AfterJob.length == 13);

inline constexpr command kEmptyCommand = {0, nullptr};

// Indexed tables, entry 0 first. Only entry 2 of the back-feed table is ever sent; the others are empty.
inline constexpr std::array<command, 4> btBackFeed = {kEmptyCommand, kEmptyCommand,
                                                      commandtext::fixed("~JSN"), kEmptyCommand};
inline constexpr std::array<command, 3> btPaperType = {commandtext::fixed("^MNN"), commandtext::fixed("^MNM"),
                                                       commandtext::fixed("^MNW")};
inline constexpr std::array<command, 3> btThermal = {commandtext::fixed("^MTT"), commandtext::fixed("^MTD"),
                                                     kEmptyCommand};
inline constexpr std::array<command, 2> btRote180 = {commandtext::fixed("^PON"), commandtext::fixed("^POI")};
inline constexpr std::array<command, 2> btMirror = {commandtext::fixed("^PMN"), commandtext::fixed("^PMY")};
inline constexpr std::array<command, 6> btSpeed = {commandtext::fixed("^PR2,2"), commandtext::fixed("^PR3,3"),
                                                   commandtext::fixed("^PR4,4"), commandtext::fixed("^PR5,5"),
                                                   commandtext::fixed("^PR6,6"), kEmptyCommand};
inline constexpr std::array<command, 31> btDarkness = {
    commandtext::fixed("~SD0"),  commandtext::fixed("~SD1"),  commandtext::fixed("~SD2"),
    commandtext::fixed("~SD3"),  commandtext::fixed("~SD4"),  commandtext::fixed("~SD5"),
    commandtext::fixed("~SD6"),  commandtext::fixed("~SD7"),  commandtext::fixed("~SD8"),
    commandtext::fixed("~SD9"),  commandtext::fixed("~SD10"), commandtext::fixed("~SD11"),
    commandtext::fixed("~SD12"), commandtext::fixed("~SD13"), commandtext::fixed("~SD14"),
    commandtext::fixed("~SD15"), commandtext::fixed("~SD16"), commandtext::fixed("~SD17"),
    commandtext::fixed("~SD18"), commandtext::fixed("~SD19"), commandtext::fixed("~SD20"),
    commandtext::fixed("~SD21"), commandtext::fixed("~SD22"), commandtext::fixed("~SD23"),
    commandtext::fixed("~SD24"), commandtext::fixed("~SD25"), commandtext::fixed("~SD26"),
    commandtext::fixed("~SD27"), commandtext::fixed("~SD28"), commandtext::fixed("~SD29"),
    commandtext::fixed("~SD30")};
inline constexpr std::array<command, 3> btOperationMode = {
    commandtext::fixed("^MMT"), commandtext::fixed("^MMR"), commandtext::fixed("^MMP")};
// Entry 0 switches inverse printing off, entry 1 on.
inline constexpr std::array<command, 2> btInverse = {commandtext::fixed("^LRN"), commandtext::fixed("^LRY")};

// 'tableEntry()' - entry 'index' of a table, or the empty record when the index is outside it (a setting
// the PPD lacks is -1): a value no table knows sends nothing.
template <size_t N>
constexpr command tableEntry(const std::array<command, N>& table, int index) {
  return index >= 0 && static_cast<size_t>(index) < N ? table[static_cast<size_t>(index)] : kEmptyCommand;
}

// ---------------------------------------------------------------------------------------------------
// Writers.

// 'outputCommand()' - the record's bytes; a length of 0 or less writes nothing.
void outputCommand(byteSink* out, command output);
void outputCommand(command output);

// 'outputFormatted()' - a command carrying numbers, formatted into a zero-filled 256-byte buffer
// (bounded) and written up to its terminating zero.
void outputFormatted(byteSink* out, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The tear-off and top adjustments in dots, positive moving the label forward (the top one down).
struct adjustmentDots {
  int64_t tearoff;
  int64_t top;
};

// 'settingAdjustments()' - the adjustments of the settings record's indexes: 20 is none, and each step
// away from it moves 4 dots.
adjustmentDots settingAdjustments(const settings_& settings);

// 'jobSetup()' - the job prologue, sent once before the first page's download: the command prefixes,
// then one format configuring tear-off and top adjustment, back feed, media tracking and type,
// orientation, mirror, label home, resolution, speed and darkness, saving the configuration. The
// adjustments are the settings' indexes, or the dots given, to the dot (the indexes are then not read).
void jobSetup(byteSink* out, settings_ settings);
void jobSetup(byteSink* out, settings_ settings, adjustmentDots adjustments);
void jobSetup(settings_ settings);

// 'downloadGraphic()' - the stored-graphic download of a page bitmap: "~DG000.GRF,<total bytes>,<row
// bytes>," and the bitmap's GRF text. 'bitmap' holds geometry.totalBytes bytes, a 1 bit printing a dot;
// Returns 0, or 1 when the total exceeds kMaxPageBytes or memory for the text runs out (nothing of the
// download is then written).
int downloadGraphic(byteSink* out, const unsigned char* bitmap, const pageGeometry& geometry);

// 'endPage()' - the page format after a page's download: print the stored graphic on a label
// 'iPaperWidth' x 'iPaperHeight' dots (optionally inverted over its padded 'lWidth' bytes x 'lHeight'
// rows), with the chosen media handling and pause, then a second format that deletes the graphic.
// 'quantity' labels are printed (1 in the form without it); quantities below 1 print one.
void endPage(byteSink* out, settings_ settings, int32_t iPaperWidth, int32_t iPaperHeight, int32_t lWidth,
             int32_t lHeight, int32_t quantity);
void endPage(settings_ settings, int32_t iPaperWidth, int32_t iPaperHeight, int32_t lWidth, int32_t lHeight);

// 'deleteGraphic()' - a format that deletes the stored graphic without printing it; endPage() ends with
// it, and a cancelled job sends it alone after the graphic's download.
void deleteGraphic(byteSink* out);

// Hooks without effect, kept for the filter interface's shape; nothing calls them.
void pageSetup(settings_ settings, cups_page_header_t header);
void endJob(settings_ settings);
int encode(unsigned char* lpbuf, unsigned char* pt_d, int32_t LineWidth);

// ---------------------------------------------------------------------------------------------------
// The printer's status.

// The host status query: the printer answers with three framed lines (see parseHostStatus()).
inline constexpr command btHostStatus = commandtext::fixed("~HS");

// The answer to the host status query, the fields this system reads. Flags are 0 or 1.
struct hostStatus {
  // First line.
  int paperOut;
  int paused;
  int32_t labelLength;  // dots
  int32_t formatsWaiting;
  int bufferFull;
  int diagnosticMode;
  int partialFormat;
  int corruptMemory;
  int underTemperature;
  int overTemperature;
  // Second line.
  int headOpen;
  int ribbonOut;
  int thermalTransfer;  // 1 thermal transfer, 0 direct thermal
  int printMode;        // 0 rewind, 1 peel off, 2 tear off; other values for cutters and applicators
  int labelWaiting;     // a printed label waits to be taken
  int32_t labelsRemaining;
  int formatPrinting;
  int32_t graphicsStored;
};

// Statuses of parseHostStatus().
inline constexpr int kHostStatusComplete = 0;
inline constexpr int kHostStatusIncomplete = 1;  // the bytes so far begin an answer; more are needed
inline constexpr int kHostStatusMalformed = 2;   // the bytes are no answer: the status is unknown

// The longest answer accepted, noise before it included (a reader stops reading there), and the longest
// line.
inline constexpr size_t kMaxHostStatusBytes = 256;
inline constexpr size_t kMaxHostStatusLine = 64;

// 'parseHostStatus()' - read the answer to "~HS" from 'size' bytes: three lines, each the byte 0x02, up
// to kMaxHostStatusLine characters of comma-separated fields, and the byte 0x03 followed by CR LF.
// The first line holds at least 12 fields and the second at least 11, every one of them 1 to 8
// decimal digits; the third line (password and memory) is framed but not read. Bytes before the first
// 0x02 are passed over (a late answer or noise), but no more than kMaxHostStatusBytes in all.
// Returns kHostStatusComplete with *status filled and *consumed the bytes up to the end of the third
// line, kHostStatusIncomplete, or kHostStatusMalformed (then *status is unchanged). Every byte is
// checked; nothing outside 'data' is read.
int parseHostStatus(const unsigned char* data, size_t size, hostStatus* status, size_t* consumed);

// The host identification query: a printer on a two-way link answers with one line (see
// parseHostIdentity()).
inline constexpr command btHostIdentity = commandtext::fixed("~HI");

// The longest model name, firmware version and option letters kept, and the longest answer accepted
// (noise before it included) and line.
inline constexpr size_t kMaxIdentityText = 32;
inline constexpr size_t kMaxIdentityOptions = 16;
inline constexpr size_t kMaxHostIdentityBytes = 256;
inline constexpr size_t kMaxHostIdentityLine = 128;

// The answer to the host identification query. Texts end with a zero.
struct hostIdentity {
  char model[kMaxIdentityText + 1];    // the model name, e.g. "LP-410"
  char version[kMaxIdentityText + 1];  // the firmware version
  int dotsPerMm;                       // 6, 8, 12 or 24
  int dotsPerInch;                     // the same head as 152, 203, 300 or 600 dots per inch
  int32_t memoryKilobytes;
  char options[kMaxIdentityOptions + 1];  // the option letters, "" when there are none
};

// 'parseHostIdentity()' - read the answer to "~HI" from 'size' bytes: one line
// "MODEL,VERSION,DPM,MEMORY,OPTIONS", framed like a status line (0x02, the line, 0x03 CR LF; up to
// kMaxHostIdentityLine bytes before the 0x02 are passed over) or unframed (the line from the first
// byte, ended by LF or CR LF); line ends before the answer are passed over.
// MODEL and VERSION hold 1 to kMaxIdentityText printable characters (blanks around them are dropped),
// DPM is 6, 8, 12 or 24, MEMORY is 1 to 8 digits and "KB" or "MB", OPTIONS 0 to kMaxIdentityOptions
// letters or digits; exactly five fields. At most kMaxHostIdentityBytes are looked at. Returns
// kHostStatusComplete with *identity filled and *consumed the bytes up to the end of the line,
// kHostStatusIncomplete, or kHostStatusMalformed (then nothing is written). Nothing outside 'data' is
// read.
int parseHostIdentity(const unsigned char* data, size_t size, hostIdentity* identity, size_t* consumed);
