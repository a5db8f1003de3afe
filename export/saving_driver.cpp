#include "export/saving_driver.h"

#include <algorithm>

#include "export/saving_walk.h"
#include "items/classify.h"
#include "items/mapping.h"
#include "reader/btree_walk.h"
#include "reader/store_file.h"

namespace palvara {
namespace {

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
      TakeNotices();
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

  void TakeNotices() {
    for (std::string& text : writer_->TakeNotices()) {
      observer_.Notice(text);
      result_.notices.push_back(std::move(text));
    }
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

  // Writes the steps of the walk in its order; the items are loaded on the walk's own thread
  // meanwhile.
  void Walk() {
    MapContext records = context_;
    records.texts = writer_->RecordTexts();
    SavingWalk walk(store_, *top_, records, options_.selectedFolders, writer_->RecordAttachments());
    while (!control_.stopSaving && !(control_.stopAnalysis && EveryCountReached())) {
      control_.WaitWhilePaused();
      if (control_.stopSaving) break;
      std::optional<SavingStep> step = walk.Next();
      if (!step) break;
      ++progress_.saved;
      progress_.outputFile = writer_->CurrentOutput().string();
      observer_.Progress(progress_);
      if (step->kind == SavingStep::Kind::kFolder) {
        writer_->DeclareFolder(step->path, step->path.substr(0, step->parentLength));
        EnterFolder(step->path);
      } else if (step->kind == SavingStep::Kind::kItem) {
        SaveItem(*step);
      }
      TakeNotices();
      walk.Release(std::move(*step));
    }
  }

  void EnterFolder(const std::string& path) {
    if (!Selected(path)) return;
    CreateFolder(path);
    progress_.destination = path;
    observer_.Progress(progress_);
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
    ++result_.writtenInFolder[folder];
    return true;
  }

  // Items that go into the folder the walk is in: its output folder is that one again after
  // a subfolder was written, and after a continuation file was begun.
  void EnterCurrentFolder(const std::string& path) {
    if (outputFolderPath_ != path) CreateFolder(path);
  }
  void AfterCurrentFolderItem(const std::string& path) {
    if (!writer_->SplitFlag()) return;
    CreateFolder(path);
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

  void SaveItem(SavingStep& step) {
    ItemRecord& r = *step.record;
    const StoreNode& node = *step.node;
    const std::string& path = step.path;
    const std::string cls = r.messageClass.value_or("");
    const SavedKind kind = KindOf(r, cls);
    if (kind == SavedKind::kMail) return SaveMail(step);
    if (kind == SavedKind::kTask) {
      progress_.currentFolder = path;
      observer_.Progress(progress_);
    }
    if (!Selected(path)) return;
    if (kind == SavedKind::kAppointment) progress_.destination = path;
    const CopiedMessage* s = step.source.get();
    EnterCurrentFolder(path);
    bool written = false;
    switch (kind) {
      case SavedKind::kTask:
        written = Output(path, kind, r, [&] {
          if (!r.mail && !s) throw ComponentError(kReasonUnreadable);
          writer_->WriteTask({r, store_, node, path, s});
        });
        if (written) Count(AnalysisCounters::kTasks, path);
        break;
      case SavedKind::kAppointment:
        written = Output(path, kind, r, [&] { writer_->WriteAppointment({r, store_, node, path, s}); });
        if (written) Count(AnalysisCounters::kCalendar, path);
        break;
      case SavedKind::kContact:
      case SavedKind::kDistributionList:
        written = Output(path, kind, r, [&] { writer_->WriteContact({r, store_, node, path, s}); });
        if (written) Count(AnalysisCounters::kContacts, path);
        break;
      case SavedKind::kNote:
      case SavedKind::kJournal:
        written = Output(path, kind, r, [&] {
          if (!s) throw ComponentError(kReasonUnreadable);
          const OutputItem item{r, store_, node, path, s};
          kind == SavedKind::kNote ? writer_->WriteNote(item) : writer_->WriteJournal(item);
        });
        if (written) Count(kind == SavedKind::kNote ? AnalysisCounters::kNotes : AnalysisCounters::kJournal, path);
        break;
      default:
        break;
    }
    AfterCurrentFolderItem(path);
  }

  void SaveMail(SavingStep& step) {
    if (!step.mailFolder || !Selected(*step.mailFolder)) return;
    ItemRecord& r = *step.record;
    const StoreNode& node = *step.node;
    const std::string& path = *step.mailFolder;
    progress_.destination = path;
    const CopiedMessage* source = step.source.get();
    const bool written = Output(path, SavedKind::kMail, r, [&] {
      writer_->WriteMail({r, store_, node, path, source});
      if (writer_->SplitFlag()) {
        // A continuation file was begun: the folder is made there and the mail written again.
        CreateFolder(path);
        writer_->WriteMail({r, store_, node, path, source});
        writer_->ClearSplitFlag();
      }
    });
    if (const int counter = StandardFolderOf(path); written && counter >= 0) Count(counter, path);
  }

  void End() {
    progress_.currentFolder = " ";
    observer_.Progress(progress_);
    try {
      // A store whose writing failed is not finished: it is removed with the writer.
      if (result_.outcome != SaveResult::Outcome::kOutputFailed) writer_->Finish();
    } catch (const std::exception& e) {
      result_.outcome = SaveResult::Outcome::kOutputFailed;
      result_.error = writer_->Noun() + " could not be completed: " + e.what();
      observer_.Message(result_.error);
    }
    // What did not finish goes now: the caller may keep the output for a while.
    if (result_.outcome == SaveResult::Outcome::kOutputFailed) writer_->Abandon();
    TakeNotices();
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
  std::string outputFolderPath_;  // the path last given to CreateFolderPath
};

}  // namespace

std::string SavingSummary(const AnalysisCounters& saved, std::int32_t written,
                          std::int32_t notWritten, bool stopped) {
  return AnalysisSummary(saved) + kTotalWrittenLabel + std::to_string(written) + "\r\n" +
         kTotalNotWrittenLabel + std::to_string(notWritten) + "\r\n\r\n" +
         (stopped ? kSavingAborted : kSavingCompleted);
}

std::vector<FolderShortfall> Shortfalls(const std::vector<TreeFolder>& tree,
                                        const std::vector<std::string>& selected,
                                        const SaveResult& result) {
  std::vector<FolderShortfall> out;
  for (const TreeFolder& f : tree) {
    if (std::find(selected.begin(), selected.end(), f.path) == selected.end()) continue;
    const auto written = result.writtenInFolder.find(f.path);
    FolderShortfall s{f.path, f.children.Items(),
                      written == result.writtenInFolder.end() ? 0 : written->second};
    if (s.written < s.counted) out.push_back(std::move(s));
  }
  return out;
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
