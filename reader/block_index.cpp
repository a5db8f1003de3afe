#include "reader/block_index.h"

#include <algorithm>
#include <functional>

namespace palvara {

void BlockIndex::Append(const BlockEntry& entry) {
  const std::size_t position = size_;
  if (position % kChunkEntries == 0) {
    chunks_.push_back(std::make_unique_for_overwrite<BlockEntry[]>(kChunkEntries));
  }
  chunks_.back()[position % kChunkEntries] = entry;
  ++size_;
  // Positions are 32-bit: past four billion blocks (a file of hundreds of GiB) entries are
  // kept but not found by id.
  if (position >= FirstPositionIndex::kNone) return;
  if (!first_.Insert(entry.id, static_cast<std::uint32_t>(position), IdAt())) {
    repeated_.push_back(static_cast<std::uint32_t>(position));
  }
}

std::uint32_t BlockIndex::FirstPositionOf(std::size_t position) const {
  if (position >= FirstPositionIndex::kNone) return FirstPositionIndex::kNone;
  const auto at = static_cast<std::uint32_t>(position);
  if (!std::binary_search(repeated_.begin(), repeated_.end(), at)) return at;
  return FindPosition(At(position).id);
}

void BlockIndex::Clear() {
  chunks_.clear();
  chunks_.shrink_to_fit();
  size_ = 0;
  first_.Clear();
  repeated_.clear();
}

std::uint32_t BlockIndex::FindPosition(std::uint64_t id) const {
  const std::uint64_t key = id & ~std::uint64_t{1};
  if (key == 0) return FirstPositionIndex::kNone;
  return first_.Find(key, IdAt());
}

const BlockEntry* BlockIndex::Find(std::uint64_t id) const {
  const std::uint32_t position = FindPosition(id);
  return position == FirstPositionIndex::kNone ? nullptr : &At(position);
}

std::uint32_t BlockIndex::PositionOf(const BlockEntry* entry) const {
  // Few chunks, and few callers (a rebuilt folder): a walk over the chunks will do.
  for (std::size_t c = 0; c < chunks_.size(); ++c) {
    const BlockEntry* start = chunks_[c].get();
    const std::less<const BlockEntry*> below;
    if (below(entry, start) || !below(entry, start + kChunkEntries)) continue;
    const std::size_t position = c * kChunkEntries + static_cast<std::size_t>(entry - start);
    if (position < size_ && position < FirstPositionIndex::kNone) {
      return static_cast<std::uint32_t>(position);
    }
  }
  return FirstPositionIndex::kNone;
}

std::size_t BlockIndex::Footprint() const {
  return chunks_.size() * kChunkEntries * sizeof(BlockEntry) +
         chunks_.capacity() * sizeof(chunks_[0]) + first_.Footprint();
}

}  // namespace palvara
