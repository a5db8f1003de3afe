#include "tests/support/store_builder.h"

#include <algorithm>
#include <cstring>

namespace palvara::testing {
namespace {

constexpr std::uint64_t kFirstFreeOffset = 0x4400;

std::uint64_t Align(std::uint64_t value, std::uint64_t to) { return (value + to - 1) / to * to; }

}  // namespace

StoreBuilder::StoreBuilder(Layout layout, EncodingMethod crypt)
    : layout_(layout), crypt_(crypt), image_(kFirstFreeOffset) {
  const char magic[] = {'!', 'B', 'D', 'N'};
  for (std::size_t i = 0; i < 4; ++i) image_[i] = static_cast<std::byte>(magic[i]);
  image_[8] = std::byte{'S'};
  image_[9] = std::byte{'M'};
  SetVersion(layout == Layout::kAnsi ? 14 : 23);
  SetCryptByte(static_cast<std::uint8_t>(crypt));
}

void StoreBuilder::SetVersion(std::uint16_t wVer) { WriteValue(10, wVer, 2); }

void StoreBuilder::SetCryptByte(std::uint8_t value) {
  WriteValue(layout_ == Layout::kAnsi ? 461 : 513, value, 1);
}

void StoreBuilder::SetRoots(std::uint64_t nodeRootOffset, std::uint64_t blockRootOffset) {
  if (layout_ == Layout::kAnsi) {
    WriteValue(184, 0x1000, 4);
    WriteValue(188, nodeRootOffset, 4);
    WriteValue(192, 0x1001, 4);
    WriteValue(196, blockRootOffset, 4);
    WriteValue(168, image_.size(), 4);
  } else {
    WriteValue(216, 0x1000, 8);
    WriteValue(224, nodeRootOffset, 8);
    WriteValue(232, 0x1001, 8);
    WriteValue(240, blockRootOffset, 8);
    WriteValue(184, image_.size(), 8);
  }
}

void StoreBuilder::Grow(std::uint64_t end) {
  if (image_.size() < end) image_.resize(end);
}

void StoreBuilder::WriteBytes(std::uint64_t offset, ByteSpan bytes) {
  Grow(offset + bytes.size());
  std::copy(bytes.begin(), bytes.end(), image_.begin() + static_cast<std::ptrdiff_t>(offset));
}

void StoreBuilder::WriteValue(std::uint64_t offset, std::uint64_t value, std::size_t width) {
  Grow(offset + width);
  StoreLe(image_, offset, value, width);
}

void StoreBuilder::WritePageMetadata(std::uint64_t offset, std::size_t live,
                                     std::size_t capacity, std::size_t entrySize, int level,
                                     std::uint8_t ptype, const PageOptions& options) {
  const std::uint64_t meta = offset + (layout_ == Layout::kAnsi ? 496 : 488);
  Grow(offset + 512);
  if (options.writeMetadata) {
    WriteValue(meta, live, 1);
    WriteValue(meta + 1, capacity, 1);
    WriteValue(meta + 2, entrySize, 1);
    WriteValue(meta + 3, static_cast<std::uint64_t>(level), 1);
  }
  const std::uint64_t trailer = offset + (layout_ == Layout::kAnsi ? 500 : 496);
  WriteValue(trailer, ptype, 1);
  WriteValue(trailer + 1, ptype, 1);
}

void StoreBuilder::WriteIntermediatePage(std::uint64_t offset,
                                         const std::vector<BtEntry>& entries, int level,
                                         bool nodeTree, const PageOptions& options) {
  const std::size_t w = idWidth();
  Grow(offset + 512);
  std::fill_n(image_.begin() + static_cast<std::ptrdiff_t>(offset), 512, std::byte{0});
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::uint64_t at = offset + i * 3 * w;
    WriteValue(at, entries[i].key, w);
    WriteValue(at + w, entries[i].bid, w);
    WriteValue(at + 2 * w, entries[i].offset, w);
  }
  WritePageMetadata(offset, options.liveCount.value_or(entries.size()), intermediateCapacity(),
                    3 * w, level, nodeTree ? 0x81 : 0x80, options);
}

void StoreBuilder::WriteBlockLeafPage(std::uint64_t offset, const std::vector<BbtEntry>& entries,
                                      const PageOptions& options) {
  const std::size_t w = idWidth();
  const std::size_t size = layout_ == Layout::kAnsi ? 12 : 24;
  Grow(offset + 512);
  std::fill_n(image_.begin() + static_cast<std::ptrdiff_t>(offset), 512, std::byte{0});
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::uint64_t at = offset + i * size;
    WriteValue(at, entries[i].bid, w);
    WriteValue(at + w, entries[i].offset, w);
    WriteValue(at + 2 * w, entries[i].cb, 2);
    WriteValue(at + 2 * w + 2, static_cast<std::uint16_t>(entries[i].cRef), 2);
  }
  WritePageMetadata(offset, options.liveCount.value_or(entries.size()), blockLeafCapacity(),
                    size, 0, 0x80, options);
}

