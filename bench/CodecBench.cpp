// Codec benchmarks: GRFDataCompress on 4 x 6 in pages at 203 and 300 dpi, reported in bytes of bitmap
// per second.
//
//   build-release/bench/codec_bench [--benchmark_filter=REGEX] [other Google Benchmark flags]
//
// Content: "label" (eight labels drawn in code, taken in turn), "sample" (samples/shipping-label.ps
// through Ghostscript, left out when Ghostscript is missing), "white", "black" and "noise" (the worst
// case, eight pages in turn).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
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
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
