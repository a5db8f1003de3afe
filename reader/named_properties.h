// The name-to-id map of node 0x61 ([MS-PST] 2.4.7): which name each property id from 0x8000 up
// stands for in this store. Numeric names are delivered as the LID, string names as id 2 with
// the name (UTF-8).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/byte_view.h"

namespace palvara {

class StoreFile;

struct NamedPropertyMapping {
  std::uint32_t guidWord = 0;  // wGuid as stored: GUID index << 1, bit 0 set for string names
  std::uint32_t kind = 0;      // 1: named by a number, 2: named by a string
  std::uint32_t mappedId = 0;  // 0x8000 + wPropIdx
  std::uint32_t numericName = 0;        // kind 1: the low 16 bits of dwPropertyID
  std::optional<std::string> name;      // kind 2: the name, when the string stream holds it
};

class NamedPropertyMap {
 public:
  // Builds the map from the entry stream (8-byte NAMEID records, read until one whose wGuid is
  // 0) and the string stream (u32 byte length + UTF-16LE name at each offset).
  static NamedPropertyMap Build(ByteSpan entryStream, ByteSpan stringStream);

  // The mapping for `propertyId`, or nullptr. Of two records with the same index, the one read
  // later wins.
  const NamedPropertyMapping* Find(std::uint32_t propertyId) const;

  // In ascending order of mapped id (later records first among equal ids).
  const std::vector<NamedPropertyMapping>& Mappings() const { return mappings_; }
  bool Empty() const { return mappings_.empty(); }

 private:
  std::vector<NamedPropertyMapping> mappings_;
};

// Reads node 0x61 and stores its map in `store`. Returns 1 when a map was built, 0 when there is
// no node 0x61, no readable property context, or no entry stream.
int LoadNamedPropertyMap(StoreFile& store);

}  // namespace palvara
