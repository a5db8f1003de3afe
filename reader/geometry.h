// How one layout of the node database is built ([MS-PST] 2.2.2): where the header keeps its
// fields, how wide ids are, how pages and blocks are laid out with their trailers. One value per
// layout, chosen once; the B-tree walk, the recovery scan, the heap reader and the store check
// read their sizes and offsets from it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace palvara {

struct Geometry {
  // HEADER (2.2.2.6): absolute offsets of its fields; dwCRCFull is 0 where the layout has none.
  std::size_t headerSize;
  std::size_t bidNextB, bidNextP, rgnid, bSentinel, bCryptMethod, dwCRCFull;
  // ROOT (2.2.2.5) fields, absolute.
  std::size_t ibFileEof, ibAMapLast, cbAMapFree, brefNbt, brefBbt, fAMapValid;

  std::size_t idWidth;  // bids, offsets and B-tree keys

  // Pages (2.2.2.7): 512 bytes, the trailer after `pageData` bytes (which its CRC covers).
  std::size_t pageData;
  std::size_t pageTrailerBid, pageTrailerCrc;  // within the page trailer
  std::size_t entryArea;  // bytes of rgentries; cEnt, cEntMax, cbEnt, cLevel follow
  std::size_t intermediateEntry, blockLeafEntry, nodeLeafEntry;
  std::size_t blockPageRead, nodePageRead;  // bytes read for a B-tree page (see the walk)
  std::size_t mapBits;  // where an allocation map page's bits start (after dwPadding in ANSI)

  // Blocks (2.2.2.8): 64-byte aligned, at most 8,192 bytes with the trailer.
  std::size_t blockTrailer, blockTrailerBid, blockTrailerCrc;  // size, then offsets within it
  std::size_t maxBlockData;                                    // 8,192 less the trailer
  // SLBLOCK/SIBLOCK: the header before their entries, SLENTRY, SIENTRY.
  std::size_t subnodeHeader, slEntry, siEntry;

  bool IsAnsi() const { return idWidth == 4; }
  // The bytes a block of `cb` data bytes takes in the file, trailer and padding included.
  std::size_t BlockSize(std::size_t cb) const { return (cb + blockTrailer + 63) / 64 * 64; }
};

inline constexpr std::size_t kPageSize = 512;
inline constexpr std::size_t kMaxBlockSize = 8192;  // a block with its trailer

inline constexpr Geometry kAnsiGeometry{.headerSize = 512,
                                        .bidNextB = 24,
                                        .bidNextP = 28,
                                        .rgnid = 36,
                                        .bSentinel = 460,
                                        .bCryptMethod = 461,
                                        .dwCRCFull = 0,
                                        .ibFileEof = 168,
                                        .ibAMapLast = 172,
                                        .cbAMapFree = 176,
                                        .brefNbt = 184,
                                        .brefBbt = 192,
                                        .fAMapValid = 200,
                                        .idWidth = 4,
                                        .pageData = 500,
                                        .pageTrailerBid = 4,
                                        .pageTrailerCrc = 8,
                                        .entryArea = 496,
                                        .intermediateEntry = 12,
                                        .blockLeafEntry = 12,
                                        .nodeLeafEntry = 16,
                                        .blockPageRead = 516,
                                        .nodePageRead = 516,
                                        .mapBits = 4,
                                        .blockTrailer = 12,
                                        .blockTrailerBid = 4,
                                        .blockTrailerCrc = 8,
                                        .maxBlockData = 8180,
                                        .subnodeHeader = 4,
                                        .slEntry = 12,
                                        .siEntry = 8};

inline constexpr Geometry kUnicodeGeometry{.headerSize = 564,
                                           .bidNextB = 516,
                                           .bidNextP = 32,
                                           .rgnid = 44,
                                           .bSentinel = 512,
                                           .bCryptMethod = 513,
                                           .dwCRCFull = 524,
                                           .ibFileEof = 184,
                                           .ibAMapLast = 192,
                                           .cbAMapFree = 200,
                                           .brefNbt = 216,
                                           .brefBbt = 232,
                                           .fAMapValid = 248,
                                           .idWidth = 8,
                                           .pageData = 496,
                                           .pageTrailerBid = 8,
                                           .pageTrailerCrc = 4,
                                           .entryArea = 488,
                                           .intermediateEntry = 24,
                                           .blockLeafEntry = 24,
                                           .nodeLeafEntry = 32,
                                           .blockPageRead = 1032,
                                           .nodePageRead = 1040,
                                           .mapBits = 0,
                                           .blockTrailer = 16,
                                           .blockTrailerBid = 8,
                                           .blockTrailerCrc = 4,
                                           .maxBlockData = 8176,
                                           .subnodeHeader = 8,
                                           .slEntry = 24,
                                           .siEntry = 16};

}  // namespace palvara
