#include "reader/btree_walk.h"

#include <algorithm>
#include <new>
#include <string>
#include <unordered_set>

#include "reader/block_access.h"
#include "reader/structure_damage.h"

namespace palvara {
namespace {

constexpr std::size_t kPartBlockLeafLimit = 42;
constexpr std::size_t kPartNodeLeafLimit = 31;
constexpr int kUnknownDepth = 255;
constexpr std::size_t kMaxStaleEntries = 1u << 20;
constexpr std::uint32_t kMessageStoreNid = 0x21;

enum class PageKind { kIntermediate, kBlockLeaf, kNodeLeaf };
enum class Tree { kBlock, kNode };

std::size_t EntrySize(const PageLayout& layout, PageKind kind) {
  switch (kind) {
    case PageKind::kIntermediate: return layout.intermediateEntry;
    case PageKind::kBlockLeaf: return layout.blockLeafEntry;
    case PageKind::kNodeLeaf: return layout.nodeLeafEntry;
  }
  return layout.intermediateEntry;
}

// The page's own entry count when its metadata is consistent: cbEnt is the entry size of the
// page kind, and cEnt <= cEntMax <= the capacity of the page.
std::optional<std::size_t> SaneEntryCount(ByteSpan page, const PageLayout& layout,
                                          PageKind kind) {
  const std::size_t cEnt = LoadLeN(page, layout.entryArea, layout.countWidth).value_or(0);
  const std::size_t cEntMax = LoadLeN(page, layout.CEntMaxAt(), layout.countWidth).value_or(0);
  const std::uint8_t cbEnt = ByteAt(page, layout.CbEntAt());
  const std::size_t size = EntrySize(layout, kind);
  if (cbEnt != size || cEnt > cEntMax || cEntMax > layout.entryArea / size) return std::nullopt;
  return cEnt;
}

class TreeWalker {
 public:
  TreeWalker(StoreFile& store, const RunControl* control)
      : s_(store), layout_(*store.Layout()), w_(layout_.idWidth), control_(control) {}

  const std::string& failure() const { return failure_; }
  DamageKind failureKind() const { return failureKind_; }

  int Block(std::uint64_t offset, int depth, std::optional<std::uint64_t> expected,
            std::uint64_t bound) {
    if (s_.visitedBlockPages.count(offset) != 0) return FailWalkedAgain(offset);
    std::optional<Bytes> page = ReadPage(offset, layout_.blockPageRead);
    if (!page) return kWalkFailed;
    ++s_.blockPagesRead;
    const ByteSpan p(*page);
    const bool leaf = depth == s_.blockLeafDepth || depth >= kUnknownDepth;
    return leaf ? BlockLeaf(p, offset, expected)
                : Intermediate(Tree::kBlock, p, offset, depth, expected, bound);
  }

  int Node(std::uint64_t offset, int depth, std::optional<std::uint64_t> expected,
           std::uint64_t bound) {
    if (Stopped()) return kWalkNodeLeaf;
    if (s_.visitedNodePages.count(offset) != 0) return FailWalkedAgain(offset);
    std::optional<Bytes> page = ReadPage(offset, layout_.nodePageRead);
    if (!page) return kWalkFailed;
    ++s_.nodePagesRead;
    const ByteSpan p(*page);
    const bool leaf = depth == s_.nodeLeafDepth || depth >= kUnknownDepth;
    return leaf ? NodeLeaf(p, offset, expected, bound)
                : Intermediate(Tree::kNode, p, offset, depth, expected, bound);
  }

 private:
  bool Stopped() const { return control_ != nullptr && control_->StopRequested(); }

  int Fail(DamageKind kind, std::string why) {
    failureKind_ = kind;
    failure_ = std::move(why);
    walkedAgain_ = false;
    return kWalkFailed;
  }

  // A page met again (a cycle or a shared subtree) says nothing about the leaf depth.
  int FailWalkedAgain(std::uint64_t offset) {
    Fail(DamageKind::kCycle,
         "page at " + Hex(offset) + " was already walked (a cycle or shared subtree)");
    walkedAgain_ = true;
    return kWalkFailed;
  }

  std::uint64_t Id(ByteSpan p, std::size_t at) const { return LoadLeN(p, at, w_).value_or(0); }

