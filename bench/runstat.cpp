// SPDX-License-Identifier: Apache-2.0
// runstat: run a program and append its wall time and peak memory to a file.
//
//   runstat RESULTS PROGRAM [ARGUMENTS...]
//
// The program inherits standard input, output and error. One line is appended to RESULTS: the wall
// time in seconds, the peak resident set size in KiB and the processor time (user and system) in
// seconds; the exit status is the program's.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

int main(int argc, char* argv[]) {
  if (argc < 3) {
    std::fputs("usage: runstat RESULTS PROGRAM [ARGUMENTS...]\n", stderr);
    return 2;
  }
  timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  const pid_t child = fork();
  if (child < 0) {
    std::perror("fork");
    return 2;
  }
  if (child == 0) {
    execvp(argv[2], argv + 2);
    std::perror(argv[2]);
    _exit(127);
  }
  int status = 0;
  rusage usage;
  if (wait4(child, &status, 0, &usage) < 0) {
    std::perror("wait4");
    return 2;
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  const double seconds = static_cast<double>(end.tv_sec - start.tv_sec) +
                         static_cast<double>(end.tv_nsec - start.tv_nsec) * 1e-9;
  FILE* results = std::fopen(argv[1], "a");
  if (results == nullptr) {
    std::perror(argv[1]);
    return 2;
  }
  const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
  std::fprintf(results, "%.6f %ld %.6f\n", seconds, usage.ru_maxrss, cpu);
  std::fclose(results);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
