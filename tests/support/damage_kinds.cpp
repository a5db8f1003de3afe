#include "damage_kinds.h"

#include <algorithm>
#include <memory>
#include <random>

#include "reader/btree_walk.h"
#include "reader/geometry.h"
#include "reader/store_scan.h"

namespace palvara::testing {
namespace {

void Zero(Bytes& b, std::uint64_t offset, std::size_t count) {
  for (std::uint64_t i = offset; i < offset + count && i < b.size(); ++i) b[i] = std::byte{0};
}

// The store's layout by its header's version (ANSI for anything unknown).
const Geometry& GeometryOfStore(const Bytes& store) {
  const Geometry* g = GeometryOfVersion(LoadLe16(store, 10).value_or(0));
  return g != nullptr ? *g : kAnsiGeometry;
}

ScanLayout LayoutOf(const Bytes& store) { return ScanLayoutOf(GeometryOfStore(store)); }

// Leaf pages the walk of one tree reads, in file order.
std::vector<std::uint64_t> WalkedLeaves(const Bytes& store, bool blockTree) {
  StoreFile file;
  OpenStore(file, std::make_unique<ViewByteSource>(store), "damage");
  IndexStore(file);
  const auto& visited = blockTree ? file.visitedBlockPages : file.visitedNodePages;
  std::vector<std::uint64_t> leaves;
  const std::size_t pageSize = GeometryOfStore(store).pageSize;
  for (std::uint64_t offset : visited) {
    if (offset + pageSize > store.size()) continue;
    const auto page =
        CheckPageTrailer(ByteSpan(store).subspan(offset, pageSize), offset, LayoutOf(store));
    if (page && page->level == 0) leaves.push_back(offset);
  }
  std::sort(leaves.begin(), leaves.end());
  return leaves;
}

void SpoilCrcs(Bytes& b) {
  ViewByteSource source(b);
  const ScanLayout layout = LayoutOf(b);
  ScanOptions options;
  options.layout = layout;
  const ScanResult scan = ScanStore(source, options);
  const Geometry& g = GeometryOf(layout);
  for (const ScannedPage& p : scan.Of(layout)->pages) {
    b[p.offset + g.pageData + g.pageTrailerCrc] ^= std::byte{0x5A};
  }
  for (const ScannedBlock& k : scan.Of(layout)->blocks) {
    b[k.offset + g.BlockSize(k.size) - g.blockTrailer + g.blockTrailerCrc] ^= std::byte{0x5A};
  }
}

}  // namespace

std::vector<DamageKind> AllDamageKinds() {
  return {DamageKind::kHeaderWiped,     DamageKind::kBlockRootZeroed, DamageKind::kNodeRootZeroed,
          DamageKind::kBlockLeafZeroed, DamageKind::kNodeLeafZeroed,  DamageKind::kRunsZeroed,
          DamageKind::kCut10,           DamageKind::kCut25,           DamageKind::kBitFlips,
          DamageKind::kCrcsSpoiled};
}

const char* DamageKindName(DamageKind kind) {
  switch (kind) {
    case DamageKind::kHeaderWiped: return "header wiped";
    case DamageKind::kBlockRootZeroed: return "block B-tree root zeroed";
    case DamageKind::kNodeRootZeroed: return "node B-tree root zeroed";
    case DamageKind::kBlockLeafZeroed: return "block B-tree leaf zeroed";
    case DamageKind::kNodeLeafZeroed: return "node B-tree leaf zeroed";
    case DamageKind::kRunsZeroed: return "4 KiB runs zeroed";
    case DamageKind::kCut10: return "last 10 % cut";
    case DamageKind::kCut25: return "last 25 % cut";
    case DamageKind::kBitFlips: return "bits flipped";
    case DamageKind::kCrcsSpoiled: return "header wiped, CRCs spoiled";
  }
  return "";
}

Bytes Damage(const Bytes& store, DamageKind kind, std::uint64_t seed) {
  Bytes b = store;
  std::mt19937_64 random(seed);
  const Geometry& g = GeometryOfStore(store);
  const std::size_t pageSize = g.pageSize;
  auto rootOffset = [&](bool blockTree) {
    return LoadLeN(store, (blockTree ? g.brefBbt : g.brefNbt) + g.idWidth, g.idWidth).value_or(0);
  };
  switch (kind) {
    case DamageKind::kHeaderWiped: Zero(b, 0, kSmallPageSize); break;
    case DamageKind::kBlockRootZeroed: Zero(b, rootOffset(true), pageSize); break;
    case DamageKind::kNodeRootZeroed: Zero(b, rootOffset(false), pageSize); break;
    case DamageKind::kBlockLeafZeroed:
    case DamageKind::kNodeLeafZeroed: {
      const auto leaves = WalkedLeaves(store, kind == DamageKind::kBlockLeafZeroed);
      if (!leaves.empty()) Zero(b, leaves[random() % leaves.size()], pageSize);
      break;
    }
    case DamageKind::kRunsZeroed:
      for (int i = 0; i < 3 && b.size() >= 4096; ++i) Zero(b, random() % (b.size() / 4096) * 4096, 4096);
      break;
    case DamageKind::kCut10: b.resize(b.size() - b.size() / 10); break;
    case DamageKind::kCut25: b.resize(b.size() - b.size() / 4); break;
    case DamageKind::kBitFlips:
      for (int i = 0; i < 16 && !b.empty(); ++i) b[random() % b.size()] ^= std::byte(1u << (random() % 8));
      break;
    case DamageKind::kCrcsSpoiled:
      SpoilCrcs(b);
      Zero(b, 0, kSmallPageSize);
      break;
  }
  return b;
}

}  // namespace palvara::testing
