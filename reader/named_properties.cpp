#include "reader/named_properties.h"

#include <algorithm>

#include "common/text.h"
#include "reader/block_access.h"
#include "reader/btree_walk.h"
#include "reader/property_list.h"
#include "reader/store_file.h"

namespace palvara {
namespace {

constexpr std::uint32_t kNameToIdMapNid = 0x61;
constexpr std::uint32_t kEntryStream = 0x0003;
constexpr std::uint32_t kStringStream = 0x0004;

}  // namespace

NamedPropertyMap NamedPropertyMap::Build(ByteSpan entryStream, ByteSpan stringStream) {
  NamedPropertyMap map;
  for (std::size_t at = 0; at + 8 <= entryStream.size(); at += 8) {
    const std::uint32_t dwPropertyID = *LoadLe32(entryStream, at);
    const std::uint16_t wGuid = *LoadLe16(entryStream, at + 4);
    const std::uint16_t wPropIdx = *LoadLe16(entryStream, at + 6);
    if (wGuid == 0) break;
    NamedPropertyMapping mapping;
    mapping.guidWord = wGuid;
    mapping.mappedId = 0x8000u + wPropIdx;
    if ((wGuid & 1) != 0) {
      mapping.kind = 2;
      // The whole 32-bit offset: string streams grow past 64 KiB in large stores.
      const std::optional<std::uint32_t> length = LoadLe32(stringStream, dwPropertyID);
      if (length) {
        const std::size_t start = static_cast<std::size_t>(dwPropertyID) + 4;
        const std::size_t n = std::min<std::size_t>(*length, stringStream.size() - start);
        mapping.name = Utf16LeToUtf8(stringStream.subspan(start, n));
      }
    } else {
      mapping.kind = 1;
      mapping.numericName = dwPropertyID & 0xFFFF;
    }
    map.mappings_.push_back(std::move(mapping));
  }
  // Ascending mapped id; among equal ids the record read later comes first.
  std::reverse(map.mappings_.begin(), map.mappings_.end());
  std::stable_sort(map.mappings_.begin(), map.mappings_.end(),
                   [](const NamedPropertyMapping& a, const NamedPropertyMapping& b) {
                     return a.mappedId < b.mappedId;
                   });
  return map;
}

const NamedPropertyMapping* NamedPropertyMap::Find(std::uint32_t propertyId) const {
  auto it = std::lower_bound(mappings_.begin(), mappings_.end(), propertyId,
                             [](const NamedPropertyMapping& m, std::uint32_t id) {
                               return m.mappedId < id;
                             });
  return it != mappings_.end() && it->mappedId == propertyId ? &*it : nullptr;
}

int LoadNamedPropertyMap(StoreFile& store) {
  const StoreNode* node = FindNode(store, kNameToIdMapNid);
  if (node == nullptr) return 0;
  SubnodeList subnodes;
  if (node->subnodeBlock != nullptr) ReadSubnodes(store, node->subnodeBlock, subnodes);
  if (node->dataBlock == nullptr) return 0;
  std::unique_ptr<PropertyList> list = ReadPropertyList(store, node->dataBlock, subnodes);
  if (!list || list->entries.empty()) return 0;
  const PropertyEntry* entries = nullptr;
  const PropertyEntry* strings = nullptr;
  for (const PropertyEntry& entry : list->entries) {
    if (entry.id == kEntryStream) entries = &entry;
    if (entry.id == kStringStream) strings = &entry;
  }
  if (entries == nullptr || !entries->value) return 0;
  const Bytes none;
  store.namedProperties =
      NamedPropertyMap::Build(*entries->value, strings && strings->value ? *strings->value : none);
  return 1;
}

}  // namespace palvara
