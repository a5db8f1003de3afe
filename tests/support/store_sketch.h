// Sketches whole stores for tests and the sample job: a message store node, a folder tree and
// messages, each node's data a property context.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/byte_view.h"
#include "tests/support/heap_builder.h"
#include "tests/support/store_builder.h"

namespace palvara::testing {

// UTF-16LE bytes of UTF-8 text (BMP characters).
Bytes Utf16Of(const std::string& utf8);

class StoreSketch {
 public:
  // `topFolder`: the node id the store's IPM subtree entry id names; none leaves the entry id
  // out (readers then fall back to 0x2142, where the top folder is placed).
  // `storeExtra`: further properties of the message store object.
  explicit StoreSketch(std::optional<std::uint32_t> topFolder,
                       std::vector<PcProperty> storeExtra = {});

  void Folder(std::uint32_t nid, std::uint32_t parent, const std::string& name,
              const std::string& containerClass);
  void Message(std::uint32_t nid, std::uint32_t parent, const std::string& messageClass,
               const std::string& subject = "subject", std::vector<PcProperty> extra = {});

  // Any node with these properties as its property context.
  void Node(std::uint32_t nid, std::uint32_t parent, std::vector<PcProperty> properties);

  Bytes Build(Layout layout = Layout::kUnicode) const;

 private:

  std::vector<NbtEntry> nodes_;
  std::vector<std::pair<std::uint64_t, Bytes>> blocks_;
  std::uint64_t nextBid_ = 0;
};

}  // namespace palvara::testing
