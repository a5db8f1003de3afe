#include "cli/save.h"

#include <unistd.h>

#include <nlohmann/json.hpp>
#include <algorithm>
#include <ostream>

#include "cli/analyze.h"
#include "cli/exit_codes.h"
#include "cli/interrupt.h"
#include "cli/json_text.h"
#include "cli/progress_bar.h"
#include "common/folder_path.h"
#include "export/open_output.h"
#include "export/saving_driver.h"
#include "shell/activity_log.h"

namespace palvara::cli {
namespace {

class SaveObserver : public SavingObserver {
 public:
  SaveObserver(std::ostream& err, std::int32_t start, RunControl& control)
      : err_(err), bar_(err, ::isatty(STDERR_FILENO) == 1), start_(start), control_(control) {}

  void Progress(const SavingProgress& p) override {
    // The run clears its stop flag when it starts: a signal that came before still stops it.
    if (Interrupted()) control_.stopSaving = true;
    bar_.Range(p.total);
    bar_.Position(p.saved - start_, p.currentFolder);
  }
  // The run's failures come back in its result and are printed once, with their reason.
  void Message(const std::string& /*text*/) override { bar_.End(); }
  void Fatal(const std::string& /*text*/) override { bar_.End(); }
  void ItemFailed(const std::string& folder, const std::string& reason) override {
    bar_.End();
    err_ << "palvara-cli: an item of " << folder << " was not saved: " << reason << "\n";
  }
  void LogLine(const std::string& entry) override { WriteActivityLog(entry); }
  void Notice(const std::string& text) override {
    bar_.End();
    err_ << "palvara-cli: " << text << "\n";
    WriteActivityLog(text);
  }
  void Completed() override { bar_.End(); }

