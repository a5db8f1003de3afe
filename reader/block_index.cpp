#include "reader/block_index.h"

namespace palvara {

void BlockIndex::Append(const BlockEntry& entry) {
  entries_.push_back(entry);
  first_.try_emplace(entry.id, &entries_.back());
}

const BlockEntry* BlockIndex::Find(std::uint64_t id) const {
  const std::uint64_t key = id & ~std::uint64_t{1};
  if (key == 0) return nullptr;
  auto it = first_.find(key);
  return it == first_.end() ? nullptr : it->second;
}

}  // namespace palvara
