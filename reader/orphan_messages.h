// Messages whose node entry is lost while their property context survives: found among the
// blocks no node refers to, and given back their node id and folder by the contents-table row
// ([MS-PST] 2.3.4, the folder's table of messages) that lists them, matched on the row's
// columns (subject, times, size, flags). Each keeps the subnode block no node refers to that
// fits it best (its recipients and attachments).
#pragma once

#include <cstdint>
#include <vector>

#include "reader/node_tree.h"
#include "reader/store_file.h"

namespace palvara {

struct OrphanMessages {
  // Node entries for messages a row names: the row's node id, the folder whose table lists it.
  std::vector<NodeEntry> matched;
  // Messages no row names, without a node id or folder (bidData, bidSub set).
  std::vector<NodeEntry> unmatched;
};

// Looks for message property contexts among the blocks of the index no node refers to.
// Matched ones may come from any block; unmatched ones only from blocks whose index entry is
// among the first `trustedBlocks` (the block B-tree's own, which lists only live blocks), and
// only when `fileUnmatched`. Never throws for any content.
OrphanMessages FindOrphanMessages(StoreFile& store, std::size_t trustedBlocks, bool fileUnmatched);

}  // namespace palvara
