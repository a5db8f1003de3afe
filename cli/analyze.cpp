#include "cli/analyze.h"

#include <unistd.h>

#include <array>
#include <cstdio>
#include <ostream>

#include "cli/exit_codes.h"
#include "cli/interrupt.h"
#include "cli/json_text.h"
#include "cli/progress_bar.h"
#include "common/memory.h"
#include "common/text.h"
#include "reader/store_file.h"
#include "shell/activity_log.h"
#include "shell/app_settings.h"

namespace palvara::cli {
namespace {

class CliObserver : public AnalysisObserver {
 public:
  CliObserver(std::ostream& err, bool progressBar) : err_(err), bar_(err, progressBar) {}

  void ProgressRange(std::int32_t maximum) override { bar_.Range(maximum); }
  void Progress(std::int32_t position) override { bar_.Position(position); }
  void Message(const std::string& text) override {
    // The messages that end a run are printed once, with their reason, by the command.
    if (text == kMessageFileInUse || text == kMessageCannotRead ||
        text == kMessageNoPersonalFolder || text == kMessageCorrupted || text == kMessageAborted) {
      return;
    }
    bar_.End();
    err_ << text << "\n";
  }
  void LogLine(const std::string& entry) override { WriteActivityLog(entry); }

 private:
  std::ostream& err_;
  ProgressBar bar_;
};

nlohmann::ordered_json ChildrenJson(const ChildCounts& c) {
  return {{"mail", c.mail},   {"contact", c.contact}, {"appointment", c.appointment},
          {"task", c.task},   {"note", c.note},       {"journal", c.journal},
          {"other", c.other}, {"hidden", c.hidden}};
}

// One damage report: what kind, where, what it cost; fields that are not known are left out.
nlohmann::ordered_json DamageEntryJson(const DamageEntry& e) {
  const DamageReport& r = e.report;
  nlohmann::ordered_json j = {{"kind", DamageKindName(r.kind)}, {"structure", r.structure}};
  if (r.offset != 0) j["offset"] = r.offset;
  if (r.size != 0) j["size"] = r.size;
  if (r.nodeId != 0) j["nodeId"] = r.nodeId;
  if (e.index) j["index"] = true;
  if (!e.folder.empty()) j["folder"] = e.folder;
  if (!e.item.empty()) j["item"] = e.item;
  j["text"] = r.text;
  return j;
}

// Where in the file the recovery pass found what it brought back.
nlohmann::ordered_json RecoveredJson(const AnalysisResult& r) {
  nlohmann::ordered_json recovered = nlohmann::ordered_json::array();
  if (r.store) {
    for (const FileExtent& x : r.store->recovery.recoveredExtents) {
      recovered.push_back({{"offset", x.offset}, {"size", x.size}});
    }
  }
  return recovered;
}

// The damage the run met, and where in the file the recovery pass found what it brought back.
nlohmann::ordered_json DamageJson(const AnalysisResult& r) {
  nlohmann::ordered_json kinds = nlohmann::ordered_json::object();
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const DamageEntry& e : r.damage) {
    const char* kind = DamageKindName(e.report.kind);
    kinds[kind] = kinds.value(kind, 0) + 1;
    list.push_back(DamageEntryJson(e));
  }
  return {{"reports", r.damageReports},
          {"kinds", kinds},
          {"list", list},
          {"recovered", RecoveredJson(r)}};
}

}  // namespace

nlohmann::ordered_json AnalysisJson(const AnalysisResult& r, bool withItems) {
  nlohmann::ordered_json j;
  j["source"] = r.source.string();
  j["format"] = r.format;
  j["wVer"] = r.wVer;
  j["encoding"] = r.encoding;
  nlohmann::ordered_json counters = nlohmann::ordered_json::object();
  for (int i = 0; i < AnalysisCounters::kCount; ++i) {
    counters[AnalysisCounters::Name(i)] = r.counters.values[static_cast<std::size_t>(i)];
  }
  j["counters"] = counters;
  nlohmann::ordered_json folders = nlohmann::ordered_json::array();
  ChildCounts total;
  for (const TreeFolder& f : r.tree) {
    std::int32_t itemCount = 0;
    for (const FolderEntry& e : r.folders) {
      if (e.nodeId == f.nodeId) itemCount = e.itemCount;
    }
    folders.push_back({{"path", f.path},
                       {"nodeId", f.nodeId},
                       {"containerClass", f.containerClass},
                       {"mailFolder", f.mailFolder},
                       {"itemCount", itemCount},
                       {"children", ChildrenJson(f.children)}});
    total += f.children;
  }
  j["folders"] = folders;
  nlohmann::ordered_json items = ChildrenJson(total);
  items.erase("hidden");
  j["items"] = items;
  j["damage"] = DamageJson(r);
  j["recovered"] = {{"items", r.itemsFromScan}, {"folders", r.foldersFromScan}};
  if (withItems) {
    nlohmann::ordered_json messages = nlohmann::ordered_json::array();
    for (const ItemSummary& s : r.items) {
      messages.push_back(
          {{"folder", s.folder},
           {"nodeId", s.nodeId},
           {"class", s.messageClass},
           {"subject", s.subject},
           {"sender", s.sender},
           {"deliveryTime", s.deliveryTime && s.deliveryTime->size() >= 8
                                ? nlohmann::ordered_json(FileTimeToIso8601(*LoadLe64(*s.deliveryTime, 0)))
                                : nlohmann::ordered_json(nullptr)},
           {"attachments", s.attachments},
           {"bodyBytes", s.bodyBytes},
           {"recoveredBy", s.fromScan ? "scan" : "tree"}});
    }
    j["messages"] = messages;
  }
  return j;
}

