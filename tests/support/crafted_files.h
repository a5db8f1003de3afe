// Crafted store files for the bounds of the recovery scan: whole files made of sound trailers
// (signatures and CRCs right) in shapes no writer makes, after an optional real store. The
// blocks and pages are finished by the store writer's own trailer code, in the ANSI, Unicode
// or 4 KiB-page layout. Written in pieces, so that files of hundreds of MB need little memory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

#include "common/byte_view.h"
#include "common/status.h"
#include "reader/geometry.h"

namespace palvara::testing {

enum class CraftedShape {
  kBlocksDistinct,   // small blocks holding a message property context, every id new
  kBlocksSameId,     // the same blocks, all with one id
  kPagesDistinct,    // full node B-tree leaf pages of messages without data, every id new
  kPagesSameId,      // one node B-tree leaf page over and over: one page id, the same entries
  kNodesOnOneBlock,  // full node B-tree leaf pages whose messages all name one data block
  kParentCycles,     // folders whose parents loop: each itself, in pairs, one chain through all
  kDataTreeCycles,   // data trees (XBLOCK, XXBLOCK) and subnode blocks that list themselves,
                     // each other or one block a thousand times and claim 4 GiB, beside a
                     // sound message in each group
};

std::vector<CraftedShape> AllCraftedShapes();
const char* CraftedShapeName(CraftedShape shape);  // "blocks-distinct", ...

// The subjects of the sound messages the shapes hold (kNodesOnOneBlock, kDataTreeCycles).
inline constexpr const char* kCraftedSharedSubject = "crafted shared";
inline constexpr const char* kCraftedValidSubject = "crafted valid";

struct CraftedSpec {
  CraftedShape shape = CraftedShape::kBlocksDistinct;
  const Geometry* geometry = &kUnicodeGeometry;
  // The whole file's size; the crafted part fills what the prefix leaves (rounded down to
  // whole groups, then padded with zeros).
  std::uint64_t size = std::uint64_t{4} << 20;
  // A store of the same layout the file begins with (its header, encoding and items); empty:
  // a bare header that names the layout and permutative encoding, and nothing else.
  Bytes prefix;
  bool wipeHeader = false;  // the first 512 bytes zeroed: the layout has to be guessed
  // The folder the crafted messages name as their parent (the prefix's top of the personal
  // folders by default).
  std::uint32_t folder = 0x8022;
};

// What a crafted file holds besides its prefix.
struct CraftedSummary {
  std::uint64_t blocks = 0;         // blocks with sound trailers
  std::uint64_t pages = 0;          // node B-tree pages with sound trailers
  std::uint64_t nodeEntries = 0;    // node entries on those pages
  std::uint64_t soundMessages = 0;  // entries of messages whose data and subnodes read whole
};

// Hands the file to `out` in pieces, in file order.
CraftedSummary WriteCrafted(const CraftedSpec& spec, const std::function<void(ByteSpan)>& out);

// The whole file in memory.
Bytes CraftedBytes(const CraftedSpec& spec, CraftedSummary* summary = nullptr);

// The file written to `path`.
Status WriteCraftedFile(const std::filesystem::path& path, const CraftedSpec& spec,
                        CraftedSummary* summary = nullptr);

}  // namespace palvara::testing
