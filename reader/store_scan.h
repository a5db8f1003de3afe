// The recovery scan: one sequential pass over a whole store file that finds every page and
// every block by its trailer ([MS-PST] 2.2.2.7.1 PAGETRAILER, 2.2.2.8.1 BLOCKTRAILER) and
// checks it (signature from id and offset, CRC, sizes, page type repeated), in the ANSI, the
// Unicode or the 4 KiB-page layout, or in all three when the layout is not known.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "common/run_control.h"
#include "reader/byte_source.h"

namespace palvara {

enum class ScanLayout : std::uint8_t { kAnsi, kUnicode, k4k };
inline constexpr ScanLayout kScanLayouts[] = {ScanLayout::kAnsi, ScanLayout::kUnicode,
                                              ScanLayout::k4k};

struct Geometry;
const Geometry& GeometryOf(ScanLayout layout);
// The scan layout of a store layout.
ScanLayout ScanLayoutOf(const Geometry& geometry);

// A block whose trailer checked out. 16 bytes: the scan's memory grows by this per block (a
// store has a block every few KiB; a 50 GB store keeps about 300 MB of these).
struct ScannedBlock {
  std::uint64_t id = 0;
  std::uint64_t offset : 47 = 0;  // start of the block's data (file offsets stay below 2^47)
  std::uint64_t size : 16 = 0;    // cb: stored data bytes, at most 65,512
  bool crcValid : 1 = false;
};
static_assert(sizeof(ScannedBlock) == 16);
// Blocks at or past this offset (128 TiB) are not recorded.
inline constexpr std::uint64_t kMaxScannedOffset = std::uint64_t{1} << 47;

// A page whose trailer checked out: B-tree pages (ptype 0x80 block, 0x81 node) with sane
// metadata, and allocation map pages (0x84).
struct ScannedPage {
  std::uint64_t offset = 0;
  std::uint64_t id = 0;       // the page bid (the offset itself for an allocation map)
  std::uint8_t type = 0;      // ptype
  std::uint8_t level = 0;     // cLevel of a B-tree page: 0 for a leaf
  std::uint8_t entries = 0;   // cEnt of a B-tree page (at most 169)
  bool crcValid = false;
};

inline constexpr std::uint8_t kPageTypeBlockTree = 0x80;
inline constexpr std::uint8_t kPageTypeNodeTree = 0x81;
inline constexpr std::uint8_t kPageTypeAllocationMap = 0x84;

struct LayoutScan {
  std::deque<ScannedBlock> blocks;   // in file order; a deque grows without copying
  std::vector<ScannedPage> pages;    // in file order
  // Pages and blocks whose CRC matched: how strongly the file speaks this layout.
  std::uint64_t Evidence() const;
};

struct ScanResult {
  std::optional<LayoutScan> ansi;
  std::optional<LayoutScan> unicode;
  std::optional<LayoutScan> fourK;
  std::uint64_t bytesScanned = 0;
  bool stopped = false;  // the run control asked for a stop: the result is partial

  // The layout the file speaks: the one asked for, else the one with more CRC-valid evidence.
  // nullopt when neither found anything.
  std::optional<ScanLayout> BestLayout() const;
  const LayoutScan* Of(ScanLayout layout) const;
  LayoutScan* Of(ScanLayout layout) {
    return const_cast<LayoutScan*>(static_cast<const ScanResult*>(this)->Of(layout));
  }
};

struct ScanOptions {
  // The layout to look for; empty: all three.
  std::optional<ScanLayout> layout;
  std::size_t chunkSize = 8u << 20;  // bytes per read (at least 16 KiB are read at once)
  // Called after each chunk with the bytes done and the file size.
  std::function<void(std::uint64_t done, std::uint64_t total)> progress;
  const RunControl* control = nullptr;
};

// Scans the whole source once, in large sequential reads (a SequentialReader). Never throws for
// any content.
ScanResult ScanStore(ByteSource& source, const ScanOptions& options);

// Trailer checks on bytes already in memory; `end` is the offset just past the trailer.
// Exposed for the recovery tests.
std::optional<ScannedBlock> CheckBlockTrailer(ByteSpan data, std::uint64_t dataOffset,
                                              std::uint64_t end, ScanLayout layout);
std::optional<ScannedPage> CheckPageTrailer(ByteSpan page, std::uint64_t offset,
                                            ScanLayout layout);

}  // namespace palvara
