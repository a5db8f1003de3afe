#include "export/saving_driver.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>

#include "export/native_components.h"
#include "reader/index_rebuild.h"
#include "reader/named_properties.h"
#include "tests/export/recording_components.h"
#include "tests/support/store_items.h"
#include "tests/support/test_data.h"
#include "writer/sample_generator.h"
#include "writer/store_check.h"
#include "writer/store_writer.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;

Bytes Fill(std::size_t size, int seed) { return testing::PatternBytes(size, seed, 7); }

MessageSpec Mail(const std::string& subject, int seed) {
  MessageSpec m;
  m.subject = subject;
  m.body = "Body of " + subject;
  m.senderName = "Ada Lovelace";
  m.senderAddress = "ada@example.com";
  m.submitTime = 0x01DB000000000000ull + static_cast<std::uint64_t>(seed) * 10000000ull;
  m.deliveryTime = m.submitTime + 30000000ull;
  m.recipients = {{"Bob", "bob@example.com", 1}, {"Carol", "carol@example.com", 1}};
  return m;
}

class CountingObserver : public SavingObserver {
 public:
  std::function<void(const SavingProgress&)> onProgress;
  std::vector<std::string> messages, fatal, log;
  int completed = 0;
  void Progress(const SavingProgress& p) override {
    if (onProgress) onProgress(p);
  }
  void Message(const std::string& text) override { messages.push_back(text); }
  void Fatal(const std::string& text) override { fatal.push_back(text); }
  void LogLine(const std::string& entry) override { log.push_back(entry); }
  void Completed() override { ++completed; }
};

class SavingDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("palvara-saving-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    source_ = dir_ / "source.pst";
    Status status = Status::Ok();
    auto w = StoreWriter::Create(source_, "Personal Folders", EncodingMethod::kPermute, &status);
    ASSERT_TRUE(w);
    const std::uint32_t inbox = w->CreateFolder(kNidIpmSubtree, "Inbox", "IPF.Note");
    const std::uint32_t old = w->CreateFolder(inbox, "Old", "IPF.Note");
    const std::uint32_t sent = w->CreateFolder(kNidIpmSubtree, "Sent Items", "IPF.Note");
    const std::uint32_t contacts = w->CreateFolder(kNidIpmSubtree, "Contacts", "IPF.Contact");
    const std::uint32_t calendar = w->CreateFolder(kNidIpmSubtree, "Calendar", "IPF.Appointment");
    const std::uint32_t tasks = w->CreateFolder(kNidIpmSubtree, "Tasks", "IPF.Task");
    const std::uint32_t notes = w->CreateFolder(kNidIpmSubtree, "Notes", "IPF.StickyNote");
    const std::uint32_t journal = w->CreateFolder(kNidIpmSubtree, "Journal", "IPF.Journal");
    MessageSpec withFiles = Mail("Quarterly report", 1);
    withFiles.attachments = {{"small.txt", Fill(10, 1), "text/plain", nullptr},
                             {"large.bin", Fill(300000, 2), "application/octet-stream", nullptr}};
    w->AddMessage(inbox, withFiles);
    w->AddMessage(inbox, Mail("東京の会議", 2));
    w->AddContact(inbox, {"Stray Contact", "Stray", "Contact", "", "stray@example.com", "", ""});
    w->AddMessage(old, Mail("Old news", 3));
    MessageSpec forward = Mail("Sent one", 4);
    AttachmentSpec attached;
    attached.fileName = "original.msg";
    MessageSpec original = Mail("The original", 5);
    original.body = "Original words";
    attached.embedded = std::make_shared<const MessageSpec>(original);
    forward.attachments.push_back(std::move(attached));
    w->AddMessage(sent, forward);
    w->AddContact(contacts, {"Ada Lovelace", "Ada", "Lovelace", "Engines Ltd", "ada@example.com",
                             "+1 555 0100", "+1 555 0199"});
    w->AddContact(contacts, {"Alan Turing", "Alan", "Turing", "", "alan@example.com", "", ""});
    w->AddAppointment(calendar, {"Review", "Room 1", "Agenda", 0x01DB000000000000ull,
                                 0x01DB000000000000ull + 36000000000ull, false});
    w->AddTask(tasks, {"Call back", "About the invoice", 0x01DB000000000000ull,
                       0x01DB000000000000ull + 864000000000ull, 0.5, ""});
    w->AddNote(notes, "Remember the milk", 0x01DB000000000000ull);
    w->AddJournalEntry(journal, "Phone call with Bob", "Phone call", 0x01DB000000000000ull);
    ASSERT_TRUE(w->Finish().ok());
  }
  void TearDown() override { fs::remove_all(dir_); }

  SaveResult Save(std::vector<std::string> selected) {
    SaveOptions options;
    options.sourcePath = source_;
    options.targetFolder = (dir_ / "out").string();
    options.selectedFolders = std::move(selected);
    options.output.splitSize = splitSize_;
    options.output.factory = factory_;
    return RunSave(options, observer_, control_);
  }

  static const std::vector<std::string>& All() {
    static const std::vector<std::string> all = {
        "Personal Folders\\",          "Personal Folders\\Deleted Items\\",
        "Personal Folders\\Inbox\\",   "Personal Folders\\Inbox\\Old\\",
        "Personal Folders\\Sent Items\\", "Personal Folders\\Contacts\\",
        "Personal Folders\\Calendar\\", "Personal Folders\\Tasks\\",
        "Personal Folders\\Notes\\",   "Personal Folders\\Journal\\"};
    return all;
  }

  fs::path dir_, source_;
  CountingObserver observer_;
  RunControl control_;
  std::uint64_t splitSize_ = kOutputSplitSize;
  ComponentFactory* factory_ = nullptr;
};

