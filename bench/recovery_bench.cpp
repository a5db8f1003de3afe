// The recovery scan's speed and memory: one pass over a cached store on one core, reported in
// bytes per second, with the heap its result keeps per block found. The store is
// PALVARA_SCAN_STORE when set (a large sample, a shared store), else a generated one of about
// 160 MB. The argument picks the layouts looked for: 0 ANSI, 1 Unicode, 2 both (a store whose
// header is lost).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "reader/store_scan.h"
#include "writer/sample_generator.h"

namespace {

const std::filesystem::path& ScanSample() {
  static const std::filesystem::path path = [] {
    if (const char* given = std::getenv("PALVARA_SCAN_STORE"); given != nullptr && *given != 0) {
      return std::filesystem::path(given);
    }
    const auto p = std::filesystem::temp_directory_path() /
                   ("palvara-scan-bench-" + std::to_string(::getpid()) + ".pst");
    palvara::SampleOptions options;
    options.messages = 6000;
    palvara::WriteSampleStore(p, options, nullptr);
    std::atexit([] { std::filesystem::remove(ScanSample()); });
    return p;
  }();
  return path;
}

void BM_ScanCachedFile(benchmark::State& state) {
  palvara::Status status = palvara::Status::Ok();
  auto source = palvara::FileByteSource::Open(ScanSample(), &status);
  if (!source) {
    state.SkipWithError("the store could not be opened or written");
    return;
  }
  palvara::ScanOptions options;
  if (state.range(0) == 0) options.layout = palvara::ScanLayout::kAnsi;
  if (state.range(0) == 1) options.layout = palvara::ScanLayout::kUnicode;
  palvara::ScanStore(*source, options);  // warm the page cache
  std::size_t blocks = 0;
  double heapPerBlock = 0;
  for (auto _ : state) {
    const std::size_t before = mallinfo2().uordblks;
    palvara::ScanResult result = palvara::ScanStore(*source, options);
    // What the result keeps: the reading buffer is gone by now.
    const std::size_t after = mallinfo2().uordblks;
    blocks = 0;
    for (const auto* scan : {result.Of(palvara::ScanLayout::kAnsi),
                             result.Of(palvara::ScanLayout::kUnicode)}) {
      if (scan != nullptr) blocks += scan->blocks.size();
    }
    heapPerBlock =
        blocks == 0 ? 0 : static_cast<double>(after - before) / static_cast<double>(blocks);
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source->Size()));
  state.counters["blocks"] = static_cast<double>(blocks);
  state.counters["heapBytesPerBlock"] = heapPerBlock;
  state.counters["fileMB"] = static_cast<double>(source->Size()) / 1e6;
}
// A fixed count of passes, so that whole runs of two builds compare.
BENCHMARK(BM_ScanCachedFile)->Arg(0)->Arg(1)->Arg(2)->Iterations(4)->Unit(benchmark::kMillisecond);

}  // namespace
