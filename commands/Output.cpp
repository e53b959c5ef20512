// Writing commands and data to the printer data stream (buffered standard output).
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "commands/commands.h"

void outputCommand(command output) {
  for (int32_t i = 0; i < output.length; ++i) putchar_unlocked(static_cast<unsigned char>(output.command[i]));
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
  for (const char* p = dcTemp; *p != '\0'; ++p) putchar_unlocked(static_cast<unsigned char>(*p));
}
