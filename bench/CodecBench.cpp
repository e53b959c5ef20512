// Codec benchmarks: GRFDataCompress on 4 x 6 in pages at 203 and 300 dpi, reported in bytes of bitmap
// per second.
//
//   build-release/bench/codec_bench [--benchmark_filter=REGEX] [other Google Benchmark flags]
//
// Content: "label" (drawn in code), "sample" (samples/shipping-label.ps through Ghostscript, left out when
// Ghostscript is missing), "white", "black" and "noise" (the worst case).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "LabelPages.h"
#include "grf/DataComDecompress.h"

namespace {

struct namedPage {
  std::string name;
  benchPage page;
};

void compressPage(benchmark::State& state, const benchPage& page) {
  std::vector<unsigned char> text(GRFCompressBound(page.bitmap.size(), page.rowBytes));
  uint64_t length = 0;
  for (auto _ : state) {
    GRFDataCompress(page.bitmap.data(), page.bitmap.size(), page.rowBytes, text.data(), &length);
    benchmark::DoNotOptimize(text.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.bitmap.size()));
  state.counters["text_bytes"] = static_cast<double>(length);
}

std::vector<namedPage> benchPages() {
  std::vector<namedPage> pages;
  for (const unsigned dpi : {203u, 300u}) {
    std::string suffix = "/";
    suffix += std::to_string(dpi);
    const unsigned width = dpi * 4, height = dpi * 6;
    pages.push_back({"label" + suffix, labelPage(dpi, 1)});
    benchPage sample;
    if (renderSamplePage(LABEL_SAMPLE_PS, dpi, &sample))
      pages.push_back({"sample" + suffix, sample});
    else
      std::fprintf(stderr, "Ghostscript did not render %s: no sample benchmarks\n", LABEL_SAMPLE_PS);
    pages.push_back({"white" + suffix, emptyPage(width, height, 0x00)});
    pages.push_back({"black" + suffix, emptyPage(width, height, 0xFF)});
    pages.push_back({"noise" + suffix, noisePage(dpi, 7)});
  }
  return pages;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // The pages live until the benchmarks have run; the registrations refer to them.
  static const std::vector<namedPage> pages = benchPages();
  for (const auto& p : pages)
    benchmark::RegisterBenchmark(("compress/" + p.name).c_str(), compressPage, p.page);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
