#include "shell/activity_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <mutex>
#include <vector>

#include "shell/app_paths.h"
#include "shell/app_settings.h"

namespace palvara {
namespace {

std::mutex& LogMutex() {
  static std::mutex mutex;
  return mutex;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// A folder in which the log can be created or appended to.
bool CanWriteIn(const std::filesystem::path& folder) {
  std::error_code ec;
  if (!std::filesystem::is_directory(folder, ec)) return false;
  if (::access(folder.c_str(), W_OK | X_OK) == 0) return true;
  // Tolerant: an existing log that can be written is used even in a folder that cannot.
  const std::filesystem::path log = folder / "Activity Log.txt";
  return std::filesystem::exists(log, ec) && ::access(log.c_str(), W_OK) == 0;
}

}  // namespace

std::filesystem::path ActivityLogFolder() {
  std::error_code ec;
  std::vector<std::filesystem::path> folders;
  const std::string logPath = AppSettings::Read("LogPath");
  if (!logPath.empty() && std::filesystem::is_directory(logPath, ec)) folders.push_back(logPath);
  folders.push_back(AppPaths::ApplicationFolder());
  for (const std::filesystem::path& folder : folders) {
    if (CanWriteIn(folder)) return folder;
  }
  // An installed program's data folder is not the user's to write: keep the entries in the
  // user's state folder rather than lose them.
  const std::filesystem::path state = AppPaths::StateFolder();
  return state.empty() ? folders.front() : state;
}

std::filesystem::path ActivityLogFile() { return ActivityLogFolder() / "Activity Log.txt"; }

int WriteActivityLog(const std::string& text) {
  std::lock_guard lock(LogMutex());
  const std::filesystem::path file = ActivityLogFile();
  std::error_code ec;
  if (std::filesystem::exists(file, ec)) {
    // Tolerant: a read-only log is made writable again.
    std::filesystem::permissions(file, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add, ec);
  }
  int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return 0;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && static_cast<std::uint64_t>(st.st_size) > kActivityLogLimit) {
    ::close(fd);
    std::filesystem::remove(file, ec);
    fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return 0;
  }
  ::lseek(fd, 0, SEEK_END);
  WriteAll(fd, "\r\n", 2);
  // Entries the shell builds fit kActivityLogEntryLimit; a longer one is written whole.
  const bool ok = WriteAll(fd, text.data(), text.size());
  ::close(fd);
  return ok ? 1 : 0;
}

void WriteStartBanner() {
  WriteActivityLog("*******************************START LOG FILE *******************************");
  WriteActivityLog(kProductTitle);
  WriteActivityLog(kVersionText);
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%d-%d-%d %d:%d:%d", local.tm_mday, local.tm_mon + 1,
                local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
  WriteActivityLog(stamp);
  WriteActivityLog("\r\n");
}

bool ClearLog(ShellPrompts& prompts) {
  if (!prompts.Confirm("Do you want to clear log file ?")) return false;
  std::lock_guard lock(LogMutex());
  std::error_code ec;
  const std::filesystem::path file = ActivityLogFile();
  std::filesystem::permissions(file, std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::add, ec);
  return std::filesystem::remove(file, ec);
}

bool ChangeLogPath(const std::string& path, ShellPrompts& prompts) {
  std::error_code ec;
  if (path.empty() || !std::filesystem::exists(path, ec)) {
    prompts.ShowError("Path Does't exists");
    return false;
  }
  return AppSettings::Write("LogPath", path);
}

std::string CurrentLogPathSetting() {
  std::error_code ec;
  const std::string logPath = AppSettings::Read("LogPath");
  if (!logPath.empty() && std::filesystem::exists(logPath, ec)) return logPath;
  // Else the folder the log is written in: the application folder, or the user's state folder
  // when that cannot be written (and "FilePath" may be empty, an installed program's default).
  return ActivityLogFolder().string();
}

}  // namespace palvara