using C = AnalysisCounters;

TEST_F(SavingDriverTest, NothingSelectedGivesAnEmptyStoreAndTwelveZeros) {
  const SaveResult r = Save({});
  ASSERT_EQ(r.outcome, SaveResult::Outcome::kCompleted) << r.error;
  for (std::int32_t v : r.saved.values) EXPECT_EQ(v, 0);
  EXPECT_EQ(r.summary, AnalysisSummary(AnalysisCounters{}) +
                           "Items written    0\r\nItems not written    0\r\n\r\nSaving completed successfully");
  EXPECT_EQ(observer_.log, std::vector<std::string>{r.summary});
  EXPECT_EQ(observer_.completed, 1);
  ASSERT_EQ(r.outputFiles.size(), 1u);
  EXPECT_EQ(CheckStore(r.outputFiles[0]).Errors(), 0u);
  testing::StoreItems out;
  ASSERT_TRUE(testing::LoadStoreItems(r.outputFiles[0], out));
  EXPECT_EQ(out.folders.size(), 2u);  // the top folder and Deleted Items
  for (const auto& [path, items] : out.folders) EXPECT_TRUE(items.empty()) << path;
}

TEST_F(SavingDriverTest, EachFolderMustBeSelectedItselfButCountsUnderItsStandardFolder) {
  SaveResult r = Save({"Personal Folders\\Inbox\\"});
  EXPECT_EQ(r.saved.values[C::kInbox], 2);
  // A contact outside the Contacts folder is saved where it was, and counted as a contact.
  EXPECT_EQ(r.saved.values[C::kContacts], 1);
  EXPECT_EQ(r.kinds[static_cast<std::size_t>(SavedKind::kContact)].written, 1);
  EXPECT_EQ(r.Written(), 3);
  testing::StoreItems out;
  ASSERT_TRUE(testing::LoadStoreItems(r.outputFiles.at(0), out));
  ASSERT_EQ(out.folders.at("Inbox").size(), 3u);
  EXPECT_EQ(out.folders.at("Inbox")[2]->displayName, "Stray Contact");
  EXPECT_EQ(out.folders.count("Inbox/Old"), 0u);

  r = Save({"Personal Folders\\Inbox\\Old\\"});
  EXPECT_EQ(r.saved.values[C::kInbox], 1);
  testing::StoreItems old;
  ASSERT_TRUE(testing::LoadStoreItems(r.outputFiles.at(0), old));
  EXPECT_EQ(old.folders.at("Inbox").size(), 0u);  // made as the parent, nothing saved in it
  EXPECT_EQ(old.folders.at("Inbox/Old").size(), 1u);
}

