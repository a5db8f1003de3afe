// The exit status of palvara-cli: one value per outcome, the same for every command.
#pragma once

namespace palvara::cli {

inline constexpr int kExitOk = 0;
// The input cannot be used: missing, unreadable, not a regular file, not a store, a named
// folder or node that is not in it.
inline constexpr int kExitCannotRead = 1;
inline constexpr int kExitUsage = 2;
// The output cannot be written: the target folder cannot be made, a write fails (disk full).
inline constexpr int kExitCannotWrite = 3;
// Stopped by Ctrl-C, SIGTERM or SIGHUP; what was done until then is printed, marked stopped.
inline constexpr int kExitStopped = 4;
// check: the store has structural errors.
inline constexpr int kExitCheckErrors = 5;
// A failure the program did not foresee (out of memory, a fault of its own); the message says
// what it was.
inline constexpr int kExitUnexpected = 6;

}  // namespace palvara::cli
