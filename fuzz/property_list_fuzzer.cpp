// Property-list fuzz target: the input is a node's data block, with a small subnode list whose
// blocks are carved from the input's tail, read unencoded in both layouts.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "reader/block_access.h"
#include "reader/property_list.h"
#include "reader/store_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace palvara;
  Bytes bytes(size);
  if (size > 0) std::memcpy(bytes.data(), data, size);
  for (std::uint16_t wVer : {23, 14}) {
    StoreFile store;
    OpenStore(store, std::make_unique<MemoryByteSource>(bytes), "fuzz");
    store.wVer = wVer;
    store.encoding = EncodingMethod::kNone;
    // Block 0x10: the whole input (the heap). Blocks 0x14 and 0x18: its second and last
    // quarters, reachable as subnodes 0x3F and 0x5F. Block 0x22: an XBLOCK over 0x10 and 0x14,
    // so that the heap can also be read as two pages.
    const std::uint32_t quarter = static_cast<std::uint32_t>(size / 4);
    const auto cb = [](std::size_t n) {
      return static_cast<std::uint16_t>(std::min<std::size_t>(n, 65535));
    };
    store.blocks.Append({0x10, 0, cb(size), 2});
    store.blocks.Append({0x14, quarter, cb(quarter), 2});
    store.blocks.Append({0x18, 3ull * quarter, cb(quarter), 2});
    SubnodeList subnodes{{0x3F, FindBlock(store, 0x14), nullptr, 0},
                         {0x5F, FindBlock(store, 0x18), nullptr, 0}};
    for (std::uint64_t id : {0x10u, 0x14u}) {
      auto list = ReadPropertyList(store, FindBlock(store, id), subnodes);
      for (const PropertyList* row = list.get(); row != nullptr; row = row->next.get()) {
        (void)row->Find(0x3001);
      }
    }
  }
  return 0;
}
