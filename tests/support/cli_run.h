// Runs palvara-cli's commands in the test process, with what they print kept.
#pragma once

#include <nlohmann/json.hpp>

#include <sstream>
#include <string>
#include <vector>

#include "cli/commands.h"

namespace palvara::testing {

struct CliResult {
  int code;
  std::string out, err;
};

inline CliResult RunCli(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  const int code = cli::Run(args, out, err);
  return {code, out.str(), err.str()};
}

// The JSON a command prints; null when it fails or prints none.
inline nlohmann::json RunJson(const std::vector<std::string>& args) {
  const CliResult r = RunCli(args);
  if (r.code != 0) return nullptr;
  return nlohmann::json::parse(r.out, nullptr, false);
}

}  // namespace palvara::testing
