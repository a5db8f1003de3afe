#include "reader/heap.h"

#include <algorithm>
#include <unordered_set>

namespace palvara {
namespace {

constexpr int kMaxBthLevels = 8;

void CollectLeaves(const HeapOnNode& heap, std::uint32_t hid, int level, std::size_t cbKey,
                   std::size_t recordSize, std::unordered_set<std::uint32_t>& seen,
                   std::vector<ByteSpan>& out) {
  if (!seen.insert(hid).second) return;
  const std::optional<ByteSpan> item = heap.Item(hid);
  if (!item) return;
  if (level == 0) {
    for (std::size_t at = 0; at + recordSize <= item->size(); at += recordSize) {
      out.push_back(item->subspan(at, recordSize));
    }
    return;
  }
  const std::size_t step = cbKey + 4;
  for (std::size_t at = 0; at + step <= item->size(); at += step) {
    CollectLeaves(heap, *LoadLe32(*item, at + cbKey), level - 1, cbKey, recordSize, seen, out);
  }
}

}  // namespace

std::optional<std::pair<std::size_t, std::size_t>> ResolveHeapItem(ByteSpan block,
                                                                   std::uint32_t hid) {
  if (hid == 0 || (hid & 0x1F) != 0) return std::nullopt;
  return ResolveHeapIndex(block, (hid >> 5) & 0x7FF);
}

std::optional<std::pair<std::size_t, std::size_t>> ResolveHeapIndex(ByteSpan block,
                                                                    std::size_t index) {
  const std::optional<std::uint16_t> ibHnpm = LoadLe16(block, 0);
  if (!ibHnpm || index == 0) return std::nullopt;
  const std::optional<std::uint16_t> cAlloc = LoadLe16(block, *ibHnpm);
  if (!cAlloc || index > *cAlloc) return std::nullopt;
  const std::optional<std::uint16_t> start = LoadLe16(block, *ibHnpm + 4 + 2 * (index - 1));
  const std::optional<std::uint16_t> end = LoadLe16(block, *ibHnpm + 4 + 2 * index);
  if (!start || !end || *start > block.size() || *end > block.size()) return std::nullopt;
  // Tolerant: an item whose end lies before its start is read as empty.
  const std::size_t first = *start;
  return std::make_pair(first, std::max<std::size_t>(first, *end));
}

std::optional<HeapOnNode> HeapOnNode::Open(std::vector<Bytes> blocks, unsigned blockShift) {
  if (blocks.empty() || ByteAt(blocks[0], 2) != kHeapSignature || blocks[0].size() < 12) {
    return std::nullopt;
  }
  return HeapOnNode(std::move(blocks), blockShift);
}

std::optional<ByteSpan> HeapOnNode::Item(std::uint32_t hid) const {
  const std::size_t blockIndex = hid >> blockShift_;
  if (blockIndex >= blocks_.size() || hid == 0 || (hid & 0x1F) != 0) return std::nullopt;
  const ByteSpan block(blocks_[blockIndex]);
  auto range = ResolveHeapIndex(block, (hid >> 5) & 0x7FF);
  // Tolerant: with the block index from bit 19, the bits between might extend the allocation
  // number (readers of the 4 KiB layout disagree); the wider number is tried when the narrow
  // one names nothing.
  if (!range && blockShift_ > 16 && (hid & 0x70000) != 0) {
    range = ResolveHeapIndex(block, (hid >> 5) & 0x3FFF);
  }
  if (!range) return std::nullopt;
  return block.subspan(range->first, range->second - range->first);
}

std::optional<BthHeader> ReadBthHeader(const HeapOnNode& heap, std::uint32_t hid) {
  const std::optional<ByteSpan> item = heap.Item(hid);
  if (!item || item->size() < 8) return std::nullopt;
  BthHeader header;
  header.bType = ByteAt(*item, 0);
  header.cbKey = ByteAt(*item, 1);
  header.cbEnt = ByteAt(*item, 2);
  header.bIdxLevels = ByteAt(*item, 3);
  header.hidRoot = *LoadLe32(*item, 4);
  return header;
}

std::vector<ByteSpan> BthLeafRecords(const HeapOnNode& heap, const BthHeader& header,
                                     std::size_t recordSize) {
  std::vector<ByteSpan> records;
  if (recordSize == 0 || header.hidRoot == 0) return records;
  std::unordered_set<std::uint32_t> seen;
  const int levels = std::min<int>(header.bIdxLevels, kMaxBthLevels);
  CollectLeaves(heap, header.hidRoot, levels, header.cbKey, recordSize, seen, records);
  return records;
}

}  // namespace palvara
