// Controlled damage to a store's bytes, as failing disks, interrupted copies and broken
// writers leave it: for the recovery tests and the damage benchmark. Each kind is
// deterministic for a seed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/byte_view.h"

namespace palvara::testing {

enum class DamageKind {
  kHeaderWiped,        // the first 512 bytes zeroed
  kBlockRootZeroed,    // the root page of the block B-tree zeroed
  kNodeRootZeroed,     // the root page of the node B-tree zeroed
  kBlockLeafZeroed,    // one leaf page the block B-tree reaches, zeroed
  kNodeLeafZeroed,     // one leaf page the node B-tree reaches, zeroed
  kRunsZeroed,         // three 4 KiB runs on 4 KiB boundaries zeroed
  kCut10,              // the last 10 % of the file cut off
  kCut25,              // the last 25 %
  kBitFlips,           // 16 single bits flipped
  kCrcsSpoiled,        // the header wiped and the CRC of every page and block trailer spoiled
};

std::vector<DamageKind> AllDamageKinds();
const char* DamageKindName(DamageKind kind);

// `store` damaged by `kind`; the seed picks the leaf, the runs or the bits.
Bytes Damage(const Bytes& store, DamageKind kind, std::uint64_t seed);

}  // namespace palvara::testing
