// The name-to-id map of node 0x61 ([MS-PST] 2.4.7): which name each property id from 0x8000 up
// stands for in this store. Numeric names are delivered as the LID, string names as id 2 with
// the name (UTF-8); either way the entry keeps its mapping, property set included.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/byte_view.h"

namespace palvara {

class StoreFile;

// A property set GUID in its stored form (Data1, Data2 and Data3 little-endian, then Data4).
using PropertySetGuid = std::array<std::uint8_t, 16>;

// A GUID from its text form "{00062008-0000-0000-C000-000000000046}" (hex digits only; any
// other character in a digit's place counts as 0).
constexpr PropertySetGuid GuidFromText(std::string_view text) {
  auto digit = [&text](std::size_t at) -> std::uint8_t {
    const char c = at < text.size() ? text[at] : '0';
    if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
    return 0;
  };
  auto byteAt = [&digit](std::size_t at) {
    return static_cast<std::uint8_t>(digit(at) << 4 | digit(at + 1));
  };
  // Text offsets of the 16 bytes in stored order: Data1, Data2, Data3 reversed, Data4 as is.
  constexpr std::size_t kAt[16] = {7, 5, 3, 1, 12, 10, 17, 15, 20, 22, 25, 27, 29, 31, 33, 35};
  PropertySetGuid guid{};
  for (std::size_t i = 0; i < 16; ++i) guid[i] = byteAt(kAt[i]);
  return guid;
}

// The property sets the item model reads numeric names from ([MS-OXPROPS] 1.3.2), and the two
// that the name map numbers without a GUID stream entry.
namespace property_set {
inline constexpr PropertySetGuid kMapi = GuidFromText("{00020328-0000-0000-C000-000000000046}");
inline constexpr PropertySetGuid kPublicStrings =
    GuidFromText("{00020329-0000-0000-C000-000000000046}");
inline constexpr PropertySetGuid kAppointment =
    GuidFromText("{00062002-0000-0000-C000-000000000046}");
inline constexpr PropertySetGuid kTask = GuidFromText("{00062003-0000-0000-C000-000000000046}");
inline constexpr PropertySetGuid kAddress = GuidFromText("{00062004-0000-0000-C000-000000000046}");
inline constexpr PropertySetGuid kCommon = GuidFromText("{00062008-0000-0000-C000-000000000046}");
inline constexpr PropertySetGuid kLog = GuidFromText("{0006200A-0000-0000-C000-000000000046}");
inline constexpr PropertySetGuid kMeeting = GuidFromText("{6ED8DA90-450B-101B-98DA-00AA003F1305}");
}  // namespace property_set

// "PSETID_Common" for the sets above (and a few more), else the GUID as
// "{00062008-0000-0000-C000-000000000046}".
std::string PropertySetName(const PropertySetGuid& guid);

struct NamedPropertyMapping {
  std::uint32_t guidWord = 0;  // wGuid as stored: GUID index << 1, bit 0 set for string names
  std::uint32_t kind = 0;      // 1: named by a number, 2: named by a string
  std::uint32_t mappedId = 0;  // 0x8000 + wPropIdx
  std::uint32_t numericName = 0;        // kind 1: the low 16 bits of dwPropertyID
  std::optional<std::string> name;      // kind 2: the name, when the string stream holds it
  // The property set: PS_MAPI or PS_PUBLIC_STRINGS for GUID indexes 1 and 2, else the GUID
  // stream's entry; nullopt when that entry is missing.
  std::optional<PropertySetGuid> propertySet;

  bool InSet(const PropertySetGuid& set) const { return propertySet == set; }
};

class NamedPropertyMap {
 public:
  // Builds the map from the entry stream (8-byte NAMEID records, read until one whose wGuid is
  // 0), the string stream (u32 byte length + UTF-16LE name at each offset) and the GUID stream
  // (16-byte GUIDs, index 3 first).
  static NamedPropertyMap Build(ByteSpan entryStream, ByteSpan stringStream,
                                ByteSpan guidStream = {});

  // The mapping for `propertyId`, or nullptr. Of two records with the same index, the one read
  // later wins.
  const NamedPropertyMapping* Find(std::uint32_t propertyId) const;

  // In ascending order of mapped id (later records first among equal ids).
  const std::vector<NamedPropertyMapping>& Mappings() const { return mappings_; }
  bool Empty() const { return mappings_.empty(); }

 private:
  std::vector<NamedPropertyMapping> mappings_;
};

// Reads node 0x61 (entry, string and GUID streams) and stores its map in `store`. Returns 1 when a map was built, 0 when there is
// no node 0x61, no readable property context, or no entry stream.
int LoadNamedPropertyMap(StoreFile& store);

}  // namespace palvara
