// The output side of a saving run: creates the new PST through the conversion component and
// writes folders, mail, appointments, tasks and contacts into it, turning item records into
// the texts and in-memory files the components take, and hands each call the source item read
// whole. Past a size limit it goes on in a continuation file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/text.h"
#include "export/components.h"
#include "export/unfinished_output.h"
#include "items/item_record.h"
#include "reader/store_file.h"

namespace palvara {

struct StoreNode;

inline constexpr std::uint64_t kOutputSplitSize = 0x60000000;
inline constexpr std::size_t kLongBodyLimit = 500000;
inline constexpr const char* kStoreNamePrefix = "Palvara_Tools_Personal_Folder";

// A component that cannot be created: the run cannot save anything.
class ComponentMissing : public ComponentError {
 public:
  explicit ComponentMissing(const std::string& message) : ComponentError(message, true) {}
};

// "Redemption.dll is not properly configured. Please Re-Install the software." and the like.
std::string ComponentMissingMessage(std::string_view progId);

// The Windows file name rule attachment names must pass.
bool IsAcceptableFileName(std::string_view name);

// The name an attachment is saved under: its long file name when that passes the rule (the
// short one is an 8.3 stand-in such as "leah_t~1.jpg"), else its short file name.
std::string AttachmentName(const AttachmentNode& attachment);

// The sender text ("Name<address>", "<Name>" for an address without "@", the name alone) and
// the recipient text (display-To, then "<address>" of the receiving mailbox) of a mail.
std::string SenderText(const MailFields& mail);
std::string RecipientText(const MailFields& mail);

// An attached message as a message file (headers, then the body), and its subject.
struct AttachedMessage {
  std::string text;
  std::string subject;
};
// nullopt when the attachment holds no attached message or it cannot be read. `message` is
// the node of the mail that carries the attachment.
std::optional<AttachedMessage> RenderAttachedMessage(StoreFile& store, const StoreNode* message,
                                                     const AttachmentNode& attachment);
// The file name of an attached message: the attachment's name with ".eml" for ".msg", else
// its subject + ".eml".
std::string AttachedMessageName(const AttachmentNode& attachment, const std::string& subject);

// The name of the new PST for a source file name and a time stamp: every ".pst" replaced by
// "-" + stamp + ".pst"; a name without ".pst" gives its stem + "-" + stamp + ".pst".
std::string OutputFileName(const std::string& sourceFileName, const std::string& stamp);

// "d/m/y" and "h.m.s" of a FILETIME, UTC, without leading zeros.
std::string DateText(std::uint64_t fileTime);
std::string TimeText(std::uint64_t fileTime);

struct PstOutputOptions {
  ComponentFactory* factory = nullptr;  // the run's own native components when null
  std::string sourceFileName;           // the source store's file name, e.g. "Outlook.pst"
  std::filesystem::path defaultTargetFolder;
  std::uint64_t splitSize = kOutputSplitSize;
  std::function<CivilTime()> localTime;  // the local clock when empty
};

class USave_to_PST_Format {
 public:
  explicit USave_to_PST_Format(PstOutputOptions options);
  // Removes the current output file when it was not finished.
  ~USave_to_PST_Format();
  USave_to_PST_Format(const USave_to_PST_Format&) = delete;
  USave_to_PST_Format& operator=(const USave_to_PST_Format&) = delete;

  // Checks the components (ComponentMissing when one cannot be created), creates the
  // conversion component and the output store in `targetFolder` (the default target folder
  // when empty; created when missing).
  void InitOutputStore(const std::string& targetFolder);
  // "Personal Folders\\Inbox\\Old\\": creates every level below the store root, parents first.
  void CreateFolderPath(const std::string& folderPath);
  // Writes one mail item into `folderPath`. `node` is the item's node, for attachment data
  // that the record does not hold; `source` the item read whole, when it could be read. Every
  // item call may start a continuation file (SplitFlag()) after the item is written.
  void WriteMail(ItemRecord& record, StoreFile& store, const std::string& folderPath,
                 const StoreNode* node, const CopiedMessage* source = nullptr);
  // These write into the current output folder.
  void WriteAppointment(const ItemRecord& record, const CopiedMessage* source = nullptr);
  void WriteTask(const MailFields& mail, const CopiedMessage* source = nullptr);
  void WriteContact(const ItemRecord& record, const CopiedMessage* source = nullptr);
  // An item without a call of its own (sticky note, journal entry, distribution list).
  void WriteItem(const CopiedMessage& source);
  // The conversion component's finishing call for the current output file.
  void Finish();

  bool SplitFlag() const { return split_; }
  void ClearSplitFlag() { split_ = false; }
  // True when the conversion component writes an item given whole from it alone: the record
  // then serves only the items that could not be read whole.
  bool WritesSourceWhole() const { return conversion_ && conversion_->WritesSourceWhole(); }
  // The finished output files under their final names.
  const std::vector<std::filesystem::path>& OutputFiles() const { return outputFiles_; }
  // The final name of the file being written (or of the last one finished); empty before the
  // first.
  const std::filesystem::path& CurrentOutput() const { return file_.final(); }
  const std::string& StoreDisplayName() const { return storeDisplayName_; }
  const std::string& CurrentOutputFolder() const { return currentOutputFolder_; }

 private:
  std::unique_ptr<Component> CreateChecked(std::string_view progId);
  std::string StorePath(const std::string& folderPath) const;
  void FormatTime(const Raw& fileTime);
  void CheckSize();
  // The component's finishing call, then the store gets its final name.
  void FinishCurrentFile();

  PstOutputOptions options_;
  std::unique_ptr<ComponentFactory> ownFactory_;
  std::unique_ptr<ConversionComponent> conversion_;
  UnfinishedOutput file_;         // the current output file
  std::string storeName_;         // the first file's store name
  std::string storeDisplayName_;  // "\\\\" + name
  std::string currentOutputFolder_;
  std::string dateText_, timeText_;
  std::vector<std::filesystem::path> outputFiles_;
  int outputFileCount_ = 0;
  int itemsInFile_ = 0;
  bool split_ = false;
};

}  // namespace palvara
