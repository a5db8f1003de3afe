#include "reader/structure_damage.h"

#include <algorithm>
#include <utility>

#include "reader/block_access.h"
#include "reader/crc.h"
#include "reader/store_scan.h"

namespace palvara {
namespace {

bool AllZero(ByteSpan bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::byte b) { return b == std::byte{0}; });
}

bool Fits(const StoreFile& store, std::uint64_t offset, std::uint64_t size) {
  return offset <= store.fileSize && store.fileSize - offset >= size;
}

}  // namespace

DamageKind PastEndDamage(const StoreFile& store, std::uint64_t offset) {
  return store.endOfFile == 0 || offset < store.endOfFile ? DamageKind::kCutOff
                                                          : DamageKind::kBadReference;
}

DamageKind PageDamage(StoreFile& store, std::uint64_t offset, DamageKind otherwise) {
  const Geometry* g = store.Layout();
  if (g == nullptr || !store.file) return otherwise;
  if (!Fits(store, offset, g->pageSize)) return PastEndDamage(store, offset);
  const Bytes page = ReadBlockAt(store, offset, g->pageSize);
  if (page.size() < g->pageSize) return DamageKind::kCutOff;
  const ByteSpan p(page);
  if (AllZero(p)) return DamageKind::kZeroed;
  const ByteSpan trailer = p.subspan(g->pageData);
  const std::uint8_t type = ByteAt(trailer, 0);
  const bool bTree = type == kPageTypeBlockTree || type == kPageTypeNodeTree;
  if (type != ByteAt(trailer, 1) || !(bTree || type == kPageTypeAllocationMap)) {
    return DamageKind::kUnreadable;
  }
  const std::uint64_t bid = LoadLeN(trailer, g->pageTrailerBid, g->idWidth).value_or(0);
  if (bTree && ComputeSig(offset, bid) != LoadLe16(trailer, 2)) return DamageKind::kUnreadable;
  if (ComputeCrc(p.first(g->pageData)) != LoadLe32(trailer, g->pageTrailerCrc)) {
    return DamageKind::kBadCrc;
  }
  return otherwise;
}

std::uint64_t BlockExtent(const StoreFile& store, const BlockEntry& entry) {
  const Geometry* g = store.Layout();
  return g != nullptr ? g->BlockSize(entry.size) : entry.size;
}

DamageKind BlockDamage(StoreFile& store, const BlockEntry& entry, DamageKind otherwise) {
  const Geometry* g = store.Layout();
  if (g == nullptr || !store.file) return otherwise;
  const std::uint64_t extent = BlockExtent(store, entry);
  if (!Fits(store, entry.offset, extent)) return PastEndDamage(store, entry.offset);
  const Bytes block = ReadBlockAt(store, entry.offset, static_cast<std::size_t>(extent));
  if (block.size() < extent) return DamageKind::kCutOff;
  const ByteSpan b(block);
  if (AllZero(b)) return DamageKind::kZeroed;
  const ByteSpan trailer = b.last(g->blockTrailer);
  const std::uint64_t bid = LoadLeN(trailer, g->blockTrailerBid, g->idWidth).value_or(0);
  if (LoadLe16(trailer, 0) != entry.size || (bid & ~1ull) != (entry.id & ~1ull) ||
      ComputeSig(entry.offset, bid) != LoadLe16(trailer, 2)) {
    return DamageKind::kUnreadable;
  }
  if (ComputeCrc(b.first(entry.size)) != LoadLe32(trailer, g->blockTrailerCrc)) {
    return DamageKind::kBadCrc;
  }
  return otherwise;
}

void ReportPage(StoreFile& store, std::string structure, std::uint64_t offset, DamageKind otherwise,
                std::string text) {
  DamageReport report;
  report.kind = PageDamage(store, offset, otherwise);
  report.structure = std::move(structure);
  report.offset = offset;
  if (const Geometry* g = store.Layout()) report.size = static_cast<std::uint32_t>(g->pageSize);
  report.text = std::move(text);
  store.damage.Report(std::move(report));
}

void ReportBlock(StoreFile& store, std::string structure, const BlockEntry& entry,
                 DamageKind otherwise, std::string text) {
  DamageReport report;
  report.kind = BlockDamage(store, entry, otherwise);
  report.structure = std::move(structure);
  report.offset = entry.offset;
  report.size = static_cast<std::uint32_t>(BlockExtent(store, entry));
  report.text = std::move(text);
  store.damage.Report(std::move(report));
}

}  // namespace palvara
