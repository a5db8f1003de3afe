// Export fuzz target: the input is a whole store file; every folder the analysis finds is
// exported in every open format into a fresh folder in which links to a sibling folder are
// planted under the names the export uses. Nothing may be created or changed outside the
// target, no link may be followed or replaced, and nothing unfinished may be left.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "export/open_output.h"
#include "export/saving_driver.h"
#include "tests/export/tree_files.h"

namespace {

namespace fs = std::filesystem;

// Links planted in the target: where a folder, a collection file and an item file would go.
const std::pair<const char*, const char*> kLinks[] = {
    {"Inbox", "../sentinel"},
    {"Maildir", "../sentinel"},
    {"mbox", "../sentinel/mbox"},
    {"contacts.vcf", "../sentinel/contacts.vcf"},
    {"00001 (no subject).eml", "../sentinel/eml"},
    {"Contacts", "../sentinel"},
};

void Export(const fs::path& source, const std::vector<std::string>& folders,
            palvara::OpenFormats formats, const fs::path& sandbox) {
  using namespace palvara;
  const fs::path out = sandbox / "out", sentinel = sandbox / "sentinel";
  fs::create_directories(out);
  fs::create_directories(sentinel);
  for (const auto& [name, target] : kLinks) fs::create_symlink(target, out / name);
  {
    OpenFormatOutput output(formats, out);
    SaveOptions options;
    options.sourcePath = source;
    options.targetFolder = out.string();
    options.selectedFolders = folders;
    options.target = &output;
    SavingObserver quiet;
    RunControl control;
    RunSave(options, quiet, control);
  }
  // The sibling stays empty and nothing else appears beside the target; the planted links
  // stay as they were, and no other link, hidden file or unfinished file is left in it.
  if (!testing::ListTree(sentinel).empty()) std::abort();
  for (const auto& [path, entry] : testing::ListTree(sandbox)) {
    if (path.find('/') == std::string::npos && path != "out" && path != "sentinel") std::abort();
  }
  const auto tree = testing::ListTree(out);
  for (const auto& [path, entry] : tree) {
    const std::string name = path.substr(path.rfind('/') + 1);
    if (entry.type == 'l') {
      bool planted = false;
      for (const auto& [link, target] : kLinks)
        planted = planted || (path == link && entry.content == target);
      if (!planted) std::abort();
    } else if (entry.type == 'f' && (name.starts_with(".") || name.ends_with(".part"))) {
      std::abort();
    }
  }
  testing::RemoveTree(sandbox);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace palvara;
  std::string base = (fs::temp_directory_path() / "palvara-export-fuzz-XXXXXX").string();
  if (::mkdtemp(base.data()) == nullptr) std::abort();
  const fs::path dir = base;
  const fs::path source = dir / "input.pst";
  std::ofstream(source, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));

  AnalysisOptions analysisOptions;
  analysisOptions.sourcePath = source;
  AnalysisObserver quietAnalysis;
  RunControl analysisControl;
  const AnalysisResult analysis = RunAnalysis(analysisOptions, quietAnalysis, analysisControl);
  std::vector<std::string> folders;
  for (const TreeFolder& f : analysis.tree) folders.push_back(f.path);
  // Every format at once, and the Maildir alone (which makes no folder directories).
  Export(source, folders, {true, true, true}, dir / "all");
  Export(source, folders, {false, true, false}, dir / "maildir");
  testing::RemoveTree(dir);
  return 0;
}
