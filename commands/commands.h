// Label command generation: the command record, writing commands to the printer data stream.
#pragma once

#include <cstdint>

// A fixed command: exactly 'length' bytes from 'command', no terminator. The empty record (length 0,
// null pointer) sends nothing.
struct command {
  int32_t length;
  const char* command;
};

// 'outputCommand()' - write the record's bytes to standard output, one character per call; a length
// of 0 or less writes nothing.
void outputCommand(command output);

// 'outputBytes()' - write 'count' bytes to standard output, one character per call.
void outputBytes(const unsigned char* bytes, uint64_t count);

// 'outputFormatted()' - format a command carrying numbers into a zero-filled 256-byte buffer (bounded)
// and write it up to its terminating zero.
void outputFormatted(const char* format, ...) __attribute__((format(printf, 1, 2)));
