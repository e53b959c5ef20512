// The label preview in process: any bytes as printer data, drawn and not written. Whatever they are,
// it ends with status 0 or 1 and a message exactly when it stops early.
#include <cstdio>

#include "fuzz/FuzzInput.h"
#include "tools/preview/Preview.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // fmemopen refuses an empty buffer; an empty file reads the same.
  static const uint8_t kNothing = 0;
  FILE* in = size > 0 ? fmemopen(const_cast<uint8_t*>(data), size, "rb")
                      : fmemopen(const_cast<uint8_t*>(&kNothing), 1, "rb");
  require(in != nullptr, "fmemopen");
  if (size == 0) std::fgetc(in);
  previewResult result;
  const int status = previewLabels(in, nullptr, &result);
  std::fclose(in);
  require(status == 0 || status == 1, "status 0 or 1");
  require((status == 1) == !result.error.empty(), "a message exactly when stopped early");
  require(result.labels >= 0, "labels counted");
  return 0;
}
