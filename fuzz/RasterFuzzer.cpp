// SPDX-License-Identifier: Apache-2.0
// The filter's raster input path in process: any bytes as a raster stream, printer data discarded.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>

#include "filter/filter.h"
#include "fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The printer data (written to descriptor 1) goes nowhere.
  static const bool quiet = [] {
    const int null = open("/dev/null", O_WRONLY);
    return null >= 0 && dup2(null, STDOUT_FILENO) == STDOUT_FILENO;
  }();
  require(quiet, "printer data to /dev/null");

  fuzzInput input = {data, size};
  settings_ settings{};
  settings.inverse = static_cast<int>(takeNumber(&input, 1) % 3) - 1;
  settings.pause = 1;
  settings.density = 15;

  const int fd = memfd_create("raster", 0);
  require(fd >= 0, "memfd");
  require(write(fd, input.data, input.size) == static_cast<ssize_t>(input.size), "memfd write");
  lseek(fd, 0, SEEK_SET);
  const int status = filterRasterPages(fd, settings);
  require(status == 0 || status == 1, "exit status 0 or 1");
  close(fd);
  return 0;
}
