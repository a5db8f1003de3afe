#include "items/analysis.h"

#include <algorithm>
#include <cctype>
#include <new>
#include <unordered_map>

#include "common/folder_path.h"
#include "common/memory.h"
#include "common/text.h"
#include "items/mapping.h"
#include "items/walk_reader.h"
#include "reader/btree_walk.h"
#include "reader/store_file.h"

namespace palvara {
namespace {

constexpr std::uint32_t kDefaultTopFolder = 0x2142;
constexpr std::size_t kItemsKeptPerFolder = 50;
constexpr const char* kTopPath = "Personal Folders\\";
constexpr std::int32_t kScanSteps = 1000;  // progress steps of the recovery scan

// Standard folder paths and the counter each one feeds.
constexpr std::pair<const char*, int> kStandardPaths[] = {
    {"Personal Folders\\Inbox", AnalysisCounters::kInbox},
    {"Personal Folders\\Outbox", AnalysisCounters::kOutbox},
    {"Personal Folders\\Drafts", AnalysisCounters::kDrafts},
    {"Personal Folders\\Sent Items", AnalysisCounters::kSentItems},
    {"Personal Folders\\Deleted Items", AnalysisCounters::kDeletedItems},
    {"Personal Folders\\Junk E-mail", AnalysisCounters::kJunkEmail},
    {"Personal Folders\\Sync Issues", AnalysisCounters::kSyncIssues},
};

class Analysis {
 public:
  Analysis(const AnalysisOptions& options, AnalysisObserver& observer, RunControl& control)
      : options_(options), observer_(observer), control_(control) {}

  AnalysisResult Run() {
    try {
      Start();
    } catch (const std::bad_alloc&) {
      // A failure inside the walk ends the walk; the end steps still run.
      if (storeOpened_ && !ended_) End();
    }
    return std::move(result_);
  }

 private:
  void Message(const char* text) { observer_.Message(text); }

  void Start() {
    std::filesystem::path source = options_.cameFromSearch ? options_.searchSourcePath
                                                           : options_.sourcePath;
    std::error_code ec;
    if ((source.empty() || !std::filesystem::is_regular_file(source, ec)) &&
        !options_.searchSourcePath.empty()) {
      source = options_.searchSourcePath;
    }
    result_.source = source;
    observer_.SourcePathShown(source);
    if (Status opened = OpenStore(store_, source); !opened.ok()) {
      result_.outcome = AnalysisResult::Outcome::kCannotOpen;
      result_.openError = opened.message();
      Message(kMessageFileInUse);
      return;
    }
    storeOpened_ = true;
    result_.fileSize = store_.fileSize;
    observer_.LogLine("\r\n");
    observer_.LogLine("Step2: Analysis PST File");
    try {
      RecoveryOptions recovery;
      recovery.mode = options_.scan;
      recovery.control = &control_;
      recovery.progress = [this](std::uint64_t done, std::uint64_t total) {
        if (!scanShown_) observer_.ProgressRange(kScanSteps);
        scanShown_ = true;
        observer_.Progress(static_cast<std::int32_t>(total == 0 ? kScanSteps : done * kScanSteps / total));
      };
      IndexStoreWithRecovery(store_, recovery);
      result_.scanRan = store_.recovery.ran;
      LoadNamedPropertyMap(store_);
      for (DamageReport& report : store_.damage.Reports()) {
        KeepDamage(DamageEntry{std::move(report), true, {}, {}});
      }
      // An index the user stopped is not whole: a saving run would then index again.
      if (!control_.stopAnalysis) result_.store = storeHandle_;
    } catch (const std::exception&) {
      result_.outcome = AnalysisResult::Outcome::kCannotRead;
      Message(kMessageCannotRead);
      return;
    }
    result_.format = StoreFormatName(store_.Format());
    result_.wVer = store_.wVer;
    result_.encoding = EncodingName(store_.encoding);
    // A stop during indexing or the scan leaves a partial tree: report the stop, not a store
    // without its folders.
    if (control_.stopAnalysis) {
      End();
      return;
    }
    context_ = MapContextFor(store_, options_.rtfBodyFile);
    // Without the lists, only the texts that classify and summarize an item are read.
    if (!options_.keepItemLists) {
      context_.texts = options_.collectItems ? TextFields::kSummary : TextFields::kCounted;
    }

    std::unique_ptr<ItemRecord> storeRecord;
    if (const StoreNode* first = store_.nodes.First()) {
      CapturedDamage captured;
      {
        const DamageCapture capture(store_.damage, captured);
        storeRecord = LoadItem(store_, *first, context_);
      }
      Attribute(captured.reports, *first, nullptr, "");
      store_.damage.Add(std::move(captured));
    }
    hadStoreGroup_ = storeRecord && storeRecord->store;
    if (!hadStoreGroup_) {
      End();
      return;
    }
    storeRecord->displayName = "Personal Folder";
    const StoreNode* top = FindTopFolder(store_, *storeRecord->store);
    if (top == nullptr) {
      result_.outcome = AnalysisResult::Outcome::kNoPersonalFolder;
      Message(kMessageNoPersonalFolder);
      return;
    }
    storeRecord.reset();

    observer_.ProgressRange(CountNodesBelow(*top) - 3);
    observer_.CountersChanged(result_.counters);
    if (top->nid != 0) {
      FolderEntry entry;
      entry.path = kTopPath;
      entry.nodeId = top->nid;
      result_.folders.push_back(std::move(entry));
    }
    AddTreeFolder(kTopPath, top->nid, "", true);
    Walk(*top);
    End();
  }

