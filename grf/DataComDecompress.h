// SPDX-License-Identifier: Apache-2.0
// GRF codec: one-bit bitmaps as run-length compressed hexadecimal text.
//
// The GRF text is how a bitmap is downloaded to the printer as a stored graphic. A bitmap is R rows of
// B bytes (the row bytes, which travel outside the text). Every byte is two nibbles, high nibble first,
// and the text spells the nibbles left to right, row after row:
//
//   "0".."9" "A".."F"  one nibble of that value (uppercase only)
//   "G".."Y"           count letter worth 1..19            (code - 0x46)
//   "g".."y"           count letter worth 20..380, by 20   (20 * (code - 0x66))
//   "z"                count letter worth 400
//   ","                the rest of the current row is 0 bits
//   "!"                the rest of the current row is 1 bits
//   ":"                the current row repeats the previous row
//   CR LF              ends a written row; carries no data
//
// A run is a digit preceded by count letters whose values add up to its length n; the writer spells n
// canonically: n / 400 letters "z", then one of "g".."y" for (n % 400) / 20 * 20, then one of "G".."Y"
// for n % 20, leaving out letters worth 0 (21 is "gG", 401 "zG", 1000 "zzp").
//
// The writer emits each row in exactly one form:
//   ":"                      the row equals the previous row (never row 0; no CR LF follows)
//   runs CR LF               runs spelling all 2B nibbles
//   runs "," CR LF           the row ends in two or more whole 0x00 bytes (a trailing run of "0" is
//                            dropped: the fill covers it, and may start at a low nibble)
//   "," or "!" CR LF         a one-byte row that is 0x00 or 0xFF
//
// Worst case: a row that is not a repeat takes at most 2B + 2 characters, so R rows take at most
// R * (2B + 2) characters (see GRFCompressBound).
//
// Example, B = 4, rows 00 80 00 00 | 00 80 00 00 | FF FF FF FF:
//   "H08," CR LF ":" "NF" CR LF
// "H0" is two nibbles 0, then "8", then the fill covers the low nibble of byte 1 and bytes 2 and 3.
//
// Reading accepts more than the writer produces: count letters in any number and order add up, and the
// sum (not the sum plus one) is the digit's run length; a count survives ",", "!", ":" and line ends and
// applies to the next digit. "," and "!" first complete a pending half byte (with 0 or F), then fill to
// the next row boundary strictly after the offset; ":" copies the row-long stretch that ends at the
// offset, wherever the offset is, and drops a pending half byte. Lowercase "a".."f" are not digits.
#pragma once

#include <cstdint>

// The text's alphabet. A count letter from "G" to "Y" is worth its code minus kGRFUnitLetterBase (1 to
// 19), one from "g" to "y" twenty times its code minus kGRFTwentiesLetterBase (20 to 380), and "z" 400.
inline constexpr unsigned char kGRFUnitLetterBase = 'G' - 1;
inline constexpr unsigned char kGRFTwentiesLetterBase = 'g' - 1;
inline constexpr unsigned char kGRFFourHundredLetter = 'z';
inline constexpr uint64_t kGRFFourHundred = 400;
inline constexpr unsigned char kGRFZeroFill = ',';   // the rest of the row is 0 bits
inline constexpr unsigned char kGRFOneFill = '!';    // the rest of the row is 1 bits
inline constexpr unsigned char kGRFRepeatRow = ':';  // the row repeats the previous row

// The codec's statuses.
inline constexpr int64_t kGRFSuccess = 0;
inline constexpr int64_t kGRFRefused = 1;  // an argument refused, or a byte outside the alphabet
inline constexpr int64_t kGRFRepeatBeforeFirstRow = -1;  // ":" before the first row is complete
inline constexpr int64_t kGRFCapacityExceeded = 2;       // the block decoder would pass its capacity
inline constexpr int64_t kGRFIncomplete = 5;             // single character: short of the expected total
inline constexpr int64_t kGRFOverfull = 6;               // single character: past the expected total
inline constexpr int64_t kGRFCharCapacityExceeded = 7;   // single character: it would pass the capacity

// 'GRFWriteData()' - append one run: the canonical count letters of 'count', then the low 8 bits of
// 'digit', at text[*position], advancing *position by each character written. A count of 0 writes
// the digit alone. The caller guarantees room for count / 400 + 3 characters.
// Returns 0, or 1 (nothing written) when 'text' or 'position' is null.
int GRFWriteData(int digit, uint64_t count, unsigned char* text, uint64_t* position);

// 'GRFDataCompress()' - encode size / rowBytes whole rows of 'bitmap' as GRF text into 'text' and
// store the number of characters in *textLength. Trailing bytes short of a row are not encoded.
// 'text' must hold GRFCompressBound(size, rowBytes) characters; it is not terminated.
// Returns 0, or 1 when a pointer is null or size or rowBytes is 0 (then *textLength is unchanged).
int GRFDataCompress(const unsigned char* bitmap, uint64_t size, uint64_t rowBytes, unsigned char* text,
                    uint64_t* textLength);