TEST_F(SavingDriverTest, EverythingSelectedReadsBackAsTheSourceHasIt) {
  std::set<std::string> files;  // the progress names the file being written
  observer_.onProgress = [&files](const SavingProgress& p) {
    if (!p.outputFile.empty()) files.insert(p.outputFile);
  };
  const SaveResult r = Save(All());
  ASSERT_EQ(r.outcome, SaveResult::Outcome::kCompleted) << r.error;
  ASSERT_EQ(r.outputFiles.size(), 1u);
  EXPECT_EQ(files, std::set<std::string>{r.outputFiles[0].string()});
  // Every item is counted in the folder it was written into.
  EXPECT_GT(r.writtenInFolder.at("Personal Folders\\Inbox\\Old\\"), 0);
  std::int32_t inFolders = 0;
  for (const auto& [folder, n] : r.writtenInFolder) inFolders += n;
  EXPECT_EQ(inFolders, r.Written());
  EXPECT_EQ(r.saved.values[C::kInbox], 3);
  EXPECT_EQ(r.saved.values[C::kSentItems], 1);
  EXPECT_EQ(r.saved.values[C::kContacts], 3);
  EXPECT_EQ(r.saved.values[C::kCalendar], 1);
  EXPECT_EQ(r.saved.values[C::kTasks], 1);
  EXPECT_EQ(r.saved.values[C::kNotes], 1);
  EXPECT_EQ(r.saved.values[C::kJournal], 1);
  EXPECT_EQ(r.failedItems, 0);
  ASSERT_EQ(r.outputFiles.size(), 1u);
  const CheckReport check = CheckStore(r.outputFiles[0]);
  EXPECT_EQ(check.Errors() + check.Warnings(), 0u) << check.findings.front().text;

  testing::StoreItems in, out;
  ASSERT_TRUE(testing::LoadStoreItems(source_, in));
  ASSERT_TRUE(testing::LoadStoreItems(r.outputFiles[0], out));
  for (const char* folder : {"Inbox", "Inbox/Old", "Sent Items"}) {
    std::vector<const ItemRecord*> source;
    for (const auto& item : in.folders.at(folder)) {
      if (item->kind == ItemKind::kMail) source.push_back(item.get());
    }
    std::vector<const ItemRecord*> saved;
    for (const auto& item : out.folders.at(folder)) {
      if (item->kind == ItemKind::kMail) saved.push_back(item.get());
    }
    ASSERT_EQ(saved.size(), source.size()) << folder;
    for (std::size_t i = 0; i < saved.size(); ++i) {
      const MailFields& a = *source[i]->mail;
      const MailFields& b = *saved[i]->mail;
      EXPECT_EQ(b.subject->text, a.subject->text);
      EXPECT_EQ(SenderText(b), SenderText(a));
      EXPECT_EQ(RecipientText(b), RecipientText(a));
      EXPECT_EQ(DateText(*LoadLe64(*b.deliveryTime, 0)) + TimeText(*LoadLe64(*b.deliveryTime, 0)),
                DateText(*LoadLe64(*a.deliveryTime, 0)) + TimeText(*LoadLe64(*a.deliveryTime, 0)));
      EXPECT_EQ(b.body, a.body);
      ASSERT_EQ(saved[i]->attachments.size(), source[i]->attachments.size());
      for (std::size_t k = 0; k < saved[i]->attachments.size(); ++k) {
        if (source[i]->attachments[k].embeddedNid != 0) continue;  // below
        EXPECT_EQ(saved[i]->attachments[k].fileName, source[i]->attachments[k].fileName);
        EXPECT_EQ(saved[i]->attachments[k].data, source[i]->attachments[k].data);
      }
    }
  }
  // The attached message stays an attached message.
  const auto& sent = out.folders.at("Sent Items");
  ASSERT_EQ(sent.size(), 1u);
  ASSERT_EQ(sent[0]->attachments.size(), 1u);
  EXPECT_NE(sent[0]->attachments[0].embeddedNid, 0u);
  EXPECT_EQ(sent[0]->attachments[0].fileName, "original.msg");

  // Contacts with their fields; the appointment, task, note and journal entry in their folders.
  const auto& contacts = out.folders.at("Contacts");
  ASSERT_EQ(contacts.size(), 2u);
  EXPECT_EQ(contacts[0]->displayName, "Ada Lovelace");
  EXPECT_EQ(contacts[0]->contact->givenName, "Ada");
  EXPECT_EQ(contacts[0]->contact->surname, "Lovelace");
  EXPECT_EQ(contacts[0]->contact->company, "Engines Ltd");
  EXPECT_EQ(contacts[0]->contact->emailAddress, "ada@example.com");
  EXPECT_EQ(contacts[0]->contact->mobilePhone, "+1 555 0199");
  EXPECT_EQ(out.folders.at("Calendar").size(), 1u);
  EXPECT_EQ(out.folders.at("Calendar")[0]->kind, ItemKind::kAppointment);
  ASSERT_EQ(out.folders.at("Tasks").size(), 1u);
  EXPECT_EQ(*out.folders.at("Tasks")[0]->mail->subject->text, "Call back");
  EXPECT_EQ(out.folders.at("Tasks")[0]->mail->body, "About the invoice");
  ASSERT_EQ(out.folders.at("Notes").size(), 1u);
  EXPECT_EQ(out.folders.at("Notes")[0]->mail->body, "Remember the milk");
  ASSERT_EQ(out.folders.at("Journal").size(), 1u);
  EXPECT_EQ(out.folders.at("Journal")[0]->kind, ItemKind::kJournal);
  EXPECT_EQ(r.Written(), 11);

  if (std::system("command -v pffexport >/dev/null 2>&1 && command -v readpst >/dev/null 2>&1") == 0) {
    const std::string file = "'" + r.outputFiles[0].string() + "'";
    EXPECT_EQ(std::system(("pffexport -m all -t '" + (dir_ / "pff").string() + "' " + file + " >/dev/null 2>&1").c_str()), 0);
    fs::create_directories(dir_ / "rp");
    EXPECT_EQ(std::system(("readpst -j 0 -D -M -b -o '" + (dir_ / "rp").string() + "' " + file + " >/dev/null 2>&1").c_str()), 0);
  }
}