  void Walk(const StoreNode& top) {
    std::vector<std::string> path{""};  // the path stack: one level for the top folder
    std::string currentPath = kTopPath;
    std::int32_t position = 0;
    WalkReading reading;
    reading.context = &context_;
    // Nothing here uses an attachment's data: checking it meets the same damage.
    reading.attachments = options_.attachments == AttachmentReading::kWhole
                              ? AttachmentReading::kChecked
                              : options_.attachments;
    reading.foldersOnly = options_.foldersOnly;
    // Decoded RTF bodies go to one file in the walk's order: then one thread does it all.
    reading.ahead = options_.rtfBodyFile.empty();
    WalkReader reader(store_, top, reading, control_);
    WalkCursor cursor(top);
    while (cursor.node() != nullptr && !control_.stopAnalysis) {
      control_.WaitWhilePaused();
      if (control_.stopAnalysis) break;
      const StoreNode& node = *cursor.node();
      std::optional<WalkStep> step = reader.Take(node);
      if (!step) break;
      bool descend = false;
      switch (step->kind) {
        case WalkNodeKind::kHidden:
          // Folder-associated messages (views, rules, forms) are not the user's items.
          CountChild(node.parent, std::nullopt);
          break;
        case WalkNodeKind::kSkipped:
          observer_.Progress(++position);
          break;
        case WalkNodeKind::kRead:
          if (step->record && !step->mapped) MapItem(step->lists, *step->record, context_);
          Attribute(step->damage, node, step->record.get(), currentPath);
          observer_.Progress(++position);
          descend = DescendsInto(node, step->record.get());
          if (step->record) Classify(node, *step->record, path, currentPath);
          reader.Release(std::move(*step));
          break;
        case WalkNodeKind::kNoData:
          break;
      }
      cursor.Next(descend, [&] {
        // Leaving a folder: its level and its name go.
        currentPath.resize(currentPath.size() - path.back().size() - 1);
        path.pop_back();
      });
    }
  }

