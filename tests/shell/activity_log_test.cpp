#include "shell/activity_log.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "shell/app_settings.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;

// A private settings file and folders for each test.
class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("palvara-shell-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_ / "app");
    fs::create_directories(dir_ / "logs");
    ::setenv("PALVARA_SETTINGS", (dir_ / "PV_PST.ini").c_str(), 1);
    Settings("[PV_PST]\nFilePath=" + (dir_ / "app").string() + "\nLogPath=" +
             (dir_ / "logs").string() + "\n");
  }
  void TearDown() override {
    ::unsetenv("PALVARA_SETTINGS");
    ::unsetenv("XDG_STATE_HOME");
    fs::remove_all(dir_);
  }
  void Settings(const std::string& text) { std::ofstream(dir_ / "PV_PST.ini") << text; }
  static std::string Read(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  fs::path dir_;
};

TEST_F(ShellTest, LogIsRestartedOnlyWhenLargerThanTheLimit) {
  const fs::path log = dir_ / "logs" / "Activity Log.txt";
  std::ofstream(log, std::ios::binary) << std::string(kActivityLogLimit, 'x');
  EXPECT_EQ(WriteActivityLog("kept"), 1);
  EXPECT_EQ(fs::file_size(log), kActivityLogLimit + 6);
  EXPECT_EQ(WriteActivityLog("new"), 1);  // now one byte and more over the limit
  EXPECT_EQ(Read(log), "\r\nnew");
}

TEST_F(ShellTest, EntriesGoToTheApplicationFolderWhenTheLogFolderIsGone) {
  fs::remove_all(dir_ / "logs");
  const std::string entry(299, 'e');
  EXPECT_EQ(WriteActivityLog(entry), 1);
  EXPECT_EQ(Read(dir_ / "app" / "Activity Log.txt"), "\r\n" + entry);
}

// Neither a usable "LogPath" nor an application folder that can be written (an installed
// program's data folder): the entries go to the user's state folder instead of being lost.
TEST_F(ShellTest, EntriesGoToTheStateFolderWhenNoConfiguredFolderCanBeWritten) {
  const fs::path state = dir_ / "state";
  ::setenv("XDG_STATE_HOME", state.c_str(), 1);
  Settings("[PV_PST]\nFilePath=" + (dir_ / "not-there").string() + "\nLogPath=" +
           (dir_ / "gone").string() + "\n");
  EXPECT_EQ(ActivityLogFolder(), state / "palvara");
  EXPECT_EQ(WriteActivityLog("kept"), 1);
  EXPECT_EQ(Read(state / "palvara" / "Activity Log.txt"), "\r\nkept");
  EXPECT_EQ(fs::status(state / "palvara").permissions() & fs::perms::all, fs::perms::owner_all);

  // Without XDG_STATE_HOME the folder is below HOME.
  ::unsetenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  const std::string savedHome = home != nullptr ? home : "";
  ::setenv("HOME", (dir_ / "home").c_str(), 1);
  EXPECT_EQ(ActivityLogFolder(), dir_ / "home" / ".local" / "state" / "palvara");
  ::setenv("HOME", savedHome.c_str(), 1);

  // A folder that can be written wins again as soon as there is one.
  Settings("[PV_PST]\nFilePath=" + (dir_ / "not-there").string() + "\nLogPath=" +
           (dir_ / "logs").string() + "\n");
  EXPECT_EQ(ActivityLogFolder(), dir_ / "logs");
  Settings("[PV_PST]\nFilePath=" + (dir_ / "app").string() + "\n");
  EXPECT_EQ(ActivityLogFolder(), dir_ / "app");
}

