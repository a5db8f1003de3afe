// The block index: every block B-tree leaf entry in the order the walk met it, with a keyed
// lookup that returns the first entry for an id, as a scan from the head would.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "reader/first_position.h"

namespace palvara {

// A 64-bit value kept at any address. It is read and written by value only, so that nothing
// ever binds a reference to unaligned memory (std::make_pair, a set's insert, std::max).
class [[gnu::packed]] UnalignedU64 {
 public:
  UnalignedU64() = default;
  UnalignedU64(std::uint64_t value) { std::memcpy(bytes_, &value, sizeof value); }
  operator std::uint64_t() const {
    std::uint64_t value;
    std::memcpy(&value, bytes_, sizeof value);
    return value;
  }

 private:
  unsigned char bytes_[8] = {};
};

// 18 bytes, so that the index of a large store stays small: cb and cRef are 16-bit in the file,
// and the offset has 48 bits (256 TiB, past the end of any store file). Build entries with the
// constructor: it keeps a larger offset as kOffsetLimit, still past the end, where assigning
// the field would cut its high bits off. Packed to 2-byte alignment: the 16-bit fields stay
// aligned, and the id, which is not, reads by value.
struct alignas(2) [[gnu::packed]] BlockEntry {
  static constexpr std::uint64_t kOffsetLimit = (std::uint64_t{1} << 48) - 1;

  BlockEntry() = default;
  BlockEntry(std::uint64_t bid, std::uint64_t ib, std::uint16_t cb, std::int16_t cRef)
      : id(bid), offset(ib < kOffsetLimit ? ib : kOffsetLimit), size(cb), referenceCount(cRef) {}

  UnalignedU64 id;                  // bid as stored (bit 1 set: internal block, a data tree)
  std::uint64_t offset : 48 = 0;    // ib: file offset of the block
  std::uint16_t size = 0;           // cb: data bytes, trailer not counted
  std::int16_t referenceCount = 0;  // cRef, carried for listings

  bool IsInternal() const { return (id & 0x2) != 0; }
};
static_assert(sizeof(BlockEntry) == 18 && alignof(BlockEntry) == 2);

// The id of `block`; 0 for none.
inline std::uint64_t IdOf(const BlockEntry* block) {
  return block != nullptr ? std::uint64_t{block->id} : 0;
}

class BlockIndex {
 public:
  BlockIndex() = default;
  BlockIndex(const BlockIndex&) = delete;
  BlockIndex& operator=(const BlockIndex&) = delete;

  // Appends an entry; entries already present for the id keep winning lookups.
  void Append(const BlockEntry& entry);

  // Forgets every entry (pointers handed out become invalid).
  void Clear();

  // The first entry whose id equals `id` with bit 0 cleared; nullptr for 0 or when absent.
  // The returned pointer stays valid for the life of the index.
  const BlockEntry* Find(std::uint64_t id) const;

  // The position of Find(id), or FirstPositionIndex::kNone.
  std::uint32_t FindPosition(std::uint64_t id) const;
  // The position of an entry of this index, or FirstPositionIndex::kNone for any other pointer.
  std::uint32_t PositionOf(const BlockEntry* entry) const;
  // The position Find gives for the id of the entry at `position` (below Size()): the entry's
  // own, but for an id the index lists again. No lookup for an entry that is the first of its id.
  std::uint32_t FirstPositionOf(std::size_t position) const;

  std::size_t Size() const { return size_; }
  // The entry at `position` (below Size()), in the order they were appended.
  const BlockEntry& At(std::size_t position) const {
    return chunks_[position / kChunkEntries][position % kChunkEntries];
  }

  // Every entry in the order they were appended (`for (const BlockEntry& e : index)`).
  class Iterator {
   public:
    Iterator(const BlockIndex& index, std::size_t position) : index_(&index), position_(position) {}
    const BlockEntry& operator*() const { return index_->At(position_); }
    Iterator& operator++() {
      ++position_;
      return *this;
    }
    bool operator==(const Iterator& other) const { return position_ == other.position_; }

   private:
    const BlockIndex* index_;
    std::size_t position_;
  };
  Iterator begin() const { return Iterator(*this, 0); }
  Iterator end() const { return Iterator(*this, size_); }

  // Bytes the entries and the lookup hold.
  std::size_t Footprint() const;

 private:
  // Entries live in chunks that never move, so the pointers handed out stay valid.
  static constexpr std::size_t kChunkEntries = 4096;

  auto IdAt() const {
    return [this](std::uint32_t at) { return At(at).id; };
  }

  std::vector<std::unique_ptr<BlockEntry[]>> chunks_;
  std::size_t size_ = 0;
  FirstPositionIndex first_;  // id as stored -> position of its first entry
  std::vector<std::uint32_t> repeated_;  // positions of entries whose id came before, ascending
};

}  // namespace palvara