void StoreBuilder::WriteNodeLeafPage(std::uint64_t offset, const std::vector<NbtEntry>& entries,
                                     const PageOptions& options) {
  const std::size_t w = idWidth();
  const std::size_t size = layout_ == Layout::kAnsi ? 16 : 32;
  Grow(offset + 512);
  std::fill_n(image_.begin() + static_cast<std::ptrdiff_t>(offset), 512, std::byte{0});
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::uint64_t at = offset + i * size;
    WriteValue(at, entries[i].nid, w);
    WriteValue(at + w, entries[i].bidData, w);
    WriteValue(at + 2 * w, entries[i].bidSub, w);
    WriteValue(at + 3 * w, entries[i].nidParent, 4);
  }
  WritePageMetadata(offset, options.liveCount.value_or(entries.size()), nodeLeafCapacity(), size,
                    0, 0x81, options);
}

BbtEntry StoreBuilder::AddBlock(std::uint64_t bid, ByteSpan data) {
  const std::uint64_t offset = Align(image_.size(), 64);
  const std::uint64_t total = Align(data.size() + 16, 64);
  Bytes stored(data.begin(), data.end());
  if ((bid & 0x2) == 0) {
    if (crypt_ == EncodingMethod::kPermute) EncodePermute(stored);
    if (crypt_ == EncodingMethod::kCyclic) CodeCyclic(stored, static_cast<std::uint32_t>(bid));
  }
  Grow(offset + total);
  WriteBytes(offset, stored);
  const std::uint64_t trailer = offset + total - 16;
  WriteValue(trailer, data.size(), 2);
  WriteValue(trailer + 8, bid, 8);
  return BbtEntry{bid, offset, static_cast<std::uint16_t>(data.size()), 2};
}

std::uint64_t StoreBuilder::AllocatePage() {
  const std::uint64_t offset = Align(image_.size(), 512);
  Grow(offset + 512);
  return offset;
}

Bytes StoreBuilder::MakeXBlock(int level, const std::vector<std::uint64_t>& children,
                               std::uint32_t total) const {
  const std::size_t w = idWidth();
  Bytes block(8 + children.size() * w);
  StoreLe(block, 0, 0x01, 1);
  StoreLe(block, 1, static_cast<std::uint64_t>(level), 1);
  StoreLe(block, 2, children.size(), 2);
  StoreLe(block, 4, total, 4);
  for (std::size_t i = 0; i < children.size(); ++i) StoreLe(block, 8 + i * w, children[i], w);
  return block;
}

Bytes StoreBuilder::MakeSubnodeLeaf(const std::vector<SubnodeLeafEntry>& entries) const {
  const std::size_t w = idWidth();
  const std::size_t first = layout_ == Layout::kAnsi ? 4 : 8;
  Bytes block(first + entries.size() * 3 * w);
  StoreLe(block, 0, 0x02, 1);
  StoreLe(block, 2, entries.size(), 2);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    StoreLe(block, first + i * 3 * w, entries[i].nid, w);
    StoreLe(block, first + i * 3 * w + w, entries[i].bidData, w);
    StoreLe(block, first + i * 3 * w + 2 * w, entries[i].bidSub, w);
  }
  return block;
}

Bytes StoreBuilder::MakeSubnodeIntermediate(
    const std::vector<std::pair<std::uint64_t, std::uint64_t>>& nidAndBid) const {
  const std::size_t w = idWidth();
  const std::size_t first = layout_ == Layout::kAnsi ? 4 : 8;
  Bytes block(first + nidAndBid.size() * 2 * w);
  StoreLe(block, 0, 0x02, 1);
  StoreLe(block, 1, 0x01, 1);
  StoreLe(block, 2, nidAndBid.size(), 2);
  for (std::size_t i = 0; i < nidAndBid.size(); ++i) {
    StoreLe(block, first + i * 2 * w, nidAndBid[i].first, w);
    StoreLe(block, first + i * 2 * w + w, nidAndBid[i].second, w);
  }
  return block;
}

Bytes EmptyPropertyContextHeap() {
  // HNHDR (ibHnpm 20, bSig 0xEC, bClientSig 0xBC, hidUserRoot 0x20), one allocation holding an
  // empty BTH header (0xB5, cbKey 2, cbEnt 6), then the page map (cAlloc 1, cFree 0, 12, 20).
  Bytes heap(28);
  StoreLe(heap, 0, 20, 2);
  StoreLe(heap, 2, 0xEC, 1);
  StoreLe(heap, 3, 0xBC, 1);
  StoreLe(heap, 4, 0x20, 4);
  StoreLe(heap, 12, 0xB5, 1);
  StoreLe(heap, 13, 2, 1);
  StoreLe(heap, 14, 6, 1);
  StoreLe(heap, 20, 1, 2);
  StoreLe(heap, 24, 12, 2);
  StoreLe(heap, 26, 20, 2);
  return heap;
}