// The log folder as a user who may not write the configured folders sees it: the folders are
// made read-only, and when the tests run as root (who writes anywhere) the folder is asked
// for by a child process running as nobody.
std::string LogFolderForAnotherUser(const fs::path& state) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return "pipe failed";
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipeFds[0]);
    if (::geteuid() == 0) {
      fs::permissions(state, fs::perms::all);  // the state folder is the user's own
      if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(1);
    }
    const std::string folder = ActivityLogFolder().string();
    const bool written = ::write(pipeFds[1], folder.data(), folder.size()) ==
                         static_cast<ssize_t>(folder.size());
    ::_exit(written ? 0 : 1);
  }
  ::close(pipeFds[1]);
  std::string folder;
  char buffer[512];
  for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) folder.append(buffer, n);
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? folder : "child failed";
}

TEST_F(ShellTest, FoldersThatCannotBeWrittenArePassedOver) {
  const fs::path state = dir_ / "state";
  fs::create_directories(state);
  ::setenv("XDG_STATE_HOME", state.c_str(), 1);
  const fs::perms readOnly = fs::perms::owner_read | fs::perms::owner_exec |
                             fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec;
  fs::permissions(dir_ / "logs", readOnly);
  fs::permissions(dir_ / "app", readOnly);
  EXPECT_EQ(LogFolderForAnotherUser(state), (state / "palvara").string());
  fs::permissions(dir_ / "app", fs::perms::all);  // everyone may write the application folder
  EXPECT_EQ(LogFolderForAnotherUser(state), (dir_ / "app").string());
  fs::permissions(dir_ / "logs", fs::perms::owner_all);
  fs::permissions(dir_ / "app", fs::perms::owner_all);
}

TEST_F(ShellTest, ReadOnlyLogsAreMadeWritableAndConcurrentAppendsAllLand) {
  const fs::path log = dir_ / "logs" / "Activity Log.txt";
  std::ofstream(log) << "old";
  fs::permissions(log, fs::perms::owner_read);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 50; ++i) WriteActivityLog("thread " + std::to_string(t));
    });
  }
  for (auto& thread : threads) thread.join();
  const std::string text = Read(log);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 400);
  EXPECT_EQ(text.rfind("old", 0), 0u);
}

class Prompts : public ShellPrompts {
 public:
  explicit Prompts(bool answer) : answer_(answer) {}
  bool Confirm(const std::string& question) override {
    asked = question;
    return answer_;
  }
  void ShowError(const std::string& message) override { error = message; }
  std::string asked, error;

 private:
  bool answer_;
};

TEST_F(ShellTest, ClearAndChangeLogPath) {
  WriteActivityLog("entry");
  Prompts no(false);
  EXPECT_FALSE(ClearLog(no));
  EXPECT_EQ(no.asked, "Do you want to clear log file ?");
  EXPECT_TRUE(fs::exists(ActivityLogFile()));
  Prompts yes(true);
  EXPECT_TRUE(ClearLog(yes));
  EXPECT_FALSE(fs::exists(ActivityLogFile()));

  EXPECT_FALSE(ChangeLogPath((dir_ / "missing").string(), yes));
  EXPECT_EQ(yes.error, "Path Does't exists");
  fs::create_directories(dir_ / "other");
  EXPECT_TRUE(ChangeLogPath((dir_ / "other").string(), yes));
  EXPECT_EQ(ActivityLogFolder(), dir_ / "other");
  EXPECT_EQ(AppSettings::Read("FilePath"), (dir_ / "app").string());  // other values stay
}

TEST_F(ShellTest, LanguageFileAndTheSettingsBuffer) {
  Settings("[PV_PST]\nLngFile=frencha.DAT\nFilePath=" + std::string(260, 'a') + "\n");
  EXPECT_EQ(AppSettings::LanguageFile(), "frencha.DAT");
  EXPECT_EQ(AppSettings::Read("FilePath"), "");
  Settings("[PV_PST]\nLngFile=Klingon.dat\nFilePath=" + std::string(259, 'a') + "\n");
  EXPECT_EQ(AppSettings::LanguageFile(), "EnglishA.dat");
  EXPECT_EQ(AppSettings::Read("FilePath").size(), 259u);
  Settings("[Other]\nLngFile=DutchA.dat\n");
  EXPECT_EQ(AppSettings::LanguageFile(), "EnglishA.dat");
}

}  // namespace
}  // namespace palvara
