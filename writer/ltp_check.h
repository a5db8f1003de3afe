// The store check's lists-tables-properties part ([MS-PST] 2.3): a node's heap, the BTHs on it,
// and its property context or table context (columns, row index, the row matrix's blocks as
// the format places rows in them, cell and property values down to the subnodes they name).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "reader/block_access.h"
#include "reader/store_file.h"
#include "writer/check_findings.h"

namespace palvara {

// What is wrong with one heap block (its header and page map), or "" when nothing is.
std::string HeapBlockFault(ByteSpan block, std::size_t index);

// The column tags of the table context whose data is `data` (in TCINFO order); nullopt when the
// data is not a table context.
std::optional<std::vector<std::uint32_t>> TableColumns(StoreFile& store, const BlockEntry* data);

class LtpChecker {
 public:
  LtpChecker(StoreFile& store, CheckFindings& findings) : store_(store), findings_(findings) {}

  // Checks the heap of the node `nid` and what stands on it, then the subnodes of the node that
  // hold heaps of their own (attachments, attached messages, recipient and attachment tables).
  // `mustBeHeap`: the node's kind always has a heap (else only data that starts like a heap is
  // checked).
  void CheckNode(std::uint32_t nid, const BlockEntry* data, const BlockEntry* subnodeBlock,
                 bool mustBeHeap);

  // A node or subnode being checked (defined with the checks).
  struct Place;

 private:
  void CheckHeapData(const Place& place, const BlockEntry* data, bool mustBeHeap, int depth);
  void Find(CheckLevel level, const std::string& rule, const std::string& section,
            const Place& place, const std::string& text);

  StoreFile& store_;
  CheckFindings& findings_;
};

}  // namespace palvara
