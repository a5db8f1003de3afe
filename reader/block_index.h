// The block index: every block B-tree leaf entry in the order the walk met it, with a keyed
// lookup that returns the first entry for an id, as a scan from the head would.
#pragma once

#include <cstdint>
#include <deque>

#include "reader/first_position.h"

namespace palvara {

struct BlockEntry {
  std::uint64_t id = 0;      // bid as stored (bit 1 set: internal block, a data tree)
  std::uint64_t offset = 0;  // ib: file offset of the block
  std::uint32_t size = 0;    // cb: data bytes, trailer not counted
  std::int32_t referenceCount = 0;  // cRef, carried for listings

  bool IsInternal() const { return (id & 0x2) != 0; }
};

class BlockIndex {
 public:
  BlockIndex() = default;
  BlockIndex(const BlockIndex&) = delete;
  BlockIndex& operator=(const BlockIndex&) = delete;

  // Appends an entry; entries already present for the id keep winning lookups.
  void Append(const BlockEntry& entry);

  // Forgets every entry (pointers handed out become invalid).
  void Clear() {
    entries_.clear();
    first_.Clear();
  }

  // The first entry whose id equals `id` with bit 0 cleared; nullptr for 0 or when absent.
  // The returned pointer stays valid for the life of the index.
  const BlockEntry* Find(std::uint64_t id) const;

  std::size_t Size() const { return entries_.size(); }
  const std::deque<BlockEntry>& Entries() const { return entries_; }

 private:
  auto IdAt() const {
    return [this](std::uint32_t at) { return entries_[at].id; };
  }

  std::deque<BlockEntry> entries_;  // deque: stable addresses for the pointers handed out
  FirstPositionTable first_;        // id as stored -> position of its first entry
};

}  // namespace palvara
