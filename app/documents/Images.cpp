// SPDX-License-Identifier: Apache-2.0
// PNG and JPEG images, decoded here to grey and drawn onto the label by the application's placement
// rules, and the printing of drawn labels through the driver's own callbacks. The framework's PNG
// decoder never ends on an image it refuses or cannot read (its clean-up reads the rest of the image,
// which fails again and returns to that clean-up), and its image printing neither turns a page to the
// label nor finds a label on a larger sheet.
// jpeglib.h needs FILE and size_t declared before it.
// jpeglib.h needs FILE and size_t declared before it.
// clang-format off
#include <cstdio>
#include <jpeglib.h>
// clang-format on
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/documents/documents.h"

namespace {

// 'withinLimits()' - whether an image of 'width' x 'height' pixels of 'depth' bytes may be decoded;
// else the job is refused.
bool withinLimits(pappl_job_t* job, const char* kind, uint32_t width, uint32_t height, unsigned depth) {
  int maxWidth = 0, maxHeight = 0;
  const size_t maxBytes =
      papplSystemGetMaxImageSize(papplPrinterGetSystem(papplJobGetPrinter(job)), &maxWidth, &maxHeight);
  if (width >= 1 && height >= 1 && width <= unsigned(maxWidth) && height <= unsigned(maxHeight) &&
      size_t{width} * height * depth <= maxBytes)
    return true;
  char message[256];
  std::snprintf(message, sizeof message,
                "The %s image is %u x %u pixels, more than is printed (%d x %d, %zu bytes).", kind, width,
                height, maxWidth, maxHeight, maxBytes);
  return failJob(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, message);
}

// 'printImage()' - print a decoded image of 'ppi' pixels per inch (0: unknown, taken as the printer's).
bool printImage(pappl_job_t* job, pappl_device_t* device, const greyImage& image, int ppi) {
  const inkBox ink = findInk(image);
  return printPages(job, device, 1, [&](int, const pappl_pr_options_t& options, greyImage* label) {
    const int dpi = options.printer_resolution[0] > 0 ? options.printer_resolution[0] : 203;
    const placement p = placePage(image.width, image.height, ppi > 0 ? ppi : dpi, ink, label->width,
                                  label->height, dpi, options.print_scaling);
    drawOnLabel(image, p.cropX, p.cropY, p.dotsPerUnit, p, label);
    return true;
  });
}

// A PNG decoding's resources, freed however it ends.
struct pngDecoding {
  pappl_job_t* job = nullptr;
  FILE* file = nullptr;
  png_structp png = nullptr;
  png_infop info = nullptr;
  std::vector<png_bytep> rows;
  ~pngDecoding() {
    png_destroy_read_struct(&png, &info, nullptr);
    if (file != nullptr) std::fclose(file);
  }
};

void pngError(png_structp png, png_const_charp message) {
  papplLogJob(static_cast<pappl_job_t*>(png_get_error_ptr(png)), PAPPL_LOGLEVEL_ERROR, "PNG: %s", message);
  png_longjmp(png, 1);
}

void pngWarning(png_structp png, png_const_charp message) {
  papplLogJob(static_cast<pappl_job_t*>(png_get_error_ptr(png)), PAPPL_LOGLEVEL_WARN, "PNG: %s", message);
}

// 'decodePng()' - the image as grey over white; false with the job's reason when it cannot be read or
// is beyond the limits.
bool decodePng(pngDecoding* d, greyImage* image, int* ppi) {
  pappl_job_t* job = d->job;
  d->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, job, pngError, pngWarning);
  d->info = d->png != nullptr ? png_create_info_struct(d->png) : nullptr;
  if (d->info == nullptr) return failJob(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Out of memory.");
  if (setjmp(png_jmpbuf(d->png)))
    return failJob(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, "The PNG image cannot be read.");
  png_init_io(d->png, d->file);
  png_read_info(d->png, d->info);
  image->width = png_get_image_width(d->png, d->info);
  image->height = png_get_image_height(d->png, d->info);
  const unsigned xppi = png_get_x_pixels_per_inch(d->png, d->info);
  *ppi = xppi == png_get_y_pixels_per_inch(d->png, d->info) ? int(xppi) : 0;
  if (!withinLimits(job, "PNG", image->width, image->height, 1)) return false;
  png_set_expand(d->png);
  png_set_scale_16(d->png);
  if ((png_get_color_type(d->png, d->info) & PNG_COLOR_MASK_COLOR) != 0)
    png_set_rgb_to_gray_fixed(d->png, 1, -1, -1);
  png_color_16 white{};
  white.red = white.green = white.blue = white.gray = 0xFFFF;
  png_set_background(d->png, &white, PNG_BACKGROUND_GAMMA_SCREEN, 0, 1.0);
  const int passes = png_set_interlace_handling(d->png);
  png_read_update_info(d->png, d->info);
  if (png_get_rowbytes(d->png, d->info) != image->width)
    return failJob(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, "The PNG image cannot be read.");
  image->pixels.resize(size_t{image->width} * image->height);
  d->rows.resize(image->height);
  for (size_t y = 0; y < d->rows.size(); ++y) d->rows[y] = image->pixels.data() + y * image->width;
  for (int pass = 0; pass < passes; ++pass) png_read_rows(d->png, d->rows.data(), nullptr, image->height);
  png_read_end(d->png, nullptr);
  return true;
}

// libjpeg's error handler returns to the decoding's own point with the message.
struct jpegError {
  jpeg_error_mgr manager;
  std::jmp_buf back;
};

void jpegExit(j_common_ptr info) { std::longjmp(reinterpret_cast<jpegError*>(info->err)->back, 1); }

// A JPEG decoding's resources, freed however it ends.
struct jpegDecoding {
  FILE* file = nullptr;
  jpeg_decompress_struct info{};
  jpegError error{};
  ~jpegDecoding() {
    jpeg_destroy_decompress(&info);
    if (file != nullptr) std::fclose(file);
  }
};

bool decodeJpeg(pappl_job_t* job, jpegDecoding* d, greyImage* image, int* ppi) {
  d->info.err = jpeg_std_error(&d->error.manager);
  d->error.manager.error_exit = jpegExit;
  if (setjmp(d->error.back))
    return failJob(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, "The JPEG image cannot be read.");
  jpeg_create_decompress(&d->info);
  jpeg_stdio_src(&d->info, d->file);
  jpeg_read_header(&d->info, TRUE);
  const bool cmyk = d->info.jpeg_color_space == JCS_CMYK || d->info.jpeg_color_space == JCS_YCCK;
  d->info.out_color_space = cmyk ? JCS_CMYK : JCS_GRAYSCALE;
  image->width = d->info.image_width;
  image->height = d->info.image_height;
  const double density = d->info.density_unit == 1   ? d->info.X_density
                         : d->info.density_unit == 2 ? d->info.X_density * 2.54
                                                     : 0;
  *ppi = d->info.X_density == d->info.Y_density ? int(density + 0.5) : 0;
  if (!withinLimits(job, "JPEG", image->width, image->height, cmyk ? 4 : 1)) return false;
  jpeg_start_decompress(&d->info);
  image->pixels.resize(size_t{image->width} * image->height);
  std::vector<unsigned char> line(size_t{image->width} * (cmyk ? 4 : 1));
  while (d->info.output_scanline < d->info.output_height) {
    unsigned char* row = image->pixels.data() + size_t{d->info.output_scanline} * image->width;
    JSAMPROW target = cmyk ? line.data() : row;
    jpeg_read_scanlines(&d->info, &target, 1);
    // Adobe's CMYK is stored inverted: 255 is no ink.
    for (uint32_t x = 0; cmyk && x < image->width; ++x) {
      const unsigned char* c = &line[4 * x];
      const int ink = 255 - c[3] + (765 - c[0] - c[1] - c[2]) / 3;
      row[x] = static_cast<unsigned char>(255 - std::min(ink, 255));
    }
  }
  jpeg_finish_decompress(&d->info);
  return true;
}

FILE* openDocument(pappl_job_t* job) {
  const char* filename = papplJobGetFilename(job);
  FILE* file = filename != nullptr ? std::fopen(filename, "rbe") : nullptr;
  if (file == nullptr) failJob(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Unable to open the spooled document.");
  return file;
}

}  // namespace

bool labelFilterPNG(pappl_job_t* job, pappl_device_t* device, void*) {
  pngDecoding d;
  d.job = job;
  greyImage image;
  int ppi = 0;
  return (d.file = openDocument(job)) != nullptr && decodePng(&d, &image, &ppi) &&
         printImage(job, device, image, ppi);
}

bool labelFilterJPEG(pappl_job_t* job, pappl_device_t* device, void*) {
  jpegDecoding d;
  greyImage image;
  int ppi = 0;
  return (d.file = openDocument(job)) != nullptr && decodeJpeg(job, &d, &image, &ppi) &&
         printImage(job, device, image, ppi);
}

bool printPages(
    pappl_job_t* job, pappl_device_t* device, int pages,
    const std::function<bool(int page, const pappl_pr_options_t& options, greyImage* label)>& draw) {
  pappl_pr_options_t* options = papplJobCreatePrintOptions(job, static_cast<unsigned>(pages), false);
  if (options == nullptr) return failJob(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Out of memory.");
  // The labels go to the callbacks as 8-bit luminance lines of the label's width.
  cups_page_header2_t& header = options->header;
  header.cupsBitsPerColor = header.cupsBitsPerPixel = 8;
  header.cupsColorSpace = CUPS_CSPACE_W;
  header.cupsColorOrder = CUPS_ORDER_CHUNKED;
  header.cupsNumColors = 1;
  header.cupsBytesPerLine = header.cupsWidth;
  const pappl_content_t asked = options->print_content_optimize;
  papplJobSetImpressions(job, pages);
  bool printed = labelStartJob(job, options, device);
  greyImage label;
  label.width = header.cupsWidth;
  label.height = header.cupsHeight;
  for (int page = 0; printed && page < pages && !papplJobIsCanceled(job); ++page) {
    label.pixels.assign(size_t{label.width} * label.height, 255);
    printed = draw(page, *options, &label);
    if (!printed) break;
    if (asked == PAPPL_CONTENT_AUTO)
      options->print_content_optimize = looksLikePhotograph(label) ? PAPPL_CONTENT_PHOTO : PAPPL_CONTENT_TEXT;
    printed = labelStartPage(job, options, device, static_cast<unsigned>(page + 1));
    for (uint32_t y = 0; printed && y < label.height; ++y)
      labelWriteLine(job, options, device, y, label.pixels.data() + size_t{y} * label.width);
    printed = printed && labelEndPage(job, options, device, static_cast<unsigned>(page + 1));
    if (printed) papplJobSetImpressionsCompleted(job, 1);
  }
  const bool ended = labelEndJob(job, options, device);
  papplJobDeletePrintOptions(options);
  printed = printed && ended;
  return printed;
}
