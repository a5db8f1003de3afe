#include "reader/index_rebuild_nodes.h"

#include <algorithm>
#include <deque>
#include <new>
#include <string>
#include <unordered_set>

#include "reader/block_access.h"
#include "reader/btree_walk.h"

namespace palvara::rebuild {
namespace {

constexpr std::uint32_t kInternalType = 0x01;  // the message store, the name-to-id map
constexpr std::uint32_t kSearchFolderType = 0x03;

// The cLevel of the B-tree page at `offset` when its trailer names it a page of that tree.
std::optional<std::uint8_t> PageLevel(StoreFile& store, std::uint64_t offset, std::uint8_t type) {
  if (store.Layout() == nullptr) return std::nullopt;
  const Bytes page = ReadBlockAt(store, offset, store.Layout()->pageSize);
  const auto found = CheckPageTrailer(page, offset, ScanLayoutOf(*store.Layout()));
  if (!found || found->type != type) return std::nullopt;
  return found->level;
}

}  // namespace

// The walk finds the leaf level by trial: with the first leaf of a tree lost it takes a higher
// level for the leaves, reads intermediate pages as leaves and never reaches the real ones.
bool LeafLevelMisread(StoreFile& store, bool blockTree) {
  const std::uint8_t depth = blockTree ? store.blockLeafDepth : store.nodeLeafDepth;
  const auto level =
      PageLevel(store, blockTree ? store.blockTreeRootOffset : store.nodeTreeRootOffset,
                blockTree ? kPageTypeBlockTree : kPageTypeNodeTree);
  return level && depth != 255 && depth != *level;
}

namespace {

class IndexRepair {
 public:
  IndexRepair(RebuildState& state, const RunControl* control)
      : s_(state.store), state_(state), control_(control) {}

  void Run(LayoutScan& found) {
    state_.maps.emplace(s_, found, AllocationMapsValid());
    RewalkMisreadTrees();
    DiscardMisreadWalk();
    FindRoots(found);
    state_.treeBlocks = s_.blocks.Size();
    AddBlocks(found, *state_.maps);
    // The node entries come next, while the tree grows: the scanned blocks are in the index.
    std::deque<ScannedBlock>().swap(found.blocks);
    AddNodeEntries(found, *state_.maps);
    for (std::uint32_t nid : s_.nodes.RelinkBlocks(s_.blocks)) s_.recoveredNodes.insert(nid);
    try {
      SettleEncoding(s_);
    } catch (const std::bad_alloc&) {
      s_.encoding = EncodingMethod::kPermute;
    }
  }

 private:
  // fAMapValid: 0 means the maps were not kept up to date; with no usable header, trust the
  // maps whose own CRC holds.
  bool AllocationMapsValid() {
    // Tolerant: ANSI stores of older Outlook versions leave live blocks in slots their maps
    // call free; their maps are not used.
    if (s_.IsAnsi()) return false;
    if (s_.recovery.layoutFromScan) return true;
    const Bytes flag = ReadBlockAt(s_, s_.Layout()->fAMapValid, 1);
    return flag.size() == 1 && flag[0] != std::byte{0};
  }

  // Trees whose leaf level the walk misjudged are walked again with the level their root page
  // states. The node tree is walked again whenever the block index is (it points into it).
  void RewalkMisreadTrees() {
    const bool blocks = LeafLevelMisread(s_, true);
    const bool nodes = LeafLevelMisread(s_, false);
    if (!blocks && !nodes) return;
    if (blocks) {
      s_.damage.Report(DamageKind::kUnreadable, "BBT", s_.blockTreeRootOffset,
                       "first leaf lost: walked again at the leaf level the root states");
      s_.nodes.Clear();
      s_.blocks.Clear();
      s_.staleBlockEntries.clear();
      s_.visitedBlockPages.clear();
      s_.blockLeafDepth = *PageLevel(s_, s_.blockTreeRootOffset, kPageTypeBlockTree);
      s_.blockLeafSeen = true;
      WalkBlockTree(s_, s_.blockTreeRootOffset, 0, std::nullopt, kNoBound);
    }
    if (nodes) {
      s_.damage.Report(DamageKind::kUnreadable, "NBT", s_.nodeTreeRootOffset,
                       "first leaf lost: walked again at the leaf level the root states");
    }
    s_.nodes.Clear();
    s_.staleNodeEntries.clear();
    s_.walkedNodeLeaves.clear();
    s_.visitedNodePages.clear();
    if (const auto level = PageLevel(s_, s_.nodeTreeRootOffset, kPageTypeNodeTree)) {
      s_.nodeLeafDepth = *level;
      s_.nodeLeafSeen = true;
      WalkNodeTree(s_, s_.nodeTreeRootOffset, 0, kMessageStoreNid, kNoBound, control_);
    }
  }

