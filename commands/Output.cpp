// Writing commands and data to the printer data stream (buffered standard output).
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "commands/commands.h"

void outputCommand(command output) {
  if (output.length > 0)
    outputBytes(reinterpret_cast<const unsigned char*>(output.command), static_cast<uint64_t>(output.length));
}

void outputBytes(const unsigned char* bytes, uint64_t count) {
  for (uint64_t i = 0; i < count; ++i) putchar_unlocked(bytes[i]);
}

void outputFormatted(const char* format, ...) {
  char dcTemp[256];
  std::memset(dcTemp, 0, sizeof dcTemp);
  va_list args;
  va_start(args, format);
  std::vsnprintf(dcTemp, sizeof dcTemp, format, args);
  va_end(args);
  outputBytes(reinterpret_cast<const unsigned char*>(dcTemp), std::strlen(dcTemp));
}
