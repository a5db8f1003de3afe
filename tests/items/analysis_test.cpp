#include "items/analysis.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "items/walk_reader.h"
#include "reader/block_access.h"
#include "reader/btree_walk.h"
#include "tests/support/damage_kinds.h"
#include "tests/support/heap_builder.h"
#include "tests/support/store_builder.h"
#include "tests/support/store_sketch.h"
#include "tests/support/test_data.h"
#include "writer/sample_generator.h"
#include "writer/store_writer.h"

namespace palvara {
namespace {


using testing::StoreSketch;

class Recorder : public AnalysisObserver {
 public:
  void Message(const std::string& text) override { messages.push_back(text); }
  void ShowPage(const std::string& page) override { pages.push_back(page); }
  void LogLine(const std::string& entry) override { log.push_back(entry); }
  void Progress(std::int32_t) override {
    if (stopAfter > 0 && --stopAfter == 0) control->stopAnalysis = true;
  }
  std::vector<std::string> messages, pages, log;
  int stopAfter = 0;
  RunControl* control = nullptr;
};

class AnalysisTest : public ::testing::Test {
 protected:
  AnalysisResult Analyze(const Bytes& image, Recorder& recorder, bool foldersOnly = false) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("palvara-analysis-" + std::to_string(::getpid()) + ".pst");
    {
      std::ofstream out(path, std::ios::binary);
      out.write(reinterpret_cast<const char*>(image.data()),
                static_cast<std::streamsize>(image.size()));
    }
    AnalysisOptions options;
    options.sourcePath = path;
    options.foldersOnly = foldersOnly;
    recorder.control = &control_;
    AnalysisResult result = RunAnalysis(options, recorder, control_);
    std::filesystem::remove(path);
    return result;
  }
  RunControl control_;
};

std::int32_t Counter(const AnalysisResult& r, int index) {
  return r.counters.values[static_cast<std::size_t>(index)];
}

TEST_F(AnalysisTest, InboxCountsItsSubfoldersAndNamesThatBeginWithInbox) {
  StoreSketch s(0x8022);
  s.Folder(0x8042, 0x8022, "Inbox", "IPF.Note");
  s.Folder(0x8062, 0x8042, "Sub", "IPF.Note");
  s.Folder(0x8082, 0x8022, "Inbox2", "IPF.Note");
  s.Folder(0x80A2, 0x8022, "Sent Items", "IPF.Note");
  s.Message(0x200004, 0x8042, "IPM.Note");
  s.Message(0x200024, 0x8062, "IPM.Note");
  s.Message(0x200044, 0x8082, "IPM.Note");
  s.Message(0x200064, 0x80A2, "IPM.Note");
  Recorder recorder;
  const AnalysisResult r = Analyze(s.Build(), recorder);
  EXPECT_EQ(r.outcome, AnalysisResult::Outcome::kCompleted);
  EXPECT_EQ(Counter(r, AnalysisCounters::kInbox), 3);
  EXPECT_EQ(Counter(r, AnalysisCounters::kSentItems), 1);
  ASSERT_EQ(r.tree.size(), 5u);
  EXPECT_EQ(r.tree[2].path, "Personal Folders\\Inbox\\Sub\\");
  EXPECT_EQ(r.tree[3].path, "Personal Folders\\Inbox2\\");
  EXPECT_TRUE(recorder.messages.empty());
  EXPECT_EQ(recorder.pages, std::vector<std::string>{"completed.html"});
  ASSERT_FALSE(recorder.log.empty());
  EXPECT_EQ(recorder.log[1], "Step2: Analysis PST File");
  EXPECT_EQ(recorder.log.back(), AnalysisSummary(r.counters));
  EXPECT_NE(recorder.log.back().find("Inbox    3\r\n"), std::string::npos);
}

TEST_F(AnalysisTest, NonMailFoldersGetNoEntryAndTheirMailFallsIntoTheLastOne) {
  StoreSketch s(0x8022);
  s.Folder(0x8042, 0x8022, "Inbox", "IPF.Note");
  s.Folder(0x8062, 0x8022, "Contacts", "IPF.Contact");
  s.Message(0x200004, 0x8062, "IPM.Note");
  Recorder recorder;
  const AnalysisResult r = Analyze(s.Build(), recorder);
  ASSERT_EQ(r.folders.size(), 2u);  // the top folder and the Inbox
  EXPECT_EQ(r.folders.back().path, "Personal Folders\\Inbox\\");
  EXPECT_EQ(r.folders.back().itemCount, 1);
  EXPECT_EQ(r.tree.size(), 3u);
  EXPECT_FALSE(r.tree[2].mailFolder);
}

TEST_F(AnalysisTest, OnlyFiftyMailsAFolderAreKeptButAllAreCounted) {
  StoreSketch s(0x8022);
  s.Folder(0x8042, 0x8022, "Drafts", "IPF.Note");
  for (std::uint32_t i = 0; i < 51; ++i) s.Message(0x200004 + (i << 5), 0x8042, "IPM.Note");
  Recorder recorder;
  const AnalysisResult r = Analyze(s.Build(), recorder);
  ASSERT_EQ(r.folders.size(), 2u);
  EXPECT_EQ(r.folders[1].itemCount, 51);
  EXPECT_EQ(r.folders[1].items.size(), 50u);
  EXPECT_EQ(Counter(r, AnalysisCounters::kDrafts), 51);
}

TEST_F(AnalysisTest, FoldersOnlyListsTheSameTreeWithoutLoadingItems) {
  StoreSketch s(0x8022);
  s.Folder(0x8042, 0x8022, "Inbox", "IPF.Note");
  s.Folder(0x8062, 0x8042, "Old\\er", "IPF.Note");
  s.Folder(0x8082, 0x8022, "Contacts", "IPF.Contact");
  for (std::uint32_t i = 0; i < 5; ++i) s.Message(0x200004 + (i << 5), i % 2 ? 0x8042 : 0x8062, "IPM.Note");
  Recorder full, folders;
  const AnalysisResult all = Analyze(s.Build(), full);
  const AnalysisResult only = Analyze(s.Build(), folders, true);
  ASSERT_EQ(only.outcome, AnalysisResult::Outcome::kCompleted);
  std::vector<std::string> want, got;
  for (const TreeFolder& f : all.tree) want.push_back(f.path);
  for (const TreeFolder& f : only.tree) got.push_back(f.path);
  EXPECT_EQ(got, want);
  EXPECT_EQ(got.at(2), "Personal Folders\\Inbox\\Old\\\\er\\");
  EXPECT_EQ(Counter(all, AnalysisCounters::kInbox), 5);
  EXPECT_EQ(Counter(only, AnalysisCounters::kInbox), 0);  // no message was loaded
}

TEST_F(AnalysisTest, StoreWithoutSubtreeEntryIdStartsAt2142) {
  StoreSketch s(std::nullopt);
  s.Folder(0x8042, 0x2142, "Outbox", "IPF.Note");
  s.Message(0x200004, 0x8042, "IPM.Note");
  Recorder recorder;
  const AnalysisResult r = Analyze(s.Build(), recorder);
  EXPECT_EQ(r.outcome, AnalysisResult::Outcome::kCompleted);
  EXPECT_EQ(Counter(r, AnalysisCounters::kOutbox), 1);
  EXPECT_EQ(r.tree.front().nodeId, 0x2142u);
}

TEST_F(AnalysisTest, StopWritesTheSummaryShowsTheAbortPageAndNoMessage) {
  StoreSketch s(0x8022);
  s.Folder(0x8042, 0x8022, "Inbox", "IPF.Note");
  for (std::uint32_t i = 0; i < 20; ++i) s.Message(0x200004 + (i << 5), 0x8042, "IPM.Note");
  Recorder recorder;
  recorder.stopAfter = 5;
  const AnalysisResult r = Analyze(s.Build(), recorder);
  EXPECT_EQ(r.outcome, AnalysisResult::Outcome::kAborted);
  EXPECT_TRUE(recorder.messages.empty());
  EXPECT_EQ(recorder.pages, std::vector<std::string>{"abort.html"});
  EXPECT_EQ(recorder.log.back(), AnalysisSummary(r.counters));
  EXPECT_GT(Counter(r, AnalysisCounters::kInbox), 0);
  EXPECT_LT(Counter(r, AnalysisCounters::kInbox), 20);
}

TEST_F(AnalysisTest, UnopenableAndUnreadableFilesSayWhy) {
  Recorder missing;
  AnalysisOptions options;
  options.sourcePath = "/nonexistent/palvara.pst";
  const AnalysisResult unopened = RunAnalysis(options, missing, control_);
  EXPECT_EQ(unopened.outcome, AnalysisResult::Outcome::kCannotOpen);
  EXPECT_NE(unopened.openError.find("No such file"), std::string::npos);
  EXPECT_EQ(missing.messages, std::vector<std::string>{kMessageFileInUse});

  Recorder garbage;
  const AnalysisResult r = Analyze(Bytes(8192, std::byte{0x41}), garbage);
  EXPECT_EQ(r.outcome, AnalysisResult::Outcome::kCorrupted);
  EXPECT_EQ(garbage.messages, std::vector<std::string>{kMessageCorrupted});
  EXPECT_EQ(garbage.pages, std::vector<std::string>{"completed.html"});
}

TEST(AnalysisListsTest, CountingOnlyGivesTheSameCountsTreeAndFoldersWithoutTheLists) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("palvara-lists-" + std::to_string(::getpid()) + ".pst");
  SampleOptions sample;
  sample.messages = 80;
  SampleSummary made;
  ASSERT_TRUE(WriteSampleStore(path, sample, &made).ok());
  ASSERT_GT(made.contacts, 0u);
  ASSERT_GT(made.notes, 0u);
  auto analyze = [&path](bool keep) {
    AnalysisOptions options;
    options.sourcePath = path;
    options.keepItemLists = keep;
    AnalysisObserver quiet;
    RunControl control;
    return RunAnalysis(options, quiet, control);
  };
  const AnalysisResult kept = analyze(true);
  const AnalysisResult counted = analyze(false);
  std::filesystem::remove(path);

