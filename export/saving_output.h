// Where a saving run writes what its walk hands on: the new PST, or files in open formats.
// The walk calls these in its order; an output throws ComponentError for an item it could not
// take (fatal when nothing more can be written) and std::exception when it cannot go on.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "export/pst_output.h"
#include "items/item_record.h"
#include "items/mapping.h"
#include "reader/store_file.h"
#include "writer/message_copy.h"

namespace palvara {

struct StoreNode;

// One item of the walk: its record, the store it was read from, its node, the folder path it
// is saved under ("Personal Folders\\Inbox\\"), and the item read whole (null when it could
// not be read so).
struct OutputItem {
  ItemRecord& record;
  StoreFile& store;
  const StoreNode& node;
  const std::string& folderPath;
  const CopiedMessage* source = nullptr;
};

class SavingOutput {
 public:
  virtual ~SavingOutput() = default;
  // Prepares the destination; `targetFolder` empty means the output's default.
  virtual void InitOutputStore(const std::string& targetFolder) = 0;
  // Every folder the walk enters, selected or not, before anything of it is written: its path
  // and its parent's. A path alone cannot always tell (a name may begin or end with a
  // backslash, which the path writes twice, next to the one that ends the parent's name).
  virtual void DeclareFolder(const std::string& /*folderPath*/, const std::string& /*parentPath*/) {}
  // A selected folder, "Personal Folders\\Inbox\\Old\\" (a backslash inside a name written
  // twice, see common/folder_path.h).
  virtual void CreateFolderPath(const std::string& folderPath) = 0;
  virtual void WriteMail(const OutputItem& item) = 0;
  virtual void WriteAppointment(const OutputItem& item) = 0;
  virtual void WriteTask(const OutputItem& item) = 0;
  virtual void WriteContact(const OutputItem& item) = 0;
  virtual void WriteNote(const OutputItem& item) = 0;
  virtual void WriteJournal(const OutputItem& item) = 0;
  // Completes what was written; no further calls follow.
  virtual void Finish() = 0;
  // Called instead of Finish when the run failed: what is unfinished goes now rather than with
  // the output. No further calls follow.
  virtual void Abandon() {}
  // How much of its attachments the walk's record of each item read whole must carry: an
  // output that writes such an item from OutputItem::source alone needs the table rows only.
  // An item that could not be read whole comes with its attachments whole.
  virtual AttachmentReading RecordAttachments() const { return AttachmentReading::kWhole; }
  // The texts that record must carry, likewise; an item that could not be read whole comes
  // with every text.
  virtual TextFields RecordTexts() const { return TextFields::kAll; }
  // The PST output begins a continuation file inside WriteMail; the mail is then written again.
  virtual bool SplitFlag() const { return false; }
  virtual void ClearSplitFlag() {}
  virtual std::vector<std::filesystem::path> OutputFiles() const = 0;
  // What is being written now, under the name it will have: the current file, or the folder
  // the files go into.
  virtual std::filesystem::path CurrentOutput() const = 0;
  // How messages name the output: "The new PST file".
  virtual std::string Noun() const = 0;
  // What the output noted since the last call and the run's messages should say (an entry
  // it would not write through, and the name it took instead).
  virtual std::vector<std::string> TakeNotices() { return {}; }
};

// The PST output (USave_to_PST_Format) behind the interface.
class PstSavingOutput : public SavingOutput {
 public:
  explicit PstSavingOutput(PstOutputOptions options) : writer_(std::move(options)) {}
  void InitOutputStore(const std::string& targetFolder) override {
    writer_.InitOutputStore(targetFolder);
  }
  void CreateFolderPath(const std::string& folderPath) override {
    writer_.CreateFolderPath(folderPath);
  }
  void WriteMail(const OutputItem& item) override {
    writer_.WriteMail(item.record, item.store, item.folderPath, &item.node, item.source);
  }
  void WriteAppointment(const OutputItem& item) override {
    writer_.WriteAppointment(item.record, item.source);
  }
  void WriteTask(const OutputItem& item) override {
    const MailFields none;
    writer_.WriteTask(item.record.mail ? *item.record.mail : none, item.source);
  }
  void WriteContact(const OutputItem& item) override {
    writer_.WriteContact(item.record, item.source);
  }
  // Sticky notes and journal entries go into the new store whole.
  void WriteNote(const OutputItem& item) override { WriteWhole(item); }
  void WriteJournal(const OutputItem& item) override { WriteWhole(item); }
  void Finish() override { writer_.Finish(); }
  AttachmentReading RecordAttachments() const override {
    return writer_.WritesSourceWhole() ? AttachmentReading::kTableRows : AttachmentReading::kWhole;
  }
  TextFields RecordTexts() const override {
    return writer_.WritesSourceWhole() ? TextFields::kSubject : TextFields::kAll;
  }
  bool SplitFlag() const override { return writer_.SplitFlag(); }
  void ClearSplitFlag() override { writer_.ClearSplitFlag(); }
  std::vector<std::filesystem::path> OutputFiles() const override { return writer_.OutputFiles(); }
  std::filesystem::path CurrentOutput() const override { return writer_.CurrentOutput(); }
  std::string Noun() const override { return "The new PST file"; }

 private:
  void WriteWhole(const OutputItem& item) {
    if (item.source == nullptr) throw ComponentError("the item could not be read whole");
    writer_.WriteItem(*item.source);
  }

  USave_to_PST_Format writer_;
};

}  // namespace palvara
