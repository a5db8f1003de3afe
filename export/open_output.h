// The saving run's output in the formats mail programs on Linux read: mail as mbox (mboxrd,
// one file "mbox" per folder), Maildir (Maildir++ folders below DIR/Maildir) and/or EML (one
// file per message); contacts as "contacts.vcf", appointments as "calendar.ics", tasks as
// "tasks.ics", journal entries as "journal.ics" and sticky notes as text files, whatever the
// mail format. The folder tree is mirrored as directories below DIR with safe, bounded names.
// Nothing below DIR is followed or replaced (see OutputTree): a name that is taken gets the
// next free one, "mbox (2)", "00001 Subject (2).eml", "Inbox (2)", and a link or another
// user's entry in the way is named in the run's notices.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "export/folder_names.h"
#include "export/mailbox_files.h"
#include "export/output_tree.h"
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
  // Files still growing (the run failed, or ended without Finish) are removed.
  ~OpenFormatOutput() override;

  // Makes the destination (when missing) and proves it writable; std::runtime_error if not.
  void InitOutputStore(const std::string& targetFolder) override;
  void DeclareFolder(const std::string& folderPath, const std::string& parentPath) override;
  void CreateFolderPath(const std::string& folderPath) override;
  void WriteMail(const OutputItem& item) override;
  void WriteAppointment(const OutputItem& item) override;
  void WriteTask(const OutputItem& item) override;
  void WriteContact(const OutputItem& item) override;
  void WriteNote(const OutputItem& item) override;
  void WriteJournal(const OutputItem& item) override;
  void Finish() override;
  // Removes the files still growing.
  void Abandon() override { collections_.reset(); }
  // Mail is written from the item read whole, never from the walk's record.
  AttachmentReading RecordAttachments() const override { return AttachmentReading::kTableRows; }
  std::vector<std::filesystem::path> OutputFiles() const override { return {destination_}; }
  std::filesystem::path CurrentOutput() const override { return destination_; }
  std::string Noun() const override { return "The export to " + destination_.string(); }
  std::vector<std::string> TakeNotices() override;

  // Messages written, by the folder path they were saved under.
  const std::map<std::string, int>& MessagesByFolder() const { return messages_; }
  // Where a folder path went: the directory mirroring it and the Maildir++ folder (each empty
  // when none was made), and the mbox, vCard and iCalendar files finished in that directory
  // under the names they got.
  struct Placement {
    std::filesystem::path directory;
    std::filesystem::path maildir;
    std::vector<std::filesystem::path> files;
  };
  Placement PlacementOf(const std::string& folderPath) const;
  std::filesystem::path DirectoryOf(const std::string& folderPath) const {
    return PlacementOf(folderPath).directory;
  }

 private:
  struct Folder {
    std::string parentPath;  // "" for the top folder
    std::string name;        // its own name, as the store has it
    std::optional<OutputTree::Dir> dir;      // the mirrored directory, once made
    std::optional<OutputTree::Dir> maildir;  // its Maildir++ folder (the top: DIR/Maildir)
    OutputTree::Dir maildirCur = OutputTree::kTop;
    OutputTree::Dir maildirNew = OutputTree::kTop;
    std::string maildirName;  // "" for the top folder, ".Inbox.Old" below it, once made
    int files = 0;            // per-item files written so far (EML, notes)
  };
  Folder& FolderFor(const std::string& folderPath);
  // The parent of an undeclared folder path.
  std::string ParentPathOf(const std::string& folderPath) const;
  Folder& MadeFolder(const std::string& folderPath);
  Folder& MadeMaildir(const std::string& folderPath);
  // `borrow`: the message takes the mail fields the walk's record holds (see SourceMessageOf).
  std::unique_ptr<SourceMessage> Read(const OutputItem& item, bool borrow = false);
  // Writes a per-item file ("00001 Title.eml") into the folder's directory.
  void WriteItemFile(Folder& folder, const std::string& title, const char* extension,
                     std::string_view content);
  void AppendCalendar(OutputTree::Dir dir, const char* name, const std::string& component,
                      const std::string& zoneId, const std::string& zone);

  OpenFormats formats_;
  std::filesystem::path defaultDestination_;
  std::filesystem::path destination_;
  std::unique_ptr<OutputTree> tree_;
  std::unique_ptr<CollectionFiles> collections_;  // goes before the tree it writes into
  std::map<std::string, Folder> folders_;
  std::map<std::string, std::string> declared_;  // folder path -> its parent's, as walked
  SiblingNames directoryNames_;
  SiblingNames maildirNames_;
  std::set<std::string> zonesWritten_;  // directory, file name and zone id
  std::map<std::string, int> messages_;
  std::uint64_t counter_ = 0;
  std::string runTag_;  // tells this run's Maildir names from another's of the same process
  // How the items of the store read last are mapped, made once for it.
  const StoreFile* contextStore_ = nullptr;
  MapContext context_;
};

}  // namespace palvara
