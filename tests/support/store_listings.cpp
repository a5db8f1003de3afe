#include "tests/support/store_listings.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "common/run_control.h"
#include "items/analysis.h"
#include "tests/support/test_data.h"

namespace palvara::testing {
namespace {

namespace fs = std::filesystem;

std::string Quoted(const fs::path& path) {
  std::string quoted = "'";
  for (char c : path.string()) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// The "Subject:" line of an item pffexport wrote: in OutlookHeaders.txt for mail, else in the
// item's own text file ("Appointment.txt", ...); never the stored Internet headers, whose
// subject is MIME-encoded. Empty when there is none.
std::string PffexportSubject(const fs::path& itemDir) {
  std::vector<fs::path> files = {itemDir / "OutlookHeaders.txt"};
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(itemDir, ec)) {
    const std::string name = e.path().filename().string();
    if (e.is_regular_file() && name.ends_with(".txt") && name != "Message.txt" &&
        name != "InternetHeaders.txt" && name != "OutlookHeaders.txt") {
      files.push_back(e.path());
    }
  }
  for (const fs::path& file : files) {
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("Subject:", 0) != 0) continue;
      const auto value = line.find_first_not_of('\t', 8);
      return value == std::string::npos ? "" : line.substr(value);
    }
  }
  return "";
}

void CollectPffexportFolder(const fs::path& dir, const std::string& path, StoreListing& listing) {
  static const std::regex kItem("[A-Za-z]+[0-9]{5}");
  listing.folders[path];
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    if (!e.is_directory()) continue;
    const std::string name = e.path().filename().string();
    if (std::regex_match(name, kItem)) {
      listing.folders[path].insert("| " + PffexportSubject(e.path()));
    } else {
      CollectPffexportFolder(e.path(), path + name + "\\", listing);
    }
  }
}

}  // namespace

std::size_t StoreListing::Items() const {
  std::size_t items = 0;
  for (const auto& [path, list] : folders) items += list.size();
  return items;
}

StoreListing StoreListing::SubjectsOnly() const {
  StoreListing subjects;
  for (const auto& [path, list] : folders) {
    std::multiset<std::string>& out = subjects.folders[path];
    for (const std::string& item : list) out.insert(item.substr(item.find("| ")));
  }
  return subjects;
}

StoreListing StoreListing::Without(const std::string& messageClass) const {
  StoreListing kept = *this;
  for (auto& [path, list] : kept.folders) {
    std::erase_if(
        list, [&](const std::string& item) { return item.rfind(messageClass + " | ", 0) == 0; });
  }
  return kept;
}

StoreListing OurListing(const fs::path& store) {
  AnalysisOptions options;
  options.sourcePath = store;
  options.collectItems = true;
  options.scan = ScanMode::kOff;
  AnalysisObserver quiet;
  RunControl control;
  const AnalysisResult result = RunAnalysis(options, quiet, control);
  // The analysis names the top "Personal Folders\\" whatever the store calls it.
  auto below = [](const std::string& path) { return path.substr(path.find('\\') + 1); };
  StoreListing listing;
  for (const TreeFolder& folder : result.tree) listing.folders[below(folder.path)];
  for (const ItemSummary& item : result.items) {
    listing.folders[below(item.folder)].insert(item.messageClass + " | " + item.subject);
  }
  return listing;
}

std::optional<StoreListing> PffexportListing(const fs::path& store, const fs::path& workDir) {
  std::error_code made;
  fs::create_directories(workDir, made);
  int status = 0;
  CaptureCommand("pffexport -q -m items -t " + Quoted(workDir / "pff") + " " + Quoted(store) +
                     " >/dev/null 2>&1",
                 &status);
  if (status != 0) return std::nullopt;
  // The top of the personal folders is the one folder of the export that holds others besides
  // the search and view folders every store has.
  const fs::path exported = workDir / "pff.export";
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(exported, ec)) {
    const std::string name = e.path().filename().string();
    if (!e.is_directory() || name == "Search Root" || name == "SPAM Search Folder 2" ||
        name == "IPM_COMMON_VIEWS" || name == "Orphan items" || name == "Recovered items") {
      continue;
    }
    StoreListing listing;
    CollectPffexportFolder(e.path(), "", listing);
    return listing;
  }
  return std::nullopt;
}