  // The walk finds the leaf level by trial: with the first leaf lost it reads an intermediate
  // page as a leaf and places its child references as nodes. Such a tree is dropped whole; the
  // leaf pages the scan finds rebuild it.
  void DiscardMisreadWalk() {
    const PageLayout& layout = *s_.Layout();
    for (const StoreFile::WalkedLeaf& leaf : s_.walkedNodeLeaves) {
      const Bytes page = ReadBlockAt(s_, leaf.offset, s_.Layout()->pageSize);
      if (ByteAt(page, layout.CLevelAt()) == 0) continue;
      s_.damage.Report(DamageKind::kInconsistent, "NBT", leaf.offset,
                       "intermediate page read as a leaf: node tree rebuilt from the scan");
      s_.nodes.Clear();
      s_.walkedNodeLeaves.clear();
      s_.visitedNodePages.clear();
      return;
    }
  }

  void FindRoots(const LayoutScan& scan) {
    // The node walk does not run when the block walk fails: it runs now from the header's
    // root, when that is a node B-tree page.
    if (s_.nodes.First() == nullptr && !s_.recovery.layoutFromScan) {
      for (const ScannedPage& page : scan.pages) {
        if (page.type != kPageTypeNodeTree || page.offset != s_.nodeTreeRootOffset) continue;
        s_.nodeLeafDepth = 255;
        s_.nodeLeafSeen = false;
        s_.walkedNodeLeaves.clear();
        IndexNodeTree(s_, control_);
        break;
      }
    }
    // Tolerant: no node B-tree root is taken from the scan. An older root still in the file
    // leads to an older tree, whose entries would then win over the newer leaf pages; the
    // leaf pages alone, newest first, give the current state.
  }

  // Blocks missing from the index: sound ones first, then those whose CRC failed, for ids
  // still missing. Blocks in space a sound allocation map calls free are old copies.
  void AddBlocks(const LayoutScan& scan, const AllocationMaps& maps) {
    for (bool sound : {true, false}) {
      for (const ScannedBlock& b : scan.blocks) {
        if (b.crcValid != sound || !maps.MaybeInUse(b.offset)) continue;
        if (s_.blocks.Find(b.id) != nullptr) continue;
        s_.blocks.Append(BlockEntry(b.id, b.offset, b.size, 1));
        ++s_.recovery.blocksAdded;
        s_.recovery.AddRecoveredExtent(b.offset, s_.Layout()->BlockSize(b.size));
      }
    }
  }

  // The entries of a scanned leaf page into `entries`, up to the first out of order.
  void LeafEntries(const ScannedPage& page, std::vector<NodeEntry>& entries) {
    const PageLayout& layout = *s_.Layout();
    const std::size_t w = layout.idWidth;
    entries.clear();
    page_.clear();
    AppendBlockAt(s_, page.offset, layout.pageSize, page_);
    const ByteSpan p(page_);
    std::uint32_t last = 0;
    for (std::size_t i = 0; i < page.entries; ++i) {
      const std::size_t at = i * layout.nodeLeafEntry;
      if (at + layout.nodeLeafEntry > layout.entryArea || !InBounds(p.size(), at, 3 * w + 4)) break;
      NodeEntry e;
      e.nid = static_cast<std::uint32_t>(LoadLeN(p, at, w).value_or(0));
      if (e.nid == 0 || e.nid <= last) break;  // Tolerant: a page cut short keeps its start.
      e.bidData = LoadLeN(p, at + w, w).value_or(0);
      e.bidSub = LoadLeN(p, at + 2 * w, w).value_or(0);
      e.nidParent = LoadLe32(p, at + 3 * w).value_or(0);
      entries.push_back(e);
      last = e.nid;
    }
  }

  // Whether an entry of a scanned page may be kept: it does not name itself as its parent, and
  // its data block is in the index (which is complete by now: scanned entries come after the
  // scanned blocks), within the bound on entries sharing a block; or it is a node that may
  // hold others (a folder, the message store), whose lost data the pass can make up, within
  // the bound on those. A message without its data holds nothing to recover.
  enum class Verdict { kKept, kUnkept, kCrowded };
  Verdict Keepable(const NodeEntry& e) {
    // Tolerant: only the root folder is its own parent; another node that says so would sit
    // at the top level beside the message store, out of the folders' reach.
    if (e.nidParent == e.nid && e.nid != kRootFolderNid) return Verdict::kUnkept;
    const std::uint32_t position = s_.blocks.FindPosition(e.bidData);
    if (position != FirstPositionIndex::kNone) {
      // A bit for each block of the index: whether a kept entry uses it.
      if (blockUsed_.size() < s_.blocks.Size()) blockUsed_.resize(s_.blocks.Size());
      if (!blockUsed_[position]) {
        blockUsed_[position] = true;
        ++blocksUsed_;
        return Verdict::kKept;
      }
      if (shared_ >= std::max(kScannedSharedEntriesFloor, blocksUsed_)) return Verdict::kCrowded;
      ++shared_;
      return Verdict::kKept;
    }
    const std::uint32_t type = e.nid & 0x1F;
    if (type != kInternalType && type != kFolderType && type != kSearchFolderType) {
      return Verdict::kUnkept;
    }
    return dataless_++ < kMaxScannedEntriesWithoutData ? Verdict::kKept : Verdict::kUnkept;
  }

