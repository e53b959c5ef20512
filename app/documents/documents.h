// SPDX-License-Identifier: Apache-2.0
// Documents on the label: incoming lines into the label bitmap and document typing (Convert.cpp), the
// raster and raw-print callbacks (Raster.cpp), the labels a job printed (Labels.cpp), placement (Layout.cpp), PNG and JPEG images
// (Images.cpp) and PDF pages (Pdf.cpp).
#pragma once

#include "app/printer/printer.h"

// The largest image the framework decodes for a job, in bytes of pixels and in pixels a side: the
// system's limits never exceed these, whatever sets them (a state file of an earlier version too).
// Images are scaled to the label, so this bounds a document's memory rather than its size on the label.
inline constexpr size_t kMaxImageBytes = size_t{64} << 20;
inline constexpr int kMaxImageSide = 16384;

// What a JPEG image may take beyond its pixels: libjpeg's buffers for an image of several scans (96 MiB:
// a progressive grey image of 48 million pixels, or a colour one of 32 million with its colour at half
// resolution, as cameras write them), so that decoding stays within 256 MB with the pixels; and its
// scans. Encoders write 1 to about 20 (libjpeg's progressive script 10 in colour, 6 in grey); each scan
// passes over every coefficient again, so 100 scans of the largest image take a few seconds.
inline constexpr size_t kMaxJpegDecoderBytes = size_t{96} << 20;
inline constexpr int kMaxJpegScans = 100;

// What the bytes of an incoming line hold.
enum lineKind {
  kLineOneBit,       // 1 bit per dot, a 1 prints
  kLineGreyInkHigh,  // 8-bit black (K): 255 is full ink
  kLineGreyInkLow,   // 8-bit luminance (W, sW): 0 is full ink
};

// How an incoming line is read: its kind, its bytes and the pixels it holds.
struct lineLayout {
  lineKind kind;
  size_t bytes;     // readable bytes of the line; nothing past them is touched
  uint32_t pixels;  // pixels described by those bytes (at most 8 per byte, or 1 per grey byte)
  bool dither;      // grey to dots through the ordered dither matrix (photographs), else at mid-grey
};

// 'convertLine()' - write bitmap row 'y' of a label 'labelWidth' dots wide from one incoming line:
// dots past the line's pixels are white, pixels past the label are dropped. 'row' holds 'rowBytes'
// bytes (at least (labelWidth + 7) / 8); the bytes after the label's dots are left as they are.
void convertLine(const unsigned char* line, const lineLayout& layout, uint32_t y, uint32_t labelWidth,
                 unsigned char* row, size_t rowBytes);

// 'ditherThreshold()' - the ordered dither matrix's threshold (0 to 254) at a dot; ink darker than it
// prints. A 16 x 16 Bayer matrix, so that grey areas keep their tone and edges stay in place.
unsigned ditherThreshold(uint32_t x, uint32_t y);

// 'fillPadding()' - set the bitmap's bytes outside the label ('labelWidth' x 'labelHeight' dots) to
// 'fill': the columns after the label's last byte and the rows after its last row.
void fillPadding(unsigned char* bitmap, const pageGeometry& geometry, uint32_t labelWidth,
                 uint32_t labelHeight, unsigned char fill);

// 'isLabelCommandData()' - whether 'size' bytes begin a document in the label command language: after
// blanks, a command prefix ('^' or '~', or the prefix change byte 0x10) and an upper-case letter.
bool isLabelCommandData(const unsigned char* data, size_t size);

// 'documentFormatOf()' - the format of a document that begins with 'size' bytes, among those the
// printers take (PDF, PNG, JPEG, PWG and Apple raster, the label command language); nullptr for any
// other.
const char* documentFormatOf(const unsigned char* data, size_t size);

// 'failJob()' - end a job with a reason and a message (logged); a cancelled job keeps its own. False.
bool failJob(pappl_job_t* job, pappl_jreason_t reason, const char* message);

// 'isRasterStream()' - whether a document format is one the framework prints on the client's own
// thread as it reads it (PWG and Apple raster).
bool isRasterStream(const char* format);

// 'refuseRasterPage()' - end a raster job with a page that cannot print: the reason, the message,
// and (once its labels have begun) an aborted job rather than a completed one.
void refuseRasterPage(pappl_job_t* job, const char* message);

// An 8-bit grey image, 255 white, rows from the top.
struct greyImage {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<unsigned char> pixels;
};

// A box on a page, in the page's units; empty when its width is 0.
struct inkBox {
  double x, y, width, height;
};

// How a page goes onto the label: the part of it shown, turned a quarter clockwise or not, and at
// what scale, and where on the label that part lands.
struct placement {
  bool rotate;
  double dotsPerUnit;                          // label dots per unit of the page
  double cropX, cropY, cropWidth, cropHeight;  // the part shown, in page units
  uint32_t width, height;                      // its size on the label, in dots
  uint32_t left, top;                          // its place on the label
};

