// palvara-cli analyze: the analysis run in the foreground, with a progress bar on stderr, the
// summary (or JSON) on stdout and the activity-log entries of the wizard.
#pragma once

#include <iosfwd>
#include <nlohmann/json.hpp>
#include <string>

#include "items/analysis.h"

namespace palvara::cli {

// The JSON document of a finished run; `withItems` adds one record per item.
nlohmann::ordered_json AnalysisJson(const AnalysisResult& result, bool withItems);

// Runs the analysis of `file` as the wizard's first two steps do (activity log entries,
// progress bar on a terminal, Ctrl-C stops). `foldersOnly`: the folders alone, for a saving
// run to choose from (it reads the items itself).
AnalysisResult AnalyzeInForeground(const std::string& file, bool items, std::ostream& err,
                                   ScanMode scan = ScanMode::kAuto, bool foldersOnly = false);

// When the analysis gave no tree to use (the file cannot be opened or holds no store), prints
// the reason (and {"error": ...} on `out` with `json`) and returns the exit status; else 0.
int ReportUnusableAnalysis(const AnalysisResult& result, bool json, std::ostream& out,
                           std::ostream& err);

// Runs the analysis of `file`. Returns the exit code.
int RunAnalyzeCommand(const std::string& file, bool json, bool items, std::ostream& out,
                      std::ostream& err, ScanMode scan = ScanMode::kAuto);

}  // namespace palvara::cli
