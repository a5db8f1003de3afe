// Where the application keeps its files on Linux: the program's own folder and the installed
// data beside it, the per-user skin folder (working files such as the RTF body file) and the
// per-user state folder (the activity log when no configured folder can be written).
#pragma once

#include <filesystem>

namespace palvara {

class AppPaths {
 public:
  // The folder of the running program (from /proc/self/exe), else ".".
  static std::filesystem::path ProgramFolder();

  // The "FilePath" setting; else the installed data folder relative to the program
  // (<prefix>/share/palvara; the build tree has the same layout), else the program's "data"
  // folder; else the program's folder.
  static std::filesystem::path ApplicationFolder();

  // $XDG_DATA_HOME/palvara, else ~/.local/share/palvara (created on first use; falls back to
  // the temporary folder when neither can be made).
  static std::filesystem::path SkinFolder();

  // $XDG_STATE_HOME/palvara, else ~/.local/state/palvara, created on first use (mode 0700).
  // Empty when it cannot be made.
  static std::filesystem::path StateFolder();

  // The RTF body file of this process: the skin folder's "temp-<pid>.rtf", so that two running
  // copies never write the same file.
  static std::filesystem::path RtfBodyFile();
};

}  // namespace palvara
