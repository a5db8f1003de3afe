// How one layout of the node database is built ([MS-PST] 2.2.2, and the 4 KiB-page layout of
// the OST files of Outlook 2013 and later): where the header keeps its fields, how wide ids
// are, how pages, blocks and allocation maps are laid out with their trailers, how heap ids
// name their block, whether blocks may be compressed. One value per layout, chosen once from
// the header (or from the pages a scan finds); the B-tree walk, the recovery scan, block
// access, the heap, the writer and the store check read their sizes and offsets from it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace palvara {

struct Geometry {
  const char* name;     // "ansi", "unicode", "unicode-4k"
  std::uint16_t wVer;   // the version this layout is written with (ANSI: 14 or 15 both read)

  // HEADER (2.2.2.6): absolute offsets of its fields; dwCRCFull is 0 where the layout has none.
  std::size_t headerSize;
  std::size_t bidNextB, bidNextP, rgnid, bSentinel, bCryptMethod, dwCRCFull;
  // ROOT (2.2.2.5) fields, absolute.
  std::size_t ibFileEof, ibAMapLast, cbAMapFree, brefNbt, brefBbt, fAMapValid;

  std::size_t idWidth;  // bids, offsets and B-tree keys

  // Pages (2.2.2.7): `pageSize` bytes on their own boundary, the trailer after `pageData` bytes
  // (which its CRC covers).
  std::size_t pageSize;
  std::size_t pageData;
  std::size_t pageTrailerBid, pageTrailerCrc;  // within the page trailer
  std::size_t pageTrailerExtra;  // within the trailer: a field of unknown use (1), or 0 for none
  // B-tree pages: rgentries, then cEnt and cEntMax (`countWidth` bytes each), cbEnt, cLevel.
  std::size_t entryArea, countWidth;
  std::size_t intermediateEntry, blockLeafEntry, nodeLeafEntry;
  std::size_t blockPageRead, nodePageRead;  // bytes read for a B-tree page (see the walk)

  // Allocation maps (2.2.2.7.2): the first AMap, one every `amapInterval` bytes, a bit for each
  // `amapUnit` bytes; the bits start `mapBits` into the page (after dwPadding in ANSI). PMaps
  // and FMaps, and where the DList lies.
  std::uint64_t firstAMap, amapInterval;
  std::size_t amapUnit, mapBits;
  bool pageMaps;  // PMap and FMap pages exist
  std::uint64_t dlistOffset;

  // Blocks (2.2.2.8): `blockAlign`-aligned, at most `maxBlockSize` bytes with the trailer.
  std::size_t blockAlign, maxBlockSize;
  std::size_t blockTrailer, blockTrailerBid, blockTrailerCrc;  // size, then offsets within it
  std::size_t blockTrailerInflated;  // within the trailer: the inflated size, 0 for none
  std::size_t maxBlockData;          // maxBlockSize less the trailer
  // BBTENTRY: offsets of cRef and of the inflated size (0 for none) after bid and ib.
  std::size_t blockLeafRefCount, blockLeafInflated;
  bool compressed;  // data blocks may be stored zlib-compressed
  // SLBLOCK/SIBLOCK: the header before their entries, SLENTRY, SIENTRY.
  std::size_t subnodeHeader, slEntry, siEntry;

  // Heap ids (2.3.1.1): the block index starts at this bit.
  unsigned hidBlockShift;

  constexpr bool IsAnsi() const { return idWidth == 4; }
  // The bytes a block of `cb` data bytes takes in the file, trailer and padding included.
  constexpr std::size_t BlockSize(std::size_t cb) const {
    return (cb + blockTrailer + blockAlign - 1) / blockAlign * blockAlign;
  }
  // Bits of one allocation map page.
  constexpr std::size_t AMapBits() const { return (pageData - mapBits) * 8; }
  // Offsets of a B-tree page's cEntMax, cbEnt and cLevel (cEnt is at entryArea).
  constexpr std::size_t CEntMaxAt() const { return entryArea + countWidth; }
  constexpr std::size_t CbEntAt() const { return entryArea + 2 * countWidth; }
  constexpr std::size_t CLevelAt() const { return entryArea + 2 * countWidth + 1; }
  // Whether allocation interval `n` carries a PMap (every eighth) or an FMap (the 128th, then
  // one for every 496 AMaps, the bytes one FMap page holds) after its AMap.
  constexpr bool HasPMap(std::uint64_t n) const { return pageMaps && n % 8 == 0; }
  constexpr bool HasFMap(std::uint64_t n) const {
    return pageMaps && n >= kFMapHeaderEntries && (n - kFMapHeaderEntries) % kFMapPageEntries == 0;
  }
  static constexpr std::uint64_t kFMapHeaderEntries = 128;  // rgbFM in the header
  static constexpr std::uint64_t kFMapPageEntries = 496;

  // The most ids one XBLOCK, and entries one SLBLOCK or SIBLOCK, holds.
  constexpr std::size_t XBlockFanout() const { return (maxBlockData - 8) / idWidth; }
  constexpr std::size_t SlFanout() const { return (maxBlockData - subnodeHeader) / slEntry; }
  constexpr std::size_t SiFanout() const { return (maxBlockData - subnodeHeader) / siEntry; }
};

inline constexpr std::size_t kSmallPageSize = 512;  // pages of the ANSI and Unicode layouts

