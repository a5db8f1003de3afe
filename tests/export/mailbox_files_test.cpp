#include "export/mailbox_files.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <memory>

#include <fstream>
#include <sstream>

#include "export/components.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;

// The names in `dir`, sorted.
std::vector<std::string> Names(const fs::path& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class CollectionFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("palvara-collections-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    tree_ = std::make_unique<OutputTree>(dir_);
  }
  void TearDown() override {
    tree_.reset();
    fs::remove_all(dir_);
  }
  fs::path dir_;
  std::unique_ptr<OutputTree> tree_;
};

TEST_F(CollectionFilesTest, InterleavedAppendsKeepEachFilesOrder) {
  // More files than stay open at once, pieces small and larger than the buffer, in turns.
  std::map<std::string, std::string> want;
  {
    CollectionFiles files(*tree_);
    for (int round = 0; round < 3; ++round) {
      for (int f = 0; f < 60; ++f) {
        const std::string name = "f" + std::to_string(f) + ".ics";
        const std::size_t size = f == 7 ? CollectionFiles::kBufferBytes + 3 : 10 + static_cast<std::size_t>(f);
        const std::string piece(size, static_cast<char>('a' + (f + round) % 26));
        if (want[name].empty()) want[name] = "HEAD";
        want[name] += piece;
        files.Append({OutputTree::kTop, name}, piece, "HEAD");
        // Nothing stands under its final name before Finish.
        EXPECT_FALSE(fs::exists(dir_ / name));
      }
    }
    files.Finish({{".ics", "END"}});
  }
  std::vector<std::string> names;
  for (auto& [name, text] : want) {
    EXPECT_EQ(Read(dir_ / name), text + "END") << name;
    names.push_back(name);
  }
  // No temporary is left beside them.
  std::sort(names.begin(), names.end());
  EXPECT_EQ(Names(dir_), names);
}

TEST_F(CollectionFilesTest, AFileReplacedWhileClosedIsNeitherWrittenNorRemoved) {
  std::ofstream(dir_ / "victim") << "precious";
  std::map<std::string, std::string> hidden;  // final name -> its temporary
  {
    CollectionFiles files(*tree_);
    files.Append({OutputTree::kTop, "a.vcf"}, "a");
    files.Append({OutputTree::kTop, "b.vcf"}, "b");
    // More files than stay open: a and b are closed.
    for (int f = 0; f < 60; ++f) files.Append({OutputTree::kTop, std::to_string(f) + ".vcf"}, "x");
    for (const std::string& name : Names(dir_)) {
      if (name.starts_with(".a.vcf.") || name.starts_with(".b.vcf.")) hidden[name.substr(1, 5)] = name;
    }
    ASSERT_EQ(hidden.size(), 2u);
    // Another file under a's name, a link under b's.
    fs::remove(dir_ / hidden["a.vcf"]);
    std::ofstream(dir_ / hidden["a.vcf"]) << "impostor";
    fs::remove(dir_ / hidden["b.vcf"]);
    fs::create_symlink(dir_ / "victim", dir_ / hidden["b.vcf"]);
    EXPECT_THROW(files.Append({OutputTree::kTop, "a.vcf"}, "more"), ComponentError);
    EXPECT_THROW(files.Append({OutputTree::kTop, "b.vcf"}, "more"), ComponentError);
  }
  EXPECT_EQ(Read(dir_ / hidden["a.vcf"]), "impostor");
  EXPECT_TRUE(fs::is_symlink(dir_ / hidden["b.vcf"]));
  EXPECT_EQ(Read(dir_ / "victim"), "precious");
}

class FailedPieceTest : public CollectionFilesTest, public ::testing::WithParamInterface<rlim_t> {};

TEST_P(FailedPieceTest, FailedPieceIsCutOffAndEndsTheRun) {
  // A file size limit stands in for a full disk, within a block or at a block's end. Pieces of
  // one buffer each: the ones that fit stay whole, the one that crosses the limit leaves
  // nothing, and the failure ends the run.
  const std::size_t piece = CollectionFiles::kBufferBytes;
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  rlimit small = old;
  small.rlim_cur = 2 * piece + piece / 2 + GetParam();
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const fs::path path = dir_ / "mbox";
  std::string error;
  bool fatal = false;
  int appended = 0;
  std::string kept;
  {
    CollectionFiles files(*tree_);
    try {
      for (; appended < 8; ++appended) {
        files.AppendRendered({OutputTree::kTop, "mbox"}, {},
                             [&](std::string& out) { out.append(piece, static_cast<char>('a' + appended)); });
      }
      files.Finish();
    } catch (const ComponentError& e) {
      error = e.what();
      fatal = e.fatal();
    }
    // Until the object goes, its hidden file holds the whole pieces only.
    const std::vector<std::string> names = Names(dir_);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(names[0].starts_with(".mbox.") && names[0].ends_with(".part")) << names[0];
    kept = Read(dir_ / names[0]);
  }
  ::setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_TRUE(fatal);
  EXPECT_NE(error.find(path.string() + ": File too large"), std::string::npos) << error;
  // The failure ends the appends early, wherever it is reported.
  EXPECT_LT(appended, 8);
  EXPECT_EQ(kept, std::string(piece, 'a') + std::string(piece, 'b'));
  // Unfinished, it is removed with the object: nothing is left, under any name.
  EXPECT_TRUE(Names(dir_).empty());
}

INSTANTIATE_TEST_SUITE_P(Limits, FailedPieceTest, ::testing::Values(0, 100));

TEST_F(CollectionFilesTest, RenderThatThrowsLeavesNothing) {
  const fs::path path = dir_ / "calendar.ics";
  const CollectionFile file{OutputTree::kTop, "calendar.ics"};
  {
    CollectionFiles files(*tree_);
    files.Append(file, "one;", "HEAD;");
    EXPECT_THROW(files.AppendRendered(file, "HEAD;",
                                      [](std::string& out) {
                                        out += "half";
                                        throw ComponentError("unreadable");
                                      }),
                 ComponentError);
    files.AppendRendered(file, "HEAD;", [](std::string& out) { out += "two;"; });
    files.Finish();
  }
  EXPECT_EQ(Read(path), "HEAD;one;two;");
}

}  // namespace
}  // namespace palvara
