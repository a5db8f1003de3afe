#include "export/saving_driver.h"

#include <algorithm>

#include "export/source_item.h"
#include "items/classify.h"
#include "items/mapping.h"
#include "reader/btree_walk.h"
#include "reader/store_file.h"

namespace palvara {
namespace {

constexpr const char* kTopPath = "Personal Folders\\";
constexpr const char* kReasonUnreadable = "the item could not be read";

class Saving {
 public:
  Saving(const SaveOptions& options, SavingObserver& observer, RunControl& control)
      : options_(options),
        observer_(observer),
        control_(control),
        storeHandle_(options.store != nullptr ? options.store : std::make_shared<StoreFile>()),
        store_(*storeHandle_) {}

  SaveResult Run() {
    control_.stopSaving = false;
    control_.savingActive = true;
    if (!Open()) return std::move(result_);
    try {
      Walk();
    } catch (const ComponentMissing& e) {
      ownWriter_.reset();  // an unfinished store goes before the program may end
      writer_ = nullptr;
      Fail(SaveResult::Outcome::kComponentMissing, e.what());
      return std::move(result_);
    } catch (const std::exception& e) {
      // The output store itself failed (or memory ran out): nothing more can be written.
      result_.outcome = SaveResult::Outcome::kOutputFailed;
      result_.error = writer_->Noun() + " could not be written: " + e.what();
      observer_.Message(result_.error);
    }
    End();
    return std::move(result_);
  }

 private:
  bool Open() {
    std::filesystem::path source = options_.sourcePath;
    std::error_code ec;
    if (source.empty() || !std::filesystem::exists(source, ec)) source = options_.searchSourcePath;
    if (options_.store != nullptr) source = options_.store->path;  // the file it was opened from
    if (options_.store == nullptr) {
      if (const Status opened = OpenStore(store_, source); !opened.ok()) {
        result_.outcome = SaveResult::Outcome::kCannotRead;
        result_.result = 1;
        result_.error = std::string(kMessageCannotReadStore) + " (" + opened.message() + ")";
        observer_.Message(kMessageCannotReadStore);
        return false;
      }
      RecoveryOptions recovery;
      recovery.mode = options_.scan;
      recovery.control = &control_;
      IndexStoreWithRecovery(store_, recovery);
      LoadNamedPropertyMap(store_);
    }
    context_ = MapContextFor(store_);
    sourceReader_ = std::make_unique<SourceItemReader>(store_);
    std::unique_ptr<ItemRecord> storeRecord;
    if (const StoreNode* first = store_.nodes.First()) storeRecord = LoadItem(store_, *first, context_);
    if (!storeRecord || !storeRecord->store) {
      result_.outcome = SaveResult::Outcome::kAnalysisFailed;
      result_.error = kMessageAnalysisFailed;
      observer_.Message(kMessageAnalysisFailed);
      return false;
    }
    top_ = FindTopFolder(store_, *storeRecord->store);
    if (top_ == nullptr) {
      result_.outcome = SaveResult::Outcome::kNoRootFolder;
      result_.error = kMessageRootNotFound;
      observer_.Message(kMessageRootNotFound);
      return false;
    }
    progress_.total = CountNodesBelow(*top_) - 3;
    progress_.saved = options_.itemCounter;
    observer_.Progress(progress_);
    if (top_->nid != 0) folders_.push_back({kTopPath, top_->nid});
    if (control_.stopSaving) {
      // Stopped while the store was being read: no output is begun.
      result_.outcome = SaveResult::Outcome::kAborted;
      result_.summary = SavingSummary(result_.saved, result_.Written(), result_.failedItems, true);
      observer_.LogLine(result_.summary);
      return false;
    }

    PstOutputOptions output = options_.output;
    if (output.sourceFileName.empty()) output.sourceFileName = source.filename().string();
    if (options_.target != nullptr) {
      writer_ = options_.target;
    } else {
      ownWriter_ = std::make_unique<PstSavingOutput>(std::move(output));
      writer_ = ownWriter_.get();
    }
    try {
      writer_->InitOutputStore(options_.targetFolder);
    } catch (const ComponentMissing& e) {
      Fail(SaveResult::Outcome::kComponentMissing, e.what());
      return false;
    } catch (const std::exception& e) {
      result_.outcome = SaveResult::Outcome::kOutputFailed;
      result_.error = writer_->Noun() + " could not be created: " + e.what();
      observer_.Message(result_.error);
      return false;
    }
    return true;
  }

