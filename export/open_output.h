// The saving run's output in the formats mail programs on Linux read: mail as mbox (mboxrd,
// one file "mbox" per folder), Maildir (Maildir++ folders below DIR/Maildir) and/or EML (one
// file per message); contacts as "contacts.vcf", appointments as "calendar.ics", tasks as
// "tasks.ics", journal entries as "journal.ics" and sticky notes as text files, whatever the
// mail format. The folder tree is mirrored as directories below DIR with safe names.
#pragma once

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "export/folder_names.h"
#include "export/mailbox_files.h"
#include "export/saving_output.h"

namespace palvara {

struct SourceMessage;

struct OpenFormats {
  bool mbox = false;
  bool maildir = false;
  bool eml = false;
};

// "mbox", "maildir", "eml" or "all"; nullopt for anything else.
std::optional<OpenFormats> ParseOpenFormats(std::string_view name);

// mboxrd: every line that starts with any number of ">" and then "From " gets one more ">".
std::string MboxrdEscape(std::string_view message);
// The same in place, for the lines of `text` from offset `from` (a line start) on; the text
// then ends in a line end.
void MboxrdQuote(std::string& text, std::size_t from);

class OpenFormatOutput : public SavingOutput {
 public:
  OpenFormatOutput(OpenFormats formats, std::filesystem::path defaultDestination);

  // Makes the destination (when missing) and proves it writable; std::runtime_error if not.
  void InitOutputStore(const std::string& targetFolder) override;
  void CreateFolderPath(const std::string& folderPath) override;
  void WriteMail(const OutputItem& item) override;
  void WriteAppointment(const OutputItem& item) override;
  void WriteTask(const OutputItem& item) override;
  void WriteContact(const OutputItem& item) override;
  void WriteNote(const OutputItem& item) override;
  void WriteJournal(const OutputItem& item) override;
  void Finish() override;
  // Mail is written from the item read whole, never from the walk's record.
  AttachmentReading RecordAttachments() const override { return AttachmentReading::kTableRows; }
  std::vector<std::filesystem::path> OutputFiles() const override { return {destination_}; }
  std::filesystem::path CurrentOutput() const override { return destination_; }
  std::string Noun() const override { return "The export to " + destination_.string(); }

  // Messages written, by the folder path they were saved under.
  const std::map<std::string, int>& MessagesByFolder() const { return messages_; }
  // The directory mirroring a folder path met so far; empty when none.
  std::filesystem::path DirectoryOf(const std::string& folderPath) const;

 private:
  struct Folder {
    std::filesystem::path dir;  // the mirrored directory
    std::string maildirName;    // "" for the top folder, ".Inbox.Old" below it
    int files = 0;              // per-item files written so far (EML, notes)
    bool made = false;
    bool maildirMade = false;
  };
  Folder& FolderFor(const std::string& folderPath);
  Folder& MadeFolder(const std::string& folderPath);
  std::filesystem::path MaildirOf(Folder& folder);
  // `borrow`: the message takes the mail fields the walk's record holds (see SourceMessageOf).
  std::unique_ptr<SourceMessage> Read(const OutputItem& item, bool borrow = false);
  std::string NextItemFile(Folder& folder, const std::string& title, const char* extension);
  void AppendCalendar(const std::filesystem::path& file, const std::string& component,
                      const std::string& zoneId, const std::string& zone);

  OpenFormats formats_;
  std::filesystem::path defaultDestination_;
  std::filesystem::path destination_;
  std::map<std::string, Folder> folders_;
  SiblingNames directoryNames_;
  SiblingNames maildirNames_;
  CollectionFiles collections_;
  std::set<std::string> zonesWritten_;  // file + "\n" + zone id
  std::map<std::string, int> messages_;
  std::uint64_t counter_ = 0;
  // How the items of the store read last are mapped, made once for it.
  const StoreFile* contextStore_ = nullptr;
  MapContext context_;
};

}  // namespace palvara
