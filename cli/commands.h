// The commands of palvara-cli, as functions over streams so that tests can run them.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace palvara::cli {

// Runs palvara-cli with `args` (without the program name). Returns the exit code:
// 0 success, 1 the file could not be read, 2 usage.
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace palvara::cli