namespace {

// Writes leaves, then intermediate levels until one page remains; returns the root offset.
template <typename Entry, typename WriteLeaf, typename KeyOf>
std::uint64_t BuildTree(StoreBuilder& b, const std::vector<Entry>& entries, std::size_t perLeaf,
                        std::size_t perIntermediate, bool nodeTree, WriteLeaf writeLeaf,
                        KeyOf keyOf, const PageOptions& options, std::vector<std::uint64_t>& leaves,
                        std::vector<std::uint64_t>& intermediates, int& levels) {
  std::vector<BtEntry> level;
  for (std::size_t i = 0; i < entries.size() || i == 0; i += perLeaf) {
    const auto end = std::min(entries.size(), i + perLeaf);
    std::vector<Entry> chunk(entries.begin() + static_cast<std::ptrdiff_t>(i),
                             entries.begin() + static_cast<std::ptrdiff_t>(end));
    const std::uint64_t page = b.AllocatePage();
    writeLeaf(page, chunk);
    leaves.push_back(page);
    level.push_back(BtEntry{chunk.empty() ? 0 : keyOf(chunk.front()), 0x100 + page / 512, page});
    if (entries.empty()) break;
  }
  levels = 1;
  while (level.size() > 1) {
    std::vector<BtEntry> up;
    for (std::size_t i = 0; i < level.size(); i += perIntermediate) {
      const auto end = std::min(level.size(), i + perIntermediate);
      std::vector<BtEntry> chunk(level.begin() + static_cast<std::ptrdiff_t>(i),
                                 level.begin() + static_cast<std::ptrdiff_t>(end));
      const std::uint64_t page = b.AllocatePage();
      b.WriteIntermediatePage(page, chunk, levels, nodeTree, options);
      intermediates.push_back(page);
      up.push_back(BtEntry{chunk.front().key, 0x100 + page / 512, page});
    }
    level = std::move(up);
    ++levels;
  }
  return level.front().offset;
}

}  // namespace

BuiltStore BuildSimpleStore(const SimpleStore& spec) {
  StoreBuilder b(spec.layout, spec.crypt);
  std::vector<BbtEntry> bbt;
  for (const auto& [bid, data] : spec.blocks) bbt.push_back(b.AddBlock(bid, data));
  std::sort(bbt.begin(), bbt.end(), [](const BbtEntry& x, const BbtEntry& y) {
    return x.bid < y.bid;
  });
  BuiltStore built;
  PageOptions options;
  options.writeMetadata = spec.writeMetadata;
  const std::size_t perBlockLeaf = spec.perPage ? spec.perPage : b.blockLeafCapacity();
  const std::size_t perNodeLeaf = spec.perPage ? spec.perPage : b.nodeLeafCapacity();
  const std::size_t perIntermediate = spec.perPage ? spec.perPage : b.intermediateCapacity();
  built.blockRoot = BuildTree(
      b, bbt, perBlockLeaf, perIntermediate, false,
      [&b, &options](std::uint64_t page, const std::vector<BbtEntry>& chunk) {
        b.WriteBlockLeafPage(page, chunk, options);
      },
      [](const BbtEntry& e) { return e.bid; }, options, built.blockLeafPages,
      built.blockIntermediatePages, built.blockLevels);
  built.nodeRoot = BuildTree(
      b, spec.nodes, perNodeLeaf, perIntermediate, true,
      [&b, &options](std::uint64_t page, const std::vector<NbtEntry>& chunk) {
        b.WriteNodeLeafPage(page, chunk, options);
      },
      [](const NbtEntry& e) { return e.nid; }, options, built.nodeLeafPages,
      built.nodeIntermediatePages, built.nodeLevels);
  b.SetRoots(built.nodeRoot, built.blockRoot);
  built.image = std::move(b.image());
  return built;
}

}  // namespace palvara::testing

#include "reader/btree_walk.h"

namespace palvara::testing {

std::unique_ptr<StoreFile> OpenImage(Bytes image) {
  auto store = std::make_unique<StoreFile>();
  OpenStore(*store, std::make_unique<MemoryByteSource>(std::move(image)), "memory");
  return store;
}

std::unique_ptr<StoreFile> OpenAndIndex(Bytes image) {
  auto store = OpenImage(std::move(image));
  IndexStore(*store);
  return store;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> NodesWithParents(const StoreFile& store) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> result;
  store.nodes.ForEachPreorder([&result](const StoreNode& n, int) {
    result.emplace_back(n.nid, n.parent != nullptr ? n.parent->nid : 0);
  });
  return result;
}

}  // namespace palvara::testing
