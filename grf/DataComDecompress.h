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
#pragma once

#include <cstdint>

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
