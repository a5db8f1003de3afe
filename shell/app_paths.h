// Where the application keeps its files on Linux: the skin folder (per user, for working files
// such as the RTF body file).
#pragma once

#include <filesystem>

namespace palvara {

class AppPaths {
 public:
  // The "FilePath" setting; else the installed data folder beside the program
  // (<prefix>/share/palvara, or the build tree's data folder); else the program's folder.
  static std::filesystem::path ApplicationFolder();

  // $XDG_DATA_HOME/palvara, else ~/.local/share/palvara (created on first use; falls back to
  // the temporary folder when neither can be made).
  static std::filesystem::path SkinFolder();

  // $XDG_STATE_HOME/palvara, else ~/.local/state/palvara (created on first use): the log folder
  // when neither "LogPath" nor the application folder can be written.
  static std::filesystem::path StateFolder();

  // The RTF body file of this process: the skin folder's "temp-<pid>.rtf", so that two running
  // copies never write the same file.
  static std::filesystem::path RtfBodyFile();
};

}  // namespace palvara