  // A page read succeeds when its page size of bytes is in the file; the longer read sizes are
  // honoured with the bytes past the end of the file read as zero.
  std::optional<Bytes> ReadPage(std::uint64_t offset, std::size_t readSize) {
    if (offset > s_.fileSize || s_.fileSize - offset < layout_.pageSize) {
      Fail(
          PastEndDamage(s_, offset),
          "page at " + Hex(offset) + " lies beyond the end of the file (" + Hex(s_.fileSize) + ")");
      return std::nullopt;
    }
    Bytes page(readSize);  // Tolerant: bytes past the end of the file stay zero.
    if (s_.file->ReadAt(offset, page) < layout_.pageSize) {
      Fail(DamageKind::kUnreadable, "page at " + Hex(offset) + " could not be read");
      return std::nullopt;
    }
    return page;
  }

  void KeepStale(std::vector<BlockEntry>& out, BlockEntry entry) {
    if (out.size() < kMaxStaleEntries) out.push_back(entry);
  }

  int BlockLeaf(ByteSpan p, std::uint64_t offset, std::optional<std::uint64_t> expected) {
    const std::size_t es = layout_.blockLeafEntry;
    const std::optional<std::size_t> sane = SaneEntryCount(p, layout_, PageKind::kBlockLeaf);
    const std::size_t limit = sane ? *sane : PartLimit(kPartBlockLeafLimit, es);
    std::uint64_t previous = 0;
    std::size_t i = 0;
    for (; i < limit; ++i) {
      const std::size_t at = i * es;
      if ((i + 1) * es >= p.size()) break;
      const std::uint64_t bid = Id(p, at);
      if (bid == 0) break;
      if (i == 0 && expected && bid != *expected) {
        return KeyMismatch(Tree::kBlock, offset, bid, *expected);
      }
      if (i > 0 && bid < previous) break;
      s_.blockLeafSeen = true;
      s_.blocks.Append(ReadBlockEntry(p, at));
      previous = bid;
    }
    if (i == 0 && expected) {
      ReportPage(s_, "BTPAGE", offset, DamageKind::kInconsistent,
                 "BBT leaf holds no entry where key " + Hex(*expected) + " was expected");
    }
    if (sane && i < *sane) {
      ReportPage(s_, "BTPAGE", offset, DamageKind::kInconsistent,
                 "BBT leaf entry " + std::to_string(i) + " of " + std::to_string(*sane) +
                     " is zero or out of order: rest of page ignored");
    }
    if (sane) {
      // Slots after cEnt hold entries of an earlier state of the page.
      for (std::size_t j = *sane; (j + 1) * es <= layout_.entryArea; ++j) {
        if (Id(p, j * es) == 0) break;
        KeepStale(s_.staleBlockEntries, ReadBlockEntry(p, j * es));
      }
    }
    s_.visitedBlockPages.insert(offset);
    return kWalkBlockLeaf;
  }

  BlockEntry ReadBlockEntry(ByteSpan p, std::size_t at) const {
    return BlockEntry(
        Id(p, at), Id(p, at + w_), LoadLe16(p, at + 2 * w_).value_or(0),
        static_cast<std::int16_t>(LoadLe16(p, at + layout_.blockLeafRefCount).value_or(0)));
  }

  // How many entries a page whose metadata is not sane is read for: the small layouts' fixed
  // limits, or every entry the 4 KiB page's entry area holds.
  std::size_t PartLimit(std::size_t smallLayoutLimit, std::size_t entrySize) const {
    return layout_.pageSize == kSmallPageSize ? smallLayoutLimit : layout_.entryArea / entrySize;
  }

