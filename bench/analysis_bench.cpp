// Times the whole analysis run (open, index, load and classify every item) on the largest
// shared stores; reports items and bytes per second.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>

#include "items/analysis.h"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> LargestStores(std::size_t n) {
  std::vector<fs::path> stores;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(fs::path(PALVARA_TESTDATA_DIR) / "stores", ec)) {
    if (e.is_regular_file()) stores.push_back(e.path());
  }
  std::sort(stores.begin(), stores.end(), [](const fs::path& a, const fs::path& b) {
    return fs::file_size(a) > fs::file_size(b);
  });
  if (stores.size() > n) stores.resize(n);
  return stores;
}

void BM_RunAnalysis(benchmark::State& state) {
  const std::vector<fs::path> stores = LargestStores(3);
  if (stores.size() <= static_cast<std::size_t>(state.range(0))) {
    state.SkipWithError("no test stores found");
    return;
  }
  const fs::path& store = stores[static_cast<std::size_t>(state.range(0))];
  palvara::AnalysisOptions options;
  options.sourcePath = store;
  palvara::AnalysisObserver quiet;
  std::int64_t items = 0;
  for (auto _ : state) {
    palvara::RunControl control;
    const palvara::AnalysisResult result = palvara::RunAnalysis(options, quiet, control);
    for (const auto& folder : result.tree) {
      const auto& c = folder.children;
      items += c.mail + c.contact + c.appointment + c.task + c.note + c.journal + c.other;
    }
  }
  state.SetItemsProcessed(items);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * fs::file_size(store)));
  state.SetLabel(store.filename().string());
}
BENCHMARK(BM_RunAnalysis)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

}  // namespace
