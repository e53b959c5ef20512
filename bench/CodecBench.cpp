// SPDX-License-Identifier: Apache-2.0
// Codec benchmarks: GRFDataCompress and the decoders (block and single-character, each also bounded) on
// 4 x 6 in pages at 203 and 300 dpi, all reported in bytes of bitmap per second.
//
//   build-release/bench/codec_bench [--benchmark_filter=REGEX] [other Google Benchmark flags]
//
// Content: "label" (eight labels drawn in code, taken in turn), "sample" (samples/shipping-label.ps
// through Ghostscript, left out when Ghostscript is missing), "white", "black" and "noise" (the worst
// case, eight pages in turn). The decoders read the compressor's text of the label, sample and noise
// pages.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "LabelPages.h"
#include "grf/DataComDecompress.h"

namespace {

constexpr uint32_t kVariants = 8;  // label and noise pages per benchmark

// Pages of one kind and size; a benchmark takes them in turn, so that no single page's branches are
// learnt by the processor as they would be if one page were encoded over and over.
struct namedPages {
  std::string name;
  std::vector<benchPage> pages;
};

void compressPages(benchmark::State& state, const std::vector<benchPage>& pages) {
  std::vector<unsigned char> text(GRFCompressBound(pages[0].bitmap.size(), pages[0].rowBytes));
  uint64_t length = 0, bytes = 0, textBytes = 0;
  size_t next = 0;
  for (auto _ : state) {
    const benchPage& page = pages[next];
    next = next + 1 == pages.size() ? 0 : next + 1;
    GRFDataCompress(page.bitmap.data(), page.bitmap.size(), page.rowBytes, text.data(), &length);
    benchmark::DoNotOptimize(text.data());
    benchmark::ClobberMemory();
    bytes += page.bitmap.size();
    textBytes += length;
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["text_per_page"] = static_cast<double>(textBytes) / static_cast<double>(state.iterations());
}

// A page's GRF text, for the decoders.
struct encodedPage {
  uint64_t rowBytes;
  uint64_t bitmapBytes;
  std::vector<unsigned char> text;
};

std::vector<encodedPage> encodePages(const std::vector<benchPage>& pages) {
  std::vector<encodedPage> encoded;
  for (const auto& page : pages) {
    encodedPage e{page.rowBytes, page.bitmap.size(), {}};
    e.text.resize(GRFCompressBound(page.bitmap.size(), page.rowBytes));
    uint64_t length = 0;
    GRFDataCompress(page.bitmap.data(), page.bitmap.size(), page.rowBytes, e.text.data(), &length);
    e.text.resize(length);
    // Every decoder must give the page back, or its figures mean nothing.
    std::vector<unsigned char> bitmap(page.bitmap.size());
    uint64_t bitmapLength = 0;
    if (GRFDataDecompress(e.text.data(), length, page.rowBytes, bitmap.data(), &bitmapLength) != 0 ||
        bitmap != page.bitmap) {
      std::fputs("GRFDataDecompress does not give back the page\n", stderr);
      std::exit(1);
    }
    encoded.push_back(std::move(e));
  }
  return encoded;
}

enum class decoder { block, blockBounded, singleChar, singleCharBounded };

// 'decodePages()' - decode the texts in turn with one decoder; bytes processed are bitmap bytes.
void decodePages(benchmark::State& state, const std::vector<encodedPage>& pages, decoder which) {
  std::vector<unsigned char> bitmap(pages[0].bitmapBytes);
  uint64_t bytes = 0;
  size_t next = 0;
  for (auto _ : state) {
    const encodedPage& page = pages[next];
    next = next + 1 == pages.size() ? 0 : next + 1;
    const unsigned char* text = page.text.data();
    const uint64_t length = page.text.size();
    uint64_t bitmapLength = 0;
    if (which == decoder::block) {
      GRFDataDecompress(text, length, page.rowBytes, bitmap.data(), &bitmapLength);
    } else if (which == decoder::blockBounded) {
      GRFDataDecompressBounded(text, length, page.rowBytes, bitmap.data(), bitmap.size(), &bitmapLength);
    } else {
      uint64_t offset = 0, repeat = 1, phase = 0;
      unsigned char pending = 0;
      for (uint64_t i = 0; i < length; ++i) {
        if (which == decoder::singleChar)
          GRFDataDecompressSingleCharProcess(text[i], page.rowBytes, &offset, &pending, &repeat,
                                             &bitmapLength, &phase, bitmap.data(), page.bitmapBytes);
        else
          GRFDataDecompressSingleCharProcessBounded(text[i], page.rowBytes, &offset, &pending, &repeat,
                                                    &bitmapLength, &phase, bitmap.data(), page.bitmapBytes,
                                                    bitmap.size());
      }
    }
    if (bitmapLength != page.bitmapBytes) state.SkipWithError("the text did not decode to the whole page");
    benchmark::DoNotOptimize(bitmap.data());
    benchmark::ClobberMemory();
    bytes += page.bitmapBytes;
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

std::vector<namedPages> benchPages() {
  std::vector<namedPages> pages;
  for (const unsigned dpi : {203u, 300u}) {
    std::string suffix = "/";
    suffix += std::to_string(dpi);
    const unsigned width = dpi * 4, height = dpi * 6;
    namedPages labels{"label" + suffix, {}};
    for (uint32_t variant = 0; variant < kVariants; ++variant)
      labels.pages.push_back(labelPage(dpi, variant));
    pages.push_back(labels);
    benchPage sample;
    if (renderSamplePage(LABEL_SAMPLE_PS, dpi, &sample))
      pages.push_back({"sample" + suffix, {sample}});
    else
      std::fprintf(stderr, "Ghostscript did not render %s: no sample benchmarks\n", LABEL_SAMPLE_PS);
    pages.push_back({"white" + suffix, {emptyPage(width, height, 0x00)}});
    pages.push_back({"black" + suffix, {emptyPage(width, height, 0xFF)}});
    namedPages noise{"noise" + suffix, {}};
    for (uint32_t seed = 0; seed < kVariants; ++seed) noise.pages.push_back(noisePage(dpi, seed));
    pages.push_back(noise);
  }
  return pages;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // The pages live until the benchmarks have run; the registrations refer to them.
  static const std::vector<namedPages> pages = benchPages();
  for (const auto& p : pages)
    benchmark::RegisterBenchmark(("compress/" + p.name).c_str(), compressPages, p.pages);

  // The decoders on the texts of the label, sample and noise pages.
  static std::vector<std::pair<std::string, std::vector<encodedPage>>> texts;
  for (const auto& p : pages)
    if (p.name.rfind("white", 0) != 0 && p.name.rfind("black", 0) != 0)
      texts.emplace_back(p.name, encodePages(p.pages));
  const std::pair<const char*, decoder> decoders[] = {{"decompress/", decoder::block},
                                                      {"decompress-bounded/", decoder::blockBounded},
                                                      {"decode-char/", decoder::singleChar},
                                                      {"decode-char-bounded/", decoder::singleCharBounded}};
  for (const auto& [prefix, which] : decoders)
    for (const auto& [name, encoded] : texts)
      benchmark::RegisterBenchmark((prefix + name).c_str(), decodePages, encoded, which);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