TEST_F(SavingDriverTest, AStopDuringTheWalkEndsWithAValidStore) {
  observer_.onProgress = [this](const SavingProgress& p) {
    if (p.countText == "1") control_.stopSaving = true;
  };
  const SaveResult r = Save(All());
  EXPECT_EQ(r.outcome, SaveResult::Outcome::kAborted);
  EXPECT_TRUE(r.summary.ends_with("\r\n\r\nSaving aborted"));
  EXPECT_EQ(r.saved.values[C::kInbox], 1);
  EXPECT_EQ(CheckStore(r.outputFiles.at(0)).Errors(), 0u);
  testing::StoreItems out;
  ASSERT_TRUE(testing::LoadStoreItems(r.outputFiles[0], out));
  // The walk reaches Inbox\Old before the Inbox's own mail: that one mail is all there is.
  std::size_t items = 0;
  for (const auto& [path, list] : out.folders) items += list.size();
  EXPECT_EQ(items, 1u);
  EXPECT_EQ(out.folders.at("Inbox/Old").size(), 1u);
}

TEST_F(SavingDriverTest, AfterAStoppedAnalysisTheRunEndsWhenEveryCountIsReached) {
  control_.stopAnalysis = true;
  SaveOptions options;
  options.sourcePath = source_;
  options.targetFolder = (dir_ / "out").string();
  options.selectedFolders = All();
  options.analysisCounters.values[C::kInbox] = 1;
  const SaveResult r = RunSave(options, observer_, control_);
  EXPECT_EQ(r.outcome, SaveResult::Outcome::kCompleted);
  for (int i = 0; i < C::kCount; ++i) EXPECT_EQ(r.saved.values[i], i == C::kInbox ? 1 : 0) << i;
}

TEST_F(SavingDriverTest, PastTheSizeLimitAContinuationFileTakesTheSameMailAgain) {
  // Every store carries about 250,000 bytes of indexes and slack in its projected size: the
  // 300,000-byte attachment takes the file past the limit. A file with one item goes on, so
  // the mail after it begins the continuation file and is written there again.
  splitSize_ = 500000;
  const SaveResult r = Save({"Personal Folders\\Inbox\\", "Personal Folders\\Sent Items\\"});
  ASSERT_EQ(r.outcome, SaveResult::Outcome::kCompleted) << r.error;
  ASSERT_EQ(r.outputFiles.size(), 2u);
  EXPECT_NE(r.outputFiles[1].filename().string().find("(1).pst"), std::string::npos) << r.outputFiles[1];
  for (const auto& file : r.outputFiles) EXPECT_EQ(CheckStore(file).Errors(), 0u) << file;
  testing::StoreItems first, second;
  ASSERT_TRUE(testing::LoadStoreItems(r.outputFiles[0], first));
  ASSERT_TRUE(testing::LoadStoreItems(r.outputFiles[1], second));
  ASSERT_EQ(first.folders.at("Inbox").size(), 2u);
  ASSERT_EQ(second.folders.at("Inbox").size(), 2u);  // the second mail again, then the contact
  EXPECT_EQ(*second.folders.at("Inbox")[0]->mail->subject->text, "東京の会議");
  EXPECT_EQ(second.folders.at("Inbox")[1]->displayName, "Stray Contact");
  EXPECT_EQ(second.folders.at("Sent Items").size(), 1u);
  EXPECT_EQ(first.folders.count("Sent Items"), 0u);
  EXPECT_EQ(r.saved.values[C::kInbox], 2);  // each mail counted once
  EXPECT_EQ(r.saved.values[C::kSentItems], 1);
  // The parts' stores are told apart by their names.
  const auto name = [](testing::StoreItems& items) {
    return LoadItem(items.store, *items.store.nodes.First(), MapContextFor(items.store))->displayName.value_or("");
  };
  EXPECT_EQ(name(first).rfind("Palvara_Tools_Personal_Folder", 0), 0u);
  EXPECT_EQ(name(second), name(first) + "(1)");
}

