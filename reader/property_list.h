// Property lists: a node's property context ([MS-PST] 2.3.3), or each row of its table context
// (2.3.4), as PropertyEntry values: the form in which the item model receives every property.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "reader/block_access.h"
#include "reader/store_file.h"

namespace palvara {

struct PropertyEntry {
  // wPropId, or for a named property: its numeric name, or 2 when it is named by a string.
  std::uint32_t id = 0;
  // The value bytes; nullopt when there is no value.
  std::optional<Bytes> value;
  // The property type when the value was read; the subnode id when a value held in a subnode
  // could not be read, and always for an embedded object (type 0x000D); 0 for a type the
  // reader does not take.
  std::uint32_t reference = 0;
  // The string name of a string-named property (owned by the store's named property map).
  const std::string* name = nullptr;
  // The name map's entry for a named property (its kind, number or name, and property set);
  // nullptr for an ordinary tag and for a tag from 0x8000 up that the map does not know.
  const NamedPropertyMapping* named = nullptr;
  // wPropType and wPropId as stored, whatever became of the value and the id.
  std::uint16_t type = 0;
  std::uint16_t tag = 0;

  // True for a property named by a string (id 2 through the name map, not the tag 0x0002).
  bool StringNamed() const { return named != nullptr && named->kind == 2; }
  // True for the property numbered `lid` in property set `set`.
  bool IsLid(std::uint32_t lid, const PropertySetGuid& set) const {
    return named != nullptr && named->kind == 1 && named->numericName == lid && named->InSet(set);
  }

  std::uint32_t size() const { return value ? static_cast<std::uint32_t>(value->size()) : 0; }
};

// One property set, or one table row. Rows of a table come newest first: the list returned for
// a table is its last row, and `next` leads back to the first.
struct PropertyList {
  PropertyList() = default;
  PropertyList(const PropertyList&) = delete;
  PropertyList& operator=(const PropertyList&) = delete;
  ~PropertyList();  // releases the chain without recursion

  std::size_t count() const { return entries.size(); }

  std::int32_t rowCount = 1;  // rows of the whole table; 1 for a property context
  std::vector<PropertyEntry> entries;  // in record (column) order, without dropped entries
  // Properties whose value is empty (a zero reference), apart from `entries`, which has none.
  std::vector<PropertyEntry> emptyValues;
  std::unique_ptr<PropertyList> next;

  // The entry with `id`, last occurrence; nullptr when absent.
  const PropertyEntry* Find(std::uint32_t id) const;
  // The entry stored under `tag` (wPropId, whatever the name map makes of it), last
  // occurrence; nullptr when absent.
  const PropertyEntry* FindTag(std::uint16_t tag) const;
};

// What becomes of values held in subnodes (and of embedded objects): read into their entries,
// or only checked: their data trees are walked with the same damage reports a read makes, but
// their data blocks are neither read nor decoded, and their entries are left out of the list.
enum class SubnodeValues { kRead, kCheck };

// Reads the heap of the node whose data is `data` (a single block or a whole data tree) and
// returns its property context, or the row chain of its table context. nullptr when the data
// cannot be read or is neither. `subnodes` resolves values held in subnodes.
std::unique_ptr<PropertyList> ReadPropertyList(StoreFile& store, const BlockEntry* data,
                                               const SubnodeList& subnodes,
                                               SubnodeValues values = SubnodeValues::kRead);

// The property list of a subnode (an attachment, an attached message), read with the
// subnode's own subnodes, which are left in `own` for values read later. nullptr as above.
std::unique_ptr<PropertyList> ReadSubnodePropertyList(StoreFile& store, const SubnodeEntry& entry,
                                                      SubnodeList& own,
                                                      SubnodeValues values = SubnodeValues::kRead);

// The data of subnode `nid`, read whole; nullopt when it is not in the list or holds nothing.
std::optional<Bytes> ReadSubnodeValue(StoreFile& store, std::uint32_t nid,
                                      const SubnodeList& subnodes);

}  // namespace palvara