  // Classifies an item, or adds a folder (and its level to the path when the walk goes into it).
  void Classify(const StoreNode& node, ItemRecord& r, std::vector<std::string>& path,
                std::string& currentPath) {
    if (r.Empty()) return;
    if (r.folderCounts) {
      AddFolder(node, r, path, currentPath);
      return;
    }
    const std::string cls = r.messageClass.value_or("");
    CountChild(node.parent, cls);
    if (store_.recoveredNodes.count(node.nid) != 0) ++result_.itemsFromScan;
    if (options_.collectItems) Summarize(node, r, currentPath);

    const bool keep = options_.keepItemLists;
    if (cls == "IPM.Task") {
      if (r.mail && keep) result_.tasks.push_back(std::move(r.mail));
      Count(AnalysisCounters::kTasks);
    } else if (cls == "IPM.StickyNote") {
      if (!r.mail) return;
      if (keep) {
        // Sticky notes keep their text in the plain body; an RTF body, when there is one, wins.
        const bool rtf = r.mail->rtfText && !r.mail->rtfText->empty();
        result_.notes.push_back(NoteEntry{SubjectOf(*r.mail), rtf ? r.mail->rtfText : r.mail->body,
                                          r.mail->deliveryTime, node.nid});
      }
      Count(AnalysisCounters::kNotes);
    } else if (r.kind == ItemKind::kJournal) {
      if (r.mail || r.journal) {
        JournalEntry entry;
        if (r.mail) {
          entry.subject = SubjectOf(*r.mail);
          entry.time = r.mail->deliveryTime;
        }
        if (r.journal) entry.entryType = r.journal->entryType;
        const bool typed = entry.entryType.has_value();
        if (keep) result_.journal.push_back(std::move(entry));
        if (typed) Count(AnalysisCounters::kJournal);
      }
    } else if (r.kind != ItemKind::kAppointment && r.contact &&
               !(cls == "IPM.Note" || r.kind == ItemKind::kMail)) {
      if (keep) result_.contacts.push_back(std::move(r.contact));
      Count(AnalysisCounters::kContacts);
    } else if (r.kind != ItemKind::kAppointment && r.mail) {
      FileMail(node, std::move(r.mail));
    } else if (r.kind == ItemKind::kAppointment && (r.appointment || r.mail)) {
      result_.calendarFolderPath = currentPath;
      CalendarEntry entry;
      if (r.appointment) entry.location = r.appointment->location;
      entry.mail = std::move(r.mail);
      if (keep) result_.calendar.push_back(std::move(entry));
      Count(AnalysisCounters::kCalendar);
    }
  }

  void KeepDamage(DamageEntry entry) {
    if (result_.damage.size() < DamageLog::kMaxKept) result_.damage.push_back(std::move(entry));
  }

  // Keeps what reading `node` (read as `r`, in the folder `currentPath`) reported, as its cost.
  void Attribute(std::vector<DamageReport>& reports, const StoreNode& node, const ItemRecord* r,
                 const std::string& currentPath) {
    if (reports.empty()) return;
    std::string folder = currentPath;
    std::string item;
    if (r != nullptr && r->folderCounts) {
      folder += EscapeFolderName(r->displayName.value_or("")) + "\\";
    } else if (r != nullptr && r->mail) {
      item = SubjectOf(*r->mail).value_or("");
    }
    for (DamageReport& report : reports) {
      if (report.nodeId == 0) report.nodeId = node.nid;
      KeepDamage(DamageEntry{std::move(report), false, folder, item});
    }
    reports.clear();
  }

  void AddFolder(const StoreNode& node, ItemRecord& r, std::vector<std::string>& path,
                 std::string& currentPath) {
    const std::string containerClass = r.messageClass.value_or("");
    const std::string name = EscapeFolderName(r.displayName.value_or(""));
    path.push_back(name);
    currentPath += name + "\\";
    const bool mailFolder = IsMailFolder(r);
    if (mailFolder) {
      FolderEntry entry;
      entry.path = currentPath;
      entry.nodeId = node.nid;
      result_.folders.push_back(std::move(entry));
    }
    AddTreeFolder(currentPath, node.nid, containerClass, mailFolder);
    if (node.firstChild != nullptr) return;  // the walk goes into it
    path.pop_back();
    currentPath.resize(currentPath.size() - name.size() - 1);
  }

