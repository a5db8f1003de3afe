// palvara-cli save and recover: the saving run in the foreground (after an analysis for
// recover and --all), with a progress bar on stderr and the output path and summary on stdout.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace palvara::cli {

// save FILE --to DIR (--folder PATH)... | --all [--json]; and
// export FILE --to DIR --format mbox|maildir|eml|all (--folder PATH)... | --all [--json]: the
// same run into files in open formats instead of a new PST.
int SaveCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
// recover FILE [--to DIR] [--json]
int RecoverCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace palvara::cli
