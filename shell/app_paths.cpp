#include "shell/app_paths.h"

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <system_error>

#include "shell/app_settings.h"
#include "shell/install_layout.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;

// `variable` when it holds an absolute path, else ~/`fallback`, with "palvara" appended and
// the folder created (for the owner alone when `ownerOnly`); empty when there is no base or the
// folder cannot be made.
fs::path UserFolder(const char* variable, const char* fallback, bool ownerOnly) {
  fs::path base;
  if (const char* xdg = std::getenv(variable); xdg != nullptr && *xdg == '/') {
    base = xdg;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    base = fs::path(home) / fallback;
  }
  if (base.empty()) return {};
  const fs::path folder = base / "palvara";
  std::error_code ec;
  if (fs::create_directories(folder, ec) && ownerOnly) {
    fs::permissions(folder, fs::perms::owner_all, ec);
  }
  return fs::is_directory(folder, ec) ? folder : fs::path();
}

}  // namespace

fs::path AppPaths::ProgramFolder() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::path(".") : self.parent_path();
}

fs::path AppPaths::ApplicationFolder() {
  const std::string filePath = AppSettings::Read("FilePath");
  if (!filePath.empty()) return filePath;
  std::error_code ec;
  const fs::path program = ProgramFolder();
  for (const fs::path& candidate : {program / kDataFolderFromPrograms, program / "data"}) {
    if (fs::is_directory(candidate, ec)) return fs::weakly_canonical(candidate, ec);
  }
  return program;
}

fs::path AppPaths::SkinFolder() {
  const fs::path folder = UserFolder("XDG_DATA_HOME", ".local/share", false);
  if (!folder.empty()) return folder;
  std::error_code ec;
  return fs::temp_directory_path(ec);
}

fs::path AppPaths::StateFolder() { return UserFolder("XDG_STATE_HOME", ".local/state", true); }

fs::path AppPaths::RtfBodyFile() {
  return SkinFolder() / ("temp-" + std::to_string(::getpid()) + ".rtf");
}

}  // namespace palvara