  void Fail(SaveResult::Outcome outcome, const std::string& message) {
    result_.outcome = outcome;
    result_.error = message;
    observer_.Fatal(message);
  }

  bool Selected(const std::string& path) const {
    return std::find(options_.selectedFolders.begin(), options_.selectedFolders.end(), path) !=
           options_.selectedFolders.end();
  }

  // After a stopped analysis, the run ends once every category has what the analysis counted.
  bool EveryCountReached() const {
    for (std::size_t i = 0; i < AnalysisCounters::kCount; ++i) {
      if (result_.saved.values[i] < options_.analysisCounters.values[i]) return false;
    }
    return true;
  }

  void Walk() {
    int depth = 1;  // open folder levels; the bottom one stands for the top folder
    const StoreNode* node = top_->firstChild;
    while (node != nullptr && !control_.stopSaving &&
           !(control_.stopAnalysis && EveryCountReached())) {
      control_.WaitWhilePaused();
      if (control_.stopSaving) break;
      bool descend = false;
      std::unique_ptr<ItemRecord> record;
      // Folder-associated messages (views, rules, forms) are not the user's items.
      if (node->dataBlock != nullptr && node->NidType() != 0x08) {
        record = LoadItem(store_, *node, context_, writer_->RecordAttachments());
        ++progress_.saved;
        observer_.Progress(progress_);
      }
      if (record && !record->Empty()) {
        if (record->folderCounts) {
          descend = EnterFolder(*node, *record, depth);
        } else {
          SaveItem(*node, *record);
        }
      }
      if (descend) {
        node = node->firstChild;
        continue;
      }
      bool leftTop = false;
      while (node->nextSibling == nullptr && node->parent != nullptr) {
        if (--depth == 0) {
          leftTop = true;
          break;
        }
        LeaveFolder();
        node = node->parent;
      }
      if (leftTop) break;
      node = node->nextSibling;
    }
  }

  bool EnterFolder(const StoreNode& node, const ItemRecord& r, int& depth) {
    ++depth;
    levels_.push_back(r.displayName.value_or(""));
    currentPath_ += levels_.back() + "\\";
    writer_->FolderLevels(currentPath_, levels_);
    if (Selected(currentPath_)) {
      CreateFolder(currentPath_);
      progress_.destination = currentPath_;
      observer_.Progress(progress_);
    }
    // Every folder, not only mail folders: mail keeps the folder it was filed in, whatever
    // that folder's class.
    folders_.push_back({currentPath_, node.nid});
    if (node.firstChild != nullptr) return true;
    --depth;
    LeaveFolder();
    return false;
  }

  // The walk leaves the innermost folder: its name goes from the path whole, backslashes and
  // all.
  void LeaveFolder() {
    if (levels_.empty()) return;
    currentPath_.resize(currentPath_.size() - levels_.back().size() - 1);
    levels_.pop_back();
  }

  void CreateFolder(const std::string& path) {
    writer_->CreateFolderPath(path);
    outputFolderPath_ = path;
  }

  void Count(int counter, const std::string& testedPath) {
    const std::int32_t value = ++result_.saved.values[static_cast<std::size_t>(counter)];
    progress_.countText = std::to_string(value);
    progress_.currentFolder = testedPath;
    observer_.Progress(progress_);
  }

  void NotWritten(const std::string& folder, SavedKind kind, const ItemRecord& r,
                  const std::string& reason) {
    ++result_.kinds[static_cast<std::size_t>(kind)].notWritten;
    ++result_.failedItems;
    const MailFields* m = r.mail.get();
    result_.unsaved.push_back({folder, kind, m && m->subject && m->subject->text ? *m->subject->text : "", reason});
    observer_.ItemFailed(folder, reason);
  }

