#include "shell/app_paths.h"

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <system_error>

#include "shell/app_settings.h"

namespace palvara {

std::filesystem::path AppPaths::ApplicationFolder() {
  namespace fs = std::filesystem;
  const std::string filePath = AppSettings::Read("FilePath");
  if (!filePath.empty()) return filePath;
  std::error_code ec;
  const fs::path program = fs::read_symlink("/proc/self/exe", ec).parent_path();
  for (const fs::path& candidate : {program / ".." / "share" / "palvara", program / "data"}) {
    if (fs::is_directory(candidate, ec)) return fs::weakly_canonical(candidate, ec);
  }
  return program;
}

namespace {

// $<variable>/palvara, else ~/<fallback>/palvara, created; the temporary folder when neither
// can be made.
std::filesystem::path UserFolder(const char* variable, const char* fallback) {
  namespace fs = std::filesystem;
  fs::path base;
  if (const char* xdg = std::getenv(variable); xdg != nullptr && *xdg == '/') {
    base = xdg;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    base = fs::path(home) / fallback;
  }
  std::error_code ec;
  if (!base.empty()) {
    const fs::path folder = base / "palvara";
    fs::create_directories(folder, ec);
    if (fs::is_directory(folder, ec)) return folder;
  }
  return fs::temp_directory_path(ec);
}

}  // namespace

std::filesystem::path AppPaths::SkinFolder() { return UserFolder("XDG_DATA_HOME", ".local/share"); }

std::filesystem::path AppPaths::StateFolder() { return UserFolder("XDG_STATE_HOME", ".local/state"); }

std::filesystem::path AppPaths::RtfBodyFile() {
  return SkinFolder() / ("temp-" + std::to_string(::getpid()) + ".rtf");
}

}  // namespace palvara