inline constexpr Geometry kAnsiGeometry{
    .name = "ansi", .wVer = 14,
    .headerSize = 512, .bidNextB = 24, .bidNextP = 28, .rgnid = 36, .bSentinel = 460,
    .bCryptMethod = 461, .dwCRCFull = 0,
    .ibFileEof = 168, .ibAMapLast = 172, .cbAMapFree = 176, .brefNbt = 184, .brefBbt = 192,
    .fAMapValid = 200,
    .idWidth = 4,
    .pageSize = 512, .pageData = 500, .pageTrailerBid = 4, .pageTrailerCrc = 8,
    .pageTrailerExtra = 0, .entryArea = 496, .countWidth = 1,
    .intermediateEntry = 12, .blockLeafEntry = 12, .nodeLeafEntry = 16,
    .blockPageRead = 516, .nodePageRead = 516,
    .firstAMap = 0x4400, .amapInterval = 0x3E000, .amapUnit = 64, .mapBits = 4, .pageMaps = true,
    .dlistOffset = 0x4200,
    .blockAlign = 64, .maxBlockSize = 8192,
    .blockTrailer = 12, .blockTrailerBid = 4, .blockTrailerCrc = 8, .blockTrailerInflated = 0,
    .maxBlockData = 8180, .blockLeafRefCount = 10, .blockLeafInflated = 0, .compressed = false,
    .subnodeHeader = 4, .slEntry = 12, .siEntry = 8,
    .hidBlockShift = 16};

inline constexpr Geometry kUnicodeGeometry{
    .name = "unicode", .wVer = 23,
    .headerSize = 564, .bidNextB = 516, .bidNextP = 32, .rgnid = 44, .bSentinel = 512,
    .bCryptMethod = 513, .dwCRCFull = 524,
    .ibFileEof = 184, .ibAMapLast = 192, .cbAMapFree = 200, .brefNbt = 216, .brefBbt = 232,
    .fAMapValid = 248,
    .idWidth = 8,
    .pageSize = 512, .pageData = 496, .pageTrailerBid = 8, .pageTrailerCrc = 4,
    .pageTrailerExtra = 0, .entryArea = 488, .countWidth = 1,
    .intermediateEntry = 24, .blockLeafEntry = 24, .nodeLeafEntry = 32,
    .blockPageRead = 1032, .nodePageRead = 1040,
    .firstAMap = 0x4400, .amapInterval = 0x3E000, .amapUnit = 64, .mapBits = 0, .pageMaps = true,
    .dlistOffset = 0x4200,
    .blockAlign = 64, .maxBlockSize = 8192,
    .blockTrailer = 16, .blockTrailerBid = 8, .blockTrailerCrc = 4, .blockTrailerInflated = 0,
    .maxBlockData = 8176, .blockLeafRefCount = 18, .blockLeafInflated = 0, .compressed = false,
    .subnodeHeader = 8, .slEntry = 24, .siEntry = 16,
    .hidBlockShift = 16};

// The 4 KiB-page layout (wVer 36): 4,096-byte pages with 24-byte trailers and two-byte entry
// counts, blocks of up to 64 KiB on 512-byte boundaries whose data may be zlib-compressed (the
// inflated size in the trailer and in the BBT entry), one map bit per 512 bytes, no PMaps or
// FMaps, heap ids with the block index from bit 19.
inline constexpr Geometry k4kGeometry{
    .name = "unicode-4k", .wVer = 36,
    .headerSize = 564, .bidNextB = 516, .bidNextP = 32, .rgnid = 44, .bSentinel = 512,
    .bCryptMethod = 513, .dwCRCFull = 524,
    .ibFileEof = 184, .ibAMapLast = 192, .cbAMapFree = 200, .brefNbt = 216, .brefBbt = 232,
    .fAMapValid = 248,
    .idWidth = 8,
    .pageSize = 4096, .pageData = 4072, .pageTrailerBid = 8, .pageTrailerCrc = 4,
    .pageTrailerExtra = 16, .entryArea = 4056, .countWidth = 2,
    .intermediateEntry = 24, .blockLeafEntry = 24, .nodeLeafEntry = 32,
    .blockPageRead = 4096, .nodePageRead = 4096,
    .firstAMap = 0x22000, .amapInterval = 0xFE8000, .amapUnit = 512, .mapBits = 0,
    .pageMaps = false, .dlistOffset = 0x21000,
    .blockAlign = 512, .maxBlockSize = 65536,
    .blockTrailer = 24, .blockTrailerBid = 8, .blockTrailerCrc = 4, .blockTrailerInflated = 18,
    .maxBlockData = 65512, .blockLeafRefCount = 20, .blockLeafInflated = 18, .compressed = true,
    .subnodeHeader = 8, .slEntry = 24, .siEntry = 16,
    .hidBlockShift = 19};

// The layout of a header's wVer: 14 and 15 ANSI, 23 Unicode, 36 the 4 KiB pages; nullptr for
// any other value.
inline const Geometry* GeometryOfVersion(std::uint16_t wVer) {
  if (wVer == 14 || wVer == 15) return &kAnsiGeometry;
  if (wVer == 23) return &kUnicodeGeometry;
  if (wVer == 36) return &k4kGeometry;
  return nullptr;
}

}  // namespace palvara
