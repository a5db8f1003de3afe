// JSON text of palvara-cli: bytes that are not UTF-8 (file names, damaged item texts) become
// U+FFFD instead of ending the program.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace palvara::cli {

template <typename Json>
std::string JsonDump(const Json& j, int indent = 2) {
  return j.dump(indent, ' ', false, Json::error_handler_t::replace);
}

// {"error": text} and its closing line feed.
inline std::string JsonError(const std::string& text) {
  return JsonDump(nlohmann::json{{"error", text}}) + "\n";
}

}  // namespace palvara::cli