  int NodeLeaf(ByteSpan p, std::uint64_t offset, std::optional<std::uint64_t> expected,
               std::uint64_t bound) {
    const std::size_t es = layout_.nodeLeafEntry;
    const std::optional<std::size_t> sane = SaneEntryCount(p, layout_, PageKind::kNodeLeaf);
    const std::size_t limit = sane ? *sane : PartLimit(kPartNodeLeafLimit, es);
    ParentCache cache;
    std::uint32_t lastNid = 0;
    std::size_t taken = 0;
    for (; taken < limit && (taken + 1) * es <= p.size(); ++taken) {
      const std::size_t at = taken * es;
      const auto nid = static_cast<std::uint32_t>(Id(p, at));
      if (nid >= bound || (lastNid != 0 && nid <= lastNid)) break;
      if (taken == 0 && expected && nid != *expected) {
        return KeyMismatch(Tree::kNode, offset, nid, *expected);
      }
      s_.nodeLeafSeen = true;
      if (nid == 0) continue;
      lastNid = nid;
      s_.nodes.Place(ReadNodeEntry(p, at), s_.blocks, cache, s_.damage);
    }
    if (lastNid != 0) {
      // A page read whole speaks for its key range up to the next page's first key; a page
      // cut short only for the keys it gave.
      const bool whole = sane && taken == *sane;
      const std::uint64_t from = std::min<std::uint64_t>(expected.value_or(lastNid), Id(p, 0));
      const std::uint64_t to = !whole ? lastNid : bound == kNoBound ? kNoBound : bound - 1;
      s_.walkedNodeLeaves.push_back({offset, from, to});
    }
    if (sane && taken < *sane) {
      ReportPage(s_, "BTPAGE", offset, DamageKind::kInconsistent,
                 "NBT leaf entry " + std::to_string(taken) + " of " + std::to_string(*sane) +
                     " is out of order: rest of page ignored");
    }
    if (sane) {
      for (std::size_t j = *sane; (j + 1) * es <= layout_.entryArea; ++j) {
        if (Id(p, j * es) == 0) break;
        if (s_.staleNodeEntries.size() < kMaxStaleEntries) {
          s_.staleNodeEntries.push_back(ReadNodeEntry(p, j * es));
        }
      }
    }
    s_.visitedNodePages.insert(offset);
    return kWalkNodeLeaf;
  }

  NodeEntry ReadNodeEntry(ByteSpan p, std::size_t at) const {
    NodeEntry entry;
    entry.nid = static_cast<std::uint32_t>(Id(p, at));
    entry.bidData = Id(p, at + w_);
    entry.bidSub = Id(p, at + 2 * w_);
    entry.nidParent = LoadLe32(p, at + 3 * w_).value_or(0);
    return entry;
  }

  // An intermediate page of either tree. The block tree bounds the keys it follows; the node
  // tree bounds only its leaves.
  int Intermediate(Tree tree, ByteSpan p, std::uint64_t offset, int depth,
                   std::optional<std::uint64_t> expected, std::uint64_t bound) {
    const bool nodeTree = tree == Tree::kNode;
    const std::size_t es = layout_.intermediateEntry;
    const std::uint64_t firstKey = Id(p, 0);
    if (expected && firstKey != *expected) return KeyMismatch(tree, offset, firstKey, *expected);
    Visited(tree).insert(offset);
    const std::optional<std::size_t> sane = SaneEntryCount(p, layout_, PageKind::kIntermediate);
    // Entries that may be read: the page's own count, else every entry inside the buffer.
    const std::size_t count = sane ? *sane : p.size() / es;
    for (std::size_t i = 0; i < count && !(nodeTree && Stopped()); ++i) {
      const std::uint64_t key = Id(p, i * es);
      if (key == 0 || (!nodeTree && key >= bound)) break;
      const bool hasFollowing =
          sane || nodeTree ? i + 1 < count : (i + 1) * es < p.size();
      if (!sane && !nodeTree && !hasFollowing) break;
      const std::uint64_t following = hasFollowing ? Id(p, (i + 1) * es) : 0;
      const std::uint64_t childBound = following > key ? following : (nodeTree ? kNoBound : bound);
      const std::uint64_t child = Id(p, i * es + 2 * w_);
      int result = Walk(tree, child, depth + 1, key, childBound);
      if (result == kWalkRereadAsLeaf) result = Walk(tree, child, depth + 1, key, childBound);
      if (result == kWalkFailed && walkedAgain_) {
        // An entry pointing back at this page or one above it: the other entries may still
        // lead to the rest of the tree, and this page is no leaf for it.
        s_.damage.Report(DamageKind::kCycle, "BTPAGE", offset,
                         std::string(nodeTree ? "NBT" : "BBT") + " page entry " +
                             std::to_string(i) + " points back to the page at " + Hex(child) +
                             ", which was already walked: entry skipped");
        continue;
      }
      if (result == kWalkFailed) {
        if (!(nodeTree ? s_.nodeLeafSeen : s_.blockLeafSeen)) {
          (nodeTree ? s_.nodeLeafDepth : s_.blockLeafDepth) = static_cast<std::uint8_t>(depth);
          Visited(tree).erase(offset);
          return kWalkRereadAsLeaf;
        }
        DamageReport report{failureKind_, "BTPAGE", child, 0, 0, failure_ + ": subtree skipped"};
        if (report.kind != DamageKind::kCycle)
          report.size = static_cast<std::uint32_t>(layout_.pageSize);
        s_.damage.Report(std::move(report));
      }
    }
    return kWalkIntermediate;
  }