AnalysisResult AnalyzeInForeground(const std::string& file, bool items, std::ostream& err,
                                   ScanMode scan, bool foldersOnly) {
  if (!LoadCompanionLibrary()) {
    err << "palvara-cli: warning: the companion library libItemDecodeA.so is missing\n";
  }
  WriteStartBanner();
  WriteActivityLog("\r\n");
  WriteActivityLog("Step1:");
  std::string upper = file;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  WriteActivityLog("Select Source Path: " + upper);

  AnalysisOptions options;
  options.sourcePath = file;
  options.collectItems = items;
  options.scan = scan;
  options.foldersOnly = foldersOnly;
  // Nothing here shows the wizard's item lists: counting is enough.
  options.keepItemLists = false;
  RunControl control;
  CliObserver observer(err, ::isatty(STDERR_FILENO) == 1);
  AnalysisResult result;
  {
    InterruptStops interrupt(control);
    result = RunAnalysis(options, observer, control);
  }
  return result;
}

int ReportUnusableAnalysis(const AnalysisResult& result, bool json, std::ostream& out,
                           std::ostream& err) {
  std::string text;
  switch (result.outcome) {
    case AnalysisResult::Outcome::kCompleted:
    case AnalysisResult::Outcome::kAborted:  // stopped: the caller prints what was found
      return kExitOk;
    case AnalysisResult::Outcome::kCannotOpen:
      text = std::string(kMessageFileInUse) + " (" + result.openError + ")";
      break;
    case AnalysisResult::Outcome::kCannotRead:
      text = std::string(kMessageCannotRead) + " (" + result.source.string() + ")";
      break;
    case AnalysisResult::Outcome::kNoPersonalFolder:
      text = std::string(kMessageNoPersonalFolder) + " (" + result.source.string() + ")";
      break;
    case AnalysisResult::Outcome::kCorrupted:
      text = std::string(kMessageCorrupted) + " (" + result.source.string() + ")";
      break;
  }
  if (text.empty()) return kExitOk;
  err << "palvara-cli: " << text << "\n";
  if (json) out << JsonError(text);
  return kExitCannotRead;
}

int RunAnalyzeCommand(const std::string& file, bool json, bool items, std::ostream& out,
                      std::ostream& err, ScanMode scan) {
  StopSignals stopSignals;
  AnalysisResult result = AnalyzeInForeground(file, items, err, scan);
  const bool stopped = result.outcome == AnalysisResult::Outcome::kAborted;
  if (stopped && Interrupted()) err << "palvara-cli: stopped\n";
  if (const int failed = ReportUnusableAnalysis(result, json, out, err)) return failed;
  // Nothing below reads the store but for where the recovery pass found what it brought back:
  // its indexes go before the output is built (thousands of damage reports on a bad file).
  nlohmann::ordered_json recovered = RecoveredJson(result);
  result.store.reset();
  ReleaseFreedMemory();
  if (json) {
    nlohmann::ordered_json j = AnalysisJson(result, items);
    j["damage"]["recovered"] = std::move(recovered);
    if (stopped) j["stopped"] = true;
    out << JsonDump(j) << "\n";
    return stopped ? kExitStopped : kExitOk;
  }
  out << "Source: " << result.source.string() << " (" << result.format << ", wVer "
      << result.wVer << ", " << result.encoding << ")\n";
  for (const TreeFolder& f : result.tree) {
    const ChildCounts& c = f.children;
    out << "  " << f.path << "  mail " << c.mail << ", contacts " << c.contact
        << ", appointments " << c.appointment << ", tasks " << c.task << ", notes " << c.note
        << ", journal " << c.journal << ", other " << c.other << ", hidden " << c.hidden << "\n";
  }
  std::string summary = AnalysisSummary(result.counters);
  std::erase(summary, '\r');
  out << summary;
  out << "Damage reports: " << result.damageReports << "\n";
  std::array<std::size_t, kDamageKindCount> perKind{};
  for (const DamageEntry& e : result.damage) ++perKind[static_cast<std::size_t>(e.report.kind)];
  for (std::size_t k = 0; k < kDamageKindCount; ++k) {
    if (perKind[k] == 0) continue;
    out << "  " << DamageKindLabel(static_cast<DamageKind>(k)) << ": " << perKind[k] << "\n";
  }
  if (result.itemsFromScan > 0 || result.foldersFromScan > 0) {
    out << "Recovered by the scan: " << result.itemsFromScan << " items, "
        << result.foldersFromScan << " folders\n";
  }
  if (stopped) out << "Stopped before the end.\n";
  return stopped ? kExitStopped : kExitOk;
}

}  // namespace palvara::cli
