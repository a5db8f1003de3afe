// `palvara-cli --version` and the help of each command (`palvara-cli COMMAND --help`,
// `palvara-cli help COMMAND`).
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace palvara::cli {

struct CommandHelp {
  const char* name;
  const char* text;  // usage line, what the command does, its options
};

// Every command, in the order the usage lists them.
const std::vector<CommandHelp>& CommandHelpTexts();

// Answers `--version`, `help COMMAND` and `COMMAND ... --help` (or `-h`) for a known command:
// prints to `out` and returns exit code 0. Returns nothing for any other command line.
std::optional<int> AnswerVersionOrHelp(const std::vector<std::string>& args, std::ostream& out);

}  // namespace palvara::cli
