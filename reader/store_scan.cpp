#include "reader/store_scan.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "reader/crc.h"
#include "reader/geometry.h"

namespace palvara {
namespace {

constexpr std::size_t kBlockAlign = 64;
constexpr std::uint8_t kMaxLevel = 8;

const Geometry& GeometryOf(ScanLayout layout) {
  return layout == ScanLayout::kAnsi ? kAnsiGeometry : kUnicodeGeometry;
}

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

bool SaneBTreePage(const std::byte* page, const Geometry& g, std::uint8_t type,
                   std::uint8_t* level, std::uint8_t* entries) {
  const auto cEnt = Le<std::uint8_t>(page + g.entryArea);
  const auto cEntMax = Le<std::uint8_t>(page + g.entryArea + 1);
  const auto cbEnt = Le<std::uint8_t>(page + g.entryArea + 2);
  const auto cLevel = Le<std::uint8_t>(page + g.entryArea + 3);
  if (cLevel > kMaxLevel) return false;
  const std::size_t size = cLevel > 0 ? g.intermediateEntry
                           : type == kPageTypeBlockTree ? g.blockLeafEntry
                                                        : g.nodeLeafEntry;
  if (cbEnt != size || cEnt > cEntMax || cEntMax > g.entryArea / size || cEnt == 0) return false;
  *level = cLevel;
  *entries = cEnt;
  return true;
}

}  // namespace

std::uint64_t LayoutScan::Evidence() const {
  std::uint64_t n = 0;
  for (const ScannedBlock& b : blocks) n += b.crcValid ? 1 : 0;
  for (const ScannedPage& p : pages) n += p.crcValid ? 1 : 0;
  return n;
}

std::optional<ScanLayout> ScanResult::BestLayout() const {
  if (ansi && !unicode) return ScanLayout::kAnsi;
  if (unicode && !ansi) return ScanLayout::kUnicode;
  // Sound pages and blocks decide; with every CRC spoiled, those whose signature held.
  auto weight = [](const std::optional<LayoutScan>& scan) {
    if (!scan) return std::make_pair(std::uint64_t{0}, std::uint64_t{0});
    return std::make_pair(scan->Evidence(),
                          std::uint64_t{scan->blocks.size() + scan->pages.size()});
  };
  const auto a = weight(ansi);
  const auto u = weight(unicode);
  if (a.second == 0 && u.second == 0) return std::nullopt;
  return a > u ? ScanLayout::kAnsi : ScanLayout::kUnicode;
}

const LayoutScan* ScanResult::Of(ScanLayout layout) const {
  const std::optional<LayoutScan>& scan = layout == ScanLayout::kAnsi ? ansi : unicode;
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
  const std::size_t total = (cb + g.blockTrailer + kBlockAlign - 1) / kBlockAlign * kBlockAlign;
  if (end < total || end - total < dataOffset) return std::nullopt;
  const std::uint64_t start = end - total;
  if (ComputeSig(start, bid) != wSig) return std::nullopt;
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
  if (page.size() < kPageSize) return std::nullopt;
  const Geometry& g = GeometryOf(layout);
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
  std::vector<ScanLayout> layouts;
  if (!options.layout || *options.layout == ScanLayout::kAnsi) {
    result.ansi.emplace();
    layouts.push_back(ScanLayout::kAnsi);
  }
  if (!options.layout || *options.layout == ScanLayout::kUnicode) {
    result.unicode.emplace();
    layouts.push_back(ScanLayout::kUnicode);
  }
  // Consecutive windows share the 8 KiB before a window's new bytes, where the data of a block
  // whose trailer ends among them may begin.
  std::optional<SequentialReader> reader;
  try {
    reader.emplace(source, 0, source.Size(), options.chunkSize, kMaxBlockSize);
  } catch (const std::bad_alloc&) {
    return result;
  }
  std::uint64_t end = kBlockAlign;  // the next place a trailer may end
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
    for (; end <= dataEnd; end += kBlockAlign) {
      for (ScanLayout layout : layouts) {
        LayoutScan& scan = layout == ScanLayout::kAnsi ? *result.ansi : *result.unicode;
        if (end % kPageSize == 0) {
          const std::uint64_t at = end - kPageSize;
          if (auto page = CheckPageTrailer(data.subspan(at - dataOffset, kPageSize), at, layout)) {
            scan.pages.push_back(*page);
            continue;
          }
        }
        if (auto block = CheckBlockTrailer(data, dataOffset, end, layout)) {
          scan.blocks.push_back(*block);
        }
      }
    }
    result.bytesScanned = dataEnd;
    if (options.progress) options.progress(dataEnd, source.Size());
  }
  return result;
}

}  // namespace palvara