TEST_F(SavingDriverTest, EveryKindOfItemBeginsAContinuationFilePastTheLimit) {
  // A limit below any store: each file takes two items. Items other than mail are not written
  // twice; the next item goes into the new file's folder of the same path.
  splitSize_ = 1;
  const SaveResult r = Save({"Personal Folders\\Contacts\\", "Personal Folders\\Calendar\\",
                             "Personal Folders\\Tasks\\", "Personal Folders\\Notes\\",
                             "Personal Folders\\Journal\\"});
  ASSERT_EQ(r.outcome, SaveResult::Outcome::kCompleted) << r.error;
  EXPECT_EQ(r.Written(), 6);
  ASSERT_GE(r.outputFiles.size(), 3u);
  std::map<std::string, int> seen;  // folder/subject -> how often
  for (const auto& file : r.outputFiles) {
    EXPECT_EQ(CheckStore(file).Errors(), 0u) << file;
    testing::StoreItems items;
    ASSERT_TRUE(testing::LoadStoreItems(file, items));
    std::size_t inFile = 0;
    for (const auto& [folder, list] : items.folders) {
      for (const auto& item : list) {
        ++inFile;
        ++seen[folder + "/" + item->displayName.value_or("") +
               (item->mail && item->mail->subject && item->mail->subject->text ? *item->mail->subject->text : "")];
      }
    }
    EXPECT_LE(inFile, 2u) << file;
  }
  EXPECT_EQ(seen.size(), 6u);
  for (const auto& [key, count] : seen) EXPECT_EQ(count, 1) << key;
  EXPECT_EQ(seen.count("Journal/Phone call with Bob"), 1u);
}

TEST_F(SavingDriverTest, EachCallCarriesTheSourceItemAndOnlyWrittenItemsCount) {
  testing::RecordingFactory recording;
  recording.failing = {"SaveMail"};
  factory_ = &recording;
  const SaveResult r = Save(All());
  factory_ = nullptr;
  ASSERT_EQ(r.outcome, SaveResult::Outcome::kCompleted) << r.error;
  // Every call is handed the item read whole from the store.
  for (const char* name : {"SaveMail", "SaveAppointment", "SaveTask", "SaveItem"}) {
    for (const auto& call : recording.Named(name)) EXPECT_NE(call.args.back(), "-") << name;
  }
  EXPECT_EQ(recording.Named("SaveTask").at(0).args.back(), "IPM.Task");
  std::vector<std::string> others;
  for (const auto& call : recording.Named("SaveItem")) others.push_back(call.args.back());
  EXPECT_EQ(others, (std::vector<std::string>{"IPM.StickyNote", "IPM.Activity"}));
  EXPECT_EQ(recording.Named("Save").size(), 3u);
  for (const auto& call : recording.Named("Save")) EXPECT_EQ(call.args.at(0), "IPM.Contact");

  // The mail calls failed: nothing counted under the mail folders, each named with its reason.
  const auto& mail = r.kinds[static_cast<std::size_t>(SavedKind::kMail)];
  EXPECT_EQ(mail.written, 0);
  EXPECT_EQ(mail.notWritten, 4);
  EXPECT_EQ(r.saved.values[C::kInbox], 0);
  EXPECT_EQ(r.saved.values[C::kSentItems], 0);
  EXPECT_EQ(r.saved.values[C::kContacts], 3);
  EXPECT_EQ(r.failedItems, 4);
  ASSERT_EQ(r.unsaved.size(), 4u);
  EXPECT_EQ(r.unsaved[0].reason, "recorded failure");
  EXPECT_EQ(r.unsaved[0].kind, SavedKind::kMail);
  EXPECT_EQ(r.Written(), 7);
  EXPECT_NE(r.summary.find("Items written    7\r\nItems not written    4\r\n"), std::string::npos) << r.summary;
}

