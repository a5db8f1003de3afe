// The node database part of the recovery pass: the block index and the node tree rebuilt from
// the pages and blocks one scan of the file found ([MS-PST] 2.2.2.7 pages, 2.2.2.8 blocks),
// the trees' own entries winning over scanned ones.
#pragma once

#include <cstddef>

#include "common/run_control.h"
#include "reader/index_rebuild_state.h"
#include "reader/store_file.h"
#include "reader/store_scan.h"

namespace palvara::rebuild {

// Node entries of pages the walk did not reach are kept in bounds: at most this many without a
// data block the index has (real stores lose the data of a few folders, not of thousands; a
// message without its data holds nothing), and of those that share a data block with one kept
// before (the tables of empty folders share one block, copies of a message share theirs) at
// most as many as the blocks the kept entries use, or this floor when that is more.
inline constexpr std::size_t kMaxScannedEntriesWithoutData = 4096;
inline constexpr std::size_t kScannedSharedEntriesFloor = 4096;

// Whether the walk settled a tree's leaf level on a level its root page does not state (its
// first leaf was lost): it then read intermediate pages as leaves.
bool LeafLevelMisread(StoreFile& store, bool blockTree);

// Walks again the trees whose leaf level the walk misread, adds the blocks and the node entries
// of leaf pages the walk did not reach (the newest page deciding), relinks nodes to blocks and
// settles the encoding. Sets state.maps, state.treeBlocks and state.covered. The blocks of
// `found` are let go once they are in the index (found.blocks is left empty).
void RepairIndexes(RebuildState& state, LayoutScan& found, const RunControl* control);

}  // namespace palvara::rebuild
