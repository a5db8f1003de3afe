// The saving run end to end: a sample store read again, every folder written into a new PST
// through the native components, each item whole. Megabytes per second of source.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>

#include "export/saving_driver.h"
#include "writer/sample_generator.h"

namespace {

namespace fs = std::filesystem;
using namespace palvara;

void BM_SaveEveryFolder(benchmark::State& state) {
  const fs::path dir = fs::temp_directory_path() / ("palvara-save-bench-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  SampleOptions sample;
  sample.messages = static_cast<std::uint64_t>(state.range(0));
  if (!WriteSampleStore(dir / "source.pst", sample, nullptr).ok()) state.SkipWithError("no sample");
  AnalysisOptions analysisOptions;
  analysisOptions.sourcePath = dir / "source.pst";
  AnalysisObserver quiet;
  RunControl analysisControl;
  const AnalysisResult analysis = RunAnalysis(analysisOptions, quiet, analysisControl);
  SaveOptions options;
  options.sourcePath = dir / "source.pst";
  for (const TreeFolder& f : analysis.tree) options.selectedFolders.push_back(f.path);
  std::size_t items = 0;
  for (auto _ : state) {
    options.targetFolder = (dir / "out").string();
    SavingObserver observer;
    RunControl control;
    const SaveResult r = RunSave(options, observer, control);
    if (r.outcome != SaveResult::Outcome::kCompleted) state.SkipWithError("saving failed");
    items = static_cast<std::size_t>(r.Written());
    state.PauseTiming();
    fs::remove_all(dir / "out");
    state.ResumeTiming();
  }
  const auto size = fs::file_size(dir / "source.pst");
  fs::remove_all(dir);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * items));
  state.counters["sourceMB"] = static_cast<double>(size) / 1e6;
}
BENCHMARK(BM_SaveEveryFolder)->Arg(2000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
