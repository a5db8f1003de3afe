#include "reader/store_scan.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "reader/crc.h"
#include "reader/geometry.h"

namespace palvara {
namespace {

constexpr std::size_t kStep = 64;  // the finest block alignment of any layout
constexpr std::uint8_t kMaxLevel = 8;

// Callers guarantee the bytes are there.
template <typename T>
T Le(const std::byte* p) {
  T value;
  std::memcpy(&value, p, sizeof(T));
  return value;  // little-endian hosts only, as the rest of the reader
}

// The id and CRC of a trailer starting at `t`, at the offsets the layout gives.
std::pair<std::uint64_t, std::uint32_t> TrailerIdAndCrc(const std::byte* t, const Geometry& g,
                                                        std::size_t idAt, std::size_t crcAt) {
  const std::uint64_t id =
      g.idWidth == 4 ? Le<std::uint32_t>(t + idAt) : Le<std::uint64_t>(t + idAt);
  return {id, Le<std::uint32_t>(t + crcAt)};
}

// A cEnt or cEntMax field: one byte, or two in the 4 KiB layout.
std::size_t Count(const std::byte* at, const Geometry& g) {
  return g.countWidth == 1 ? Le<std::uint8_t>(at) : Le<std::uint16_t>(at);
}

bool SaneBTreePage(const std::byte* page, const Geometry& g, std::uint8_t type,
                   std::uint8_t* level, std::uint8_t* entries) {
  const std::size_t cEnt = Count(page + g.entryArea, g);
  const std::size_t cEntMax = Count(page + g.CEntMaxAt(), g);
  const auto cbEnt = Le<std::uint8_t>(page + g.CbEntAt());
  const auto cLevel = Le<std::uint8_t>(page + g.CLevelAt());
  if (cLevel > kMaxLevel) return false;
  const std::size_t size = cLevel > 0 ? g.intermediateEntry
                           : type == kPageTypeBlockTree ? g.blockLeafEntry
                                                        : g.nodeLeafEntry;
  if (cbEnt != size || cEnt > cEntMax || cEntMax > g.entryArea / size || cEnt == 0) return false;
  *level = cLevel;
  *entries = static_cast<std::uint8_t>(cEnt);
  return true;
}

}  // namespace

const Geometry& GeometryOf(ScanLayout layout) {
  switch (layout) {
    case ScanLayout::kAnsi: return kAnsiGeometry;
    case ScanLayout::kUnicode: return kUnicodeGeometry;
    case ScanLayout::k4k: return k4kGeometry;
  }
  return kUnicodeGeometry;
}

ScanLayout ScanLayoutOf(const Geometry& geometry) {
  if (geometry.IsAnsi()) return ScanLayout::kAnsi;
  return geometry.pageSize == k4kGeometry.pageSize ? ScanLayout::k4k : ScanLayout::kUnicode;
}

std::uint64_t LayoutScan::Evidence() const {
  std::uint64_t n = 0;
  for (const ScannedBlock& b : blocks) n += b.crcValid ? 1 : 0;
  for (const ScannedPage& p : pages) n += p.crcValid ? 1 : 0;
  return n;
}

std::optional<ScanLayout> ScanResult::BestLayout() const {
  // The one asked for, when one was.
  if (ansi.has_value() + unicode.has_value() + fourK.has_value() == 1) {
    return ansi ? ScanLayout::kAnsi : (unicode ? ScanLayout::kUnicode : ScanLayout::k4k);
  }
  // Sound pages and blocks decide; with every CRC spoiled, those whose signature held.
  std::optional<ScanLayout> best;
  std::pair<std::uint64_t, std::uint64_t> bestWeight{0, 0};
  for (ScanLayout layout : kScanLayouts) {
    const LayoutScan* scan = Of(layout);
    if (scan == nullptr) continue;
    const std::pair<std::uint64_t, std::uint64_t> weight{scan->Evidence(),
                                                         scan->blocks.size() + scan->pages.size()};
    if (weight.second > 0 && (!best || weight > bestWeight)) {
      best = layout;
      bestWeight = weight;
    }
  }
  return best;
}

const LayoutScan* ScanResult::Of(ScanLayout layout) const {
  const std::optional<LayoutScan>& scan =
      layout == ScanLayout::kAnsi ? ansi : (layout == ScanLayout::kUnicode ? unicode : fourK);
  return scan ? &*scan : nullptr;
}

std::optional<ScannedBlock> CheckBlockTrailer(ByteSpan data, std::uint64_t dataOffset,
                                              std::uint64_t end, ScanLayout layout) {
  const Geometry& g = GeometryOf(layout);
  if (end < dataOffset || end - dataOffset > data.size() || end - dataOffset < g.blockTrailer) {
    return std::nullopt;
  }
  const std::byte* t = data.data() + (end - dataOffset - g.blockTrailer);
  const auto cb = Le<std::uint16_t>(t);
  const auto wSig = Le<std::uint16_t>(t + 2);
  const auto [bid, crc] = TrailerIdAndCrc(t, g, g.blockTrailerBid, g.blockTrailerCrc);
  if (bid == 0 || cb == 0 || cb > g.maxBlockData) return std::nullopt;
  const std::size_t total = g.BlockSize(cb);
  if (end < total || end - total < dataOffset) return std::nullopt;
  const std::uint64_t start = end - total;
  if (start % g.blockAlign != 0 || ComputeSig(start, bid) != wSig) return std::nullopt;
  if (start >= kMaxScannedOffset) return std::nullopt;  // beyond what a record holds
  ScannedBlock block;
  block.id = bid;
  block.offset = start;
  block.size = cb;
  block.crcValid = ComputeCrc(data.subspan(start - dataOffset, cb)) == crc;
  return block;
}

std::optional<ScannedPage> CheckPageTrailer(ByteSpan page, std::uint64_t offset,
                                            ScanLayout layout) {
  const Geometry& g = GeometryOf(layout);
  if (page.size() < g.pageSize) return std::nullopt;
  const std::byte* p = page.data();
  const std::byte* t = p + g.pageData;
  const auto type = Le<std::uint8_t>(t);
  if (type != Le<std::uint8_t>(t + 1)) return std::nullopt;
  if (type != kPageTypeBlockTree && type != kPageTypeNodeTree && type != kPageTypeAllocationMap) {
    return std::nullopt;
  }
  const auto wSig = Le<std::uint16_t>(t + 2);
  const auto [bid, crc] = TrailerIdAndCrc(t, g, g.pageTrailerBid, g.pageTrailerCrc);
  ScannedPage result;
  result.offset = offset;
  result.id = bid;
  result.type = type;
  if (type == kPageTypeAllocationMap) {
    if (wSig != 0 || bid != offset) return std::nullopt;
  } else {
    if (bid == 0 || ComputeSig(offset, bid) != wSig) return std::nullopt;
    if (!SaneBTreePage(p, g, type, &result.level, &result.entries)) return std::nullopt;
  }
  result.crcValid = ComputeCrc(page.first(g.pageData)) == crc;
  return result;
}

ScanResult ScanStore(ByteSource& source, const ScanOptions& options) {
  ScanResult result;
  std::vector<std::pair<ScanLayout, LayoutScan*>> layouts;
  for (ScanLayout layout : kScanLayouts) {
    if (options.layout && *options.layout != layout) continue;
    std::optional<LayoutScan>& scan =
        layout == ScanLayout::kAnsi ? result.ansi
                                    : (layout == ScanLayout::kUnicode ? result.unicode : result.fourK);
    layouts.emplace_back(layout, &scan.emplace());
  }
  // Consecutive windows share the bytes before a window's new bytes where the data of the
  // largest block whose trailer ends among them may begin.
  std::size_t overlap = 0;
  for (const auto& [layout, scan] : layouts) overlap = std::max(overlap, GeometryOf(layout).maxBlockSize);
  std::optional<SequentialReader> reader;
  try {
    reader.emplace(source, 0, source.Size(), options.chunkSize, overlap);
  } catch (const std::bad_alloc&) {
    return result;
  }
  std::uint64_t end = kStep;  // the next place a trailer may end
  for (;;) {
    if (options.control != nullptr && options.control->StopRequested()) {
      result.stopped = true;
      break;
    }
    const std::optional<SequentialReader::Window> window = reader->Next();
    if (!window) break;  // Tolerant: a read error ends the scan like the end of the file.
    const ByteSpan data = window->bytes;
    const std::uint64_t dataOffset = window->offset;
    const std::uint64_t dataEnd = dataOffset + data.size();
    for (; end <= dataEnd; end += kStep) {
      for (const auto& [layout, scan] : layouts) {
        const Geometry& g = GeometryOf(layout);
        if (end % g.blockAlign != 0) continue;
        if (end % g.pageSize == 0 && end - g.pageSize >= dataOffset) {
          const std::uint64_t at = end - g.pageSize;
          if (auto page = CheckPageTrailer(data.subspan(at - dataOffset, g.pageSize), at, layout)) {
            scan->pages.push_back(*page);
            continue;
          }
        }
        if (auto block = CheckBlockTrailer(data, dataOffset, end, layout)) {
          scan->blocks.push_back(*block);
        }
      }
    }
    result.bytesScanned = dataEnd;
    if (options.progress) options.progress(dataEnd, source.Size());
  }
  return result;
}

}  // namespace palvara
