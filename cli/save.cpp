#include "cli/save.h"

#include <unistd.h>

#include <nlohmann/json.hpp>
#include <ostream>

#include "cli/analyze.h"
#include "cli/interrupt.h"
#include "cli/progress_bar.h"
#include "export/saving_driver.h"
#include "shell/activity_log.h"

namespace palvara::cli {
namespace {

class SaveObserver : public SavingObserver {
 public:
  SaveObserver(std::ostream& err, std::int32_t start)
      : err_(err), bar_(err, ::isatty(STDERR_FILENO) == 1), start_(start) {}

  void Progress(const SavingProgress& p) override {
    bar_.Range(p.total);
    bar_.Position(p.saved - start_, p.currentFolder);
  }
  void Message(const std::string& text) override {
    bar_.End();
    err_ << text << "\n";
  }
  void Fatal(const std::string& text) override { Message(text); }
  void ItemFailed(const std::string& folder, const std::string& reason) override {
    bar_.End();
    err_ << "palvara-cli: an item of " << folder << " was not saved: " << reason << "\n";
  }
  void LogLine(const std::string& entry) override { WriteActivityLog(entry); }
  void Completed() override { bar_.End(); }

 private:
  std::ostream& err_;
  ProgressBar bar_;
  std::int32_t start_;
};

struct SaveArguments {
  std::string file;
  std::string to;
  std::vector<std::string> folders;
  bool all = false;
  bool json = false;
  ScanMode scan = ScanMode::kAuto;
};

bool Parse(const std::vector<std::string>& args, bool recover, SaveArguments& a, std::ostream& err) {
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool hasValue = i + 1 < args.size();
    if (arg == "--to" && hasValue) {
      a.to = args[++i];
    } else if (arg == "--folder" && hasValue && !recover) {
      a.folders.push_back(args[++i]);
    } else if (arg == "--all" && !recover) {
      a.all = true;
    } else if (arg == "--json") {
      a.json = true;
    } else if (arg == "--scan" || arg == "--no-scan") {
      a.scan = arg == "--scan" ? ScanMode::kForce : ScanMode::kOff;
    } else if (!arg.empty() && arg[0] == '-') {
      err << "palvara-cli: unknown option or missing value: " << arg << "\n";
      return false;
    } else if (a.file.empty()) {
      a.file = arg;
    } else {
      err << "palvara-cli: unexpected argument " << arg << "\n";
      return false;
    }
  }
  if (a.file.empty()) {
    err << "palvara-cli: " << args[0] << " needs FILE\n";
    return false;
  }
  if (!recover && (a.to.empty() || (a.folders.empty() && !a.all))) {
    err << "palvara-cli: save needs --to DIR and --folder PATH or --all\n";
    return false;
  }
  return true;
}

std::vector<std::string> TreePaths(const AnalysisResult& analysis) {
  std::vector<std::string> paths;
  for (const TreeFolder& f : analysis.tree) paths.push_back(f.path);
  return paths;
}

const char* OutcomeName(SaveResult::Outcome outcome) {
  switch (outcome) {
    case SaveResult::Outcome::kCompleted: return "completed";
    case SaveResult::Outcome::kAborted: return "aborted";
    case SaveResult::Outcome::kCannotRead: return "cannot-read";
    case SaveResult::Outcome::kAnalysisFailed: return "analysis-failed";
    case SaveResult::Outcome::kNoRootFolder: return "no-root-folder";
    case SaveResult::Outcome::kComponentMissing: return "component-missing";
    case SaveResult::Outcome::kOutputFailed: return "output-failed";
  }
  return "";
}

// Runs the saving and prints its outcome. Returns the exit code.
int Save(const SaveArguments& a, const std::vector<std::string>& selected,
         const AnalysisCounters& analysisCounters, std::ostream& out, std::ostream& err) {
  WriteActivityLog("\r\n");
  WriteActivityLog("Step3: Saving PST File");
  WriteActivityLog("Target Path: " + a.to);
  SaveOptions options;
  options.sourcePath = a.file;
  options.targetFolder = a.to;
  options.output.defaultTargetFolder = a.to;
  options.selectedFolders = selected;
  options.analysisCounters = analysisCounters;
  options.scan = a.scan;
  RunControl control;
  SaveObserver observer(err, options.itemCounter);
  SaveResult result;
  {
    InterruptStops interrupt(control);
    result = RunSave(options, observer, control);
  }
  control.savingActive = false;
  const bool saved = result.outcome == SaveResult::Outcome::kCompleted ||
                     result.outcome == SaveResult::Outcome::kAborted;
  if (a.json) {
    nlohmann::ordered_json counts = nlohmann::ordered_json::object();
    for (int i = 0; i < AnalysisCounters::kCount; ++i) {
      counts[AnalysisCounters::Name(i)] = result.saved.values[static_cast<std::size_t>(i)];
    }
    nlohmann::ordered_json kinds = nlohmann::ordered_json::object();
    for (std::size_t k = 0; k < result.kinds.size(); ++k) {
      kinds[SavedKindName(static_cast<SavedKind>(k))] = {{"written", result.kinds[k].written},
                                                         {"notWritten", result.kinds[k].notWritten}};
    }
    nlohmann::ordered_json unsaved = nlohmann::ordered_json::array();
    for (const UnsavedItem& u : result.unsaved) {
      unsaved.push_back({{"folder", u.folder}, {"kind", SavedKindName(u.kind)},
                         {"subject", u.subject}, {"reason", u.reason}});
    }
    nlohmann::ordered_json files = nlohmann::ordered_json::array();
    for (const auto& f : result.outputFiles) files.push_back(f.string());
    out << nlohmann::ordered_json{{"source", a.file},
                                  {"outcome", OutcomeName(result.outcome)},
                                  {"error", result.error},
                                  {"outputFiles", files},
                                  {"saved", counts},
                                  {"failedItems", result.failedItems},
                                  {"written", result.Written()},
                                  {"notWritten", result.failedItems},
                                  {"kinds", kinds},
                                  {"unsaved", unsaved},
                                  {"summary", result.summary}}
               .dump(2)
        << "\n";
  } else if (saved) {
    for (const auto& f : result.outputFiles) out << "Saved to: " << f.string() << "\n";
    std::string summary = result.summary;
    std::erase(summary, '\r');
    out << summary << "\n";
    for (std::size_t k = 0; k < result.kinds.size(); ++k) {
      const KindCount& c = result.kinds[k];
      if (c.written + c.notWritten == 0) continue;
      out << SavedKindName(static_cast<SavedKind>(k)) << ": " << c.written << " written";
      if (c.notWritten > 0) out << ", " << c.notWritten << " not written";
      out << "\n";
    }

  }
  return result.outcome == SaveResult::Outcome::kCompleted ? 0 : 1;
}

}  // namespace

int SaveCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  SaveArguments a;
  if (!Parse(args, false, a, err)) return 2;
  std::vector<std::string> selected = a.folders;
  AnalysisCounters counters;
  if (a.all) {
    // Every folder the tree shows: the analysis finds them.
    const AnalysisResult analysis = AnalyzeInForeground(a.file, false, err, a.scan);
    if (analysis.outcome == AnalysisResult::Outcome::kCannotOpen) {
      err << "palvara-cli: " << analysis.openError << "\n";
      return 1;
    }
    selected = TreePaths(analysis);
  }
  return Save(a, selected, counters, out, err);
}

int RecoverCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  SaveArguments a;
  if (!Parse(args, true, a, err)) return 2;
  if (a.to.empty()) {
    // As Save forms it from the chosen folder: here the current folder.
    std::error_code ec;
    a.to = (std::filesystem::current_path(ec) / "Repair").string();
  }
  const AnalysisResult analysis = AnalyzeInForeground(a.file, false, err, a.scan);
  if (analysis.outcome == AnalysisResult::Outcome::kCannotOpen) {
    err << "palvara-cli: " << analysis.openError << "\n";
    return 1;
  }
  if (!a.json) {
    ChildCounts items;
    for (const TreeFolder& f : analysis.tree) items += f.children;
    out << "Analysis: " << analysis.tree.size() << " folders, " << items.Items() << " items, "
        << analysis.damageReports << " damage reports\n";
  }
  if (!analysis.HasItems()) err << "palvara-cli: the analysis found no items\n";
  return Save(a, TreePaths(analysis), analysis.counters, out, err);
}

}  // namespace palvara::cli
