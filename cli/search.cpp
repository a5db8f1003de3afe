#include "cli/search.h"

#include <nlohmann/json.hpp>
#include <ostream>

#include "cli/exit_codes.h"
#include "cli/interrupt.h"
#include "cli/json_text.h"
#include "shell/activity_log.h"
#include "shell/store_search.h"

namespace palvara::cli {
namespace {

// Prints each match as a row: name, full path, size, modified (local time).
class RowPrinter : public StoreSearchObserver {
 public:
  explicit RowPrinter(std::ostream* out) : out_(out) {}
  void Found(const FoundStoreFile& f, std::size_t, const std::filesystem::path&) override {
    if (out_ == nullptr) return;
    *out_ << f.name << "\t" << f.path.string() << "\t" << SearchSizeText(f.size) << "\t"
          << SearchModifiedText(f.modified) << "\n"
          << std::flush;
  }
  void LogLine(const std::string& entry) override { WriteActivityLog(entry); }

 private:
  std::ostream* out_;
};

}  // namespace

int SearchCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  StoreSearchOptions options;
  bool json = false;
  std::vector<std::string> plain;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--recursive") {
      options.includeSubfolders = true;
    } else if (args[i] == "--json") {
      json = true;
    } else if (!args[i].empty() && args[i][0] == '-' && args[i] != "-") {
      err << "palvara-cli: unknown option " << args[i] << "\n";
      return kExitUsage;
    } else {
      plain.push_back(args[i]);
    }
  }
  if (plain.size() != 1) {
    err << "palvara-cli: search needs DIR\n";
    return kExitUsage;
  }
  options.baseFolder = plain[0];
  StopSignals stopSignals;
  RunControl control;
  RowPrinter printer(json ? nullptr : &out);
  StoreSearchResult result;
  {
    InterruptStops interrupt(control);
    result = StoreSearch(options).Run(printer, control);
  }
  if (result.outcome == StoreSearchResult::Outcome::kNotAFolder) {
    err << "palvara-cli: " << kSearchNotAValidDirectory << "(" << plain[0] << ": "
        << result.error << ")\n";
    if (json) out << JsonError(kSearchNotAValidDirectory + (": " + result.error));
    return kExitCannotRead;
  }
  const bool stopped = result.outcome == StoreSearchResult::Outcome::kStopped;
  if (json) {
    nlohmann::json found = nlohmann::json::array();
    for (const FoundStoreFile& f : result.found) {
      found.push_back({{"name", f.name},
                       {"path", f.path.string()},
                       {"folder", f.isFolder},
                       {"size", f.size},
                       {"sizeText", SearchSizeText(f.size)},
                       {"modified", SearchModifiedText(f.modified)}});
    }
    nlohmann::json j = {{"folder", plain[0]},
                        {"recursive", options.includeSubfolders},
                        {"found", found},
                        {"count", result.found.size()}};
    if (stopped) j["stopped"] = true;
    out << JsonDump(j) << "\n";
  } else {
    out << SearchFoundText(result.found.size()) << (stopped ? " (stopped)" : "") << "\n";
  }
  return stopped ? kExitStopped : kExitOk;
}

}  // namespace palvara::cli
