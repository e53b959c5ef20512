// SPDX-License-Identifier: Apache-2.0
// Writing commands and data into a byte sink, and a sink's bytes to its descriptor.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands/commands.h"

unsigned char* sinkRoom(byteSink* sink, size_t count) {
  if (sink->capacity - sink->length < count) {
    // Grow at least by half, so that appending byte by byte stays linear.
    if (count > SIZE_MAX - sink->length) return nullptr;
    size_t capacity = sink->length + count;
    if (sink->capacity / 2 <= SIZE_MAX - sink->capacity && capacity < sink->capacity + sink->capacity / 2)
      capacity = sink->capacity + sink->capacity / 2;
    void* grown = std::realloc(sink->bytes, capacity);
    if (grown == nullptr) return nullptr;
    sink->bytes = static_cast<unsigned char*>(grown);
    sink->capacity = capacity;
  }
  return sink->bytes + sink->length;
}

void sinkAppend(byteSink* sink, const void* data, size_t count) {
  if (sink->error != 0 || count == 0) return;
  unsigned char* room = sinkRoom(sink, count);
  if (room == nullptr) {
    sink->error = ENOMEM;
    return;
  }
  std::memcpy(room, data, count);
  sink->length += count;
}

int flushSink(byteSink* sink) {
  if (sink->fd < 0) return sink->error;
  size_t done = 0;
  while (sink->error == 0 && done < sink->length) {
    const ssize_t written = write(sink->fd, sink->bytes + done, sink->length - done);
    if (written > 0) {
      done += static_cast<size_t>(written);
    } else if (written < 0 && errno == EAGAIN) {
      pollfd ready = {sink->fd, POLLOUT, 0};
      poll(&ready, 1, -1);
    } else if (written == 0 || errno != EINTR) {
      // A signal (a cancelled job) interrupts a write to a slow reader; that write is simply resumed.
      sink->error = written == 0 ? EIO : errno;
    }
  }
  sink->length = 0;
  return sink->error;
}

void releaseSink(byteSink* sink) {
  std::free(sink->bytes);
  sink->bytes = nullptr;
  sink->length = sink->capacity = 0;
}

void outputCommand(byteSink* out, command output) {
  if (output.length > 0) sinkAppend(out, output.command, static_cast<size_t>(output.length));
}

void outputCommand(command output) {
  if (output.length > 0) std::fwrite(output.command, 1, static_cast<size_t>(output.length), stdout);
}

void outputFormatted(byteSink* out, const char* format, ...) {
  char dcTemp[256];
  std::memset(dcTemp, 0, sizeof dcTemp);
  va_list args;
  va_start(args, format);
  std::vsnprintf(dcTemp, sizeof dcTemp, format, args);
  va_end(args);
  sinkAppend(out, dcTemp, std::strlen(dcTemp));
}
