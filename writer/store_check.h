// Validates a store (ANSI or Unicode) against what a writer must produce: header checksums,
// page and block trailers, sorted B-trees, referenced blocks present, reference counts,
// allocation maps covering exactly what is used, and folder counts matching their tables.
// Errors are what a reader would fail on; warnings what readers cope with. The strict check
// adds every rule of the format that a store must meet as Outlook applies it (heaps, BTHs,
// property and table contexts with their row matrices, the name-to-id map, the contents tables
// against the folders' messages), each named with the [MS-PST] section that states it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "common/byte_view.h"

namespace palvara {

struct CheckOptions {
  bool strict = false;
};

struct CheckFinding {
  bool error = true;       // a reader fails on it
  bool violation = false;  // a rule the format sets for every store is broken (errors too)
  std::string rule;        // short rule name, e.g. "header-crc"
  std::string section;     // the [MS-PST] section that states the rule ("2.3.4.4"), if any
  std::string text;        // what is wrong, and where
};

struct CheckReport {
  bool opened = false;
  bool strict = false;
  std::string openError;
  std::vector<CheckFinding> findings;  // at most 20 per rule
  std::size_t pages = 0, blocks = 0, nodes = 0;

  std::size_t Errors() const;
  std::size_t Warnings() const;  // findings that are not errors
  std::size_t Violations() const;
};

CheckReport CheckStore(const std::filesystem::path& path, CheckOptions options = {});
// The same over a store's bytes in memory.
CheckReport CheckStoreBytes(ByteSpan bytes, CheckOptions options = {});

}  // namespace palvara
