// SPDX-License-Identifier: Apache-2.0
// The filter's entry: the scheduler's arguments, the raster input and the job's settings.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "filter/filter.h"

int filterMain(int argc, char* argv[]) {
  installSignalHandlers();
  if (argc != 6 && argc != 7) {
    std::fputs("ERROR: rastertoxxx job-id user title copies options [file]\n", stderr);
    return 1;
  }

  int fd = 0;
  if (argc == 7) {
    fd = open(argv[6], O_RDONLY);
    if (fd < 0) {
      std::perror("ERROR: Unable to open raster file - ");
      sleep(1);
      return 1;
    }
  }

  settings_ settings;
  initializeSettings(argv[5], &settings);
  const int status = filterRasterPages(fd, settings);
  if (fd != 0) close(fd);
  return status;
}