  EXPECT_FALSE(kept.contacts.empty());
  EXPECT_FALSE(kept.tasks.empty());
  EXPECT_FALSE(kept.notes.empty());
  EXPECT_FALSE(kept.journal.empty());
  EXPECT_FALSE(kept.calendar.empty());
  EXPECT_TRUE(counted.contacts.empty() && counted.tasks.empty() && counted.notes.empty() &&
              counted.journal.empty() && counted.calendar.empty());

  EXPECT_EQ(counted.counters.values, kept.counters.values);
  EXPECT_EQ(Counter(counted, AnalysisCounters::kContacts), static_cast<int>(made.contacts));
  ASSERT_EQ(counted.tree.size(), kept.tree.size());
  for (std::size_t i = 0; i < kept.tree.size(); ++i) {
    EXPECT_EQ(counted.tree[i].path, kept.tree[i].path);
    EXPECT_EQ(counted.tree[i].children.Items(), kept.tree[i].children.Items());
  }
  ASSERT_EQ(counted.folders.size(), kept.folders.size());
  std::size_t keptMails = 0;
  for (std::size_t i = 0; i < kept.folders.size(); ++i) {
    EXPECT_EQ(counted.folders[i].itemCount, kept.folders[i].itemCount);
    EXPECT_TRUE(counted.folders[i].items.empty());
    keptMails += kept.folders[i].items.size();
  }
  EXPECT_GT(keptMails, 0u);
  EXPECT_NE(counted.store, nullptr);
}

