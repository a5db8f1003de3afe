// The store file search: walks a folder (optionally with its subfolders, depth first,
// subfolders before the entries of the folder itself) for names containing ".pst" or ".ost",
// reporting each match and each folder to an observer, and stops when its run control asks.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "common/run_control.h"

namespace palvara {

inline constexpr const char* kSearchNotAValidDirectory =
    "Not a valid Directory, Please select another directory? ";
inline constexpr const char* kSearchSelectTheFile = "Please Select the File";
inline constexpr const char* kSearchBrowseTitle = "Select Directory for Searching PST Files";
inline constexpr const char* kSearchLogSelectPath = "Select Path for Searching Files\r\n";
inline constexpr const char* kSearchLogStart = "Click the Search button for the Searching *.PST file";
inline constexpr const char* kSearchLogBack = "Press Back Button for select mode ";

struct StoreSearchOptions {
  std::filesystem::path baseFolder;
  bool includeSubfolders = false;
};

// One match: a file, or a folder whose name matches (its path then ends in "/").
struct FoundStoreFile {
  std::string name;            // the entry's name
  std::filesystem::path path;  // full path: folder and name
  bool isFolder = false;
  std::uintmax_t size = 0;     // bytes; 0 for folders and entries that cannot be examined
  std::time_t modified = 0;    // last write time, seconds since the epoch
};

class StoreSearchObserver {
 public:
  virtual ~StoreSearchObserver() = default;
  // A match was found; `count` matches so far, `folder` is the folder being searched.
  virtual void Found(const FoundStoreFile& /*file*/, std::size_t /*count*/,
                     const std::filesystem::path& /*folder*/) {}
  // `folder` is about to be searched; `count` matches so far.
  virtual void SearchingFolder(const std::filesystem::path& /*folder*/, std::size_t /*count*/) {}
  // An activity log entry.
  virtual void LogLine(const std::string& /*entry*/) {}
};

struct StoreSearchResult {
  enum class Outcome {
    kCompleted,
    kStopped,     // the control asked for a stop; `found` holds what was found until then
    kNotAFolder,  // the base folder is empty, missing or not a folder; nothing searched
  };
  Outcome outcome = Outcome::kCompleted;
  std::vector<FoundStoreFile> found;
  std::string error;  // kNotAFolder: why (the system's reason)
};

// True for names that contain ".pst" or ".ost" in any letter case (old.PST.bak included).
bool IsStoreFileName(std::string_view name);

class StoreSearch {
 public:
  explicit StoreSearch(StoreSearchOptions options) : options_(std::move(options)) {}

  // Runs the walk to its end or to a stop (`control.stopSearch`, or any stop the control
  // reports), holding at the control's pause gate between entries. Never throws: folders that
  // cannot be read are skipped, symbolic links to folders are listed but not entered.
  StoreSearchResult Run(StoreSearchObserver& observer, RunControl& control);

 private:
  bool Walk(const std::filesystem::path& folder, int depth, StoreSearchObserver& observer,
            RunControl& control, std::vector<FoundStoreFile>& found);

  StoreSearchOptions options_;
};

// Texts of the search window: the size column ("%ld KB" when bytes / 1024 is above 9, else
// "%ld B"), the modified column ("%d-%m-%Y %I:%M %p"; the second form in local time), the
// status line while searching ("(%d) - %s") and at the end ("%d items found").
std::string SearchSizeText(std::uintmax_t bytes);
std::string SearchModifiedText(const std::tm& time);
std::string SearchModifiedText(std::time_t time);
std::string SearchProgressText(std::size_t count, const std::filesystem::path& folder);
std::string SearchFoundText(std::size_t count);

}  // namespace palvara
