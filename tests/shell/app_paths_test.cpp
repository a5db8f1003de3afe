#include "shell/app_paths.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

namespace palvara {
namespace {

TEST(AppPathsTest, RtfBodyFileIsPerUserAndPerProcess) {
  const auto base = std::filesystem::temp_directory_path() /
                    ("palvara-paths-" + std::to_string(::getpid()));
  const char* old = std::getenv("XDG_DATA_HOME");
  const std::string saved = old != nullptr ? old : "";
  ::setenv("XDG_DATA_HOME", base.c_str(), 1);
  EXPECT_EQ(AppPaths::SkinFolder(), base / "palvara");
  EXPECT_TRUE(std::filesystem::is_directory(base / "palvara"));
  EXPECT_EQ(AppPaths::RtfBodyFile().filename(), "temp-" + std::to_string(::getpid()) + ".rtf");
  if (old != nullptr) {
    ::setenv("XDG_DATA_HOME", saved.c_str(), 1);
  } else {
    ::unsetenv("XDG_DATA_HOME");
  }
  std::filesystem::remove_all(base);
}

}  // namespace
}  // namespace palvara
