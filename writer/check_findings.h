// What the parts of the store check share: the findings they add to, and what the node
// database part learned of the nodes and blocks for the parts above it.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "writer/store_check.h"

namespace palvara {

enum class CheckLevel {
  kWarning,    // neither breaks a reader nor a rule every store must meet
  kViolation,  // a rule every store must meet is broken; readers cope
  kError,      // a reader fails on it
};

// Collects findings, at most 20 per rule (a store broken throughout names each rule a few
// times, not thousands).
class CheckFindings {
 public:
  explicit CheckFindings(CheckReport& report) : report_(report) {}

  bool strict() const { return report_.strict; }
  void Add(CheckLevel level, const std::string& rule, const std::string& section,
           const std::string& text);

 private:
  CheckReport& report_;
  std::map<std::string, std::size_t> perRule_;
};

// A node as its node B-tree entry gives it.
struct CheckedNode {
  std::uint64_t bidData = 0, bidSub = 0;
  std::uint32_t parent = 0;
};
using CheckedNodes = std::map<std::uint32_t, CheckedNode>;

}  // namespace palvara
