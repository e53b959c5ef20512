// SPDX-License-Identifier: Apache-2.0
#include "support/PrinterData.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "commands/commands.h"

printerData splitPrinterData(const std::string& out) {
  printerData data{{}, {}, true};
  const std::string marker = std::string("~DG") + kStoredGraphicName + ",";
  size_t at = out.find(marker);
  data.prologue = out.substr(0, at);
  while (at != std::string::npos) {
    downloadedPage page{};
    char* end = nullptr;
    const char* numbers = out.c_str() + at + marker.size();
    page.totalBytes = std::strtol(numbers, &end, 10);
    if (*end != ',') data.wellFormed = false;
    page.rowBytes = std::strtol(end + 1, &end, 10);
    if (*end != ',') data.wellFormed = false;
    const size_t textStart = static_cast<size_t>(end + 1 - out.c_str());
    const size_t textEnd = std::min(out.find_first_of("^~", textStart), out.size());
    const size_t next = out.find(marker, textEnd);
    page.text = out.substr(textStart, textEnd - textStart);
    page.format = out.substr(textEnd, (next == std::string::npos ? out.size() : next) - textEnd);
    data.pages.push_back(page);
    at = next;
  }
  return data;
}

processResult runFilter(const std::string& raster, const std::string& options, const std::string& ppd,
                        bool asFile) {
  std::vector<std::string> argv = {RASTERTOXXX_PATH, "42", "user", "title", "1", options};
  std::vector<std::string> environment;
  if (!ppd.empty()) environment.push_back("PPD=" + ppd);
  if (!asFile) return runProcess(argv, raster, environment);
  const std::string path = temporaryPath("job.ras");
  writeFile(path, raster);
  argv.push_back(path);
  processResult result = runProcess(argv, "", environment);
  unlink(path.c_str());
  return result;
}
