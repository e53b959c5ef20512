// PNG images, decoded here and printed through the framework's image printing, which scales them to
// the label. The framework's own PNG decoder never ends on an image it refuses or cannot read (its
// clean-up reads the rest of the image, which fails again and returns to that clean-up), so a
// truncated PNG, or one beyond the image limits, kept a printer's thread busy for good.
#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/app.h"

namespace {

// What a decoding holds, freed however it ends.
struct pngDecoding {
  pappl_job_t* job = nullptr;
  FILE* file = nullptr;
  png_structp png = nullptr;
  png_infop info = nullptr;
  unsigned char* pixels = nullptr;
  std::vector<png_bytep> rows;
  ~pngDecoding() {
    png_destroy_read_struct(&png, &info, nullptr);
    std::free(pixels);
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

bool refuse(pappl_job_t* job, pappl_jreason_t reason, const char* message) {
  papplJobSetReasons(job, reason, PAPPL_JREASON_NONE);
  papplJobSetMessage(job, "%s", message);
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", message);
  return false;
}

// 'decode()' - read the image into d->pixels, 1 (grey) or 3 (RGB) bytes a pixel over white; false
// with the job's reason set when it cannot be read or is beyond the limits.
bool decode(pngDecoding* d, int* width, int* height, int* depth, int* ppi) {
  pappl_job_t* job = d->job;
  d->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, job, pngError, pngWarning);
  d->info = d->png != nullptr ? png_create_info_struct(d->png) : nullptr;
  if (d->info == nullptr) return refuse(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Out of memory.");
  if (setjmp(png_jmpbuf(d->png)))
    return refuse(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, "The PNG image cannot be read.");
  png_init_io(d->png, d->file);
  png_read_info(d->png, d->info);
  *width = static_cast<int>(png_get_image_width(d->png, d->info));
  *height = static_cast<int>(png_get_image_height(d->png, d->info));
  const int type = png_get_color_type(d->png, d->info);
  *depth = (type & PNG_COLOR_MASK_COLOR) != 0 ? 3 : 1;
  const unsigned xppi = png_get_x_pixels_per_inch(d->png, d->info);
  *ppi = xppi == png_get_y_pixels_per_inch(d->png, d->info) ? static_cast<int>(xppi) : 0;

  int maxWidth = 0, maxHeight = 0;
  const size_t maxBytes =
      papplSystemGetMaxImageSize(papplPrinterGetSystem(papplJobGetPrinter(job)), &maxWidth, &maxHeight);
  if (*width < 1 || *height < 1 || *width > maxWidth || *height > maxHeight ||
      size_t{static_cast<unsigned>(*width)} * static_cast<unsigned>(*height) * static_cast<unsigned>(*depth) >
          maxBytes) {
    char message[256];
    std::snprintf(message, sizeof message,
                  "The PNG image is %d x %d pixels, more than is printed (%d x %d, %zu bytes).", *width,
                  *height, maxWidth, maxHeight, maxBytes);
    return refuse(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, message);
  }
  png_set_expand(d->png);
  png_set_scale_16(d->png);
  png_color_16 white{};
  white.red = white.green = white.blue = white.gray = 0xFFFF;
  png_set_background(d->png, &white, PNG_BACKGROUND_GAMMA_SCREEN, 0, 1.0);
  const int passes = png_set_interlace_handling(d->png);
  png_read_update_info(d->png, d->info);
  const size_t rowBytes = png_get_rowbytes(d->png, d->info);
  if (rowBytes != static_cast<size_t>(*width) * static_cast<size_t>(*depth))
    return refuse(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, "The PNG image cannot be read.");
  d->pixels = static_cast<unsigned char*>(std::malloc(rowBytes * static_cast<size_t>(*height)));
  if (d->pixels == nullptr) return refuse(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Out of memory.");
  d->rows.resize(static_cast<size_t>(*height));
  for (size_t y = 0; y < d->rows.size(); ++y) d->rows[y] = d->pixels + y * rowBytes;
  for (int pass = 0; pass < passes; ++pass)
    png_read_rows(d->png, d->rows.data(), nullptr, static_cast<png_uint_32>(*height));
  png_read_end(d->png, nullptr);
  return true;
}

}  // namespace

bool labelFilterPNG(pappl_job_t* job, pappl_device_t* device, void*) {
  pngDecoding d;
  d.job = job;
  const char* filename = papplJobGetFilename(job);
  d.file = filename != nullptr ? std::fopen(filename, "rbe") : nullptr;
  if (d.file == nullptr)
    return refuse(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Unable to open the spooled document.");
  int width = 0, height = 0, depth = 1, ppi = 0;
  if (!decode(&d, &width, &height, &depth, &ppi)) return false;
  pappl_pr_options_t* options = papplJobCreatePrintOptions(job, 1, depth == 3);
  const bool printed = options != nullptr &&
                       papplJobFilterImage(job, device, options, d.pixels, width, height, depth, ppi, false);
  papplJobDeletePrintOptions(options);
  return printed;
}
