#include "reader/block_index.h"

namespace palvara {

void BlockIndex::Append(const BlockEntry& entry) {
  const std::size_t position = entries_.size();
  entries_.push_back(entry);
  // Positions are 32-bit: past four billion blocks (a file of hundreds of GiB) entries are
  // kept but not found by id.
  if (position >= FirstPositionTable::kNone) return;
  first_.Insert(entry.id, static_cast<std::uint32_t>(position), IdAt());
}

const BlockEntry* BlockIndex::Find(std::uint64_t id) const {
  const std::uint64_t key = id & ~std::uint64_t{1};
  if (key == 0) return nullptr;
  const std::uint32_t position = first_.Find(key, IdAt());
  return position == FirstPositionTable::kNone ? nullptr : &entries_[position];
}

}  // namespace palvara
