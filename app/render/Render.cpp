// SPDX-License-Identifier: GPL-2.0-or-later
//
// label-pdf-render: renders the pages of one PDF document for the Printer Application, in a process
// of its own. It links poppler, which is GPL-2.0-or-later, so it is a separate program under that
// licence; the application (Apache-2.0) only talks to it through two pipes, and bounds its memory and
// its time (app/Pdf.cpp).
//
//   label-pdf-render FILE MAXPAGES
//
// Its first line on standard output is "pages N", or "error TEXT" (it then ends). Then it answers each
// command line on standard input:
//
//   size PAGE                    "size WIDTH HEIGHT": the page as it is shown, in points
//   render PAGE DPI X Y W H      "image W H" and W x H bytes of 8-bit grey (255 white), rows from the
//                                top: the part of the page at X, Y (W x H dots) rendered at DPI
//
// or "error TEXT". Pages count from 0. Anti-aliasing is off, for text and vector art alike, so that
// the edges of bars and letters stay where they are; glyphs are hinted to the printer's grid.
#include <malloc.h>
#include <poppler/cpp/poppler-document.h>
#include <poppler/cpp/poppler-global.h>
#include <poppler/cpp/poppler-image.h>
#include <poppler/cpp/poppler-page-renderer.h>
#include <poppler/cpp/poppler-page.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

// The largest region rendered at once, in dots: the application never asks for more than a label.
constexpr long kMaxDots = 64L << 20;

void answer(const char* format, double a = 0, double b = 0) {
  std::printf(format, a, b);
  std::fflush(stdout);
}

void fail(const std::string& text) {
  std::printf("error %s\n", text.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: label-pdf-render FILE MAXPAGES\n");
    return 2;
  }
  poppler::set_debug_error_function([](const std::string&, void*) {}, nullptr);
  // Each page's bitmaps are as large as the last one's: kept on the heap rather than mapped afresh.
  mallopt(M_MMAP_THRESHOLD, 256 << 20);
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
  std::unique_ptr<poppler::document> document(poppler::document::load_from_file(argv[1]));
  if (document == nullptr || document->is_locked()) {
    fail(document == nullptr ? "The PDF document cannot be read."
                             : "The PDF document is locked with a password.");
    return 1;
  }
  const int pages = document->pages();
  if (pages < 1 || pages > std::atoi(argv[2])) {
    fail(pages < 1 ? "The PDF document has no pages."
                   : "The PDF document has " + std::to_string(pages) + " pages, more than " + argv[2] + ".");
    return 1;
  }
  std::printf("pages %d\n", pages);
  std::fflush(stdout);

  poppler::page_renderer renderer;
  renderer.set_render_hints(poppler::page_renderer::text_hinting);
  renderer.set_image_format(poppler::image::format_gray8);
  char line[256];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
    int page = -1, x = 0, y = 0, width = 0, height = 0;
    double dpi = 0;
    const bool size = std::sscanf(line, "size %d", &page) == 1;
    const bool render =
        !size && std::sscanf(line, "render %d %lf %d %d %d %d", &page, &dpi, &x, &y, &width, &height) == 6;
    std::unique_ptr<poppler::page> p(page >= 0 && page < pages ? document->create_page(page) : nullptr);
    if (p == nullptr || (!size && !render)) {
      fail("Bad command.");
      continue;
    }
    if (size) {
      const poppler::rectf box = p->page_rect(poppler::crop_box);
      const bool turned =
          p->orientation() == poppler::page::landscape || p->orientation() == poppler::page::seascape;
      answer("size %.3f %.3f\n", turned ? box.height() : box.width(), turned ? box.width() : box.height());
      continue;
    }
    if (dpi <= 0 || dpi > 9600 || width < 1 || height < 1 || long{width} * height > kMaxDots) {
      fail("Bad region.");
      continue;
    }
    const poppler::image image = renderer.render_page(p.get(), dpi, dpi, x, y, width, height);
    if (!image.is_valid() || image.format() != poppler::image::format_gray8 || image.width() != width ||
        image.height() != height) {
      fail("The page cannot be rendered.");
      continue;
    }
    std::printf("image %d %d\n", width, height);
    for (int row = 0; row < height; ++row)
      std::fwrite(image.const_data() + long{row} * image.bytes_per_row(), 1, width, stdout);
    std::fflush(stdout);
  }
  return 0;
}
