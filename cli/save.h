// palvara-cli save and recover: the saving run in the foreground (after an analysis for
// recover and --all), with a progress bar on stderr and the output path and summary on stdout.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace palvara::cli {

// save FILE --to DIR (--folder PATH)... | --all [--json]
int SaveCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
// recover FILE [--to DIR] [--json]
int RecoverCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace palvara::cli
