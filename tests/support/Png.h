// SPDX-License-Identifier: Apache-2.0
// Reading the label preview's PNG images back, as grey pixels.
#pragma once

#include <string>

#include "support/GrfReference.h"

struct greyImage {
  unsigned width;
  unsigned height;
  bytes pixels;  // 8-bit grey, row after row
};

// 'readPng()' - any PNG file (1-bit grey included) as 8-bit grey; false when it cannot be read.
bool readPng(const std::string& path, greyImage* image);

// 'readPngSize()' - the width and height that a PNG file's header gives, without its pixels; false
// when it cannot be read.
bool readPngSize(const std::string& path, unsigned* width, unsigned* height);
