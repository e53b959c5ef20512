// SPDX-License-Identifier: Apache-2.0
// PNG and JPEG images, decoded here to grey and drawn onto the label by the application's placement
// rules, and the printing of drawn labels through the driver's own callbacks. The framework's PNG
// decoder never ends on an image it refuses or cannot read (its clean-up reads the rest of the image,
// which fails again and returns to that clean-up), and its image printing neither turns a page to the
// label nor finds a label on a larger sheet.
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

// A JPEG decoding's resources, freed however it ends, and why it stopped early when it did.
enum class jpegStop { none, scans, cancelled };
struct jpegDecoding {
  pappl_job_t* job = nullptr;
  FILE* file = nullptr;
  jpeg_decompress_struct info{};
  jpeg_error_mgr error{};
  jpeg_progress_mgr progress{};
  std::jmp_buf back;
  jpegStop stop = jpegStop::none;
  std::vector<unsigned char> line;  // a CMYK row; here, since libjpeg's errors jump past decodeJpeg()
  ~jpegDecoding() {
    jpeg_destroy_decompress(&info);
    if (file != nullptr) std::fclose(file);
  }
};

jpegDecoding* decodingOf(j_common_ptr info) { return static_cast<jpegDecoding*>(info->client_data); }

// libjpeg's error handler returns to the decoding's own point; its warnings (a corrupt stretch, a
// scan out of order) go to the job's log rather than to the server's standard error.
void jpegExit(j_common_ptr info) { std::longjmp(decodingOf(info)->back, 1); }

void jpegMessage(j_common_ptr info) {
  char text[JMSG_LENGTH_MAX];
  (*info->err->format_message)(info, text);
  papplLogJob(decodingOf(info)->job, PAPPL_LOGLEVEL_DEBUG, "JPEG: %s", text);
}

// 'jpegProgress()' - called by libjpeg between rows and scans: stops a decoding whose job was
// cancelled, or whose image has more scans than any encoder writes (each scan of a progressive image
// passes over every coefficient of the image again, so scans are what its time grows with).
void jpegProgress(j_common_ptr info) {
  jpegDecoding* d = decodingOf(info);
  if (papplJobIsCanceled(d->job))
    d->stop = jpegStop::cancelled;
  else if (d->info.input_scan_number > kMaxJpegScans)
    d->stop = jpegStop::scans;
  else
    return;
  std::longjmp(d->back, 1);
}

// 'jpegDecoderBytes()' - the memory libjpeg keeps for the whole image while it decodes: an image of
// several scans (progressive, or one scan a component) keeps every component's coefficients, 128
// bytes a block, until its last scan has been read; an image of one scan keeps a few rows.
size_t jpegDecoderBytes(const jpeg_decompress_struct& info) {
  if (!jpeg_has_multiple_scans(const_cast<j_decompress_ptr>(&info))) return 0;
  size_t bytes = 0;
  for (int c = 0; c < info.num_components; ++c) {
    const jpeg_component_info& component = info.comp_info[c];
    const size_t h = std::max(component.h_samp_factor, 1), v = std::max(component.v_samp_factor, 1);
    const size_t across = (component.width_in_blocks + h - 1) / h * h;
    const size_t down = (component.height_in_blocks + v - 1) / v * v;
    bytes += across * down * sizeof(JBLOCK);
  }
  return bytes;
}

bool decodeJpeg(jpegDecoding* d, greyImage* image, int* ppi) {
  pappl_job_t* job = d->job;
  d->info.client_data = d;
  d->info.err = jpeg_std_error(&d->error);
  d->error.error_exit = jpegExit;
  d->error.output_message = jpegMessage;
  if (setjmp(d->back)) {
    if (d->stop == jpegStop::scans) {
      char message[160];
      std::snprintf(message, sizeof message, "The JPEG image has more than %d scans.", kMaxJpegScans);
      return failJob(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, message);
    }
    if (d->stop == jpegStop::cancelled) return false;
    char text[JMSG_LENGTH_MAX];
    (*d->error.format_message)(reinterpret_cast<j_common_ptr>(&d->info), text);
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "JPEG: %s", text);
    return failJob(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, "The JPEG image cannot be read.");
  }
  jpeg_create_decompress(&d->info);
  // libjpeg has no backing store here: an image whose buffers would pass this bound ends with an
  // error rather than growing the server.
  d->info.mem->max_memory_to_use = static_cast<long>(kMaxJpegDecoderBytes + (size_t{16} << 20));
  d->progress.progress_monitor = jpegProgress;
  d->info.progress = &d->progress;
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
  if (const size_t bytes = jpegDecoderBytes(d->info); bytes > kMaxJpegDecoderBytes) {
    char message[256];
    std::snprintf(message, sizeof message,
                  "The JPEG image of %u x %u pixels in several scans needs %zu MiB to decode, more than "
                  "%zu MiB.",
                  image->width, image->height, bytes >> 20, kMaxJpegDecoderBytes >> 20);
    return failJob(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, message);
  }
  jpeg_start_decompress(&d->info);
  image->pixels.resize(size_t{image->width} * image->height);
  d->line.resize(cmyk ? size_t{image->width} * 4 : 0);
  while (d->info.output_scanline < d->info.output_height) {
    unsigned char* row = image->pixels.data() + size_t{d->info.output_scanline} * image->width;
    JSAMPROW target = cmyk ? d->line.data() : row;
    jpeg_read_scanlines(&d->info, &target, 1);
    // Adobe's CMYK is stored inverted: 255 is no ink.
    for (uint32_t x = 0; cmyk && x < image->width; ++x) {
      const unsigned char* c = &d->line[4 * x];
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
  d.job = job;
  greyImage image;
  int ppi = 0;
  return (d.file = openDocument(job)) != nullptr && decodeJpeg(&d, &image, &ppi) &&
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