  void AddTreeFolder(const std::string& path, std::uint32_t nid, const std::string& cls,
                     bool mailFolder) {
    if (store_.recoveredNodes.count(nid) != 0) ++result_.foldersFromScan;
    treeIndex_[nid] = result_.tree.size();
    result_.tree.push_back(TreeFolder{path, nid, cls, mailFolder, {}});
    if (result_.tree.size() > 1) observer_.FolderAdded(path, cls);
  }

  void FileMail(const StoreNode& node, std::unique_ptr<MailFields> mail) {
    if (result_.folders.empty()) return;
    FolderEntry* entry = &result_.folders.back();
    const std::uint32_t parent = node.parent != nullptr ? node.parent->nid : 0;
    for (FolderEntry& candidate : result_.folders) {
      if (candidate.nodeId == parent) {
        entry = &candidate;
        break;
      }
    }
    if (options_.keepItemLists && entry->items.size() < kItemsKeptPerFolder) {
      entry->items.push_back(std::move(mail));
    }
    ++entry->itemCount;
    if (const int counter = StandardFolderOf(entry->path); counter >= 0) Count(counter);
  }

  void Count(int counter) {
    ++result_.counters.values[static_cast<std::size_t>(counter)];
    observer_.CountersChanged(result_.counters);
  }

  // Counts an item directly under `parent` (nullopt class: a folder-associated message).
  void CountChild(const StoreNode* parent, const std::optional<std::string>& cls) {
    if (parent == nullptr) return;
    auto it = treeIndex_.find(parent->nid);
    if (it == treeIndex_.end()) return;
    ChildCounts& c = result_.tree[it->second].children;
    if (!cls) {
      ++c.hidden;
      return;
    }
    switch (CategoryOfClass(*cls)) {
      case ChildCategory::kMail: ++c.mail; break;
      case ChildCategory::kContact: ++c.contact; break;
      case ChildCategory::kAppointment: ++c.appointment; break;
      case ChildCategory::kTask: ++c.task; break;
      case ChildCategory::kNote: ++c.note; break;
      case ChildCategory::kJournal: ++c.journal; break;
      case ChildCategory::kOther: ++c.other; break;
    }
  }

  static Text SubjectOf(const MailFields& mail) {
    return mail.subject ? mail.subject->text : Text{};
  }

  void Summarize(const StoreNode& node, const ItemRecord& r, const std::string& currentPath) {
    ItemSummary s;
    s.folder = currentPath;
    s.nodeId = node.nid;
    s.messageClass = r.messageClass.value_or("");
    s.attachments = r.attachments.size();
    s.fromScan = store_.recoveredNodes.count(node.nid) != 0;
    if (r.mail) {
      s.subject = SubjectOf(*r.mail).value_or("");
      s.sender = r.mail->senderName.value_or("");
      s.deliveryTime = r.mail->deliveryTime;
      s.bodyBytes = r.mail->body ? r.mail->body->size() : 0;
    }
    result_.items.push_back(std::move(s));
  }

  void End() {
    ended_ = true;
    const bool stopped = control_.stopAnalysis;
    if (!hadStoreGroup_) {
      Message(stopped ? kMessageAborted : kMessageCorrupted);
      result_.outcome = stopped ? AnalysisResult::Outcome::kAborted
                                : AnalysisResult::Outcome::kCorrupted;
    } else {
      result_.outcome = stopped ? AnalysisResult::Outcome::kAborted
                                : AnalysisResult::Outcome::kCompleted;
    }
    observer_.ShowPage(stopped ? "abort.html" : "completed.html");
    for (const DamageReport& report : store_.damage.Reports()) observer_.Damage(report);
    result_.damageReports = store_.damage.Count();
    observer_.LogLine(AnalysisSummary(result_.counters));
    if (result_.damageReports > 0 || result_.scanRan) {
      observer_.LogLine(DamageSummary(result_, store_.recovery));
    }
  }

