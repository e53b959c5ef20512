// SPDX-License-Identifier: Apache-2.0
// A library that, preloaded, hides one function from the program's look-ups by name: dlsym() answers
// nothing for the name in LABEL_HIDDEN_SYMBOL, as on a framework that lacks the function.
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

extern "C" void* dlsym(void* handle, const char* name) noexcept {
  using lookUp = void* (*)(void*, const char*);
  static const auto next = reinterpret_cast<lookUp>(dlvsym(RTLD_NEXT, "dlsym", "GLIBC_2.34"));
  const char* hidden = std::getenv("LABEL_HIDDEN_SYMBOL");
  if (hidden != nullptr && name != nullptr && std::strcmp(name, hidden) == 0) return nullptr;
  return next != nullptr ? next(handle, name) : nullptr;
}