// A page this many times the label's area or more may be a label on a larger sheet.
inline constexpr double kSheetAreas = 2.0;

// 'findInk()' - the box around an image's ink (darker than mid-grey), in pixels.
inkBox findInk(const greyImage& image);

// 'placePage()' - the placement of a page 'pageWidth' x 'pageHeight' units ('unitsPerInch' of them to
// the inch) on a label of 'labelWidth' x 'labelHeight' dots at 'dpi', by print-scaling: a page of the
// label's size prints 1:1; 'fit' and 'fill' scale it to the label, keeping its shape; 'none' keeps its
// size; 'auto' and 'auto-fit' fit a larger page and keep a smaller one at its size, and 'auto' crops
// a sheet much larger than the label to the box of its ink ('ink', empty when unknown) and fits that.
// A page
// whose orientation is not the label's is turned a quarter. What is larger than the label is cut to
// its middle.
placement placePage(double pageWidth, double pageHeight, double unitsPerInch, const inkBox& ink,
                    uint32_t labelWidth, uint32_t labelHeight, int dpi, pappl_scaling_t scaling);

// 'drawOnLabel()' - draw the placement's part of 'source' on the label: the part begins at
// ('sourceX', 'sourceY') pixels and each pixel is 'dotsPerPixel' dots; a dot drawn from several pixels
// is their average.
void drawOnLabel(const greyImage& source, double sourceX, double sourceY, double dotsPerPixel,
                 const placement& p, greyImage* label);

// 'looksLikePhotograph()' - whether a drawn label is a continuous-tone picture (dithered), rather than
// text, bars and line art (cut at mid-grey) even when scanned or compressed.
bool looksLikePhotograph(const greyImage& label);

// The most pages of a PDF document, and the longest a page may take to render.
inline constexpr int kMaxPdfPages = 1000;
inline constexpr int kPdfPageSeconds = 20;

// 'labelFilterPNG()', 'labelFilterJPEG()', 'labelFilterPDF()' - the MIME filters from image/png,
// image/jpeg and application/pdf to the printers' own format. A document beyond the limits, or one
// that cannot be read, ends its job with a reason and a message. The PDF filter's data is the server's
// appConfig (the renderer program and the document's time limit).
bool labelFilterPNG(pappl_job_t* job, pappl_device_t* device, void* data);
bool labelFilterJPEG(pappl_job_t* job, pappl_device_t* device, void* data);
bool labelFilterPDF(pappl_job_t* job, pappl_device_t* device, void* data);

// 'printPages()' - print 'pages' labels, each drawn by 'draw' onto a white label of the job's size,
// through the driver's raster callbacks: grey is cut at mid-grey, or dithered for a photograph
// (print-content-optimize, or with 'auto' a label that looks like one). False when a page could not
// be drawn or printed.
bool printPages(
    pappl_job_t* job, pappl_device_t* device, int pages,
    const std::function<bool(int page, const pappl_pr_options_t& options, greyImage* label)>& draw);

bool labelStartJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);

bool labelStartPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);

bool labelWriteLine(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned y,
                    const unsigned char* line);

bool labelEndPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);

bool labelEndJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);

bool labelPrintRaw(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);

// A job's labels as printed: the first kJobLabels labels, read back from a copy of the first
// kJobLabelDataBytes of the printer data that reached the printer, drawn as images of at most
// kJobLabelDots dots and kJobLabelImageBytes bytes each; the server keeps kJobLabelBookBytes of them.
inline constexpr size_t kJobLabels = 3;
inline constexpr size_t kJobLabelDataBytes = size_t{4} << 20;
inline constexpr uint64_t kJobLabelDots = uint64_t{1} << 26;
inline constexpr size_t kJobLabelImageBytes = size_t{1} << 20;
inline constexpr size_t kJobLabelBookBytes = size_t{32} << 20;

// 'copySentData()' - add what was sent to the printer to a job's copy, up to kJobLabelDataBytes.
void copySentData(std::string* copy, const void* bytes, size_t length);

// 'drawSentLabels()' - the first kJobLabels labels of a copy of printer data as PNG images; the labels
// before a fault in the data, or before the copy was cut short, all the same.
std::vector<jobLabelImage> drawSentLabels(const std::string& data);

// 'keepJobLabels()' - at a job's end: its labels drawn from the copy of what it sent, in the server's
// book (nothing for a job that sent none). 'jobLabelSizes()' - the job's images without their bytes,
// none when it has none. 'jobLabelOf()' - a copy of its image 'index' (from 0): false when there is
// none. 'forgetJobLabels()' - when the job leaves the history.
void keepJobLabels(pappl_job_t* job, const std::string& sent);
std::vector<jobLabelImage> jobLabelSizes(appConfig* config, int printerId, int jobId);
bool jobLabelOf(appConfig* config, int printerId, int jobId, size_t index, jobLabelImage* image);
void forgetJobLabels(appConfig* config, int printerId, int jobId);
