// Heap-on-node ([MS-PST] 2.3.1) and BTH ([MS-PST] 2.3.2). A heap spans every block of the
// node's data; each block carries its own page map, and a heap id names the block (high 16
// bits) and the allocation in it (bits 5..15).
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "common/byte_view.h"

namespace palvara {

inline constexpr std::uint8_t kHeapSignature = 0xEC;
inline constexpr std::uint8_t kClientPropertyContext = 0xBC;
inline constexpr std::uint8_t kClientTableContext = 0x7C;
inline constexpr std::uint8_t kBthType = 0xB5;

// The [start, end) offsets of heap item `hid` in one block, through the page map at ibHnpm.
// nullopt when hid is 0 or not a heap id (its type bits are set), the index lies past cAlloc,
// or an offset lies outside the block. start > end is returned as an empty item.
std::optional<std::pair<std::size_t, std::size_t>> ResolveHeapItem(ByteSpan block,
                                                                   std::uint32_t hid);
// The same for the allocation numbered `index` (1 for the first).
std::optional<std::pair<std::size_t, std::size_t>> ResolveHeapIndex(ByteSpan block,
                                                                    std::size_t index);

class HeapOnNode {
 public:
  // nullopt when the first block does not start with a heap header. A heap id names its block
  // from bit `blockShift` up: 16, or 19 in the 4 KiB-page layout.
  static std::optional<HeapOnNode> Open(std::vector<Bytes> blocks, unsigned blockShift = 16);

  std::uint8_t ClientSignature() const { return ByteAt(blocks_[0], 3); }
  std::uint32_t UserRoot() const { return LoadLe32(blocks_[0], 4).value_or(0); }

  // The bytes of heap item `hid` (a view into this heap); nullopt when it cannot be resolved.
  std::optional<ByteSpan> Item(std::uint32_t hid) const;

 private:
  HeapOnNode(std::vector<Bytes> blocks, unsigned blockShift)
      : blocks_(std::move(blocks)), blockShift_(blockShift) {}
  std::vector<Bytes> blocks_;
  unsigned blockShift_;
};

struct BthHeader {
  std::uint8_t bType = 0;
  std::uint8_t cbKey = 0;
  std::uint8_t cbEnt = 0;
  std::uint8_t bIdxLevels = 0;
  std::uint32_t hidRoot = 0;
};

// The 8-byte BTH header at heap item `hid`; nullopt when the item is shorter.
std::optional<BthHeader> ReadBthHeader(const HeapOnNode& heap, std::uint32_t hid);

// The BTH's leaf records of `recordSize` bytes, in order, descending bIdxLevels intermediate
// levels (records of cbKey + 4 bytes). Unresolvable items contribute nothing.
std::vector<ByteSpan> BthLeafRecords(const HeapOnNode& heap, const BthHeader& header,
                                     std::size_t recordSize);

}  // namespace palvara
