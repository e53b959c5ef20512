// SPDX-License-Identifier: Apache-2.0
// The label preview: printer data in, label images out, a chunk of data at a time.
//
// previewFeed() takes the data in chunks of any size and follows the commands that decide what a label
// shows: stored-graphic downloads (~DG, GRF text, decoded as it arrives), label formats (^XA .. ^XZ)
// with the label width (^PW) and length (^LL), field positions (^FO top-left corner, ^FT bottom-left
// corner), graphic recalls (^XG), boxes (^GB), reverse printing (^LRY .. ^LRN), graphic deletion (^ID)
// and changes of the command prefixes and delimiter (~CC, ~CT, ~CD, also introduced by the byte 0x10).
// Every other command is skipped. A command takes effect when its parameters end, at the next prefix or
// at the end of the data (previewFinish()).
//
// Memory is bounded whatever the data: the stored graphics together, including those that a field of
// the open format still recalls after a deletion or a new download under their name, hold at most
// kPreviewMaxGraphicBytes bytes in at most kPreviewMaxGraphics graphics; one label image is one bit per
// dot, at most kPreviewMaxLabelDots / 8 bytes (a caller may lower both limits in the state); a format holds
// at most kPreviewMaxFields fields; a command's parameters are kept up to kPreviewMaxParameterBytes. Running
// out of memory anyway is an error, not a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

inline constexpr int64_t kPreviewMaxSide = 33554432;             // dots, for widths, lengths and positions
inline constexpr uint64_t kPreviewMaxLabelDots = 1ull << 30;     // width x length of one label
inline constexpr uint64_t kPreviewMaxGraphicBytes = 1ull << 27;  // all stored graphics together
inline constexpr size_t kPreviewMaxGraphics = 4096;
inline constexpr size_t kPreviewMaxFields = 65536;  // in one format
inline constexpr size_t kPreviewMaxParameterBytes = 1024;
inline constexpr int64_t kPreviewMaxMagnification = 10;

// previewFeed() and previewFinish() statuses.
inline constexpr int kPreviewMore = 0;    // everything taken (previewFinish(): the data is done)
inline constexpr int kPreviewLabel = 1;   // a label is finished, in the state's 'label'
inline constexpr int kPreviewError = -1;  // malformed data or no memory: the message says where and what

// The command syntax in force; the data may change each character.
struct previewSyntax {
  char format = '^';
  char control = '~';
  char delimiter = ',';
};

struct previewGraphic {
  uint64_t rowBytes = 0;
  uint64_t rows = 0;
  std::unique_ptr<unsigned char[]> bits;  // rowBytes x rows bytes; a 1 bit is a dot
};

// A field of the open format: a recalled graphic, or a box when 'graphic' is null.
struct previewField {
  std::shared_ptr<const previewGraphic> graphic;
  int64_t x, y;
  bool fromBottom;  // ^FT: y is the field's bottom edge; ^FO: its top edge
  bool reverse;     // the field's dots invert what is beneath them
  int64_t magnifyX, magnifyY;
  int64_t boxWidth, boxHeight, thickness;
  bool whiteBox;
};

// A finished label: width x length dots, row after row with no padding between rows (dot n of the
// label is bit 7 - n % 8 of byte n / 8); a 1 bit is a dot.
struct previewLabel {
  uint32_t width = 0;
  uint32_t length = 0;
  std::vector<unsigned char> bits;
};

// Where the reader is within the data.
enum class previewPhase {
  between,
  name,
  syntaxCharacter,
  parameters,
  downloadHeader,
  downloadText,
  skipping,
  done
};

// A download whose text is being decoded: the single-character decoder's state and the checks on the
// text that only its end can settle.
struct previewDownload {
  std::string name;
  std::shared_ptr<previewGraphic> graphic;
  uint64_t total = 0;
  uint64_t outputOffset = 0, repeatCount = 1, bytesProduced = 0, nibblePhase = 0;
  unsigned char pendingByte = 0;
  uint64_t characters = 0;  // of the text so far
  uint64_t firstBlank = 0;  // character number of a blank that only blanks and line ends follow, or 0
};

// Everything the data has set up so far.
struct previewState {
  // The limits of this reading: at most the preview's own.
  uint64_t maxGraphicBytes = kPreviewMaxGraphicBytes;
  uint64_t maxLabelDots = kPreviewMaxLabelDots;

  previewSyntax syntax;
  uint64_t offset = 0;  // bytes of data read
  std::string failure;  // the error that stopped the reading, once there is one
  previewPhase phase = previewPhase::between;

  // The command being read.
  uint64_t commandOffset = 0;
  char prefix = 0;
  std::string name;
  std::string parameters;
  bool overlong = false;  // parameters that were not blanks or line ends were dropped
  previewDownload download;

  std::map<std::string, std::shared_ptr<const previewGraphic>> graphics;
  std::vector<std::shared_ptr<const previewGraphic>> released;  // gone from the store, still recalled
  uint64_t graphicBytes = 0;                                    // stored, released and being downloaded

  int64_t width = 0;  // 0: not given yet
  int64_t length = 0;
  bool reverse = false;
  bool inFormat = false;
  int64_t fieldX = 0, fieldY = 0;
  bool fromBottom = false;
  std::vector<previewField> fields;

  previewLabel label;
  std::vector<unsigned char> row;  // a magnified graphic row
};

// 'previewFeed()' - follow the next 'size' bytes of the data. Returns kPreviewMore when all of them
// were taken, kPreviewLabel when a label was finished (then *used is the bytes taken, and the rest is
// for the next call), kPreviewError with *message ("byte N (^XX): what") when the data is malformed or
// memory ran out; after an error every call returns it again.
int previewFeed(previewState* state, const unsigned char* bytes, size_t size, size_t* used,
                std::string* message);

// 'previewFinish()' - the end of the data: the last command takes effect. Call it until it returns
// kPreviewMore (done) or kPreviewError; kPreviewLabel hands over a label first.
int previewFinish(previewState* state, std::string* message);

// 'previewDrawLabel()' - draw the open format's fields on state->label: fields in the order given,
// clipped to the label. A side that ^PW or ^LL never gave is the extent of the fields (their
// right-most and bottom-most edges, at least 1 dot), as far as the limits allow. Returns 0, or 1 with
// *message when the given sides exceed the state's maxLabelDots.
int previewDrawLabel(previewState* state, std::string* message);

// 'previewWritePng()' - the label as a 1-bit grey PNG file (0 samples where a dot prints), written row
// by row. Returns 0, or 1 with *message ("path: reason").
int previewWritePng(const std::string& path, const previewLabel& label, std::string* message);

// 'previewWritePngFile()' - the same PNG stream into an open file, left open. Returns 0, or 1 with
// *message (the reason).
int previewWritePngFile(FILE* file, const previewLabel& label, std::string* message);
