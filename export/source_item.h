// An item of the source store read whole, as the new store is to hold it: every property
// with its value as stored (named properties by their names), the recipient rows, and the
// attachments with their data, attached messages recursively.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "items/mapping.h"
#include "reader/property_list.h"
#include "reader/store_file.h"
#include "writer/message_copy.h"

namespace palvara {

class SourceItemReader {
 public:
  // `store` has its named property map loaded.
  explicit SourceItemReader(StoreFile& store);

  // The item of `node`; nullptr when its property context cannot be read.
  std::shared_ptr<const CopiedMessage> Read(const StoreNode& node);
  // The same item from what LoadItem read of the node and kept in `lists`: only what LoadItem
  // does not read is read here, and the values are moved out of `lists`.
  std::shared_ptr<const CopiedMessage> Read(ItemLists& lists);

  // Attached messages nested deeper than this are left out (a damaged store may loop).
  static constexpr int kMaxDepth = 16;

 private:
  // `kept`: the lists LoadItem read of this message, taken from as they are needed.
  std::shared_ptr<CopiedMessage> Build(PropertyList& list, const SubnodeList& subnodes, int depth,
                                       ItemLists* kept = nullptr);
  // Moves the values out of `list`.
  CopiedProperties Convert(PropertyList& list) const;
  // `kept`: the table's rows as LoadItem read them, or null.
  std::vector<CopiedProperties> TableRows(const SubnodeList& subnodes, std::uint32_t nid,
                                          std::unique_ptr<PropertyList> kept = nullptr);

  StoreFile& store_;
};

}  // namespace palvara
