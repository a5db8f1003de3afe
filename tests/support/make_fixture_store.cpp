// Writes a small synthetic store (message store, a folder hierarchy and messages in several
// folders, node level only) for the sample job of `make run`.
#include <cstdio>
#include <fstream>
#include <iostream>

#include "tests/support/store_builder.h"

int main(int argc, char** argv) {
  using namespace palvara::testing;
  if (argc != 2) {
    std::cerr << "usage: make-fixture-store OUTPUT\n";
    return 2;
  }
  SimpleStore spec;
  spec.blocks.push_back({4, EmptyPropertyContextHeap()});
  std::uint64_t nextBid = 8;
  auto node = [&](std::uint32_t nid, std::uint32_t parent) {
    spec.blocks.push_back({nextBid, EmptyPropertyContextHeap()});
    spec.nodes.push_back(NbtEntry{nid, nextBid, 0, parent});
    nextBid += 4;
  };
  spec.nodes.push_back(NbtEntry{kNidMessageStore, 4, 0, 0});
  node(kNidRootFolder, kNidRootFolder);
  // Folders (type 0x02) under the root, then messages (type 0x04) spread over them.
  const std::uint32_t folders[] = {0x8022, 0x8042, 0x8062, 0x8082};
  node(folders[0], kNidRootFolder);
  for (std::size_t i = 1; i < 4; ++i) node(folders[i], folders[0]);
  for (std::uint32_t i = 0; i < 40; ++i) node(0x200004 + (i << 5), folders[1 + i % 3]);
  const BuiltStore built = BuildSimpleStore(spec);
  std::ofstream out(argv[1], std::ios::binary);
  out.write(reinterpret_cast<const char*>(built.image.data()),
            static_cast<std::streamsize>(built.image.size()));
  if (!out) {
    std::cerr << "make-fixture-store: cannot write " << argv[1] << "\n";
    return 1;
  }
  std::cout << "wrote " << argv[1] << " (" << built.image.size() << " bytes, "
            << spec.nodes.size() << " nodes)\n";
  return 0;
}
