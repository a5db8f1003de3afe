// An item of the source store read whole, as the new store is to hold it: every property
// with its value as stored (named properties by their names), the recipient rows, and the
// attachments with their data, attached messages recursively.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "reader/property_list.h"
#include "reader/store_file.h"
#include "writer/message_copy.h"

namespace palvara {

class SourceItemReader {
 public:
  // Reads the property sets of the store's name-to-id map once.
  explicit SourceItemReader(StoreFile& store);

  // The item of `node`; nullptr when its property context cannot be read.
  std::shared_ptr<const CopiedMessage> Read(const StoreNode& node);

  // Attached messages nested deeper than this are left out (a damaged store may loop).
  static constexpr int kMaxDepth = 16;

 private:
  std::shared_ptr<CopiedMessage> Build(const PropertyList& list, const SubnodeList& subnodes,
                                       int depth);
  CopiedProperties Convert(const PropertyList& list) const;
  std::vector<CopiedProperties> TableRows(const SubnodeList& subnodes, std::uint32_t nid);

  StoreFile& store_;
  std::vector<std::array<std::uint8_t, 16>> guids_;  // the GUID stream: sets from index 3
};

}  // namespace palvara
