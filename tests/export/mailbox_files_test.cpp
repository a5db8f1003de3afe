#include "export/mailbox_files.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

#include <fstream>
#include <sstream>

#include "export/components.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;

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
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(CollectionFilesTest, InterleavedAppendsKeepEachFilesOrder) {
  // More files than stay open at once, pieces small and larger than the buffer, in turns.
  std::map<fs::path, std::string> want;
  {
    CollectionFiles files;
    for (int round = 0; round < 3; ++round) {
      for (int f = 0; f < 60; ++f) {
        const fs::path path = dir_ / ("f" + std::to_string(f) + ".ics");
        const std::size_t size = f == 7 ? CollectionFiles::kBufferBytes + 3 : 10 + static_cast<std::size_t>(f);
        const std::string piece(size, static_cast<char>('a' + (f + round) % 26));
        if (want[path].empty()) want[path] = "HEAD";
        want[path] += piece;
        files.Append(path, piece, "HEAD");
        // Nothing stands under its final name before Finish.
        EXPECT_FALSE(fs::exists(path));
      }
    }
    files.Finish({{".ics", "END"}});
  }
  for (auto& [path, text] : want) {
    EXPECT_EQ(Read(path), text + "END") << path;
    EXPECT_FALSE(fs::exists(path.string() + ".part"));
  }
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
  {
    CollectionFiles files;
    try {
      for (; appended < 8; ++appended) {
        files.AppendRendered(path, {}, [&](std::string& out) { out.append(piece, static_cast<char>('a' + appended)); });
      }
      files.Finish();
    } catch (const ComponentError& e) {
      error = e.what();
      fatal = e.fatal();
    }
  }
  ::setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_TRUE(fatal);
  EXPECT_NE(error.find(path.string() + ": File too large"), std::string::npos) << error;
  // The failure ends the appends early, wherever it is reported.
  EXPECT_LT(appended, 8);
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(Read(path.string() + ".part"), std::string(piece, 'a') + std::string(piece, 'b'));
}

INSTANTIATE_TEST_SUITE_P(Limits, FailedPieceTest, ::testing::Values(0, 100));

TEST_F(CollectionFilesTest, RenderThatThrowsLeavesNothing) {
  const fs::path path = dir_ / "calendar.ics";
  {
    CollectionFiles files;
    files.Append(path, "one;", "HEAD;");
    EXPECT_THROW(files.AppendRendered(path, "HEAD;",
                                      [](std::string& out) {
                                        out += "half";
                                        throw ComponentError("unreadable");
                                      }),
                 ComponentError);
    files.AppendRendered(path, "HEAD;", [](std::string& out) { out += "two;"; });
    files.Finish();
  }
  EXPECT_EQ(Read(path), "HEAD;one;two;");
}

}  // namespace
}  // namespace palvara
