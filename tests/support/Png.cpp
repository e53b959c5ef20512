// SPDX-License-Identifier: Apache-2.0
#include "support/Png.h"

#include <png.h>

#include <cstring>

bool readPng(const std::string& path, greyImage* image) {
  png_image png;
  std::memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_file(&png, path.c_str()) == 0) return false;
  png.format = PNG_FORMAT_GRAY;
  image->width = png.width;
  image->height = png.height;
  image->pixels.assign(PNG_IMAGE_SIZE(png), 0);
  if (png_image_finish_read(&png, nullptr, image->pixels.data(), 0, nullptr) == 0) {
    png_image_free(&png);
    return false;
  }
  return true;
}

bool readPngSize(const std::string& path, unsigned* width, unsigned* height) {
  png_image png;
  std::memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_file(&png, path.c_str()) == 0) return false;
  *width = png.width;
  *height = png.height;
  png_image_free(&png);
  return true;
}