TEST_F(SavingDriverTest, FailuresBeforeTheWalkAreReported) {
  testing::RecordingFactory missing;
  missing.missing = {kConversionProgId};
  factory_ = &missing;
  SaveResult r = Save(All());
  EXPECT_EQ(r.outcome, SaveResult::Outcome::kComponentMissing);
  EXPECT_EQ(observer_.fatal, std::vector<std::string>{
                                 "StoreMailConv.dll is not properly configured. Please Re-Install the software."});
  factory_ = nullptr;

  // Items reach the output in memory: a temporary folder that cannot be used changes nothing.
  const char* tmpdir = std::getenv("TMPDIR");
  const std::string saved = tmpdir != nullptr ? tmpdir : "";
  ::setenv("TMPDIR", (dir_ / "no-such-folder").c_str(), 1);
  r = Save(All());
  if (saved.empty()) {
    ::unsetenv("TMPDIR");
  } else {
    ::setenv("TMPDIR", saved.c_str(), 1);
  }
  EXPECT_EQ(r.outcome, SaveResult::Outcome::kCompleted) << r.error;
  EXPECT_EQ(r.failedItems, 0);

  source_ = dir_ / "absent.pst";
  r = Save(All());
  EXPECT_EQ(r.outcome, SaveResult::Outcome::kCannotRead);
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(observer_.messages.back(), "Can Not Read PST File");
}

// A sample store damaged as `make run` damages it (a node B-tree leaf and a message heap
// zeroed, the tail cut) still saves into a sound store, with the loss bounded.
// The analysis' opened and indexed store is saved as it is: the file is not opened again (it
// is no longer under its name), and the result is that of a run that opens it itself.
TEST_F(SavingDriverTest, TheAnalysisStoreIsSavedWithoutOpeningTheFileAgain) {
  const SaveResult own = Save(All());
  ASSERT_EQ(own.outcome, SaveResult::Outcome::kCompleted) << own.error;
  testing::StoreItems ownItems;
  ASSERT_TRUE(testing::LoadStoreItems(own.outputFiles.at(0), ownItems));
  fs::remove_all(dir_ / "out");

  AnalysisOptions analysisOptions;
  analysisOptions.sourcePath = source_;
  AnalysisObserver quiet;
  RunControl analysisControl;
  const AnalysisResult analysis = RunAnalysis(analysisOptions, quiet, analysisControl);
  ASSERT_NE(analysis.store, nullptr);
  fs::rename(source_, dir_ / "moved.pst");
  SaveOptions options;
  options.sourcePath = source_;
  options.targetFolder = (dir_ / "out").string();
  options.selectedFolders = All();
  options.store = analysis.store;
  const SaveResult shared = RunSave(options, observer_, control_);
  ASSERT_EQ(shared.outcome, SaveResult::Outcome::kCompleted) << shared.error;
  EXPECT_EQ(shared.saved.values, own.saved.values);
  // Named after the file the analysis opened, as when the run opens it.
  EXPECT_EQ(shared.outputFiles.at(0).filename().string().rfind("source-", 0), 0u);
  EXPECT_EQ(CheckStore(shared.outputFiles[0]).Errors(), 0u);
  testing::StoreItems sharedItems;
  ASSERT_TRUE(testing::LoadStoreItems(shared.outputFiles[0], sharedItems));
  ASSERT_EQ(sharedItems.folders.size(), ownItems.folders.size());
  for (const auto& [path, items] : ownItems.folders) {
    ASSERT_EQ(sharedItems.folders[path].size(), items.size()) << path;
    for (std::size_t i = 0; i < items.size(); ++i) {
      const ItemRecord& want = *items[i];
      const ItemRecord& got = *sharedItems.folders[path][i];
      EXPECT_EQ(got.messageClass, want.messageClass) << path;
      if (want.mail != nullptr && want.mail->subject != nullptr) {
        ASSERT_TRUE(got.mail != nullptr && got.mail->subject != nullptr) << path;
        EXPECT_EQ(got.mail->subject->text, want.mail->subject->text) << path;
      }
    }
  }

  // A stopped analysis hands over no store: its index may not be whole.
  RunControl stopped;
  stopped.stopAnalysis = true;
  analysisOptions.sourcePath = dir_ / "moved.pst";
  EXPECT_EQ(RunAnalysis(analysisOptions, quiet, stopped).store, nullptr);
}

