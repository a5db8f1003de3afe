// What the steps of the recovery pass share: the node ids they make up or look for, the key
// ranges the node tree's pages speak for, the allocation maps ([MS-PST] 2.2.2.7.2 AMap) and the
// blocks of the index no node refers to.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>

#include "reader/orphan_messages.h"
#include "reader/property_list.h"
#include "reader/store_file.h"
#include "reader/store_scan.h"

namespace palvara::rebuild {

inline constexpr std::uint32_t kMessageStoreNid = 0x21;
inline constexpr std::uint32_t kDefaultTopFolder = 0x2142;
inline constexpr std::uint32_t kRootFolderNid = 0x122;
inline constexpr std::uint32_t kFolderType = 0x02;
inline constexpr std::uint32_t kMessageType = 0x04;
inline constexpr std::uint32_t kHierarchyTableType = 0x0D;
inline constexpr std::uint32_t kContentsTableType = 0x0E;
// A folder id beyond any a store hands out (index 0x7FFFFFE), for "Recovered Items".
inline constexpr std::uint32_t kRecoveredItemsNid = (0x7FFFFFEu << 5) | kFolderType;
// Key ranges the tree (or a newer page) speaks for, merged.
class KeyRanges {
 public:
  void Add(std::uint64_t first, std::uint64_t last) {
    if (last < first) return;
    auto it = ranges_.upper_bound(first);
    if (it != ranges_.begin() && std::prev(it)->second >= first - (first > 0 ? 1 : 0)) {
      --it;
      first = it->first;
      last = std::max(last, it->second);
      it = ranges_.erase(it);
    }
    while (it != ranges_.end() && (last == UINT64_MAX || it->first <= last + 1)) {
      last = std::max(last, it->second);
      it = ranges_.erase(it);
    }
    ranges_[first] = last;
  }
  bool Contains(std::uint64_t key) const { return Contains(key, key); }
  // Whether any key of [first, last] is in.
  bool Overlaps(std::uint64_t first, std::uint64_t last) const {
    auto it = ranges_.upper_bound(first);
    if (it != ranges_.begin() && std::prev(it)->second >= first) return true;
    return it != ranges_.end() && it->first <= last;
  }
  // Whether every key of [first, last] is in.
  bool Contains(std::uint64_t first, std::uint64_t last) const {
    auto it = ranges_.upper_bound(first);
    return it != ranges_.begin() && std::prev(it)->second >= last;
  }

 private:
  std::map<std::uint64_t, std::uint64_t> ranges_;
};

// The allocation maps whose CRC held: which 64-byte slots of the file are in use.
class AllocationMaps {
 public:
  // The maps among `scan`'s pages whose CRC held; none when `usable` is false.
  AllocationMaps(StoreFile& store, const LayoutScan& scan, bool usable);

  // False only when a sound map says the slot at `offset` is free.
  bool MaybeInUse(std::uint64_t offset) const { return SlotInUse(offset).value_or(true); }
  // True only when a sound map says the slot at `offset` is in use.
  bool KnownInUse(std::uint64_t offset) const { return SlotInUse(offset).value_or(false); }

 private:
  // What the map covering `offset` says of its slot; nullopt when no sound map covers it.
  std::optional<bool> SlotInUse(std::uint64_t offset) const;

  const Geometry& g_;
  std::unordered_map<std::uint64_t, Bytes> maps_;
};

// The node's properties; nullptr when its data does not read as a property list.
std::unique_ptr<PropertyList> PropertiesOf(StoreFile& store, const StoreNode& node);

// The state one run of the pass carries from step to step.
class RebuildState {
 public:
  explicit RebuildState(StoreFile& file) : store(file) {}

  // The blocks of the index no node refers to, sorted once, when first asked for (after the
  // node tree is rebuilt).
  const FreeBlocks& Free();

  StoreFile& store;
  KeyRanges covered;                   // node ids the tree's or newer scanned pages speak for
  std::optional<AllocationMaps> maps;  // set once the scan is in
  std::size_t treeBlocks = 0;          // index entries the block B-tree itself gave

 private:
  std::optional<FreeBlocks> free_;
};

}  // namespace palvara::rebuild