// A sample store with every attachment data tree claiming more children than its block holds:
// each report is put down to the message whose attachment it is, in that message's folder.
class AnalysisDamageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = std::filesystem::temp_directory_path() /
            ("palvara-analysis-damage-" + std::to_string(::getpid()) + ".pst");
    SampleOptions sample;
    sample.messages = 120;
    ASSERT_TRUE(WriteSampleStore(path_, sample, nullptr).ok());
    intact_ = testing::ReadFileBytes(path_);
  }
  void TearDown() override { std::filesystem::remove(path_); }

  AnalysisResult Analyze(const Bytes& image, Recorder& recorder) {
    testing::WriteFileBytes(path_, image);
    AnalysisOptions options;
    options.sourcePath = path_;
    options.collectItems = true;
    RunControl control;
    return RunAnalysis(options, recorder, control);
  }

  std::filesystem::path path_;
  Bytes intact_;
};

TEST_F(AnalysisDamageTest, ReportsArePutDownToTheItemAndFolderTheyCost) {
  // The XBLOCK of every attachment's data tree, by the message that holds it.
  std::map<std::uint32_t, std::set<std::uint64_t>> trees;
  Bytes broken = intact_;
  {
    StoreFile store;
    ASSERT_TRUE(OpenStore(store, path_).ok());
    IndexStore(store);
    LoadNamedPropertyMap(store);
    const MapContext context = MapContextFor(store);
    store.nodes.ForEachPreorder([&](const StoreNode& node, int) {
      ItemLists lists;
      if (node.dataBlock == nullptr ||
          !ReadItem(store, node, context, AttachmentReading::kWhole, lists)) {
        return;
      }
      for (const ItemLists::Attachment& a : lists.attachments) {
        for (const SubnodeEntry& sub : a.own) {
          // The attachment's own values (an attached message's are read only when saved).
          if (sub.data == nullptr || !sub.data->IsInternal() || sub.level != 0) continue;
          StoreLe(broken, sub.data->offset + 2, 0x7FFFu, 2);
          trees[node.nid].insert(sub.data->offset);
        }
      }
    });
  }
  ASSERT_GE(trees.size(), 2u);
  Recorder recorder;
  const AnalysisResult r = Analyze(broken, recorder);
  ASSERT_EQ(r.outcome, AnalysisResult::Outcome::kCompleted);
  std::map<std::uint32_t, const ItemSummary*> items;
  for (const ItemSummary& s : r.items) items[s.nodeId] = &s;

  EXPECT_EQ(r.damage.size(), r.damageReports);
  std::set<std::uint32_t> costly;
  for (const DamageEntry& e : r.damage) {
    SCOPED_TRACE(e.report.ToString());
    EXPECT_FALSE(e.index);
    ASSERT_TRUE(trees.count(e.report.nodeId));
    EXPECT_TRUE(trees[e.report.nodeId].count(e.report.offset));
    // The bytes changed under an intact trailer: the CRC says so.
    EXPECT_EQ(e.report.kind, DamageKind::kBadCrc);
    const ItemSummary* item = items[e.report.nodeId];
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(e.folder, item->folder);
    EXPECT_EQ(e.item, item->subject);
    EXPECT_FALSE(e.item.empty());
    EXPECT_EQ(DamageCost(e), item->folder + ": " + item->subject);
    costly.insert(e.report.nodeId);
  }
  // Every message the walk read (folder-associated ones are not) paid for its tree.
  std::size_t read = 0;
  for (const auto& [nid, offsets] : trees) read += items.count(nid);
  EXPECT_GE(read, 2u);
  EXPECT_EQ(costly.size(), read);
  // The activity log says how many and of which kind.
  const std::string n = std::to_string(r.damageReports);
  EXPECT_NE(std::find(recorder.log.begin(), recorder.log.end(),
                      "Damage reports    " + n + "\r\n  bad CRC    " + n + "\r\n"),
            recorder.log.end());
}

