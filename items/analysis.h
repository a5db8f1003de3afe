// The analysis run: open a store, walk the folders below the top of the personal folders, load
// and classify every item into the analysis result, and report progress, counters, folders,
// messages and log lines to an observer.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/damage.h"
#include "common/run_control.h"
#include "items/item_record.h"
#include "items/mapping.h"
#include "reader/index_rebuild.h"

namespace palvara {

class StoreFile;
struct StoreNode;

// The twelve counters, in their fixed order.
struct AnalysisCounters {
  enum Index {
    kInbox, kOutbox, kDrafts, kSentItems, kDeletedItems, kTasks, kContacts, kJunkEmail, kNotes,
    kJournal, kCalendar, kSyncIssues, kCount
  };
  static const char* Name(int index);  // "Inbox", "Sent Items", ...
  std::array<std::int32_t, kCount> values{};
};

// What the items directly under one folder are, by category.
struct ChildCounts {
  std::int32_t mail = 0, contact = 0, appointment = 0, task = 0, note = 0, journal = 0, other = 0,
               hidden = 0;
  ChildCounts& operator+=(const ChildCounts& other);
  // Items of every kind, folder-associated messages not included.
  std::int32_t Items() const { return mail + contact + appointment + task + note + journal + other; }
};

// A folder as the tree shows it, in insertion order (the top folder first).
struct TreeFolder {
  std::string path;  // "Personal Folders\\Inbox\\"
  std::uint32_t nodeId = 0;
  std::string containerClass;
  bool mailFolder = false;
  ChildCounts children;
};

// One item, for listings.
struct ItemSummary {
  std::string folder;
  std::uint32_t nodeId = 0;
  std::string messageClass;
  std::string subject;
  std::string sender;
  Raw deliveryTime;
  std::size_t attachments = 0;
  std::size_t bodyBytes = 0;
  bool fromScan = false;  // the recovery pass found the item (or the way to it)
};

// A damage report with what it cost: the node being read when it was met, the folder the walk
// was in and, for a message, its subject. Reports met while the store was indexed (its B-tree
// pages, the recovery pass) cost no one node: they are the index's.
struct DamageEntry {
  DamageReport report;  // report.nodeId: the node it cost, when known
  bool index = false;   // met while indexing, not while reading a node
  std::string folder;   // the folder the walk was in; a folder's own path for a folder's node
  std::string item;     // the message's subject, when it has one
};

// Where a damage entry cost, in words: "the index", "Personal Folders\Inbox\: Subject",
// "Personal Folders\Inbox\", "node 0x21".
std::string DamageCost(const DamageEntry& entry);

struct AnalysisResult {
  enum class Outcome {
    kCompleted,        // the walk ran to its end
    kAborted,          // stopped by the user
    kCannotOpen,       // "Selected Source File in use."
    kCannotRead,       // "Cannot Read PST File Information"
    kNoPersonalFolder, // "Cannot Search Personal Folder"
    kCorrupted,        // "Unable to parse file. File is Highly Corrupted"
  };
  Outcome outcome = Outcome::kCompleted;
  std::string openError;  // why the file could not be opened (kCannotOpen)
  std::filesystem::path source;
  // The opened and indexed store, for a saving run of the same file to go on with (null when
  // it could not be opened or the indexing was stopped).
  std::shared_ptr<StoreFile> store;
  std::string format;    // "unicode" / "ansi" / "none"
  std::uint32_t wVer = 0;
  std::string encoding;

  std::vector<FolderEntry> folders;  // the FolderList: mail folders, the top folder first
  // The lists below (and the folders' mail chains) stay empty without
  // AnalysisOptions::keepItemLists.
  std::vector<std::unique_ptr<ContactFields>> contacts;
  std::vector<std::unique_ptr<MailFields>> tasks;
  std::vector<NoteEntry> notes;
  std::vector<JournalEntry> journal;
  std::vector<CalendarEntry> calendar;
  std::string calendarFolderPath;
  AnalysisCounters counters;

  std::vector<TreeFolder> tree;        // every folder the tree shows
  std::vector<ItemSummary> items;      // with AnalysisOptions::collectItems
  std::size_t damageReports = 0;
  // The reports with what each cost, in the order met: at most DamageLog::kMaxKept.
  std::vector<DamageEntry> damage;
  // The file's size as opened (the store's own may grow by blocks the recovery pass makes up).
  std::uint64_t fileSize = 0;
  // What the recovery pass brought back: items (and folders) the walk alone does not reach.
  std::int32_t itemsFromScan = 0;
  std::int32_t foldersFromScan = 0;
  bool scanRan = false;

