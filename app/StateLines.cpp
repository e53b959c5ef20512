// SPDX-License-Identifier: Apache-2.0
// The lines the application adds to each printer's block of the state file, where the framework's
// loader reads them.
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/app.h"

std::string addSavedLines(const std::string& state, const std::function<std::string(int)>& linesOf) {
  std::string text;
  text.reserve(state.size() + 256);
  int printer = 0;  // the id of the block being copied, 0 outside one
  bool added = true;
  for (size_t start = 0; start < state.size();) {
    size_t end = state.find('\n', start);
    end = end == std::string::npos ? state.size() : end + 1;
    const std::string_view line(state.data() + start, end - start);
    if (line.starts_with("<Printer ")) {
      const size_t id = line.find(" id=\"");
      printer = id != std::string_view::npos ? std::atoi(std::string(line.substr(id + 5)).c_str()) : 0;
      added = printer <= 0;
    } else if (!added && (line.starts_with("Job ") || line.starts_with("</Printer>"))) {
      text += linesOf(printer);
      added = true;
    }
    text += line;
    start = end;
  }
  return text;
}
