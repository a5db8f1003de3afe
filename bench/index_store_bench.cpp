// Times IndexStore (both B-tree walks and the encoding check) on the largest shared store,
// from memory so that the figure is the walk's own cost, not the disk's.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "reader/btree_walk.h"
#include "reader/store_file.h"

namespace {

std::filesystem::path LargestStore() {
  namespace fs = std::filesystem;
  fs::path best;
  std::uintmax_t bestSize = 0;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(fs::path(PALVARA_TESTDATA_DIR) / "stores", ec)) {
    if (e.is_regular_file() && e.file_size() > bestSize) {
      bestSize = e.file_size();
      best = e.path();
    }
  }
  return best;
}

void BM_IndexStore(benchmark::State& state) {
  const std::filesystem::path path = LargestStore();
  if (path.empty()) {
    state.SkipWithError("no test stores found");
    return;
  }
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> raw((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
  palvara::Bytes bytes(raw.size());
  std::transform(raw.begin(), raw.end(), bytes.begin(), [](char c) { return std::byte(c); });
  std::size_t nodes = 0;
  for (auto _ : state) {
    palvara::StoreFile store;
    palvara::OpenStore(store, std::make_unique<palvara::MemoryByteSource>(bytes), path.string());
    palvara::IndexStore(store);
    nodes = store.nodes.CreatedCount();
    benchmark::DoNotOptimize(nodes);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
  state.counters["nodes"] = static_cast<double>(nodes);
  state.SetLabel(path.filename().string());
}
BENCHMARK(BM_IndexStore)->Unit(benchmark::kMicrosecond);

}  // namespace


BENCHMARK_MAIN();
