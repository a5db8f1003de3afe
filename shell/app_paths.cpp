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

std::filesystem::path AppPaths::SkinFolder() {
  namespace fs = std::filesystem;
  fs::path base;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && *xdg == '/') {
    base = xdg;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    base = fs::path(home) / ".local" / "share";
  }
  std::error_code ec;
  if (!base.empty()) {
    const fs::path folder = base / "palvara";
    fs::create_directories(folder, ec);
    if (fs::is_directory(folder, ec)) return folder;
  }
  return fs::temp_directory_path(ec);
}

std::filesystem::path AppPaths::RtfBodyFile() {
  return SkinFolder() / ("temp-" + std::to_string(::getpid()) + ".rtf");
}

}  // namespace palvara
