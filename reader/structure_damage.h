// The kind of damage a page or block the reader could not use shows: whether the file ends
// before it, whether it is all zero, whether its trailer ([MS-PST] 2.2.2.7.1, 2.2.2.8.1) is
// that of the structure expected and whether its CRC holds. Only structures a check has already
// failed are looked at again, so sound stores pay nothing.
#pragma once

#include <cstdint>

#include "common/damage.h"
#include "reader/block_index.h"
#include "reader/store_file.h"

namespace palvara {

// A structure at `offset` that lies (partly) past the end of the file: cut off when the header's
// end of file (ibFileEof) reaches past it or is not known, else an offset that names nothing.
DamageKind PastEndDamage(const StoreFile& store, std::uint64_t offset);

// A page at `offset`: cut off, zeroed, unreadable (its trailer is not a page's, or its signature
// does not match), bad CRC, or `otherwise` when the page itself reads as written.
DamageKind PageDamage(StoreFile& store, std::uint64_t offset, DamageKind otherwise);

// A block as the index lists it: cut off, zeroed, unreadable (its trailer names another block or
// size, or its signature does not match), bad CRC, or `otherwise` when it reads as written.
DamageKind BlockDamage(StoreFile& store, const BlockEntry& entry, DamageKind otherwise);

// The bytes a block takes in the file, trailer and padding included (its stored size when the
// layout is not known).
std::uint64_t BlockExtent(const StoreFile& store, const BlockEntry& entry);

// Reports damage to the page at `offset` (its kind found by PageDamage).
void ReportPage(StoreFile& store, std::string structure, std::uint64_t offset, DamageKind otherwise,
                std::string text);
// Reports damage to a block (its kind found by BlockDamage).
void ReportBlock(StoreFile& store, std::string structure, const BlockEntry& entry,
                 DamageKind otherwise, std::string text);

}  // namespace palvara