  int Walk(Tree tree, std::uint64_t offset, int depth, std::optional<std::uint64_t> expected,
           std::uint64_t bound) {
    return tree == Tree::kNode ? Node(offset, depth, expected, bound)
                               : Block(offset, depth, expected, bound);
  }

  std::unordered_set<std::uint64_t>& Visited(Tree tree) {
    return tree == Tree::kNode ? s_.visitedNodePages : s_.visitedBlockPages;
  }

  int KeyMismatch(Tree tree, std::uint64_t offset, std::uint64_t key, std::uint64_t expected) {
    // A page that reads as written but is not the one the entry expected: a wrong offset.
    return Fail(PageDamage(s_, offset, DamageKind::kBadReference),
                std::string(tree == Tree::kNode ? "NBT" : "BBT") + " page at " + Hex(offset) +
                    ": first key " + Hex(key) + " where " + Hex(expected) + " was expected");
  }

  StoreFile& s_;
  const PageLayout& layout_;
  const std::size_t w_;
  const RunControl* control_;
  std::string failure_;
  DamageKind failureKind_ = DamageKind::kUnreadable;
  bool walkedAgain_ = false;  // the last failure was a page met again
};

// The first block of node 0x21's data, as the file stores it.
std::optional<std::pair<const BlockEntry*, StoredBlock>> MessageStoreBlock(StoreFile& store) {
  const StoreNode* node = FindNode(store, kMessageStoreNid);
  if (node == nullptr || node->dataBlock == nullptr) return std::nullopt;
  std::uint64_t id = node->dataBlock->id;
  if (node->dataBlock->IsInternal()) {
    std::optional<Bytes> tree = ReadBlock(store, id);
    if (!tree || ByteAt(*tree, 0) != 0x01) return std::nullopt;
    id = LoadLeN(*tree, 8, store.Layout()->idWidth).value_or(0);
  }
  const BlockEntry* entry = FindBlock(store, id);
  if (entry == nullptr) return std::nullopt;
  return std::make_pair(entry, ReadStoredBlock(store, *entry));
}

}  // namespace

void SettleEncoding(StoreFile& store) {
  const std::uint8_t header = store.headerCryptMethod;
  const bool headerKnown = header <= 2;
  const auto headerMethod = static_cast<EncodingMethod>(header);
  const auto block = MessageStoreBlock(store);
  auto decodesWith = [&store, &block](EncodingMethod method) {
    const std::optional<Bytes> data = BlockContent(store, *block->first, block->second, method, false);
    return data && LooksLikePropertyContextHeap(*data);
  };
  if (!block) {
    store.encoding = headerKnown ? headerMethod : EncodingMethod::kPermute;
    store.encodingFromHeader = headerKnown;
    return;
  }
  if (headerKnown && decodesWith(headerMethod)) {
    store.encoding = headerMethod;
    store.encodingFromHeader = true;
    return;
  }
  store.encodingFromHeader = false;
  for (EncodingMethod method :
       {EncodingMethod::kPermute, EncodingMethod::kNone, EncodingMethod::kCyclic}) {
    if (decodesWith(method)) {
      store.encoding = method;
      store.damage.Report(DamageKind::kInconsistent, "HEADER", store.Layout()->bCryptMethod,
                          "bCryptMethod " + Hex(header) + " does not decode node 0x21; " +
                              EncodingName(method) + " does: using it");
      return;
    }
  }
  store.encoding = EncodingMethod::kPermute;
  const BlockEntry& entry = *block->first;
  DamageReport report{BlockDamage(store, entry, DamageKind::kUnreadable),
                      "NBT",
                      entry.offset,
                      static_cast<std::uint32_t>(BlockExtent(store, entry)),
                      kMessageStoreNid,
                      "node 0x21 decodes with no known method: assuming permute"};
  store.damage.Report(std::move(report));
}

bool LooksLikePropertyContextHeap(ByteSpan data) {
  const std::optional<std::uint16_t> ibHnpm = LoadLe16(data, 0);
  return data.size() >= 12 && ibHnpm && ByteAt(data, 2) == 0xEC && ByteAt(data, 3) == 0xBC &&
         InBounds(data.size(), *ibHnpm, 4);
}

int WalkBlockTree(StoreFile& store, std::uint64_t offset, int depth,
                  std::optional<std::uint64_t> expectedKey, std::uint64_t bound) {
  if (store.Layout() == nullptr || !store.file) return kWalkFailed;
  TreeWalker walker(store, nullptr);
  return walker.Block(offset, depth, expectedKey, bound);
}

int WalkNodeTree(StoreFile& store, std::uint64_t offset, int depth,
                 std::optional<std::uint64_t> expectedKey, std::uint64_t bound,
                 const RunControl* control) {
  if (store.Layout() == nullptr || !store.file) return kWalkFailed;
  TreeWalker walker(store, control);
  return walker.Node(offset, depth, expectedKey, bound);
}

const StoreNode* FindNode(const StoreFile& store, std::uint32_t nid) {
  return store.nodes.Find(nid);
}

int IndexBlockTree(StoreFile& store) {
  if (store.Layout() == nullptr || !store.file) return 2;
  TreeWalker walker(store, nullptr);
  try {
    store.visitedBlockPages.clear();
    int result = walker.Block(store.blockTreeRootOffset, 0, std::nullopt, kNoBound);
    if (result == kWalkFailed) store.blockLeafDepth = 0;
    if (result == kWalkFailed || result == kWalkRereadAsLeaf) {
      store.visitedBlockPages.clear();
      // A leaf root must begin with the first block id, 4.
      result = walker.Block(store.blockTreeRootOffset, 0, 4, kNoBound);
      if (result == kWalkFailed) {
        store.damage.Report(walker.failureKind(), "HEADER", store.blockTreeRootOffset,
                            "block B-tree root unreadable: " + walker.failure());
        return 2;
      }
    }
  } catch (const std::bad_alloc&) {
    store.damage.Report(DamageKind::kInconsistent, "BBT", store.blockTreeRootOffset,
                        "out of memory: walk ended");
  }
  return 0;
}

int IndexNodeTree(StoreFile& store, const RunControl* control) {
  if (store.Layout() == nullptr || !store.file) return 2;
  TreeWalker walker(store, control);
  int status = 0;
  try {
    store.visitedNodePages.clear();
    int result = walker.Node(store.nodeTreeRootOffset, 0, kMessageStoreNid, kNoBound);
    if (result == kWalkFailed) store.nodeLeafDepth = 0;
    if (result == kWalkFailed || result == kWalkRereadAsLeaf) {
      store.visitedNodePages.clear();
      result = walker.Node(store.nodeTreeRootOffset, 0, kMessageStoreNid, kNoBound);
      if (result == kWalkFailed) {
        store.damage.Report(walker.failureKind(), "HEADER", store.nodeTreeRootOffset,
                            "node B-tree root unreadable: " + walker.failure());
        status = 2;
      }
    }
  } catch (const std::bad_alloc&) {
    store.damage.Report(DamageKind::kInconsistent, "NBT", store.nodeTreeRootOffset,
                        "out of memory: walk ended");
  }
  return status;
}

int IndexStore(StoreFile& store, const RunControl* control) {
  if (store.Layout() == nullptr || !store.file) return 2;
  if (IndexBlockTree(store) != 0) return 2;
  const int status = IndexNodeTree(store, control);
  try {
    SettleEncoding(store);
  } catch (const std::bad_alloc&) {
    store.encoding = EncodingMethod::kPermute;
  }
  return status;
}

}  // namespace palvara
