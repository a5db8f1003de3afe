// Saving fuzz target: the input is a whole store file; it is analysed and every folder the
// analysis finds is saved into a new PST, which must pass the structure check.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "export/saving_driver.h"
#include "writer/store_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace palvara;
  namespace fs = std::filesystem;
  static const fs::path dir = fs::temp_directory_path() / ("palvara-save-fuzz-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const fs::path source = dir / "input.pst";
  std::ofstream(source, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));

  AnalysisOptions analysisOptions;
  analysisOptions.sourcePath = source;
  AnalysisObserver quietAnalysis;
  RunControl analysisControl;
  const AnalysisResult analysis = RunAnalysis(analysisOptions, quietAnalysis, analysisControl);
  SaveOptions options;
  options.sourcePath = source;
  options.targetFolder = (dir / "out").string();
  for (const TreeFolder& f : analysis.tree) options.selectedFolders.push_back(f.path);
  SavingObserver quiet;
  RunControl control;
  const SaveResult saved = RunSave(options, quiet, control);
  for (const fs::path& file : saved.outputFiles) {
    // Whatever the input, the new store is sound.
    if (CheckStore(file).Errors() != 0) std::abort();
  }
  std::error_code ec;
  fs::remove_all(dir / "out", ec);
  return 0;
}