// Counts the bytes the readers of a store ask for.
class CountingSource final : public ByteSource {
 public:
  explicit CountingSource(std::unique_ptr<ByteSource> base) : base_(std::move(base)) {}
  std::uint64_t Size() const override { return base_->Size(); }
  std::size_t ReadAt(std::uint64_t offset, std::span<std::byte> out) override {
    const std::size_t n = base_->ReadAt(offset, out);
    bytes += n;
    return n;
  }
  std::atomic<std::uint64_t> bytes = 0;

 private:
  std::unique_ptr<ByteSource> base_;
};

TEST_F(SavingDriverTest, MessagesOfFoldersNotSelectedAreNotRead) {
  int run = 0;
  const auto bytesRead = [&](std::vector<std::string> selected) -> std::uint64_t {
    Status opened = Status::Ok();
    auto counting = std::make_unique<CountingSource>(FileByteSource::Open(source_, &opened));
    CountingSource& source = *counting;
    auto store = std::make_shared<StoreFile>();
    EXPECT_TRUE(OpenStore(*store, std::move(counting), source_.string()).ok());
    IndexStoreWithRecovery(*store, RecoveryOptions{});
    LoadNamedPropertyMap(*store);
    SaveOptions options;
    options.store = store;
    options.targetFolder = (dir_ / ("out" + std::to_string(++run))).string();
    options.selectedFolders = std::move(selected);
    source.bytes = 0;
    const SaveResult r = RunSave(options, observer_, control_);
    EXPECT_EQ(r.outcome, SaveResult::Outcome::kCompleted) << r.error;
    return source.bytes;
  };
  // The Inbox holds a mail with a 300,000-byte attachment: a run that saves only the notes
  // never reads it, one that saves the Inbox does.
  EXPECT_LT(bytesRead({"Personal Folders\\Notes\\"}), 300000u);
  EXPECT_GT(bytesRead({"Personal Folders\\Inbox\\"}), 300000u);
}

