// The activity log, "Activity Log.txt": every step appends what was chosen and what happened.
// Each entry is written as "\r\n" followed by the entry text (the shell's own entries fit in
// 299 bytes; a longer entry from a driver is written whole, not cut); a file
// larger than 5,242,880 bytes is discarded whole before the next append. Appends from several
// threads of this process are serialised.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace palvara {

inline constexpr std::uint64_t kActivityLogLimit = 5242880;
inline constexpr std::size_t kActivityLogEntryLimit = 299;

// The log folder: "LogPath" when it names an existing folder that can be written, else the
// application folder when it can be written, else the user's state folder
// ($XDG_STATE_HOME/palvara, default ~/.local/state/palvara).
std::filesystem::path ActivityLogFolder();
std::filesystem::path ActivityLogFile();

// Appends one entry. Returns 1 when the text was written, 0 when the file could not be opened
// or written.
int WriteActivityLog(const std::string& text);

// The entries that open the log of a run: a banner, the product title, the version, the local
// date and time ("%d-%d-%d %d:%d:%d", day-month-year), and a line break.
void WriteStartBanner();

// What the shell asks the user and tells them; the GUI shows dialogs, tests answer directly.
class ShellPrompts {
 public:
  virtual ~ShellPrompts() = default;
  virtual bool Confirm(const std::string& question) = 0;
  virtual void ShowError(const std::string& message) = 0;
};

// Clear Log: after "Do you want to clear log file ?" is answered yes, deletes the log.
// Returns true when the log was deleted.
bool ClearLog(ShellPrompts& prompts);

// Change Log Path: a path that exists becomes "LogPath"; else "Path Does't exists" is shown
// and false returned.
bool ChangeLogPath(const std::string& path, ShellPrompts& prompts);

// The folder Change Log Path shows first: "LogPath", or, when that is empty or gone, the folder
// the log is written in instead (never empty).
std::string CurrentLogPathSetting();

}  // namespace palvara