bool HaveThirdReader(std::string* why) {
  if (!fs::exists(fs::path(PALVARA_CHECKERS_DIR) / "node_modules" / "pst-extractor")) {
    *why = "pst-extractor is not installed in " + std::string(PALVARA_CHECKERS_DIR) +
           " (scripts/install-deps.sh --checkers DIR installs it)";
    return false;
  }
  return true;
}

std::optional<StoreListing> ThirdReaderListing(const fs::path& store, std::string* error) {
  int status = 0;
  const std::string out =
      CaptureCommand("node " + Quoted(PALVARA_THIRD_READER_WALK) + " " +
                         Quoted(PALVARA_CHECKERS_DIR) + " " + Quoted(store) + " 2>/dev/null",
                     &status);
  const nlohmann::json walked = nlohmann::json::parse(out, nullptr, false);
  if (walked.is_discarded() || !walked.is_object()) {
    *error = "no output (exit " + std::to_string(status) + ")";
    return std::nullopt;
  }
  if (walked.contains("error")) {
    *error = walked["error"].get<std::string>();
    return std::nullopt;
  }
  // Folder paths come from the root ("\\Top of Personal Folders\\Inbox\\"): the top is the
  // root's child that the listing below it shows (the IPM subtree).
  const nlohmann::json& folders = walked["folders"];
  std::string top;
  for (const nlohmann::json& f : folders) {
    const std::string path = f["path"];
    if (path.size() > 1 && path != "\\Search Root\\" && path != "\\SPAM Search Folder 2\\" &&
        path != "\\IPM_COMMON_VIEWS\\" && std::count(path.begin(), path.end(), '\\') == 2) {
      top = path;
      break;
    }
  }
  StoreListing listing;
  for (const nlohmann::json& f : folders) {
    const std::string path = f["path"];
    if (top.empty() || path.rfind(top, 0) != 0) continue;
    std::multiset<std::string>& items = listing.folders[path.substr(top.size())];
    for (const nlohmann::json& item : f["items"]) {
      if (item.is_null()) {
        *error = path + ": a contents-table row that does not read";
        return std::nullopt;
      }
      items.insert(item["class"].get<std::string>() + " | " + item["subject"].get<std::string>());
    }
  }
  return listing;
}

std::vector<std::string> ListingDifferences(const StoreListing& a, const StoreListing& b) {
  std::vector<std::string> differences;
  std::set<std::string> paths;
  for (const auto& [path, items] : a.folders) paths.insert(path);
  for (const auto& [path, items] : b.folders) paths.insert(path);
  for (const std::string& path : paths) {
    const auto x = a.folders.find(path), y = b.folders.find(path);
    if (x == a.folders.end() || y == b.folders.end()) {
      differences.push_back(path + ": folder only in the " +
                            (x == a.folders.end() ? "second" : "first"));
      continue;
    }
    if (x->second == y->second) continue;
    std::ostringstream line;
    line << path << ": " << x->second.size() << " items vs " << y->second.size();
    std::multiset<std::string> onlyA = x->second, onlyB = y->second;
    for (const std::string& item : y->second) {
      if (const auto it = onlyA.find(item); it != onlyA.end()) {
        onlyA.erase(it);
        onlyB.erase(onlyB.find(item));
      }
    }
    for (const std::string& item : onlyA) line << "; only in the first: " << item;
    for (const std::string& item : onlyB) line << "; only in the second: " << item;
    differences.push_back(line.str());
  }
  return differences;
}

}  // namespace palvara::testing