  // True when the tree holds at least one item (Save is offered then).
  bool HasItems() const;
};

struct AnalysisOptions {
  std::filesystem::path sourcePath;        // chosen in step 1
  std::filesystem::path searchSourcePath;  // chosen in the search window
  bool cameFromSearch = false;
  std::filesystem::path rtfBodyFile;       // where decoded RTF bodies are written (optional)
  bool collectItems = false;               // fill AnalysisResult::items
  // Keep the contact, task, note, journal and calendar lists and each mail folder's first
  // mails (the wizard's item lists show them). Without them the run counts the same and keeps
  // only the folders, so its memory does not grow with the number of items.
  bool keepItemLists = true;
  ScanMode scan = ScanMode::kAuto;         // the recovery pass beside the walk
  // kTableRows when the run only chooses folders for a saving run, which reads every item whole
  // again (and meets any damage in its attachments then).
  AttachmentReading attachments = AttachmentReading::kWhole;
  // Only the folders are loaded, not their items (no counters, no lists, no child counts): the
  // run only lists the folders a saving run may choose from.
  bool foldersOnly = false;
};

// Everything the run tells the outside world. Calls come from the thread running the analysis.
class AnalysisObserver {
 public:
  virtual ~AnalysisObserver() = default;
  virtual void SourcePathShown(const std::filesystem::path& /*path*/) {}
  // A folder inserted into the tree (AddFolderPath) with the current container class.
  virtual void FolderAdded(const std::string& /*path*/, const std::string& /*containerClass*/) {}
  virtual void CountersChanged(const AnalysisCounters& /*counters*/) {}
  virtual void ProgressRange(std::int32_t /*maximum*/) {}
  virtual void Progress(std::int32_t /*position*/) {}
  // A message the user is shown (a message box in the wizard).
  virtual void Message(const std::string& /*text*/) {}
  // The page the browser shows at the end: "completed.html" or "abort.html".
  virtual void ShowPage(const std::string& /*page*/) {}
  // An activity log entry.
  virtual void LogLine(const std::string& /*entry*/) {}
  virtual void Damage(const DamageReport& /*report*/) {}
};

inline constexpr const char* kMessageFileInUse = "Selected Source File in use.";
inline constexpr const char* kMessageCannotRead = "Cannot Read PST File Information";
inline constexpr const char* kMessageNoPersonalFolder = "Cannot Search Personal Folder";
inline constexpr const char* kMessageAborted = "Analysis process aborted by user";
inline constexpr const char* kMessageCorrupted = "Unable to parse file. File is Highly Corrupted";

// Runs the analysis. Never throws; a stop or pause request on `control` is honoured between
// nodes. When the file cannot be opened the outcome is kCannotOpen (the wizard then ends the
// process).
AnalysisResult RunAnalysis(const AnalysisOptions& options, AnalysisObserver& observer,
                           RunControl& control);

// Nodes a pre-order walk from `top` visits (top not included), descending only into nodes
// with data.
std::int32_t CountNodesBelow(const StoreNode& top);

// The folder that holds the top-level folders: the one the store's IPM subtree entry id names;
// without that entry id (the message store of an OST may lack it) node 0x2142, else the folder
// below the root folder (the folder that is its own parent) that holds the most. nullptr when
// the store has no such node.
const StoreNode* FindTopFolder(const StoreFile& store, const StoreFields& storeFields);

// Whether a folder record lists as a mail folder: class "IPF.Note", kind mail, or nothing but
// its counts.
bool IsMailFolder(const ItemRecord& folder);

// The counter of the standard folder a folder path lies in ("Personal Folders\\Inbox..."),
// or -1.
int StandardFolderOf(const std::string& path);

// The category of an item by its message class, as listings count it.
enum class ChildCategory { kMail, kContact, kAppointment, kTask, kNote, kJournal, kOther };
ChildCategory CategoryOfClass(const std::string& messageClass);

// The activity-log summary: one "label    count\r\n" line per counter.
std::string AnalysisSummary(const AnalysisCounters& counters);

// The activity-log summary of the damage: the reports, their count per kind, and what the
// recovery pass found and brought back (when it ran), one "label    count\r\n" line each.
std::string DamageSummary(const AnalysisResult& result, const RecoverySummary& recovery);

}  // namespace palvara
