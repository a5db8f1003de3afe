#include "reader/named_properties.h"

#include <algorithm>
#include <cstdio>

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
constexpr std::uint32_t kGuidStream = 0x0002;

struct KnownSet {
  const char* name;
  const char* guid;
};

constexpr KnownSet kKnownSets[] = {
    {"PS_MAPI", "{00020328-0000-0000-C000-000000000046}"},
    {"PS_PUBLIC_STRINGS", "{00020329-0000-0000-C000-000000000046}"},
    {"PS_INTERNET_HEADERS", "{00020386-0000-0000-C000-000000000046}"},
    {"PSETID_Appointment", "{00062002-0000-0000-C000-000000000046}"},
    {"PSETID_Task", "{00062003-0000-0000-C000-000000000046}"},
    {"PSETID_Address", "{00062004-0000-0000-C000-000000000046}"},
    {"PSETID_Common", "{00062008-0000-0000-C000-000000000046}"},
    {"PSETID_Log", "{0006200A-0000-0000-C000-000000000046}"},
    {"PSETID_Note", "{0006200E-0000-0000-C000-000000000046}"},
    {"PSETID_Report", "{00062013-0000-0000-C000-000000000046}"},
    {"PSETID_Remote", "{00062014-0000-0000-C000-000000000046}"},
    {"PSETID_Sharing", "{00062040-0000-0000-C000-000000000046}"},
    {"PSETID_PostRss", "{00062041-0000-0000-C000-000000000046}"},
    {"PSETID_Meeting", "{6ED8DA90-450B-101B-98DA-00AA003F1305}"},
    {"PSETID_Messaging", "{41F28F13-83F4-4114-A584-EEDB5A6B0BFF}"},
    {"PSETID_UnifiedMessaging", "{4442858E-A9E3-4E80-B900-317A210CC15B}"},
    {"PSETID_AirSync", "{71035549-0739-4DCB-9163-00F0580DBBDF}"},
    {"PSETID_CalendarAssistant", "{11000E07-B51B-40D6-AF21-CAA85EDAB1D0}"},
    {"PSETID_Attachment", "{96357F7F-59E1-47D0-99A7-46515C183B54}"},
    {"PSETID_XmlExtractedEntities", "{23239608-685D-4732-9C55-4C95CB4E8E33}"},
};

// The set of a record: GUID index 1 and 2 name PS_MAPI and PS_PUBLIC_STRINGS, index 3 and up
// the GUID stream's entries in order.
std::optional<PropertySetGuid> SetOf(std::uint16_t wGuid, ByteSpan guidStream) {
  const std::uint32_t index = wGuid >> 1u;
  if (index == 1) return property_set::kMapi;
  if (index == 2) return property_set::kPublicStrings;
  const std::size_t at = (static_cast<std::size_t>(index) - 3) * 16;
  if (index < 3 || !InBounds(guidStream.size(), at, 16)) return std::nullopt;
  PropertySetGuid guid{};
  for (std::size_t i = 0; i < 16; ++i) guid[i] = ByteAt(guidStream, at + i);
  return guid;
}

}  // namespace

std::string PropertySetName(const PropertySetGuid& guid) {
  for (const KnownSet& known : kKnownSets) {
    if (GuidFromText(known.guid) == guid) return known.name;
  }
  char text[40];
  std::snprintf(text, sizeof text, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                guid[3], guid[2], guid[1], guid[0], guid[5], guid[4], guid[7], guid[6], guid[8],
                guid[9], guid[10], guid[11], guid[12], guid[13], guid[14], guid[15]);
  return text;
}

NamedPropertyMap NamedPropertyMap::Build(ByteSpan entryStream, ByteSpan stringStream,
                                         ByteSpan guidStream) {
  NamedPropertyMap map;
  for (std::size_t at = 0; at + 8 <= entryStream.size(); at += 8) {
    const std::uint32_t dwPropertyID = *LoadLe32(entryStream, at);
    const std::uint16_t wGuid = *LoadLe16(entryStream, at + 4);
    const std::uint16_t wPropIdx = *LoadLe16(entryStream, at + 6);
    if (wGuid == 0) break;
    NamedPropertyMapping mapping;
    mapping.guidWord = wGuid;
    mapping.mappedId = 0x8000u + wPropIdx;
    mapping.propertySet = SetOf(wGuid, guidStream);
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
  if (propertyId < 0x8000) return nullptr;  // an ordinary tag
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
  const PropertyEntry* guids = nullptr;
  for (const PropertyEntry& entry : list->entries) {
    if (entry.id == kEntryStream) entries = &entry;
    if (entry.id == kStringStream) strings = &entry;
    if (entry.id == kGuidStream) guids = &entry;
  }
  if (entries == nullptr || !entries->value) return 0;
  auto stream = [](const PropertyEntry* e) { return e && e->value ? ByteSpan(*e->value) : ByteSpan(); };
  store.namedProperties = NamedPropertyMap::Build(*entries->value, stream(strings), stream(guids));
  return 1;
}

}  // namespace palvara
