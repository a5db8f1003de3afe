#include "reader/index_rebuild_state.h"

#include "reader/block_access.h"

namespace palvara::rebuild {
namespace {

constexpr std::uint64_t kFirstAllocationMap = 0x4400;
constexpr std::uint64_t kAllocationMapSpan = 253952;
constexpr std::size_t kAllocationMapBytes = 496;

}  // namespace

AllocationMaps::AllocationMaps(StoreFile& store, const LayoutScan& scan, bool usable) {
  if (!usable) return;
  for (const ScannedPage& page : scan.pages) {
    if (page.type != kPageTypeAllocationMap || !page.crcValid) continue;
    Bytes bits = ReadBlockAt(store, page.offset, kAllocationMapBytes);
    if (bits.size() == kAllocationMapBytes) maps_.emplace(page.offset, std::move(bits));
  }
}

std::optional<bool> AllocationMaps::SlotInUse(std::uint64_t offset) const {
  if (offset < kFirstAllocationMap) return std::nullopt;
  const std::uint64_t map = kFirstAllocationMap + (offset - kFirstAllocationMap) /
                                                      kAllocationMapSpan * kAllocationMapSpan;
  auto it = maps_.find(map);
  if (it == maps_.end()) return std::nullopt;
  const std::uint64_t slot = (offset - map) / 64;
  const auto byte = std::to_integer<std::uint8_t>(it->second[slot / 8]);
  return (byte & (0x80u >> (slot % 8))) != 0;
}

std::unique_ptr<PropertyList> PropertiesOf(StoreFile& store, const StoreNode& node) {
  if (node.dataBlock == nullptr) return nullptr;
  SubnodeList subnodes;
  if (node.subnodeBlock != nullptr) ReadSubnodes(store, node.subnodeBlock, subnodes);
  return ReadPropertyList(store, node.dataBlock, subnodes);
}

const FreeBlocks& RebuildState::Free() {
  if (!free_) {
    free_ = FindFreeBlocks(store, treeBlocks, [this](std::uint64_t offset) {
      return maps && maps->KnownInUse(offset);
    });
  }
  return *free_;
}

}  // namespace palvara::rebuild