  // Node entries of leaf pages the walk did not read. The tree's own ranges win; then pages
  // decide newest first (sound pages before damaged ones), each over its whole key range, so
  // that an old copy of a page cannot bring back a node a newer page no longer lists.
  void AddNodeEntries(const LayoutScan& scan, const AllocationMaps& maps) {
    // Only pages that are leaves by their own metadata: the walk reads a page as a leaf by
    // trial, and an intermediate page read so would claim keys it does not hold.
    std::unordered_set<std::uint64_t> leaves;
    for (const ScannedPage& page : scan.pages) {
      if (page.type == kPageTypeNodeTree && page.level == 0) leaves.insert(page.offset);
    }
    for (const StoreFile::WalkedLeaf& leaf : s_.walkedNodeLeaves) {
      if (leaves.count(leaf.offset) != 0) state_.covered.Add(leaf.first, leaf.last);
    }
    std::vector<const ScannedPage*> pages;
    for (const ScannedPage& page : scan.pages) {
      if (page.type != kPageTypeNodeTree || page.level != 0) continue;
      if (s_.visitedNodePages.count(page.offset) != 0 || !maps.MaybeInUse(page.offset)) continue;
      pages.push_back(&page);
    }
    std::sort(pages.begin(), pages.end(), [](const ScannedPage* a, const ScannedPage* b) {
      return std::make_pair(a->crcValid, a->id) > std::make_pair(b->crcValid, b->id);
    });
    // The entries kept, packed and in a deque: they may be millions, and a vector that grows
    // holds its old and new storage at once.
    struct Kept {
      std::uint64_t bidData, bidSub;
      std::uint32_t nid, nidParent;
    };
    std::deque<Kept> accepted;
    std::vector<NodeEntry> entries;
    std::size_t unkept = 0, crowded = 0;
    for (const ScannedPage* page : pages) {
      LeafEntries(*page, entries);
      if (entries.empty()) continue;
      const std::uint64_t first = entries.front().nid, last = entries.back().nid;
      if (state_.covered.Contains(first, last)) continue;
      const bool partly = state_.covered.Overlaps(first, last);
      const std::size_t before = accepted.size();
      for (const NodeEntry& e : entries) {
        if ((partly && state_.covered.Contains(e.nid)) || s_.nodes.Find(e.nid) != nullptr) continue;
        switch (Keepable(e)) {
          case Verdict::kKept:
            accepted.push_back({e.bidData, e.bidSub, e.nid, e.nidParent});
            break;
          case Verdict::kUnkept:
            ++unkept;
            break;
          case Verdict::kCrowded:
            ++crowded;
            break;
        }
      }
      if (accepted.size() > before) {
        s_.recovery.AddRecoveredExtent(page->offset, s_.Layout()->pageSize);
      }
      state_.covered.Add(first, last);
    }
    blockUsed_ = {};
    if (unkept > 0 || crowded > 0) {
      s_.damage.Report(DamageKind::kInconsistent, "NBT", 0,
                       std::to_string(unkept + crowded) +
                           " node entries of pages the walk did not reach left out: " +
                           std::to_string(unkept) + " without data or their own parents, " +
                           std::to_string(crowded) + " sharing data blocks beyond the bound");
    }
    std::sort(accepted.begin(), accepted.end(),
              [](const Kept& a, const Kept& b) { return a.nid < b.nid; });
    s_.recovery.nodesAdded = accepted.size();
    s_.recoveredNodes.reserve(s_.recoveredNodes.size() + accepted.size());
    ParentCache cache;
    // Each entry goes as its node is made, so that the two do not add up.
    for (; !accepted.empty(); accepted.pop_front()) {
      const Kept& e = accepted.front();
      s_.nodes.Place(NodeEntry{e.nid, e.bidData, e.bidSub, e.nidParent}, s_.blocks, cache,
                     s_.damage);
      s_.recoveredNodes.insert(e.nid);
    }
  }

  StoreFile& s_;
  RebuildState& state_;
  const RunControl* control_;
  Bytes page_;                   // the page LeafEntries read last
  std::vector<bool> blockUsed_;  // by index position: a kept entry uses the block
  std::size_t blocksUsed_ = 0;   // blocks kept entries use
  std::size_t shared_ = 0;       // entries kept on a block another kept entry uses
  std::size_t dataless_ = 0;     // entries kept without data
};

}  // namespace

void RepairIndexes(RebuildState& state, LayoutScan& found, const RunControl* control) {
  IndexRepair(state, control).Run(found);
}

}  // namespace palvara::rebuild