  const AnalysisOptions& options_;
  AnalysisObserver& observer_;
  RunControl& control_;
  std::shared_ptr<StoreFile> storeHandle_ = std::make_shared<StoreFile>();
  StoreFile& store_ = *storeHandle_;
  MapContext context_;
  AnalysisResult result_;
  std::unordered_map<std::uint32_t, std::size_t> treeIndex_;
  bool storeOpened_ = false;
  bool hadStoreGroup_ = false;
  bool ended_ = false;
  bool scanShown_ = false;
};

}  // namespace

std::int32_t CountNodesBelow(const StoreNode& top) {
  std::int32_t count = 0;
  const StoreNode* n = top.firstChild;
  while (n != nullptr) {
    ++count;
    if (n->dataBlock != nullptr && n->firstChild != nullptr) {
      n = n->firstChild;
      continue;
    }
    while (n != nullptr && n->nextSibling == nullptr) {
      n = n->parent;
      if (n == &top) n = nullptr;
    }
    if (n != nullptr) n = n->nextSibling;
  }
  return count;
}

const StoreNode* FindTopFolder(const StoreFile& store, const StoreFields& storeFields) {
  std::uint32_t topNid = kDefaultTopFolder;
  const Raw& id = storeFields.ipmSubtreeEntryId;
  const bool named = id && id->size() >= 24;
  if (named) topNid = *LoadLe32(*id, 20);
  if (const StoreNode* top = FindNode(store, topNid); top != nullptr || named) return top;
  // The message store of an OST may not name its top folder: the root folder is the folder
  // that is its own parent, and the top the folder below it that holds the most.
  const StoreNode* root = nullptr;
  store.nodes.ForEachPreorder([&root](const StoreNode& n, int depth) {
    if (root == nullptr && depth == 0 && n.NidType() == 0x02 && n.nidParent == n.nid) root = &n;
  });
  const StoreNode* top = nullptr;
  std::size_t most = 0;
  for (const StoreNode* n = root != nullptr ? root->firstChild.Get() : nullptr; n != nullptr;
       n = n->nextSibling) {
    const std::size_t size = n->NidType() == 0x02 ? SubtreeSize(*n) : 0;
    if (size > most) {
      top = n;
      most = size;
    }
  }
  return top;
}

bool IsMailFolder(const ItemRecord& r) {
  const bool onlyCounts = !r.messageClass && !r.mail && !r.contact && r.attachments.empty() &&
                          !r.store && !r.journal && !r.appointment;
  return r.messageClass.value_or("") == "IPF.Note" || r.kind == ItemKind::kMail || onlyCounts;
}

int StandardFolderOf(const std::string& path) {
  for (const auto& [prefix, counter] : kStandardPaths) {
    if (path.rfind(prefix, 0) == 0) return counter;
  }
  return -1;
}

AnalysisResult RunAnalysis(const AnalysisOptions& options, AnalysisObserver& observer,
                           RunControl& control) {
  AnalysisResult result = Analysis(options, observer, control).Run();
  // What the walk read is freed: a saving run or the wizard's lists come next, on other threads.
  ReleaseFreedMemory();
  return result;
}

const char* AnalysisCounters::Name(int index) {
  static constexpr const char* kNames[kCount] = {
      "Inbox", "Outbox", "Drafts", "Sent Items", "Deleted Items", "Tasks", "Contacts",
      "Junk E-mail", "Notes", "Journal", "Calendar", "Sync Issues"};
  return index >= 0 && index < kCount ? kNames[index] : "";
}

ChildCounts& ChildCounts::operator+=(const ChildCounts& o) {
  mail += o.mail;
  contact += o.contact;
  appointment += o.appointment;
  task += o.task;
  note += o.note;
  journal += o.journal;
  other += o.other;
  hidden += o.hidden;
  return *this;
}

bool AnalysisResult::HasItems() const {
  return std::any_of(tree.begin(), tree.end(), [](const TreeFolder& f) { return f.children.Items() > 0; });
}

ChildCategory CategoryOfClass(const std::string& cls) {
  auto is = [&cls](std::string_view prefix) { return StartsWithIgnoringCase(cls, prefix); };
  if (is("IPM.Note") || is("IPM.Schedule.Meeting") || is("REPORT.") || is("IPM.TaskRequest") ||
      EqualsIgnoringCase(cls, "IPM")) {
    return ChildCategory::kMail;
  }
  if (is("IPM.Contact") || is("IPM.AbchPerson")) return ChildCategory::kContact;
  if (is("IPM.Appointment")) return ChildCategory::kAppointment;
  if (is("IPM.Task")) return ChildCategory::kTask;
  if (is("IPM.StickyNote")) return ChildCategory::kNote;
  if (is("IPM.Activity")) return ChildCategory::kJournal;
  return ChildCategory::kOther;
}

std::string DamageCost(const DamageEntry& entry) {
  if (entry.index) return "the index";
  if (!entry.item.empty()) return entry.folder + ": " + entry.item;
  if (!entry.folder.empty()) return entry.folder;
  return "node " + Hex(entry.report.nodeId);
}

std::string DamageSummary(const AnalysisResult& result, const RecoverySummary& recovery) {
  const auto line = [](const std::string& label, std::uint64_t count) {
    return label + "    " + std::to_string(count) + "\r\n";
  };
  std::string text = line("Damage reports", result.damageReports);
  std::array<std::uint64_t, kDamageKindCount> perKind{};
  for (const DamageEntry& entry : result.damage) {
    ++perKind[static_cast<std::size_t>(entry.report.kind)];
  }
  for (std::size_t k = 0; k < kDamageKindCount; ++k) {
    if (perKind[k] == 0) continue;
    text += line(std::string("  ") + DamageKindLabel(static_cast<DamageKind>(k)), perKind[k]);
  }
  if (result.damageReports > result.damage.size()) {
    text += line("  not kept", result.damageReports - result.damage.size());
  }
  if (!result.scanRan) return text;
  text += line("Blocks added by the recovery pass", recovery.blocksAdded);
  text += line("Node entries added by the recovery pass", recovery.nodesAdded);
  text += line("Folders rebuilt", recovery.foldersRebuilt);
  text +=
      line(std::string("Items put into \"") + kRecoveredItemsFolder + "\"", recovery.itemsFiled);
  text += line("Items recovered by the scan", static_cast<std::uint64_t>(result.itemsFromScan));
  text += line("Folders recovered by the scan", static_cast<std::uint64_t>(result.foldersFromScan));
  return text;
}

std::string AnalysisSummary(const AnalysisCounters& counters) {
  using C = AnalysisCounters;
  static constexpr std::pair<const char*, int> kLines[] = {
      {"Deleted Items    ", C::kDeletedItems}, {"Inbox    ", C::kInbox},
      {"Outbox    ", C::kOutbox},              {"Journal    ", C::kJournal},
      {"Tasks    ", C::kTasks},                {"Drafts    ", C::kDrafts},
      {"Contacts Items    ", C::kContacts},    {"Notes    ", C::kNotes},
      {"Calendar    ", C::kCalendar},          {"Junk E-mails    ", C::kJunkEmail},
      {"Sent Items    ", C::kSentItems},       {"Sync Issues    ", C::kSyncIssues}};
  std::string text;
  for (const auto& [label, index] : kLines) {
    text += label + std::to_string(counters.values[static_cast<std::size_t>(index)]) + "\r\n";
  }
  return text;
}

}  // namespace palvara
