// The saving run end to end: a sample store read again, every folder written into a new PST
// through the native components, each item whole, or exported as mbox files (mail as MIME,
// contacts and calendars as vCard and iCalendar). Megabytes per second of source.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>

#include "export/open_output.h"
#include "export/saving_driver.h"
#include "writer/sample_generator.h"

namespace {

namespace fs = std::filesystem;
using namespace palvara;

// Runs `save` (which returns the items written) over a sample of state.range(0) messages with
// every folder selected.
template <typename Save>
void SaveSample(benchmark::State& state, const char* name, Save save) {
  const fs::path dir = fs::temp_directory_path() / (name + std::to_string(::getpid()));
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
  options.targetFolder = (dir / "out").string();
  for (const TreeFolder& f : analysis.tree) options.selectedFolders.push_back(f.path);
  std::size_t items = 0;
  for (auto _ : state) {
    items = save(options);
    if (items == 0) state.SkipWithError("nothing was written");
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

void BM_SaveEveryFolder(benchmark::State& state) {
  SaveSample(state, "palvara-save-bench-", [](SaveOptions& options) {
    SavingObserver observer;
    RunControl control;
    const SaveResult r = RunSave(options, observer, control);
    return r.outcome == SaveResult::Outcome::kCompleted ? static_cast<std::size_t>(r.Written()) : 0;
  });
}
BENCHMARK(BM_SaveEveryFolder)->Arg(2000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ExportEveryFolderToMbox(benchmark::State& state) {
  SaveSample(state, "palvara-export-bench-", [](SaveOptions& options) {
    OpenFormatOutput output({.mbox = true}, options.targetFolder);
    options.target = &output;
    SavingObserver observer;
    RunControl control;
    const SaveResult r = RunSave(options, observer, control);
    std::size_t items = 0;
    for (const auto& [path, n] : output.MessagesByFolder()) items += static_cast<std::size_t>(n);
    return r.outcome == SaveResult::Outcome::kCompleted ? items : 0;
  });
}
BENCHMARK(BM_ExportEveryFolderToMbox)->Arg(2000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