 private:
  std::ostream& err_;
  ProgressBar bar_;
  std::int32_t start_;
  RunControl& control_;
};

struct SaveArguments {
  std::string file;
  std::string to;
  std::vector<std::string> folders;
  bool all = false;
  bool json = false;
  std::optional<OpenFormats> formats;  // export: the open formats instead of a new PST
  ScanMode scan = ScanMode::kAuto;
};

bool Parse(const std::vector<std::string>& args, bool recover, SaveArguments& a, std::ostream& err) {
  const bool exporting = args[0] == "export";
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool hasValue = i + 1 < args.size();
    if (arg == "--to" && hasValue) {
      a.to = args[++i];
    } else if (arg == "--folder" && hasValue && !recover) {
      a.folders.push_back(args[++i]);
    } else if (arg == "--all" && !recover) {
      a.all = true;
    } else if (arg == "--format" && hasValue && exporting) {
      a.formats = ParseOpenFormats(args[++i]);
      if (!a.formats) {
        err << "palvara-cli: --format takes mbox, maildir, eml or all\n";
        return false;
      }
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
    err << "palvara-cli: " << args[0] << " needs --to DIR and --folder PATH or --all\n";
    return false;
  }
  if (exporting && !a.formats) {
    err << "palvara-cli: export needs --format mbox|maildir|eml|all\n";
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

int ExitStatusOf(SaveResult::Outcome outcome) {
  switch (outcome) {
    case SaveResult::Outcome::kCompleted: return kExitOk;
    case SaveResult::Outcome::kAborted: return kExitStopped;
    case SaveResult::Outcome::kCannotRead:
    case SaveResult::Outcome::kAnalysisFailed:
    case SaveResult::Outcome::kNoRootFolder: return kExitCannotRead;
    case SaveResult::Outcome::kComponentMissing:
    case SaveResult::Outcome::kOutputFailed: return kExitCannotWrite;
  }
  return kExitCannotWrite;
}

// Runs the saving and prints its outcome. Returns the exit code.
int Save(const SaveArguments& a, const std::vector<std::string>& selected,
         const AnalysisCounters& analysisCounters, std::ostream& out, std::ostream& err,
         std::shared_ptr<StoreFile> store = nullptr) {
  WriteActivityLog("\r\n");
  WriteActivityLog(a.formats ? "Step3: Exporting" : "Step3: Saving PST File");
  WriteActivityLog("Target Path: " + a.to);
  SaveOptions options;
  options.sourcePath = a.file;
  options.targetFolder = a.to;
  options.output.defaultTargetFolder = a.to;
  options.selectedFolders = selected;
  options.analysisCounters = analysisCounters;
  options.store = std::move(store);
  std::optional<OpenFormatOutput> openOutput;
  if (a.formats) {
    openOutput.emplace(*a.formats, a.to);
    options.target = &*openOutput;
  }
  options.scan = a.scan;
  RunControl control;
  SaveObserver observer(err, options.itemCounter, control);
  SaveResult result;
  {
    InterruptStops interrupt(control);
    result = RunSave(options, observer, control);
  }
  control.savingActive = false;
  // A stop that came after the last item still makes the run a stopped one.
  if (result.outcome == SaveResult::Outcome::kCompleted && Interrupted()) {
    result.outcome = SaveResult::Outcome::kAborted;
  }
  const bool stopped = result.outcome == SaveResult::Outcome::kAborted;
  const bool saved = result.outcome == SaveResult::Outcome::kCompleted || stopped;
  if (!saved) err << "palvara-cli: " << result.error << "\n";
  if (stopped) err << "palvara-cli: stopped\n";
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
    nlohmann::ordered_json report = {{"source", a.file},
                                     {"outcome", OutcomeName(result.outcome)}};
    if (!saved) report["error"] = result.error;
    if (stopped) report["stopped"] = true;
    report["outputFiles"] = files;
    report["saved"] = counts;
    report["failedItems"] = result.failedItems;
    report["written"] = result.Written();
    report["notWritten"] = result.failedItems;
    report["kinds"] = kinds;
    report["unsaved"] = unsaved;
    report["summary"] = result.summary;
    if (openOutput) {
      // Where each folder went (its directory, its Maildir++ folder, the collection files under
      // the names they got) and how many messages it holds there.
      nlohmann::ordered_json folders = nlohmann::ordered_json::object();
      for (const std::string& path : selected) {
        const auto written = openOutput->MessagesByFolder().find(path);
        const OpenFormatOutput::Placement placed = openOutput->PlacementOf(path);
        nlohmann::ordered_json collectionFiles = nlohmann::ordered_json::array();
        for (const auto& f : placed.files) collectionFiles.push_back(f.string());
        folders[path] = {{"directory", placed.directory.string()},
                         {"messages", written == openOutput->MessagesByFolder().end() ? 0 : written->second},
                         {"maildir", placed.maildir.string()},
                         {"files", collectionFiles}};
      }
      report["folders"] = folders;
      report["notices"] = result.notices;
    }
    out << JsonDump(report) << "\n";
  } else if (saved) {
    for (const auto& f : result.outputFiles) out << (a.formats ? "Exported to: " : "Saved to: ") << f.string() << "\n";
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
  return ExitStatusOf(result.outcome);
}

// A stop that came while nothing ran: nothing more is started.
int ReportStopped(bool json, std::ostream& out, std::ostream& err) {
  err << "palvara-cli: stopped\n";
  if (json) out << JsonDump(nlohmann::json{{"stopped", true}}) << "\n";
  return kExitStopped;
}

// The folders of `selected` that the tree does not show, named with the known ones; 0 when
// every one is known.
int CheckSelectedFolders(const std::vector<std::string>& selected,
                         const std::vector<std::string>& known, bool json, std::ostream& out,
                         std::ostream& err) {
  std::vector<std::string> unknown;
  for (const std::string& path : selected) {
    if (std::find(known.begin(), known.end(), path) == known.end()) unknown.push_back(path);
  }
  if (unknown.empty()) return kExitOk;
  std::string text = "no such folder in the store:";
  for (const std::string& path : unknown) text += " \"" + path + "\"";
  err << "palvara-cli: " << text << "\nThe store's folders are:\n";
  for (const std::string& path : known) err << "  " << path << "\n";
  if (json) {
    out << JsonDump(nlohmann::json{{"error", text}, {"unknownFolders", unknown},
                                   {"folders", known}})
        << "\n";
  }
  return kExitCannotRead;
}

}  // namespace

int SaveCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  SaveArguments a;
  if (!Parse(args, false, a, err)) return kExitUsage;
  StopSignals stopSignals;
  // The folders the tree shows, to save them all or to know the ones named. The saving run
  // reads every item itself: here the items are not loaded.
  const AnalysisResult analysis = AnalyzeInForeground(a.file, false, err, a.scan, true);
  if (const int failed = ReportUnusableAnalysis(analysis, a.json, out, err)) return failed;
  if (Interrupted()) return ReportStopped(a.json, out, err);
  const std::vector<std::string> known = TreePaths(analysis);
  if (!a.all) {
    for (std::string& path : a.folders) path = ResolveFolderPath(path, known);
    if (const int failed = CheckSelectedFolders(a.folders, known, a.json, out, err)) return failed;
  }
  // The saving reads the store the analysis opened and indexed.
  return Save(a, a.all ? known : a.folders, AnalysisCounters{}, out, err, analysis.store);
}

int RecoverCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  SaveArguments a;
  if (!Parse(args, true, a, err)) return kExitUsage;
  if (a.to.empty()) {
    // As Save forms it from the chosen folder: here the current folder.
    std::error_code ec;
    a.to = (std::filesystem::current_path(ec) / "Repair").string();
  }
  StopSignals stopSignals;
  const AnalysisResult analysis = AnalyzeInForeground(a.file, false, err, a.scan);
  if (const int failed = ReportUnusableAnalysis(analysis, a.json, out, err)) return failed;
  if (!a.json) {
    ChildCounts items;
    for (const TreeFolder& f : analysis.tree) items += f.children;
    out << "Analysis: " << analysis.tree.size() << " folders, " << items.Items() << " items, "
        << analysis.damageReports << " damage reports\n";
  }
  if (Interrupted()) return ReportStopped(a.json, out, err);
  if (!analysis.HasItems()) err << "palvara-cli: the analysis found no items\n";
  return Save(a, TreePaths(analysis), analysis.counters, out, err, analysis.store);
}

}  // namespace palvara::cli