TEST(SavingDamagedStore, KeepsAllButTheDamagedPartsInASoundStore) {
  const fs::path dir = fs::temp_directory_path() / ("palvara-damaged-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  SampleOptions sample;
  sample.messages = 500;
  SampleSummary written;
  ASSERT_TRUE(WriteSampleStore(dir / "sample.pst", sample, &written).ok());
  ASSERT_EQ(std::system((std::string(PALVARA_DAMAGE_STORE_PATH) + " '" + (dir / "sample.pst").string() +
                         "' '" + (dir / "damaged.pst").string() + "' >/dev/null").c_str()), 0);
  AnalysisOptions analysisOptions;
  analysisOptions.sourcePath = dir / "damaged.pst";
  AnalysisObserver quiet;
  RunControl analysisControl;
  const AnalysisResult analysis = RunAnalysis(analysisOptions, quiet, analysisControl);
  EXPECT_GT(analysis.damageReports, 0u);
  SaveOptions options;
  options.sourcePath = dir / "damaged.pst";
  options.targetFolder = (dir / "out").string();
  for (const TreeFolder& f : analysis.tree) options.selectedFolders.push_back(f.path);
  SavingObserver observer;
  RunControl control;
  const SaveResult r = RunSave(options, observer, control);
  ASSERT_EQ(r.outcome, SaveResult::Outcome::kCompleted);
  EXPECT_EQ(CheckStore(r.outputFiles.at(0)).Errors(), 0u);
  testing::StoreItems out;
  ASSERT_TRUE(testing::LoadStoreItems(r.outputFiles[0], out));
  std::size_t mails = 0;
  for (const auto& [path, items] : out.folders) {
    for (const auto& item : items) mails += item && item->messageClass == "IPM.Note" ? 1 : 0;
  }
  // The pass over the file finds the node entries of the zeroed leaf again; only the message
  // whose own property heap was zeroed may be missing.
  EXPECT_LE(mails, written.mails);
  EXPECT_GE(mails + 1, written.mails);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace palvara

namespace palvara {
namespace {

// A folder whose name holds a backslash beside a folder of the same path text in two levels.
class BackslashFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("palvara-backslash-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    source_ = dir_ / "source.pst";
    Status status = Status::Ok();
    auto w = StoreWriter::Create(source_, "Personal Folders", EncodingMethod::kPermute, &status);
    ASSERT_TRUE(w);
    const std::uint32_t one = w->CreateFolder(kNidIpmSubtree, "Q3\\2024", "IPF.Note");
    const std::uint32_t q3 = w->CreateFolder(kNidIpmSubtree, "Q3", "IPF.Note");
    const std::uint32_t nested = w->CreateFolder(q3, "2024", "IPF.Note");
    const std::uint32_t deeper = w->CreateFolder(one, "Old\\er", "IPF.Note");
    w->AddMessage(one, Mail("In the one folder", 1));
    w->AddMessage(nested, Mail("In the nested folder", 2));
    w->AddMessage(nested, Mail("Also nested", 3));
    w->AddMessage(deeper, Mail("Below the one folder", 4));
    ASSERT_TRUE(w->Finish().ok());
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Saves `selected` and reads the new store back by its folders' own names.
  void SaveAndRead(const std::vector<std::string>& selected, testing::StoreItems& items) {
    SaveOptions options;
    options.sourcePath = source_;
    options.targetFolder = (dir_ / ("out" + std::to_string(++runs_))).string();
    options.selectedFolders = selected;
    CountingObserver observer;
    RunControl control;
    const SaveResult r = RunSave(options, observer, control);
    ASSERT_EQ(r.outcome, SaveResult::Outcome::kCompleted) << r.error;
    ASSERT_EQ(CheckStore(r.outputFiles.at(0)).Errors(), 0u);
    ASSERT_TRUE(testing::LoadStoreItems(r.outputFiles.at(0), items));
  }

  static std::vector<std::string> Subjects(const testing::StoreItems& items, const std::string& folder) {
    std::vector<std::string> out;
    const auto found = items.folders.find(folder);
    if (found == items.folders.end()) return out;
    for (const auto& r : found->second) out.push_back(*r->mail->subject->text);
    return out;
  }

  fs::path dir_, source_;
  int runs_ = 0;
};

TEST_F(BackslashFolderTest, TheNewStoreHasTheSourceTree) {
  AnalysisOptions analysisOptions;
  analysisOptions.sourcePath = source_;
  AnalysisObserver quiet;
  RunControl control;
  const AnalysisResult analysis = RunAnalysis(analysisOptions, quiet, control);
  std::vector<std::string> all;
  for (const TreeFolder& f : analysis.tree) all.push_back(f.path);
  // The analysis names the two apart.
  EXPECT_NE(std::find(all.begin(), all.end(), "Personal Folders\\Q3\\\\2024\\"), all.end());
  EXPECT_NE(std::find(all.begin(), all.end(), "Personal Folders\\Q3\\2024\\"), all.end());
  EXPECT_NE(std::find(all.begin(), all.end(), "Personal Folders\\Q3\\\\2024\\Old\\\\er\\"), all.end());

  testing::StoreItems source, saved;
  ASSERT_TRUE(testing::LoadStoreItems(source_, source));
  SaveAndRead(all, saved);
  // Folder for folder, by the names the new store itself holds, the same items.
  for (const auto& [folder, items] : source.folders) {
    EXPECT_EQ(Subjects(saved, folder), Subjects(source, folder)) << folder;
  }
  EXPECT_EQ(Subjects(saved, "Q3\\2024"), std::vector<std::string>{"In the one folder"});
  EXPECT_EQ(Subjects(saved, "Q3\\2024/Old\\er"), std::vector<std::string>{"Below the one folder"});
  EXPECT_EQ(Subjects(saved, "Q3/2024").size(), 2u);
  EXPECT_EQ(saved.folders.count("Q3/2024/Old"), 0u);
}

TEST_F(BackslashFolderTest, SelectionNamesEachFolderApart) {
  testing::StoreItems nested, one;
  SaveAndRead({"Personal Folders\\Q3\\2024\\"}, nested);
  EXPECT_EQ(Subjects(nested, "Q3/2024").size(), 2u);
  EXPECT_TRUE(Subjects(nested, "Q3\\2024").empty());
  SaveAndRead({"Personal Folders\\Q3\\\\2024\\"}, one);
  EXPECT_EQ(Subjects(one, "Q3\\2024"), std::vector<std::string>{"In the one folder"});
  EXPECT_TRUE(Subjects(one, "Q3/2024").empty());
}

}  // namespace
}  // namespace palvara
