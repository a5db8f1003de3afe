#include "reader/index_rebuild_state.h"

#include "reader/block_access.h"

namespace palvara::rebuild {

AllocationMaps::AllocationMaps(StoreFile& store, const LayoutScan& scan, bool usable)
    : g_(store.Layout() != nullptr ? *store.Layout() : kUnicodeGeometry) {
  if (!usable) return;
  const std::size_t bytes = g_.AMapBits() / 8;
  for (const ScannedPage& page : scan.pages) {
    if (page.type != kPageTypeAllocationMap || !page.crcValid) continue;
    Bytes bits = ReadBlockAt(store, page.offset + g_.mapBits, bytes);
    if (bits.size() == bytes) maps_.emplace(page.offset, std::move(bits));
  }
}

std::optional<bool> AllocationMaps::SlotInUse(std::uint64_t offset) const {
  if (offset < g_.firstAMap) return std::nullopt;
  const std::uint64_t map =
      g_.firstAMap + (offset - g_.firstAMap) / g_.amapInterval * g_.amapInterval;
  auto it = maps_.find(map);
  if (it == maps_.end()) return std::nullopt;
  const std::uint64_t slot = (offset - map) / g_.amapUnit;
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
