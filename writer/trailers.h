// The trailers that close every block and page of the node database ([MS-PST] 2.2.2.8.1
// BLOCKTRAILER, 2.2.2.7.1 PAGETRAILER), in any layout: sizes, signature, CRC and id at the
// offsets the layout's Geometry gives. The store writer finishes its blocks and pages with them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "reader/encoding.h"
#include "reader/geometry.h"

namespace palvara {

// Finishes a block laid out in `block` (g.BlockSize(cb) bytes at file offset `offset`, its `cb`
// stored bytes first): encodes them with `encoding` unless the block is internal, then writes
// the trailer (cb, wSig, the CRC of the stored bytes, bid and, where the layout has it, the
// inflated size).
void FinishBlockBytes(const Geometry& g, std::span<std::byte> block, std::uint64_t offset,
                      std::uint64_t bid, std::size_t cb, std::size_t inflated, bool internal,
                      EncodingMethod encoding);

// Writes the trailer of a page (g.pageSize bytes at file offset `offset`): ptype twice, wSig
// (0 when not `signed_`: the allocation maps), the CRC of the page's data, the bid.
void FinishPageBytes(const Geometry& g, std::span<std::byte> page, std::uint64_t offset,
                     std::uint8_t ptype, std::uint64_t bid, bool signed_);

}  // namespace palvara
