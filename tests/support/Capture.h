// SPDX-License-Identifier: Apache-2.0
// Capturing what a function writes to standard output, the printer data stream.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

template <class Function>
std::string captureStdout(Function function) {
  std::fflush(stdout);
  const int saved = dup(1);
  std::FILE* file = std::tmpfile();
  dup2(fileno(file), 1);
  function();
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::string bytes;
  std::rewind(file);
  for (int c; (c = std::fgetc(file)) != EOF;) bytes.push_back(static_cast<char>(c));
  std::fclose(file);
  return bytes;
}
