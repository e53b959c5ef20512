// Label command generation: the command record, the fixed command tables, the job prologue and the
// page format that prints and deletes each page's stored graphic.
#pragma once

#include <cups/raster.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "filter/filter.h"

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
inline constexpr command btMagnify = commandtext::fixed("^XG000.GRF,1,1");
inline constexpr command btFieldSeparate = commandtext::fixed("^FS");
inline constexpr command btDelete = commandtext::fixed("^ID000.GRF");
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

// 'outputCommand()' - write the record's bytes to standard output, one character per call; a length
// of 0 or less writes nothing.
void outputCommand(command output);

// 'outputBytes()' - write 'count' bytes to standard output, one character per call.
void outputBytes(const unsigned char* bytes, uint64_t count);

// 'outputFormatted()' - format a command carrying numbers into a zero-filled 256-byte buffer (bounded)
// and write it up to its terminating zero.
void outputFormatted(const char* format, ...) __attribute__((format(printf, 1, 2)));

// 'jobSetup()' - the job prologue, sent once before the first page's download: the command prefixes,
// then one format configuring tear-off and top adjustment, back feed, media tracking and type,
// orientation, mirror, label home, resolution, speed and darkness, saving the configuration.
void jobSetup(settings_ settings);

// 'endPage()' - the page format after a page's GRF text: print the stored graphic 000.GRF on a label
// 'iPaperWidth' x 'iPaperHeight' dots (optionally inverted over its padded 'lWidth' bytes x 'lHeight'
// rows), with the chosen media handling and pause, then a second format that deletes the graphic.
void endPage(settings_ settings, int32_t iPaperWidth, int32_t iPaperHeight, int32_t lWidth, int32_t lHeight);

// 'deleteGraphic()' - a format that deletes the stored graphic 000.GRF without printing it; endPage()
// ends with it, and a cancelled job sends it alone.
void deleteGraphic();

// Hooks without effect, kept for the filter interface's shape; nothing calls them.
void pageSetup(settings_ settings, cups_page_header_t header);
void endJob(settings_ settings);
int encode(unsigned char* lpbuf, unsigned char* pt_d, int32_t LineWidth);