TEST_F(AnalysisDamageTest, IndexDamageIsTheIndexsAndTheRecoveryPassSaysWhereItFoundBlocks) {
  const Bytes broken = testing::Damage(intact_, testing::DamageKind::kBlockLeafZeroed, 3);
  Recorder recorder;
  const AnalysisResult r = Analyze(broken, recorder);
  ASSERT_TRUE(r.scanRan);
  ASSERT_NE(r.store, nullptr);
  EXPECT_EQ(r.fileSize, broken.size());
  // The zeroed leaf is named as such, and put down to the index, as is all that came before
  // the walk of the folders.
  const auto zeroed = std::find_if(r.damage.begin(), r.damage.end(), [](const DamageEntry& e) {
    return e.report.kind == DamageKind::kZeroed;
  });
  ASSERT_NE(zeroed, r.damage.end());
  EXPECT_TRUE(zeroed->index);
  EXPECT_EQ(DamageCost(*zeroed), "the index");
  EXPECT_TRUE(std::is_partitioned(r.damage.begin(), r.damage.end(),
                                  [](const DamageEntry& e) { return e.index; }));

  const RecoverySummary& pass = r.store->recovery;
  ASSERT_GT(pass.blocksAdded, 0u);
  ASSERT_FALSE(pass.recoveredExtents.empty());
  std::uint64_t bytes = 0;
  for (std::size_t i = 0; i < pass.recoveredExtents.size(); ++i) {
    const FileExtent& x = pass.recoveredExtents[i];
    EXPECT_LE(x.offset + x.size, broken.size());
    EXPECT_EQ(x.offset % 64, 0u);
    if (i > 0) {
      const FileExtent& before = pass.recoveredExtents[i - 1];
      EXPECT_NE(before.offset + before.size, x.offset) << "neighbours are joined";
    }
    bytes += x.size;
  }
  // Each block added takes at least one 64-byte unit of the file.
  EXPECT_GE(bytes, 64 * pass.blocksAdded);
  const std::string summary = DamageSummary(r, pass);
  EXPECT_NE(std::find(recorder.log.begin(), recorder.log.end(), summary), recorder.log.end());
  EXPECT_NE(
      summary.find("Blocks added by the recovery pass    " + std::to_string(pass.blocksAdded)),
      std::string::npos);
}

