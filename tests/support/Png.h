// SPDX-License-Identifier: Apache-2.0
// Reading the label preview's PNG images back, as grey pixels.
#pragma once

#include <string>

#include "support/GrfReference.h"

struct greyImage {
  unsigned width;
  unsigned height;
  bytes pixels;  // 8-bit grey, row after row

  bool operator==(const greyImage&) const = default;
};

// 'readPng()' - a grey PNG file of 1, 2, 4 or 8 bits a sample, not interlaced, as 8-bit grey; false when
// it is not one or breaks the format anywhere (a chunk's CRC, its order, the image data's length).
bool readPng(const std::string& path, greyImage* image);

// 'readPngSize()' - the width and height that a PNG file's header gives, without its pixels; false
// when the file does not start with a sound header.
bool readPngSize(const std::string& path, unsigned* width, unsigned* height);

#if defined(LABEL_TEST_LIBPNG)
// 'readPngWithLibpng()' - any PNG file as 8-bit grey through libpng, a second reader to hold readPng()
// and the preview's writer to; false when libpng cannot read it.
bool readPngWithLibpng(const std::string& path, greyImage* image);
#endif
