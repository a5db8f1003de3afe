// Property-to-field mapping: a node's property list (and its attachment table and each
// attachment's properties) into one ItemRecord.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "items/item_record.h"
#include "reader/property_list.h"
#include "reader/store_file.h"

namespace palvara {

struct MapContext {
  bool unicodeStore = true;  // 8-bit strings are then the exception, UTF-16 the rule
  // Where each decoded RTF body is written (the record of the last one); empty: not written.
  std::filesystem::path rtfBodyFile;
};

MapContext MapContextFor(const StoreFile& store, std::filesystem::path rtfBodyFile = {});

// Maps every entry of `list` (and of the rows chained to it) into `record`. Returns 0, or -1
// when `record` is null. Unknown ids and entries without a value are skipped.
int MapProperties(const PropertyList* list, ItemRecord* record, const MapContext& context);

// Reads node `node` (its property context, attachment table and attachments) into a new
// record; nullptr when the node has no readable property context.
std::unique_ptr<ItemRecord> LoadItem(StoreFile& store, const StoreNode& node,
                                     const MapContext& context);

// UTF-16LE to UTF-8, up to the first 0 code unit.
std::string NarrowUtf16(ByteSpan bytes);

}  // namespace palvara