TEST(DamageSummaryTest, CountsPerKindWhatWasNotKeptAndWhatThePassDid) {
  AnalysisResult r;
  r.damageReports = 5;
  for (DamageKind kind : {DamageKind::kZeroed, DamageKind::kCycle, DamageKind::kZeroed}) {
    r.damage.push_back(DamageEntry{DamageReport{kind, "BTPAGE", 512, 512, 0, "x"}, true, {}, {}});
  }
  RecoverySummary pass;
  EXPECT_EQ(DamageSummary(r, pass),
            "Damage reports    5\r\n  zeroed    2\r\n  cycle    1\r\n  not kept    2\r\n");
  r.scanRan = true;
  r.itemsFromScan = 7;
  pass.itemsFiled = 4;
  pass.foldersRebuilt = 2;
  const std::string ran = DamageSummary(r, pass);
  EXPECT_NE(ran.find("Items put into \"Recovered Items\"    4\r\n"), std::string::npos);
  EXPECT_NE(ran.find("Folders rebuilt    2\r\n"), std::string::npos);
  EXPECT_NE(ran.find("Items recovered by the scan    7\r\n"), std::string::npos);
}

TEST(AnalysisCategoryTest, ClassesCountAsTheirCategory) {
  EXPECT_EQ(CategoryOfClass("IPM.Schedule.Meeting.Request"), ChildCategory::kMail);
  EXPECT_EQ(CategoryOfClass("REPORT.IPM.Note.NDR"), ChildCategory::kMail);
  EXPECT_EQ(CategoryOfClass("IPM.TaskRequest.Accept"), ChildCategory::kMail);
  EXPECT_EQ(CategoryOfClass("IPM.Task"), ChildCategory::kTask);
  EXPECT_EQ(CategoryOfClass("IPM.AbchPerson"), ChildCategory::kContact);
  EXPECT_EQ(CategoryOfClass("IPM.DistList"), ChildCategory::kOther);
  EXPECT_EQ(CategoryOfClass("IPM.Post"), ChildCategory::kOther);
}

TEST(AnalysisListsTest, NotesKeepTheirTextAndNode) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("palvara-notes-" + std::to_string(::getpid()) + ".pst");
  std::uint32_t plainNote = 0, rtfNote = 0;
  {
    Status status = Status::Ok();
    auto w = StoreWriter::Create(path, "Personal Folders", EncodingMethod::kPermute, &status);
    ASSERT_TRUE(status.ok());
    const std::uint32_t notes = w->CreateFolder(kNidIpmSubtree, "Notes", "IPF.StickyNote");
    plainNote = w->AddNote(notes, "Shopping\nmilk, eggs", 0x01DB000000000000ull);
    MessageSpec rich;
    rich.messageClass = "IPM.StickyNote";
    rich.subject = "Rich";
    rich.body = "plain words";
    const std::string rtf = "{\\rtf1\\ansi RTF words}";
    rich.rtf = Bytes(reinterpret_cast<const std::byte*>(rtf.data()),
                     reinterpret_cast<const std::byte*>(rtf.data()) + rtf.size());
    rtfNote = w->AddMessage(notes, rich);
    ASSERT_TRUE(w->Finish().ok());
  }
  AnalysisOptions options;
  options.sourcePath = path;
  AnalysisObserver quiet;
  RunControl control;
  const AnalysisResult result = RunAnalysis(options, quiet, control);
  std::filesystem::remove(path);

  ASSERT_EQ(result.notes.size(), 2u);
  std::map<std::uint32_t, std::string> texts;
  for (const NoteEntry& n : result.notes) texts[n.nodeId] = n.body.value_or("(none)");
  // The plain body of a sticky note is its text; an RTF body's text comes first.
  EXPECT_EQ(texts[plainNote], "Shopping\nmilk, eggs");
  EXPECT_EQ(texts[rtfNote], "RTF words");
}

}  // namespace
}  // namespace palvara
