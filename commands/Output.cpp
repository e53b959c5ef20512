// Writing commands and data into a byte sink, and a sink's bytes to its descriptor.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "commands/commands.h"

char* sinkRoom(byteSink* sink, size_t count) {
  // The buffer only grows, so that its room is zero-filled once and reused for every later page.
  if (sink->buffer.size() - sink->length < count) sink->buffer.resize(sink->length + count);
  return sink->buffer.data() + sink->length;
}

void sinkAppend(byteSink* sink, const void* data, size_t count) {
  if (sink->error != 0 || count == 0) return;
  std::memcpy(sinkRoom(sink, count), data, count);
  sink->length += count;
}

int flushSink(byteSink* sink) {
  if (sink->fd < 0) return sink->error;
  size_t done = 0;
  while (sink->error == 0 && done < sink->length) {
    const ssize_t written = write(sink->fd, sink->buffer.data() + done, sink->length - done);
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
