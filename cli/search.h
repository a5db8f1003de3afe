// palvara-cli search: the store file search in the foreground; matches on stdout as they are
// found, Ctrl-C stops.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace palvara::cli {

// search DIR [--recursive] [--json]
int SearchCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace palvara::cli
