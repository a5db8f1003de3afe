// The saving run: open the store (or take the one an analysis opened), walk the folders below
// the top of the personal folders, and write the items of the selected folders into a new PST,
// counting them by standard folder, with progress, a stop between items, and a summary at the
// end. Items are loaded on a second thread while the writer works on the calling one.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/run_control.h"
#include "export/pst_output.h"
#include "export/saving_output.h"
#include "items/analysis.h"

namespace palvara {

// What the saving-status window shows.
struct SavingProgress {
  std::int32_t total = 0;
  std::int32_t saved = 0;  // the item counter, going on from where the analysis left it
  std::string currentFolder;
  std::string countText;
  std::string destination;
  std::string outputFile;  // the file (or folder) being written, under its final name
};

inline constexpr const char* kMessageCannotReadStore = "Can Not Read PST File";
inline constexpr const char* kMessageAnalysisFailed = "File Analysis Failed";
inline constexpr const char* kMessageRootNotFound = "Root Folder Not Found";
inline constexpr const char* kSavingCompleted = "Saving completed successfully";
inline constexpr const char* kSavingAborted = "Saving aborted";
inline constexpr const char* kTotalWrittenLabel = "Items written    ";
inline constexpr const char* kTotalNotWrittenLabel = "Items not written    ";

class SavingObserver {
 public:
  virtual ~SavingObserver() = default;
  virtual void Progress(const SavingProgress& /*progress*/) {}
  // A message box: the three failure messages.
  virtual void Message(const std::string& /*text*/) {}
  // A component cannot be created: the program cannot go on.
  virtual void Fatal(const std::string& /*text*/) {}
  // An item the output did not take (an error of the component's call).
  virtual void ItemFailed(const std::string& /*folder*/, const std::string& /*reason*/) {}
  virtual void LogLine(const std::string& /*entry*/) {}
  // Something the output did otherwise than asked, and why (a link it would not write
  // through, and the name it took instead); the activity log's by default.
  virtual void Notice(const std::string& text) { LogLine(text); }
  // The saving-completed window.
  virtual void Completed() {}
};

struct SaveOptions {
  std::filesystem::path sourcePath;
  std::filesystem::path searchSourcePath;
  std::string targetFolder;  // where the new PST goes; the default target folder when empty
  std::vector<std::string> selectedFolders;  // "Personal Folders\\Inbox\\", ...
  AnalysisCounters analysisCounters;         // what the analysis counted
  std::int32_t itemCounter = 0;              // the item counter the analysis left
  PstOutputOptions output;                   // components, names, split size, clock
  // The store of sourcePath as an analysis opened and indexed it; opened here when null.
  std::shared_ptr<StoreFile> store;
  // Where the items go instead of a new PST (files in open formats); the caller keeps it.
  SavingOutput* target = nullptr;
  ScanMode scan = ScanMode::kAuto;           // the recovery pass beside the walk
};

// The kinds of item a saving run writes, for its per-kind counts.
enum class SavedKind { kMail, kAppointment, kTask, kContact, kDistributionList, kNote, kJournal, kCount };
const char* SavedKindName(SavedKind kind);  // "mail", "appointments", ...

struct KindCount {
  std::int32_t written = 0;
  std::int32_t notWritten = 0;
};

// An item of a selected folder that is not in the new PST, and why.
struct UnsavedItem {
  std::string folder;
  SavedKind kind = SavedKind::kMail;
  std::string subject;
  std::string reason;
};

struct SaveResult {
  enum class Outcome {
    kCompleted,         // "Saving completed successfully"
    kAborted,           // "Saving aborted"
    kCannotRead,        // "Can Not Read PST File"
    kAnalysisFailed,    // "File Analysis Failed"
    kNoRootFolder,      // "Root Folder Not Found"
    kComponentMissing,  // a component could not be created
    kOutputFailed,      // the output could not be created or written
  };
  Outcome outcome = Outcome::kCompleted;
  int result = 0;  // 1 when the store file could not be opened
  std::string error;
  AnalysisCounters saved;  // the saved counts, in the counters' order
  std::vector<std::filesystem::path> outputFiles;
  std::string summary;  // the activity-log summary
  std::int32_t failedItems = 0;  // items of selected folders not written
  std::array<KindCount, static_cast<std::size_t>(SavedKind::kCount)> kinds{};
  std::vector<UnsavedItem> unsaved;
  // What the output noted along the way (see SavingObserver::Notice), in order.
  std::vector<std::string> notices;
  // Items written, by the folder path they were saved under.
  std::map<std::string, std::int32_t> writtenInFolder;
  std::int32_t Written() const;
};

SaveResult RunSave(const SaveOptions& options, SavingObserver& observer, RunControl& control);

// A selected folder whose items did not all reach the output: the items the analysis counted in
// it against those written there.
struct FolderShortfall {
  std::string folder;
  std::int32_t counted = 0;
  std::int32_t written = 0;
};

// The selected folders of `tree` (the analysis's folders) that the run wrote fewer items into
// than the analysis counted in them, in tree order.
std::vector<FolderShortfall> Shortfalls(const std::vector<TreeFolder>& tree,
                                        const std::vector<std::string>& selected,
                                        const SaveResult& result);

// The summary: the saved counts in their listing order, the items written and not written in
// all, then the closing line.
std::string SavingSummary(const AnalysisCounters& saved, std::int32_t written,
                          std::int32_t notWritten, bool stopped);

}  // namespace palvara
