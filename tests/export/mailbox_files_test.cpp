#include "export/mailbox_files.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

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

TEST_F(CollectionFilesTest, AFailedWriteCutsTheFileBackAndEndsTheRun) {
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  rlimit small = old;
  small.rlim_cur = CollectionFiles::kBufferBytes + 1000;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const fs::path path = dir_ / "mbox";
  const std::string piece(CollectionFiles::kBufferBytes / 2 + 10, 'x');
  bool fatal = false;
  std::size_t appended = 0;
  {
    CollectionFiles files;
    try {
      for (; appended < 10; ++appended) files.Append(path, piece);
    } catch (const ComponentError& e) {
      fatal = e.fatal();
    }
  }
  ::setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_TRUE(fatal);
  EXPECT_LT(appended, 10u);
  // Only the writes that succeeded whole stay, under the temporary name.
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(fs::file_size(path.string() + ".part") % piece.size(), 0u);
  EXPECT_LE(fs::file_size(path.string() + ".part"), small.rlim_cur);
}

}  // namespace
}  // namespace palvara
