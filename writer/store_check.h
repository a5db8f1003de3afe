// Validates a Unicode store against what a writer must produce: header checksums, page and
// block trailers, sorted B-trees, referenced blocks present, reference counts, allocation maps
// covering exactly what is used, and folder counts matching their tables. Errors are what a
// reader would fail on; warnings what readers cope with.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "common/byte_view.h"

namespace palvara {

struct CheckFinding {
  bool error = true;
  std::string rule;  // short rule name, e.g. "header-crc"
  std::string text;
};

struct CheckReport {
  bool opened = false;
  std::string openError;
  std::vector<CheckFinding> findings;
  std::size_t pages = 0, blocks = 0, nodes = 0;

  std::size_t Errors() const;
  std::size_t Warnings() const;
};

CheckReport CheckStore(const std::filesystem::path& path);
// The same over a store's bytes in memory.
CheckReport CheckStoreBytes(ByteSpan bytes);

}  // namespace palvara