  // Runs one output call; an error of the call loses the item, not the run. True when the
  // item was written.
  template <typename Call>
  bool Output(const std::string& folder, SavedKind kind, const ItemRecord& r, Call call) {
    try {
      call();
    } catch (const ComponentError& e) {
      if (e.fatal()) throw;
      NotWritten(folder, kind, r, e.what());
      return false;
    }
    ++result_.kinds[static_cast<std::size_t>(kind)].written;
    return true;
  }

  // The item whole from the store; null (and the record's texts are written) when it cannot
  // be read so.
  std::shared_ptr<const CopiedMessage> Source(const StoreNode& node) { return sourceReader_->Read(node); }

  // Items that go into the current folder: its output folder is the current one again after
  // a subfolder was written, and after a continuation file was begun.
  void EnterCurrentFolder() {
    if (outputFolderPath_ != currentPath_) CreateFolder(currentPath_);
  }
  void AfterCurrentFolderItem() {
    if (!writer_->SplitFlag()) return;
    CreateFolder(currentPath_);
    writer_->ClearSplitFlag();
  }

  static SavedKind KindOf(const ItemRecord& r, const std::string& cls) {
    if (cls == "IPM.Task") return SavedKind::kTask;
    if (cls == "IPM.StickyNote") return SavedKind::kNote;
    if (r.kind == ItemKind::kJournal) return SavedKind::kJournal;
    if (r.kind == ItemKind::kAppointment) return SavedKind::kAppointment;
    if (ClassPrefixEquals("IPM.DistList", cls, 12) == 0) return SavedKind::kDistributionList;
    if (r.contact && cls != "IPM.Note" && r.kind != ItemKind::kMail) return SavedKind::kContact;
    return SavedKind::kMail;
  }

  void SaveItem(const StoreNode& node, ItemRecord& r) {
    const std::string cls = r.messageClass.value_or("");
    const SavedKind kind = KindOf(r, cls);
    if (kind == SavedKind::kMail) return SaveMail(node, r);
    if (kind == SavedKind::kTask) {
      progress_.currentFolder = currentPath_;
      observer_.Progress(progress_);
    }
    if (!Selected(currentPath_)) return;
    if (kind == SavedKind::kAppointment) progress_.destination = currentPath_;
    const std::shared_ptr<const CopiedMessage> source = Source(node);
    const CopiedMessage* s = source.get();
    EnterCurrentFolder();
    bool written = false;
    switch (kind) {
      case SavedKind::kTask:
        written = Output(currentPath_, kind, r, [&] {
          if (!r.mail && !s) throw ComponentError(kReasonUnreadable);
          writer_->WriteTask({r, store_, node, currentPath_, s});
        });
        if (written) Count(AnalysisCounters::kTasks, currentPath_);
        break;
      case SavedKind::kAppointment:
        written = Output(currentPath_, kind, r, [&] { writer_->WriteAppointment({r, store_, node, currentPath_, s}); });
        if (written) Count(AnalysisCounters::kCalendar, currentPath_);
        break;
      case SavedKind::kContact:
      case SavedKind::kDistributionList:
        written = Output(currentPath_, kind, r, [&] { writer_->WriteContact({r, store_, node, currentPath_, s}); });
        if (written) Count(AnalysisCounters::kContacts, currentPath_);
        break;
      case SavedKind::kNote:
      case SavedKind::kJournal:
        written = Output(currentPath_, kind, r, [&] {
          if (!s) throw ComponentError(kReasonUnreadable);
          const OutputItem item{r, store_, node, currentPath_, s};
          kind == SavedKind::kNote ? writer_->WriteNote(item) : writer_->WriteJournal(item);
        });
        if (written) Count(kind == SavedKind::kNote ? AnalysisCounters::kNotes : AnalysisCounters::kJournal, currentPath_);
        break;
      default:
        break;
    }
    AfterCurrentFolderItem();
  }