// 'GRFCompressBound()' - the largest text GRFDataCompress can write for 'size' bytes in rows of
// 'rowBytes', (size / rowBytes) * (2 * rowBytes + 2); 0 when rowBytes is 0, UINT64_MAX when the bound
// does not fit in 64 bits (no buffer can be that large).
uint64_t GRFCompressBound(uint64_t size, uint64_t rowBytes);

// 'memsetEx()' - write the low 8 bits of 'value' into 'count' bytes from 'destination' upwards, one byte
// at a time. Returns 0. The pointer is not checked.
int memsetEx(void* destination, int value, uint64_t count);

// 'memcpyEx()' - copy 'count' bytes from 'source' to 'destination' one byte at a time, lowest address
// first (so a destination just above an overlapping source repeats it). Returns 0. The pointers are not
// checked.
int memcpyEx(void* destination, const void* source, uint64_t count);

// 'GRFDataDecompress()' - decode a whole GRF text of 'textLength' bytes into 'bitmap', 'rowBytes' bytes
// per row, and store the number of bytes written in *bitmapLength. A half byte pending at the end of the
// text is dropped; count letters with no digit after them have no effect.
// There is no capacity: 'bitmap' must hold every byte the text describes (for a text of whole rows,
// rows * rowBytes, plus one more row when a "," or "!" completes a half byte at the end of a row). Use
// GRFDataDecompressBounded() for text that is not trusted.
// Returns
//    0  the whole text was read;
//    1  a pointer is null, textLength is 0 or rowBytes is 0 (nothing read or written, *bitmapLength
//       unchanged), or a byte outside the reader's alphabet was met (*bitmapLength is the bytes written
//       before it);
//   -1  ":" met before the first row was complete (*bitmapLength unchanged).
// After a stop, the bytes written before it stay in the bitmap.
int64_t GRFDataDecompress(const unsigned char* text, uint64_t textLength, uint64_t rowBytes,
                          unsigned char* bitmap, uint64_t* bitmapLength);

// 'GRFDataDecompressBounded()' - GRFDataDecompress() that writes nothing at or past bitmap[capacity].
// While the text stays within 'capacity' bytes it behaves exactly as GRFDataDecompress() (a capacity of
// 0 is allowed). When a character would write past it, that character writes nothing and decoding
// stops with kGRFCapacityExceeded; *bitmapLength is the bytes written before it. Fills and copies are
// made a block at a time.
int64_t GRFDataDecompressBounded(const unsigned char* text, uint64_t textLength, uint64_t rowBytes,
                                 unsigned char* bitmap, uint64_t capacity, uint64_t* bitmapLength);

// 'GRFDataDecompressSingleCharProcess()' - apply one character (the low 8 bits of 'character') of a GRF
// text to 'bitmap'. The caller owns the decoding state and starts it at *outputOffset = 0,
// *pendingByte = 0, *repeatCount = 1, *bytesProduced = 0, *nibblePhase = 0; 'expectedTotal' is the
// number of bytes that completes the bitmap (a target, not a capacity: a character may produce up to a
// whole row, or half its count in bytes, past it). Nothing is checked: rowBytes 0 or a null pointer is
// outside the contract; use GRFDataDecompressSingleCharProcessBounded() for text that is not trusted.
// Returns
//    0  *bytesProduced now equals expectedTotal;
//    5  *bytesProduced is still below it; also, at once and with nothing changed, for CR, LF and every
//       character outside the reader's alphabet;
//    6  *bytesProduced now exceeds it (the bytes were written);
//   -1  ":" while *outputOffset is below rowBytes; nothing changed.
// A digit with *repeatCount 0 produces nothing. The state stays consistent after every status.
int64_t GRFDataDecompressSingleCharProcess(int character, uint64_t rowBytes, uint64_t* outputOffset,
                                           unsigned char* pendingByte, uint64_t* repeatCount,
                                           uint64_t* bytesProduced, uint64_t* nibblePhase,
                                           unsigned char* bitmap, uint64_t expectedTotal);

// 'GRFDataDecompressSingleCharProcessBounded()' - GRFDataDecompressSingleCharProcess() that checks its
// arguments and writes nothing at or past bitmap[capacity]. It returns 1, with nothing changed, when a
// pointer is null, rowBytes is 0 or *nibblePhase is neither 0 nor 4 (a state the decoder never makes).
// A character that would write past 'capacity' returns kGRFCharCapacityExceeded with nothing written
// and the state unchanged. Otherwise it behaves exactly as GRFDataDecompressSingleCharProcess().
int64_t GRFDataDecompressSingleCharProcessBounded(int character, uint64_t rowBytes, uint64_t* outputOffset,
                                                  unsigned char* pendingByte, uint64_t* repeatCount,
                                                  uint64_t* bytesProduced, uint64_t* nibblePhase,
                                                  unsigned char* bitmap, uint64_t expectedTotal,
                                                  uint64_t capacity);
