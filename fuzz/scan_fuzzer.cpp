// Whole-file fuzz target for the recovery pass: open an in-memory file, index it with the scan
// forced (layout, roots, blocks, node entries, lost folders), and read every node it reaches.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "reader/block_access.h"
#include "reader/btree_walk.h"
#include "reader/index_rebuild.h"
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
  RecoveryOptions options;
  options.mode = ScanMode::kForce;
  IndexStoreWithRecovery(store, options);
  LoadNamedPropertyMap(store);
  store.nodes.ForEachPreorder([&store](const StoreNode& node, int) {
    SubnodeList subnodes;
    ReadSubnodes(store, node.subnodeBlock, subnodes);
    ReadPropertyList(store, node.dataBlock, subnodes);
  });
  return 0;
}
