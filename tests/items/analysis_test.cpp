#include "items/analysis.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/support/heap_builder.h"
#include "tests/support/store_builder.h"

namespace palvara {
namespace {

using testing::MakePropertyContext;
using testing::NbtEntry;
using testing::PcProperty;

Bytes Utf16(const std::string& ascii) {
  Bytes b;
  for (char c : ascii) {
    b.push_back(static_cast<std::byte>(c));
    b.push_back(std::byte{0});
  }
  return b;
}

// Builds stores node by node: each node's data is a property context.
class StoreSketch {
 public:
  explicit StoreSketch(std::optional<std::uint32_t> topFolder) {
    std::vector<PcProperty> store = {{0x3001, 0x001F, Utf16("Store")}};
    if (topFolder) {
      Bytes entryId(24);
      StoreLe(entryId, 20, *topFolder, 4);
      store.push_back({0x35E0, 0x0102, entryId});
    } else {
      store.push_back({0x35DF, 0x0003, {}, 0x89});  // a store without the subtree's entry id
    }
    Add(0x21, 0, store);
    const std::uint32_t top = topFolder.value_or(0x2142);
    Folder(top, 0x122, "Top of Personal Folders", "");
    Folder(0x122, 0x122, "Root", "");
  }

  void Folder(std::uint32_t nid, std::uint32_t parent, const std::string& name,
              const std::string& cls) {
    std::vector<PcProperty> props = {{0x3001, 0x001F, Utf16(name)}, {0x3602, 0x0003, {}, 0}};
    if (!cls.empty()) props.push_back({0x3613, 0x001F, Utf16(cls)});
    Add(nid, parent, props);
  }

  void Message(std::uint32_t nid, std::uint32_t parent, const std::string& cls) {
    Add(nid, parent, {{0x001A, 0x001F, Utf16(cls)}, {0x0037, 0x001F, Utf16("subject")}});
  }

  Bytes Build() {
    testing::SimpleStore spec;
    std::sort(nodes_.begin(), nodes_.end(),
              [](const NbtEntry& a, const NbtEntry& b) { return a.nid < b.nid; });
    spec.nodes = nodes_;
    spec.blocks = blocks_;
    return testing::BuildSimpleStore(spec).image;
  }

 private:
  void Add(std::uint32_t nid, std::uint32_t parent, std::vector<PcProperty> props) {
    const std::uint64_t bid = nextBid_ += 4;
    blocks_.push_back({bid, MakePropertyContext(std::move(props))[0]});
    nodes_.push_back(NbtEntry{nid, bid, 0, parent == 0 ? 0 : parent});
  }

  std::vector<NbtEntry> nodes_;
  std::vector<std::pair<std::uint64_t, Bytes>> blocks_;
  std::uint64_t nextBid_ = 0;
};

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
  AnalysisResult Analyze(const Bytes& image, Recorder& recorder) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("palvara-analysis-" + std::to_string(::getpid()) + ".pst");
    {
      std::ofstream out(path, std::ios::binary);
      out.write(reinterpret_cast<const char*>(image.data()),
                static_cast<std::streamsize>(image.size()));
    }
    AnalysisOptions options;
    options.sourcePath = path;
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
  EXPECT_EQ(RunAnalysis(options, missing, control_).outcome,
            AnalysisResult::Outcome::kCannotOpen);
  EXPECT_EQ(missing.messages, std::vector<std::string>{kMessageFileInUse});

  Recorder garbage;
  const AnalysisResult r = Analyze(Bytes(8192, std::byte{0x41}), garbage);
  EXPECT_EQ(r.outcome, AnalysisResult::Outcome::kCorrupted);
  EXPECT_EQ(garbage.messages, std::vector<std::string>{kMessageCorrupted});
  EXPECT_EQ(garbage.pages, std::vector<std::string>{"completed.html"});
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

}  // namespace
}  // namespace palvara
