// SPDX-License-Identifier: Apache-2.0
// Running the built programs as the scheduler would: arguments, environment, standard input.
#pragma once

#include <string>
#include <vector>

struct processResult {
  std::string out;
  std::string err;
  int status;  // the exit status, or 128 + the signal that ended the process
};

// 'runProcess()' - run argv[0] with 'argv', feeding 'input' on standard input. The environment is this
// process's without PPD, plus the "NAME=value" entries of 'environment'.
processResult runProcess(const std::vector<std::string>& argv, const std::string& input,
                         const std::vector<std::string>& environment = {});

// 'readFile()' / 'writeFile()' - whole files as bytes.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);

// 'temporaryPath()' - a fresh path in the test's temporary folder, unique within the run.
std::string temporaryPath(const std::string& name);
