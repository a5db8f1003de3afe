// Walks of the block B-tree and the node B-tree ([MS-PST] 2.2.2.7.7) into the block index and
// the node tree. Built for damaged files: the leaf level is found by trial, a page is accepted
// by its first key, reading a page stops at the first zero or out-of-order key (or at the
// page's own entry count when its metadata is sane), and an unreadable subtree is skipped.
#pragma once

#include <cstdint>
#include <optional>

#include "common/run_control.h"
#include "reader/store_file.h"

namespace palvara {

// Return codes of the walks.
inline constexpr int kWalkFailed = -1;        // page unreadable, or its first key mismatched
inline constexpr int kWalkNodeLeaf = 0;       // node leaf processed, or the walk was stopped
inline constexpr int kWalkBlockLeaf = 2;      // block leaf processed
inline constexpr int kWalkIntermediate = 3;   // intermediate page processed
inline constexpr int kWalkRereadAsLeaf = 4;   // this page's depth became the leaf depth

inline constexpr std::uint64_t kNoBound = UINT64_MAX;

// Builds the block index and the node tree. Returns 0, or 2 when the root of either tree
// cannot be read even as a leaf. `control` (optional) is polled for a stop during the node
// walk. Afterwards the store's encoding method is settled: the header's method when node 0x21
// decodes with it, else whichever method decodes it, else the permutation. Never throws.
int IndexStore(StoreFile& store, const RunControl* control = nullptr);

// The two halves of IndexStore: each walks one tree from the store's root for it and returns 0,
// or 2 when the root cannot be read even as a leaf.
int IndexBlockTree(StoreFile& store);
int IndexNodeTree(StoreFile& store, const RunControl* control = nullptr);

// Settles the store's encoding method by trying it on node 0x21 (the header's method when it
// decodes the node, else whichever does, else the permutation).
void SettleEncoding(StoreFile& store);

int WalkBlockTree(StoreFile& store, std::uint64_t offset, int depth,
                  std::optional<std::uint64_t> expectedKey, std::uint64_t bound);

int WalkNodeTree(StoreFile& store, std::uint64_t offset, int depth,
                 std::optional<std::uint64_t> expectedKey, std::uint64_t bound,
                 const RunControl* control = nullptr);

// The first node with `nid` in pre-order; nullptr when none.
const StoreNode* FindNode(const StoreFile& store, std::uint32_t nid);

// True when `data` starts like a property-context heap ([MS-PST] 2.3.1.2: bSig 0xEC,
// bClientSig 0xBC) with its page map inside the block.
bool LooksLikePropertyContextHeap(ByteSpan data);

}  // namespace palvara
