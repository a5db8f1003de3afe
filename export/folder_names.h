// File-system names for store folders and items: any text made safe on Linux and on the file
// systems mail is copied to (no separators, no control characters, no Windows device names,
// no leading dot, bounded length), with clashes among siblings numbered "Name (2)".
#pragma once

#include <map>
#include <set>
#include <string>
#include <string_view>

namespace palvara {

// `text` as one path component; `fallback` when nothing usable is left. `maxBytes` bounds the
// UTF-8 length (whole characters are kept).
std::string SafeFileName(std::string_view text, std::string_view fallback,
                         std::size_t maxBytes = 120);

// `name` when it has at most `maxBytes` bytes; else as many of its first characters as leave
// room for "~" and eight hex digits of a hash of the whole name: the same name always gives the
// same result, and names that share their first bytes stay apart.
std::string BoundedName(std::string_view name, std::size_t maxBytes);

// Hands out names unique within each parent, ignoring letter case (so the tree also survives a
// copy to a case-insensitive file system). `reserved` names are taken in every parent.
class SiblingNames {
 public:
  explicit SiblingNames(std::set<std::string> reserved = {}) : reserved_(std::move(reserved)) {}
  // `name` (already safe) or "name (n)" for the smallest n from 2 that is still free.
  std::string Claim(const std::string& parent, const std::string& name);

 private:
  std::set<std::string> reserved_;  // lower case
  std::map<std::string, std::set<std::string>> taken_;
};

}  // namespace palvara
