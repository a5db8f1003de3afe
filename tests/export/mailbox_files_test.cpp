#include "export/mailbox_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>


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

}  // namespace
}  // namespace palvara
