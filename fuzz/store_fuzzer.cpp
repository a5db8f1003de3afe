// Whole-store fuzz target: open an in-memory file, index both B-trees, load the named property
// map, and read the data, subnodes and property list of every node.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "reader/block_access.h"
#include "reader/btree_walk.h"
#include "reader/property_list.h"
#include "reader/store_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace palvara;
  Bytes bytes(size);
  if (size > 0) std::memcpy(bytes.data(), data, size);
  StoreFile store;
  if (!OpenStore(store, std::make_unique<MemoryByteSource>(std::move(bytes)), "fuzz").ok()) {
    return 0;
  }
  IndexStore(store);
  LoadNamedPropertyMap(store);
  store.nodes.ForEachPreorder([&store](const StoreNode& node, int) {
    Bytes out = ReadNodeBytes(store, node.dataBlock);
    SubnodeList subnodes;
    ReadSubnodes(store, node.subnodeBlock, subnodes);
    ReadPropertyList(store, node.dataBlock, subnodes);
    for (const SubnodeEntry& sub : subnodes) {
      ReadNodeBytes(store, sub.data);
      SubnodeList nested;
      ReadSubnodes(store, sub.subnodes, nested);
      ReadPropertyList(store, sub.data, nested);
    }
  });
  return 0;
}