  void SaveMail(const StoreNode& node, ItemRecord& r) {
    const std::uint32_t parent = node.parent != nullptr ? node.parent->nid : 0;
    const auto entry = std::find_if(folders_.begin(), folders_.end(),
                                    [parent](const auto& f) { return f.second == parent; });
    if (folders_.empty()) return;
    const std::string path = entry != folders_.end() ? entry->first : folders_.back().first;
    if (!Selected(path)) return;
    progress_.destination = path;
    const std::shared_ptr<const CopiedMessage> source = Source(node);
    const bool written = Output(path, SavedKind::kMail, r, [&] {
      writer_->WriteMail({r, store_, node, path, source.get()});
      if (writer_->SplitFlag()) {
        // A continuation file was begun: the folder is made there and the mail written again.
        CreateFolder(path);
        writer_->WriteMail({r, store_, node, path, source.get()});
        writer_->ClearSplitFlag();
      }
    });
    if (const int counter = StandardFolderOf(path); written && counter >= 0) Count(counter, path);
  }

  void End() {
    progress_.currentFolder = " ";
    currentPath_ = " ";
    observer_.Progress(progress_);
    try {
      // A store whose writing failed is not finished: it is removed with the writer.
      if (result_.outcome != SaveResult::Outcome::kOutputFailed) writer_->Finish();
    } catch (const std::exception& e) {
      result_.outcome = SaveResult::Outcome::kOutputFailed;
      result_.error = writer_->Noun() + " could not be completed: " + e.what();
      observer_.Message(result_.error);
    }
    const bool stopped = control_.stopSaving;
    if (result_.outcome == SaveResult::Outcome::kCompleted && stopped) {
      result_.outcome = SaveResult::Outcome::kAborted;
    }
    // A run whose output failed did not complete, stopped or not.
    result_.summary =
        SavingSummary(result_.saved, result_.Written(), result_.failedItems,
                      stopped || result_.outcome == SaveResult::Outcome::kOutputFailed);
    result_.outputFiles = writer_->OutputFiles();
    observer_.LogLine(result_.summary);
    observer_.Completed();
  }

  const SaveOptions& options_;
  SavingObserver& observer_;
  RunControl& control_;
  std::shared_ptr<StoreFile> storeHandle_;
  StoreFile& store_;
  MapContext context_;
  const StoreNode* top_ = nullptr;
  std::unique_ptr<SavingOutput> ownWriter_;
  SavingOutput* writer_ = nullptr;
  SavingProgress progress_;
  SaveResult result_;
  std::unique_ptr<SourceItemReader> sourceReader_;
  std::vector<std::pair<std::string, std::uint32_t>> folders_;  // the folder list, by node
  std::string currentPath_ = kTopPath;
  std::vector<std::string> levels_;  // the names of the open folders below the top one
  std::string outputFolderPath_;  // the path last given to CreateFolderPath
};

}  // namespace

std::string SavingSummary(const AnalysisCounters& saved, std::int32_t written,
                          std::int32_t notWritten, bool stopped) {
  return AnalysisSummary(saved) + kTotalWrittenLabel + std::to_string(written) + "\r\n" +
         kTotalNotWrittenLabel + std::to_string(notWritten) + "\r\n\r\n" +
         (stopped ? kSavingAborted : kSavingCompleted);
}

std::int32_t SaveResult::Written() const {
  std::int32_t total = 0;
  for (const KindCount& k : kinds) total += k.written;
  return total;
}

const char* SavedKindName(SavedKind kind) {
  switch (kind) {
    case SavedKind::kMail: return "mail";
    case SavedKind::kAppointment: return "appointments";
    case SavedKind::kTask: return "tasks";
    case SavedKind::kContact: return "contacts";
    case SavedKind::kDistributionList: return "distributionLists";
    case SavedKind::kNote: return "notes";
    case SavedKind::kJournal: return "journal";
    case SavedKind::kCount: break;
  }
  return "";
}

SaveResult RunSave(const SaveOptions& options, SavingObserver& observer, RunControl& control) {
  return Saving(options, observer, control).Run();
}

}  // namespace palvara
