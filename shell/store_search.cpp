#include "shell/store_search.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace palvara {
namespace {

namespace fs = std::filesystem;

// Deeper than any real folder tree; bounds the recursion on pathological trees.
constexpr int kMaxDepth = 256;

bool Stopped(const RunControl& control) {
  return control.stopSearch.load() || control.StopRequested();
}

struct Entry {
  std::string name;
  fs::path path;
  bool isFolder = false;  // a real folder (symbolic links are not followed into)
};

// The entries of `folder`, sorted by name; empty when it cannot be read.
std::vector<Entry> ReadFolder(const fs::path& folder) {
  std::vector<Entry> entries;
  std::error_code ec;
  fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    Entry e;
    e.path = it->path();
    e.name = e.path.filename().string();
    std::error_code typeError;
    e.isFolder = it->symlink_status(typeError).type() == fs::file_type::directory;
    entries.push_back(std::move(e));
  }
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.name < b.name; });
  return entries;
}

FoundStoreFile Describe(const Entry& e) {
  FoundStoreFile found;
  found.name = e.name;
  found.isFolder = e.isFolder;
  found.path = e.isFolder ? e.path / "" : e.path;
  struct stat st {};
  if (::stat(e.path.c_str(), &st) == 0) {
    found.modified = st.st_mtime;
    if (S_ISREG(st.st_mode)) found.size = static_cast<std::uintmax_t>(st.st_size);
  }
  return found;
}

}  // namespace

bool IsStoreFileName(std::string_view name) {
  std::string lower(name);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower.find(".pst") != std::string::npos || lower.find(".ost") != std::string::npos;
}

StoreSearchResult StoreSearch::Run(StoreSearchObserver& observer, RunControl& control) {
  StoreSearchResult result;
  struct stat st {};
  if (options_.baseFolder.empty()) {
    result.error = "no folder given";
  } else if (::stat(options_.baseFolder.c_str(), &st) != 0) {
    result.error = std::strerror(errno);
  } else if (!S_ISDIR(st.st_mode)) {
    result.error = "not a folder";
  }
  if (!result.error.empty()) {
    result.outcome = StoreSearchResult::Outcome::kNotAFolder;
    return result;
  }
  observer.LogLine("\r\n");
  observer.LogLine(kSearchLogStart);
  observer.LogLine(options_.baseFolder.string());
  const bool complete = Walk(options_.baseFolder, 0, observer, control, result.found);
  result.outcome =
      complete ? StoreSearchResult::Outcome::kCompleted : StoreSearchResult::Outcome::kStopped;
  return result;
}

bool StoreSearch::Walk(const fs::path& folder, int depth, StoreSearchObserver& observer,
                       RunControl& control, std::vector<FoundStoreFile>& found) {
  const std::vector<Entry> entries = ReadFolder(folder);
  if (options_.includeSubfolders && depth < kMaxDepth) {
    for (const Entry& e : entries) {
      control.WaitWhilePaused();
      if (Stopped(control)) return false;
      if (e.isFolder && !Walk(e.path, depth + 1, observer, control, found)) return false;
    }
  }
  const fs::path current = folder / "";
  observer.SearchingFolder(current, found.size());
  for (const Entry& e : entries) {
    control.WaitWhilePaused();
    if (Stopped(control)) return false;
    if (!IsStoreFileName(e.name)) continue;
    found.push_back(Describe(e));
    observer.Found(found.back(), found.size(), current);
  }
  return true;
}

std::string SearchSizeText(std::uintmax_t bytes) {
  char text[32];
  const std::uintmax_t kilobytes = bytes / 1024;
  if (kilobytes > 9) {
    std::snprintf(text, sizeof text, "%ju KB", kilobytes);
  } else {
    std::snprintf(text, sizeof text, "%ju B", bytes);
  }
  return text;
}

std::string SearchModifiedText(const std::tm& time) {
  char text[64];
  const std::size_t n = std::strftime(text, sizeof text, "%d-%m-%Y %I:%M %p", &time);
  return std::string(text, n);
}

std::string SearchModifiedText(std::time_t time) {
  std::tm local{};
  if (::localtime_r(&time, &local) == nullptr) return "";
  return SearchModifiedText(local);
}

std::string SearchProgressText(std::size_t count, const fs::path& folder) {
  return "(" + std::to_string(count) + ") - " + folder.string();
}

std::string SearchFoundText(std::size_t count) {
  return std::to_string(count) + " items found";
}

}  // namespace palvara
