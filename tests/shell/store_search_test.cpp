#include "shell/store_search.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <thread>

namespace palvara {
namespace {

namespace fs = std::filesystem;

class Recorder : public StoreSearchObserver {
 public:
  void Found(const FoundStoreFile& f, std::size_t count, const fs::path&) override {
    found.push_back(f.path.string());
    counts.push_back(count);
  }
  void SearchingFolder(const fs::path& folder, std::size_t) override {
    folders.push_back(folder.string());
  }
  void LogLine(const std::string& entry) override { log.push_back(entry); }
  std::vector<std::string> found, folders, log;
  std::vector<std::size_t> counts;
};

class StoreSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("palvara-search-test-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "a" / "deep");
    fs::create_directories(dir_ / "b.pst.d");
    Touch("Outlook.pst", 10);
    Touch("notes.txt", 5);
    Touch("old.PST.bak", 10239);
    Touch("a/archive.ost", 10240);
    Touch("a/deep/x.pst", 1048576);
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(dir_ / "a" / "deep", fs::perms::owner_all, ec);
    fs::remove_all(dir_, ec);
  }
  void Touch(const std::string& name, std::size_t size) {
    std::ofstream(dir_ / name, std::ios::binary) << std::string(size, 'x');
  }
  std::string P(const std::string& name) const { return (dir_ / name).string(); }

  fs::path dir_;
};

TEST_F(StoreSearchTest, SubfoldersComeFirstAndFoldersMatchToo) {
  Recorder r;
  RunControl control;
  StoreSearchResult result = StoreSearch({dir_, true}).Run(r, control);
  EXPECT_EQ(result.outcome, StoreSearchResult::Outcome::kCompleted);
  const std::vector<std::string> expected = {P("a/deep/x.pst"), P("a/archive.ost"),
                                             P("Outlook.pst"), P("b.pst.d/"), P("old.PST.bak")};
  EXPECT_EQ(r.found, expected);
  EXPECT_EQ(r.counts, (std::vector<std::size_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(r.folders.front(), P("a/deep/"));
  EXPECT_EQ(r.folders.back(), P(""));
  ASSERT_EQ(result.found.size(), 5u);
  EXPECT_TRUE(result.found[3].isFolder);
  EXPECT_EQ(result.found[0].size, 1048576u);
  EXPECT_EQ(r.log, (std::vector<std::string>{"\r\n", kSearchLogStart, dir_.string()}));
}

TEST_F(StoreSearchTest, WithoutSubfoldersOnlyTheFolderItself) {
  Recorder r;
  RunControl control;
  StoreSearch({dir_, false}).Run(r, control);
  EXPECT_EQ(r.found, (std::vector<std::string>{P("Outlook.pst"), P("b.pst.d/"), P("old.PST.bak")}));
  EXPECT_EQ(r.folders, std::vector<std::string>{P("")});
}

TEST_F(StoreSearchTest, UnreadableFoldersAndLinkCyclesAreSkipped) {
  fs::create_directory_symlink(dir_, dir_ / "a" / "loop");
  fs::permissions(dir_ / "a" / "deep", fs::perms::none);
  Recorder r;
  RunControl control;
  StoreSearchResult result = StoreSearch({dir_, true}).Run(r, control);
  EXPECT_EQ(result.outcome, StoreSearchResult::Outcome::kCompleted);
  // Root can still read the folder; everyone else finds nothing in it.
  const std::size_t expected = ::geteuid() == 0 ? 5u : 4u;
  EXPECT_EQ(result.found.size(), expected);
}

TEST_F(StoreSearchTest, MissingFolderOrFileIsNotSearched) {
  for (const fs::path& base : {dir_ / "missing", dir_ / "notes.txt", fs::path()}) {
    Recorder r;
    RunControl control;
    StoreSearchResult result = StoreSearch({base, true}).Run(r, control);
    EXPECT_EQ(result.outcome, StoreSearchResult::Outcome::kNotAFolder) << base;
    EXPECT_FALSE(result.error.empty());
    EXPECT_TRUE(r.log.empty());
  }
}

// A stop from another thread (the window's Stop) ends the walk and keeps what was found.
class StopAfter : public Recorder {
 public:
  StopAfter(RunControl& control, std::size_t n) : control_(control), n_(n) {}
  void Found(const FoundStoreFile& f, std::size_t count, const fs::path& folder) override {
    Recorder::Found(f, count, folder);
    if (count == n_) std::thread([this] { control_.RequestStopSearch(); }).join();
  }

 private:
  RunControl& control_;
  std::size_t n_;
};

TEST_F(StoreSearchTest, StopEndsTheWalkAndKeepsTheMatches) {
  RunControl control;
  StopAfter r(control, 2);
  StoreSearchResult result = StoreSearch({dir_, true}).Run(r, control);
  EXPECT_EQ(result.outcome, StoreSearchResult::Outcome::kStopped);
  EXPECT_EQ(result.found.size(), 2u);
  EXPECT_EQ(r.found.size(), 2u);
}

TEST_F(StoreSearchTest, PausedSearchWaitsForResume) {
  RunControl control;
  control.Pause();
  Recorder r;
  StoreSearchResult result;
  std::thread worker([&] { result = StoreSearch({dir_, true}).Run(r, control); });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_TRUE(r.found.empty());
  control.Resume();
  worker.join();
  EXPECT_EQ(result.found.size(), 5u);
}

TEST(StoreSearchTextTest, SizesDatesAndStatusLines) {
  EXPECT_EQ(SearchSizeText(10239), "10239 B");
  EXPECT_EQ(SearchSizeText(10240), "10 KB");
  EXPECT_EQ(SearchSizeText(1048576), "1024 KB");
  EXPECT_EQ(SearchSizeText(0), "0 B");
  std::tm t{};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 11;
  t.tm_mday = 6;
  t.tm_hour = 15;
  t.tm_min = 7;
  EXPECT_EQ(SearchModifiedText(t), "06-12-2026 03:07 PM");
  t.tm_hour = 0;
  EXPECT_EQ(SearchModifiedText(t), "06-12-2026 12:07 AM");
  EXPECT_EQ(SearchProgressText(3, "/data/mail/"), "(3) - /data/mail/");
  EXPECT_EQ(SearchFoundText(0), "0 items found");
  EXPECT_TRUE(IsStoreFileName("old.pst.bak"));
  EXPECT_TRUE(IsStoreFileName("MAILBOX.OST"));
  EXPECT_FALSE(IsStoreFileName("pst"));
  EXPECT_FALSE(IsStoreFileName("notes.txt"));
}

}  // namespace
}  // namespace palvara
