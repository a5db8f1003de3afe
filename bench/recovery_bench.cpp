// The recovery scan's speed and memory: one pass over a cached generated store on one core,
// reported in bytes per second, with the heap it keeps per block found.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <filesystem>

#include "reader/store_scan.h"
#include "writer/sample_generator.h"

namespace {

// A generated store of about 100 MB, written once per run.
const std::filesystem::path& ScanSample() {
  static const std::filesystem::path path = [] {
    const auto p = std::filesystem::temp_directory_path() / ("palvara-scan-bench-" + std::to_string(::getpid()) + ".pst");
    palvara::SampleOptions options;
    options.messages = 6000;
    palvara::WriteSampleStore(p, options, nullptr);
    return p;
  }();
  return path;
}

void BM_ScanCachedFile(benchmark::State& state) {
  palvara::Status status = palvara::Status::Ok();
  auto source = palvara::FileByteSource::Open(ScanSample(), &status);
  if (!source) {
    state.SkipWithError("the sample store could not be written");
    return;
  }
  palvara::ScanOptions options;
  options.layout = palvara::ScanLayout::kUnicode;
  palvara::ScanStore(*source, options);  // warm the page cache
  std::size_t blocks = 0;
  double heapPerBlock = 0;
  for (auto _ : state) {
    const std::size_t before = mallinfo2().uordblks;
    palvara::ScanResult result = palvara::ScanStore(*source, options);
    const std::size_t after = mallinfo2().uordblks;
    blocks = result.unicode->blocks.size();
    heapPerBlock = blocks == 0 ? 0 : static_cast<double>(after - before) / static_cast<double>(blocks);
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source->Size()));
  state.counters["blocks"] = static_cast<double>(blocks);
  state.counters["heapBytesPerBlock"] = heapPerBlock;
  state.counters["fileMB"] = static_cast<double>(source->Size()) / 1e6;
}
BENCHMARK(BM_ScanCachedFile)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
