// Persistent settings: an INI file with group [PV_PST] and the values "FilePath", "LogPath",
// "LngFile" and "RPTFile", at $PALVARA_SETTINGS, else $XDG_CONFIG_HOME/palvara/PV_PST.ini
// (default ~/.config/palvara/PV_PST.ini). Product identity and process exit live here too.
#pragma once

#include <filesystem>
#include <string>

#include "common/version.h"

namespace palvara {

inline constexpr const char* kProductTitle = "Palvara for Microsoft Outlook";
inline constexpr const char* kSettingsKey = "PV_PST";

class AppSettings {
 public:
  static std::filesystem::path File();

  // The value, or "" when the file, the group or the value is missing, or when the value is
  // 260 bytes or longer (it does not fit the settings buffer).
  static std::string Read(const std::string& name);

  // Stores a value (only "LogPath" is ever written). Returns false when the file cannot be
  // written.
  static bool Write(const std::string& name, const std::string& value);

  // "LngFile" when it names one of the four language files (any letter case, kept as read),
  // else "EnglishA.dat".
  static std::string LanguageFile();
};

// Ends the process at once with exit code 0: no clean-up, no flushing.
[[noreturn]] void TerminateSelf();

// Loads the companion library libItemDecodeA.so (beside the program, else from the installed
// companion folder relative to the program, else by the standard search) and keeps it loaded;
// false when it cannot be loaded.
bool LoadCompanionLibrary();

}  // namespace palvara
