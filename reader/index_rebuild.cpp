#include "reader/index_rebuild.h"

#include <algorithm>
#include <map>
#include <new>
#include <optional>
#include <tuple>
#include <unordered_map>

#include "reader/block_access.h"
#include "reader/btree_walk.h"
#include "reader/orphan_messages.h"
#include "reader/property_list.h"
#include "reader/recovered_blocks.h"
#include "reader/store_scan.h"

namespace palvara {
namespace {

constexpr std::uint32_t kMessageStoreNid = 0x21;
constexpr std::uint32_t kDefaultTopFolder = 0x2142;
constexpr std::uint32_t kRootFolderNid = 0x122;
constexpr std::uint32_t kFolderType = 0x02;
constexpr std::uint32_t kMessageType = 0x04;
constexpr std::uint32_t kHierarchyTableType = 0x0D;
constexpr std::uint32_t kContentsTableType = 0x0E;
// A folder id beyond any a store hands out (index 0x7FFFFFE), for "Recovered Items".
constexpr std::uint32_t kRecoveredItemsNid = (0x7FFFFFEu << 5) | kFolderType;
constexpr std::uint64_t kFirstAllocationMap = 0x4400;
constexpr std::uint64_t kAllocationMapSpan = 253952;
constexpr std::size_t kAllocationMapBytes = 496;

// Key ranges the tree (or a newer page) speaks for, merged.
class KeyRanges {
 public:
  void Add(std::uint64_t first, std::uint64_t last) {
    if (last < first) return;
    auto it = ranges_.upper_bound(first);
    if (it != ranges_.begin() && std::prev(it)->second >= first - (first > 0 ? 1 : 0)) {
      --it;
      first = it->first;
      last = std::max(last, it->second);
      it = ranges_.erase(it);
    }
    while (it != ranges_.end() && (last == UINT64_MAX || it->first <= last + 1)) {
      last = std::max(last, it->second);
      it = ranges_.erase(it);
    }
    ranges_[first] = last;
  }
  bool Contains(std::uint64_t key) const {
    auto it = ranges_.upper_bound(key);
    return it != ranges_.begin() && std::prev(it)->second >= key;
  }

 private:
  std::map<std::uint64_t, std::uint64_t> ranges_;
};

// The allocation maps whose CRC held: which 64-byte slots of the file are in use.
class AllocationMaps {
 public:
  AllocationMaps(StoreFile& store, const LayoutScan& scan, bool usable) {
    if (!usable) return;
    for (const ScannedPage& page : scan.pages) {
      if (page.type != kPageTypeAllocationMap || !page.crcValid) continue;
      Bytes bits = ReadBlockAt(store, page.offset, kAllocationMapBytes);
      if (bits.size() == kAllocationMapBytes) maps_.emplace(page.offset, std::move(bits));
    }
  }

  // False only when a sound map says the slot at `offset` is free.
  bool MaybeInUse(std::uint64_t offset) const { return SlotInUse(offset).value_or(true); }
  // True only when a sound map says the slot at `offset` is in use.
  bool KnownInUse(std::uint64_t offset) const { return SlotInUse(offset).value_or(false); }

 private:
  // What the map covering `offset` says of its slot; nullopt when no sound map covers it.
  std::optional<bool> SlotInUse(std::uint64_t offset) const {
    if (offset < kFirstAllocationMap) return std::nullopt;
    const std::uint64_t map =
        kFirstAllocationMap + (offset - kFirstAllocationMap) / kAllocationMapSpan * kAllocationMapSpan;
    auto it = maps_.find(map);
    if (it == maps_.end()) return std::nullopt;
    const std::uint64_t slot = (offset - map) / 64;
    const auto byte = std::to_integer<std::uint8_t>(it->second[slot / 8]);
    return (byte & (0x80u >> (slot % 8))) != 0;
  }

  std::unordered_map<std::uint64_t, Bytes> maps_;
};

// The cLevel of the B-tree page at `offset` when its trailer names it a page of that tree.
std::optional<std::uint8_t> PageLevel(StoreFile& store, std::uint64_t offset, std::uint8_t type) {
  if (store.Layout() == nullptr) return std::nullopt;
  const Bytes page = ReadBlockAt(store, offset, kPageSize);
  const auto found =
      CheckPageTrailer(page, offset, store.IsAnsi() ? ScanLayout::kAnsi : ScanLayout::kUnicode);
  if (!found || found->type != type) return std::nullopt;
  return found->level;
}

// The walk finds the leaf level by trial: with the first leaf of a tree lost it takes a higher
// level for the leaves, reads intermediate pages as leaves and never reaches the real ones.
bool LeafLevelMisread(StoreFile& store, bool blockTree) {
  const std::uint8_t depth = blockTree ? store.blockLeafDepth : store.nodeLeafDepth;
  const auto level = PageLevel(store, blockTree ? store.blockTreeRootOffset : store.nodeTreeRootOffset,
                               blockTree ? kPageTypeBlockTree : kPageTypeNodeTree);
  return level && depth != 255 && depth != *level;
}

// Whether the node's data reads as a property list.
bool HoldsProperties(StoreFile& store, const StoreNode& node) {
  if (node.dataBlock == nullptr) return false;
  SubnodeList subnodes;
  if (node.subnodeBlock != nullptr) ReadSubnodes(store, node.subnodeBlock, subnodes);
  return ReadPropertyList(store, node.dataBlock, subnodes) != nullptr;
}

class Rebuild {
 public:
  Rebuild(StoreFile& store, const RecoveryOptions& options)
      : s_(store), options_(options) {}

  void Run() {
    RecoverySummary& summary = s_.recovery;
    summary.ran = true;
    const bool walkDamaged = s_.damage.Count() > 0;
    // Nodes the walk alone reaches with data: everything else the pass makes readable.
    std::unordered_set<std::uint32_t> before;
    s_.nodes.ForEachPreorder([&before](const StoreNode& n, int) {
      if (n.dataBlock != nullptr) before.insert(n.nid);
    });

    ScanOptions scanOptions;
    if (s_.IsAnsi()) scanOptions.layout = ScanLayout::kAnsi;
    if (s_.IsUnicode()) scanOptions.layout = ScanLayout::kUnicode;
    scanOptions.progress = options_.progress;
    scanOptions.control = options_.control;
    const ScanResult scan = ScanStore(*s_.file, scanOptions);
    summary.bytesScanned = scan.bytesScanned;
    const std::optional<ScanLayout> layout = scan.BestLayout();
    if (!layout) {
      s_.damage.Report("SCAN", 0, "no page or block of either layout found: nothing to rebuild");
      return;
    }
    const LayoutScan& found = *scan.Of(*layout);
    summary.pagesFound = found.pages.size();
    summary.blocksFound = found.blocks.size();
    if (s_.Layout() == nullptr) {
      s_.wVer = *layout == ScanLayout::kAnsi ? 14 : 23;
      summary.layoutFromScan = true;
      s_.damage.Report("HEADER", 10,
                       std::string("format version unusable: the file's pages are ") +
                           (*layout == ScanLayout::kAnsi ? "ANSI" : "Unicode"));
    }
    maps_.emplace(s_, found, AllocationMapsValid());
    RewalkMisreadTrees();
    DiscardMisreadWalk();
    FindRoots(found);
    treeBlocks_ = s_.blocks.Size();
    AddBlocks(found, *maps_);
    AddNodeEntries(found, *maps_);
    for (std::uint32_t nid : s_.nodes.RelinkBlocks(s_.blocks)) s_.recoveredNodes.insert(nid);
    try {
      SettleEncoding(s_);
    } catch (const std::bad_alloc&) {
      s_.encoding = EncodingMethod::kPermute;
    }
    const StoreNode* messageStore = FindNode(s_, kMessageStoreNid);
    if (messageStore == nullptr || !HoldsProperties(s_, *messageStore)) RebuildMessageStore();
    RebuildFolders();
    AdoptOrphanMessages(walkDamaged);
    RefileByContentsRows();
    s_.nodes.ForEachPreorder([this, &before](const StoreNode& n, int) {
      if (n.dataBlock != nullptr && before.count(n.nid) == 0) s_.recoveredNodes.insert(n.nid);
    });
  }

 private:
  // fAMapValid: 0 means the maps were not kept up to date; with no usable header, trust the
  // maps whose own CRC holds.
  bool AllocationMapsValid() {
    // Tolerant: ANSI stores of older Outlook versions leave live blocks in slots their maps
    // call free; their maps are not used.
    if (s_.IsAnsi()) return false;
    if (s_.recovery.layoutFromScan) return true;
    const Bytes flag = ReadBlockAt(s_, s_.IsAnsi() ? 200 : 248, 1);
    return flag.size() == 1 && flag[0] != std::byte{0};
  }

  // Trees whose leaf level the walk misjudged are walked again with the level their root page
  // states. The node tree is walked again whenever the block index is (it points into it).
  void RewalkMisreadTrees() {
    const bool blocks = LeafLevelMisread(s_, true);
    const bool nodes = LeafLevelMisread(s_, false);
    if (!blocks && !nodes) return;
    if (blocks) {
      s_.damage.Report("BBT", s_.blockTreeRootOffset,
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
      s_.damage.Report("NBT", s_.nodeTreeRootOffset,
                       "first leaf lost: walked again at the leaf level the root states");
    }
    s_.nodes.Clear();
    s_.staleNodeEntries.clear();
    s_.walkedNodeLeaves.clear();
    s_.visitedNodePages.clear();
    if (const auto level = PageLevel(s_, s_.nodeTreeRootOffset, kPageTypeNodeTree)) {
      s_.nodeLeafDepth = *level;
      s_.nodeLeafSeen = true;
      WalkNodeTree(s_, s_.nodeTreeRootOffset, 0, kMessageStoreNid, kNoBound, options_.control);
    }
  }

  // The walk finds the leaf level by trial: with the first leaf lost it reads an intermediate
  // page as a leaf and places its child references as nodes. Such a tree is dropped whole; the
  // leaf pages the scan finds rebuild it.
  void DiscardMisreadWalk() {
    const PageLayout& layout = *s_.Layout();
    for (const StoreFile::WalkedLeaf& leaf : s_.walkedNodeLeaves) {
      const Bytes page = ReadBlockAt(s_, leaf.offset, kPageSize);
      if (ByteAt(page, layout.entryArea + 3) == 0) continue;
      s_.damage.Report("NBT", leaf.offset,
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
        IndexNodeTree(s_, options_.control);
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
        BlockEntry entry;
        entry.id = b.id;
        entry.offset = b.offset;
        entry.size = b.size;
        entry.referenceCount = 1;
        s_.blocks.Append(entry);
        ++s_.recovery.blocksAdded;
      }
    }
  }

  std::vector<NodeEntry> LeafEntries(const ScannedPage& page) {
    const PageLayout& layout = *s_.Layout();
    const std::size_t w = layout.idWidth;
    const Bytes bytes = ReadBlockAt(s_, page.offset, kPageSize);
    const ByteSpan p(bytes);
    std::vector<NodeEntry> entries;
    std::uint32_t last = 0;
    for (std::size_t i = 0; i < page.entries; ++i) {
      const std::size_t at = i * layout.nodeLeafEntry;
      if (at + layout.nodeLeafEntry > layout.entryArea) break;
      NodeEntry e;
      e.nid = static_cast<std::uint32_t>(LoadLeN(p, at, w).value_or(0));
      if (e.nid == 0 || e.nid <= last) break;  // Tolerant: a page cut short keeps its start.
      e.bidData = LoadLeN(p, at + w, w).value_or(0);
      e.bidSub = LoadLeN(p, at + 2 * w, w).value_or(0);
      e.nidParent = LoadLe32(p, at + 3 * w).value_or(0);
      entries.push_back(e);
      last = e.nid;
    }
    return entries;
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
      if (leaves.count(leaf.offset) != 0) covered_.Add(leaf.first, leaf.last);
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
    std::vector<NodeEntry> accepted;
    for (const ScannedPage* page : pages) {
      const std::vector<NodeEntry> entries = LeafEntries(*page);
      if (entries.empty()) continue;
      for (const NodeEntry& e : entries) {
        if (covered_.Contains(e.nid) || s_.nodes.Find(e.nid) != nullptr) continue;
        accepted.push_back(e);
      }
      covered_.Add(entries.front().nid, entries.back().nid);
    }
    std::sort(accepted.begin(), accepted.end(),
              [](const NodeEntry& a, const NodeEntry& b) { return a.nid < b.nid; });
    ParentCache cache;
    for (const NodeEntry& e : accepted) {
      s_.nodes.Place(e, s_.blocks, cache, s_.damage);
      s_.recoveredNodes.insert(e.nid);
    }
    s_.recovery.nodesAdded = accepted.size();
  }

  // With node 0x21 lost, the encoding is the one that makes most node data blocks heaps.
  void SettleEncodingByTrial() {
    std::vector<const BlockEntry*> sample;
    s_.nodes.ForEachPreorder([&sample](const StoreNode& n, int) {
      if (sample.size() < 64 && n.dataBlock != nullptr && !n.dataBlock->IsInternal()) {
        sample.push_back(n.dataBlock);
      }
    });
    std::size_t best = 0;
    for (EncodingMethod method :
         {EncodingMethod::kPermute, EncodingMethod::kNone, EncodingMethod::kCyclic}) {
      std::size_t heaps = 0;
      for (const BlockEntry* block : sample) {
        Bytes data = ReadBlockAt(s_, block->offset, std::min<std::uint32_t>(block->size, 16));
        DecodeBlock(data, method, block->id);
        heaps += ByteAt(data, 2) == 0xEC ? 1 : 0;
      }
      if (heaps > best) {
        best = heaps;
        s_.encoding = method;
      }
    }
  }

  void MarkSubtree(const StoreNode& top) {
    s_.recoveredNodes.insert(top.nid);
    std::vector<const StoreNode*> work{top.firstChild};
    while (!work.empty()) {
      const StoreNode* n = work.back();
      work.pop_back();
      for (; n != nullptr; n = n->nextSibling) {
        s_.recoveredNodes.insert(n->nid);
        if (n->firstChild != nullptr) work.push_back(n->firstChild);
      }
    }
  }

  // The number of nodes below `node`.
  static std::size_t SubtreeSize(const StoreNode& node) {
    std::size_t count = 0;
    std::vector<const StoreNode*> work{node.firstChild};
    while (!work.empty()) {
      const StoreNode* n = work.back();
      work.pop_back();
      for (; n != nullptr; n = n->nextSibling) {
        ++count;
        if (n->firstChild != nullptr) work.push_back(n->firstChild);
      }
    }
    return count;
  }

  // The message store node (and the root folder) lost with their leaf page: made up, so that
  // the folders below can be reached. The top of the personal folders is the root folder's
  // subfolder with the most nodes below it.
  void RebuildMessageStore() {
    SettleEncodingByTrial();
    const bool nodeLost = FindNode(s_, kMessageStoreNid) == nullptr;
    s_.damage.Report(
        nodeLost ? "NBT" : "PC", kMessageStoreNid,
        std::string(nodeLost ? "message store node lost" : "message store data unreadable") +
            ": rebuilt, encoding " + std::string(EncodingName(s_.encoding)) + " found by trial");
    ParentCache cache;
    if (FindNode(s_, kRootFolderNid) == nullptr) {
      if (const BlockEntry* block = FolderBlock(kRootFolderNid, nullptr)) {
        s_.nodes.Place(NodeEntry{kRootFolderNid, block->id, 0, kRootFolderNid}, s_.blocks, cache,
                       s_.damage);
      }
    }
    const StoreNode* root = FindNode(s_, kRootFolderNid);
    const StoreNode* top = nullptr;
    std::size_t topSize = 0;
    for (const StoreNode* n = root ? root->firstChild : nullptr; n != nullptr; n = n->nextSibling) {
      const std::size_t size = n->NidType() == kFolderType ? SubtreeSize(*n) : 0;
      if (size > topSize) {
        top = n;
        topSize = size;
      }
    }
    const std::uint32_t topNid = top != nullptr ? top->nid : kDefaultTopFolder;
    Bytes entryId(24);
    StoreLe(entryId, 20, topNid, 4);
    std::vector<MadeUpProperty> properties = FolderProperties("Personal Folders", "", 0, false);
    properties.erase(properties.begin() + 1, properties.end());
    properties.push_back({0x35E0, 0x0102, entryId});
    const BlockEntry* block = AddMadeUpBlock(s_, BuildPropertyContext(std::move(properties)));
    if (block == nullptr) return;
    s_.nodes.Place(NodeEntry{kMessageStoreNid, block->id, 0, 0}, s_.blocks, cache, s_.damage);
    s_.nodes.MoveToFront(kMessageStoreNid);
    s_.recoveredNodes.insert(kMessageStoreNid);
  }

  std::unique_ptr<PropertyList> PropertiesOf(const StoreNode& node) {
    if (node.dataBlock == nullptr) return nullptr;
    SubnodeList subnodes;
    if (node.subnodeBlock != nullptr) ReadSubnodes(s_, node.subnodeBlock, subnodes);
    return ReadPropertyList(s_, node.dataBlock, subnodes);
  }

  std::uint32_t TopFolderNid() {
    const StoreNode* store = FindNode(s_, kMessageStoreNid);
    if (store == nullptr) return kDefaultTopFolder;
    const std::unique_ptr<PropertyList> list = PropertiesOf(*store);
    const PropertyEntry* id = list ? list->Find(0x35E0) : nullptr;
    if (id != nullptr && id->value && id->value->size() >= 24) return *LoadLe32(*id->value, 20);
    return kDefaultTopFolder;
  }

  // The row of every folder in the hierarchy tables the tree still reaches, by folder id, with
  // the folder whose table lists it.
  struct FolderRow {
    std::uint32_t parent = 0;
    std::vector<MadeUpProperty> properties;
  };

  void ReadHierarchyRows() {
    if (rowsRead_) return;
    rowsRead_ = true;
    std::vector<const StoreNode*> tables;
    s_.nodes.ForEachPreorder([&tables](const StoreNode& n, int) {
      if (n.NidType() == kHierarchyTableType) tables.push_back(&n);
    });
    for (const StoreNode* table : tables) {
      AddHierarchyRows(PropertiesOf(*table).get(), (table->nid & ~0x1Fu) | kFolderType);
    }
    ReadFreeHierarchyTables();
  }

  void AddHierarchyRows(const PropertyList* rows, std::uint32_t folder) {
    for (const PropertyList* row = rows; row != nullptr; row = row->next.get()) {
      const std::uint32_t nid = RowNid(*row);
      if ((nid & 0x1F) != kFolderType) continue;
      FolderRow entry;
      entry.parent = folder;
      for (const PropertyEntry& e : row->entries) {
        const bool kept = e.tag == 0x3001 || e.tag == 0x3613 || e.tag == 0x3602 ||
                          e.tag == 0x3603 || e.tag == 0x360A;
        if (kept && e.value) entry.properties.push_back({e.tag, e.type, *e.value});
      }
      rows_.emplace(nid, std::move(entry));
    }
  }

  // Hierarchy tables among the free blocks, for folders whose own table node is lost, newest
  // first: the parent of the folders they list that the tree still has, else the one folder
  // without a hierarchy table whose data says it has subfolders.
  void ReadFreeHierarchyTables() {
    std::vector<std::uint32_t> owners;
    s_.nodes.ForEachPreorder([this, &owners](const StoreNode& n, int) {
      if (n.NidType() != kFolderType ||
          FindNode(s_, (n.nid & ~0x1Fu) | kHierarchyTableType) != nullptr)
        return;
      const std::unique_ptr<PropertyList> list = PropertiesOf(n);
      const PropertyEntry* subfolders = list ? list->Find(0x360A) : nullptr;
      if (subfolders != nullptr && subfolders->value && ByteAt(*subfolders->value, 0) != 0) {
        owners.push_back(n.nid);
      }
    });
    std::unordered_set<std::uint32_t> claimed;
    for (const BlockEntry* block : Free().tables) {
      std::unique_ptr<PropertyList> rows = ReadFreeTable(s_, Free(), block, kFolderType);
      const RowOwner listed = CommonParentOfRows(s_, rows.get(), kFolderType);
      if (listed.rows == 0) continue;
      std::uint32_t owner = listed.commonParent;
      if (owner == 0) {
        for (std::uint32_t candidate : owners) {
          if (claimed.count(candidate) == 0) owner = owner == 0 ? candidate : UINT32_MAX;
        }
      }
      if (owner == 0 || owner == UINT32_MAX) continue;
      if (FindNode(s_, (owner & ~0x1Fu) | kHierarchyTableType) != nullptr) continue;
      if (!claimed.insert(owner).second) continue;
      AddHierarchyRows(rows.get(), owner);
    }
  }

  const FreeBlocks& Free() {
    if (!free_) {
      free_ = FindFreeBlocks(s_, treeBlocks_, [this](std::uint64_t offset) {
        return maps_ && maps_->KnownInUse(offset);
      });
    }
    return *free_;
  }

  static std::vector<MadeUpProperty> WithCounts(std::vector<MadeUpProperty> properties,
                                                const std::vector<MadeUpProperty>& defaults) {
    for (const MadeUpProperty& d : defaults) {
      const bool present = std::any_of(properties.begin(), properties.end(),
                                       [&d](const MadeUpProperty& p) { return p.id == d.id; });
      if (!present) properties.push_back(d);
    }
    return properties;
  }

  const BlockEntry* FolderBlock(std::uint32_t nid, const StoreNode* node) {
    std::int32_t children = node != nullptr ? node->childCount : 0;
    const bool subfolders = children > 0;
    const std::string fallback = "Recovered Folder " + Hex(nid);
    std::vector<MadeUpProperty> defaults = FolderProperties(
        fallback, "IPF.Note", static_cast<std::uint32_t>(children), subfolders);
    ReadHierarchyRows();
    auto row = rows_.find(nid);
    if (row == rows_.end() && nid != kRootFolderNid) ++guessedFolders_;
    std::vector<MadeUpProperty> properties =
        row != rows_.end() ? WithCounts(row->second.properties, defaults) : defaults;
    const Bytes heap = BuildPropertyContext(std::move(properties));
    ++s_.recovery.foldersRebuilt;
    return AddMadeUpBlock(s_, heap);
  }

  // Folders the tree reaches whose own data is gone, and folders lost entirely whose items
  // survive: rebuilt from their hierarchy row, or their items filed into "Recovered Items".
  void RebuildFolders() {
    std::vector<std::uint32_t> dataless;
    s_.nodes.ForEachPreorder([this, &dataless](const StoreNode& n, int) {
      if (n.NidType() != kFolderType) return;
      if (n.dataBlock == nullptr || PropertiesOf(n) == nullptr) dataless.push_back(n.nid);
    });
    for (std::uint32_t nid : dataless) {
      const StoreNode* folder = s_.nodes.Find(nid);
      if (const BlockEntry* block = FolderBlock(nid, folder)) {
        s_.nodes.SetDataBlock(nid, block);
        // Nothing below the folder was reachable without its data.
        MarkSubtree(*folder);
      }
    }

    // Orphans whose parent lies where the tree is intact were left out by the tree itself
    // (leftovers of deleted folders): they stay out.
    std::vector<const StoreNode*> lost;
    for (const StoreNode* orphan : s_.nodes.Orphans()) {
      if (!covered_.Contains(orphan->nidParent)) {
        lost.push_back(orphan);
      }
    }
    if (lost.empty()) return;
    ReadHierarchyRows();

    ParentCache cache;
    for (const StoreNode* orphan : lost) {
      if (!orphan->reachable) PlaceFolderFromRow(orphan->nidParent, cache);
    }
    const std::uint32_t top = TopFolderNid();
    PlaceFoldersFromFreeData(lost, top, cache);
    for (const StoreNode* orphan : lost) {
      if (orphan->reachable) continue;
      if (orphan->NidType() != kFolderType && orphan->NidType() != kMessageType) continue;
      if (!RecoveredItemsFolder(top)) return;
      if (s_.nodes.Adopt(orphan, kRecoveredItemsNid)) ++s_.recovery.itemsFiled;
    }
  }

  // A folder lost entirely that its parent's hierarchy table still lists: placed below that
  // parent with data made up from the row. False when the tree has no such row or parent.
  bool PlaceFolderFromRow(std::uint32_t nid, ParentCache& cache) {
    if (s_.nodes.Find(nid) != nullptr) return true;
    ReadHierarchyRows();
    auto row = rows_.find(nid);
    if (row == rows_.end() || s_.nodes.Find(row->second.parent) == nullptr) return false;
    const BlockEntry* block = FolderBlock(nid, nullptr);
    if (block == nullptr) return false;
    s_.nodes.Place(NodeEntry{nid, block->id, 0, row->second.parent}, s_.blocks, cache, s_.damage);
    return s_.nodes.Find(nid) != nullptr;
  }

  // Folders the hierarchy tables list whose contents table the tree does not have (or cannot
  // read), with the number of items their row gives.
  std::vector<TableOwner> FoldersWithoutContents() {
    ReadHierarchyRows();
    std::vector<TableOwner> owners;
    for (const auto& [nid, row] : rows_) {
      const StoreNode* table = s_.nodes.Find((nid & ~0x1Fu) | kContentsTableType);
      if (table != nullptr && PropertiesOf(*table) != nullptr) continue;
      for (const MadeUpProperty& p : row.properties) {
        if (p.id == 0x3602 && p.value.size() >= 4) owners.push_back({nid, *LoadLe32(p.value, 0)});
      }
    }
    std::sort(owners.begin(), owners.end(),
              [](const TableOwner& a, const TableOwner& b) { return a.folder < b.folder; });
    return owners;
  }

  // Messages whose node entry is lost: back into the folder whose contents table lists them;
  // when the walk met damage, those no row names (and lost copies of messages the tree has)
  // into the one folder whose item count says it misses them, else into "Recovered Items"
  // (lost copies, which may be references from elsewhere, only into such a folder).
  void AdoptOrphanMessages(bool walkDamaged) {
    const std::vector<TableOwner> lostTables = FoldersWithoutContents();
    OrphanMessages orphans = FindOrphanMessages(s_, Free(), walkDamaged, lostTables);
    ParentCache cache;
    for (NodeEntry& e : orphans.matched) {
      if (!PlaceFolderFromRow(e.nidParent, cache)) {
        // The folder is gone with every row that named it; the message keeps its own id.
        orphans.unmatched.push_back(e);
        continue;
      }
      s_.nodes.Place(e, s_.blocks, cache, s_.damage);
      s_.recoveredNodes.insert(e.nid);
    }
    s_.recovery.messagesMatched = orphans.matched.size();
    std::vector<NodeEntry> copies;
    if (walkDamaged) copies = FindLostCopies(s_);
    if (orphans.unmatched.empty() && copies.empty()) return;
    const std::size_t needed = orphans.unmatched.size() + copies.size();
    std::uint32_t folder = FolderShortOf(needed);
    if (folder != 0) {
      orphans.unmatched.insert(orphans.unmatched.end(), copies.begin(), copies.end());
    } else if (orphans.unmatched.empty() || !RecoveredItemsFolder(TopFolderNid())) {
      return;
    } else {
      folder = kRecoveredItemsNid;
    }
    std::uint32_t index = kRecoveredItemsNid >> 5;
    for (NodeEntry e : orphans.unmatched) {
      while (e.nid == 0 || s_.nodes.Find(e.nid) != nullptr) {
        if (index == 0) return;
        e.nid = (--index << 5) | kMessageType;
      }
      e.nidParent = folder;
      s_.nodes.Place(e, s_.blocks, cache, s_.damage);
      s_.recoveredNodes.insert(e.nid);
      if (folder == kRecoveredItemsNid) ++s_.recovery.itemsFiled;
    }
  }

  // The one folder whose own item count exceeds the messages the tree places in it by at least
  // `needed`, when every other folder holds all it counts; 0 when no folder does, several do,
  // or a folder's count is unknown (its data made up without a row, or lost with its items).
  std::uint32_t FolderShortOf(std::size_t needed) {
    if (guessedFolders_ > 0 || s_.recovery.itemsFiled > 0) return 0;
    std::uint32_t shortFolder = 0;
    bool known = true;
    s_.nodes.ForEachPreorder([&](const StoreNode& n, int) {
      if (!known || n.NidType() != kFolderType || n.nid == kRecoveredItemsNid) return;
      const std::unique_ptr<PropertyList> list = PropertiesOf(n);
      const PropertyEntry* count = list ? list->Find(0x3602) : nullptr;
      if (count == nullptr || !count->value) {
        known = n.nid == kRootFolderNid || n.nid == TopFolderNid();
        return;
      }
      std::size_t messages = 0;
      for (const StoreNode* c = n.firstChild; c != nullptr; c = c->nextSibling) {
        messages += c->NidType() == kMessageType ? 1 : 0;
      }
      const std::size_t counted = LoadLe32(*count->value, 0).value_or(0);
      if (counted <= messages) return;
      if (shortFolder != 0 || counted - messages < needed) known = false;
      shortFolder = n.nid;
    });
    return known ? shortFolder : 0;
  }

  // Lost folders no row names whose items survive: a free folder property context the block
  // B-tree lists, with as many items as wait for the folder (and no other with as many), is
  // the folder's own; it is placed below the top of the personal folders.
  void PlaceFoldersFromFreeData(const std::vector<const StoreNode*>& lost, std::uint32_t top,
                                ParentCache& cache) {
    std::map<std::uint32_t, std::uint32_t> waiting;  // lost folder -> its messages
    for (const StoreNode* orphan : lost) {
      if (orphan->reachable || orphan->NidType() != kMessageType) continue;
      if ((orphan->nidParent & 0x1F) == kFolderType &&
          s_.nodes.Find(orphan->nidParent) == nullptr) {
        ++waiting[orphan->nidParent];
      }
    }
    if (waiting.empty() || s_.nodes.Find(top) == nullptr) return;
    std::map<std::uint32_t, int> sameCount;
    for (const auto& [nid, count] : waiting) ++sameCount[count];
    for (const FreeBlocks::Folder& f : Free().folders) ++sameCount[f.contentCount];
    for (const auto& [nid, count] : waiting) {
      if (sameCount[count] != 2) continue;  // this folder and one free folder with that count
      for (const FreeBlocks::Folder& f : Free().folders) {
        if (f.contentCount != count) continue;
        s_.nodes.Place(NodeEntry{nid, f.data->id, 0, top}, s_.blocks, cache, s_.damage);
        s_.recoveredNodes.insert(nid);
        ++s_.recovery.foldersRebuilt;
      }
    }
  }

  // Node entries taken from scanned pages may be older than the message's last move: where a
  // contents table the tree reaches lists the message, its folder is that table's.
  void RefileByContentsRows() {
    std::vector<const StoreNode*> tables;
    s_.nodes.ForEachPreorder([&tables](const StoreNode& n, int) {
      if (n.NidType() == kContentsTableType && n.dataBlock != nullptr) tables.push_back(&n);
    });
    std::unordered_map<std::uint32_t, std::uint32_t> listedIn;
    for (const StoreNode* table : tables) {
      const std::uint32_t folder = (table->nid & ~0x1Fu) | kFolderType;
      const std::unique_ptr<PropertyList> rows = PropertiesOf(*table);
      for (const PropertyList* row = rows.get(); row != nullptr; row = row->next.get()) {
        listedIn.emplace(RowNid(*row), folder);
      }
    }
    ParentCache cache;
    for (std::uint32_t nid :
         std::vector<std::uint32_t>(s_.recoveredNodes.begin(), s_.recoveredNodes.end())) {
      const StoreNode* node = s_.nodes.Find(nid);
      auto listed = listedIn.find(nid);
      if (node == nullptr || node->NidType() != kMessageType || listed == listedIn.end()) continue;
      if (node->parent == nullptr || node->parent->nid == listed->second) continue;
      if (s_.nodes.Find(listed->second) == nullptr) continue;
      s_.nodes.Place(NodeEntry{nid, node->bidData, node->bidSub, listed->second}, s_.blocks, cache,
                     s_.damage);
    }
  }

  bool RecoveredItemsFolder(std::uint32_t top) {
    if (s_.nodes.Find(kRecoveredItemsNid) != nullptr) return true;
    if (s_.nodes.Find(top) == nullptr) return false;
    const Bytes heap = BuildPropertyContext(FolderProperties(kRecoveredItemsFolder, "IPF.Note", 0, false));
    const BlockEntry* block = AddMadeUpBlock(s_, heap);
    if (block == nullptr) return false;
    ParentCache cache;
    s_.nodes.Place(NodeEntry{kRecoveredItemsNid, block->id, 0, top}, s_.blocks, cache, s_.damage);
    return s_.nodes.Find(kRecoveredItemsNid) != nullptr;
  }

  StoreFile& s_;
  const RecoveryOptions& options_;
  KeyRanges covered_;
  bool rowsRead_ = false;
  int guessedFolders_ = 0;  // folders made up without a row: their item counts are unknown
  std::size_t treeBlocks_ = 0;  // index entries the block B-tree itself gave
  std::optional<AllocationMaps> maps_;
  std::optional<FreeBlocks> free_;
  std::unordered_map<std::uint32_t, FolderRow> rows_;
};

}  // namespace

bool WalkNeedsRecovery(StoreFile& store, int indexStatus) {
  if (indexStatus != 0 || store.damage.Count() > 0 || store.Layout() == nullptr) return true;
  if (LeafLevelMisread(store, true) || LeafLevelMisread(store, false)) return true;
  const StoreNode* messageStore = FindNode(store, kMessageStoreNid);
  return messageStore == nullptr || !HoldsProperties(store, *messageStore);
}

void RecoverFromScan(StoreFile& store, const RecoveryOptions& options) {
  if (!store.file) return;
  try {
    Rebuild(store, options).Run();
  } catch (const std::bad_alloc&) {
    store.damage.Report("SCAN", 0, "out of memory: the recovery pass ended early");
  }
}

int IndexStoreWithRecovery(StoreFile& store, const RecoveryOptions& options) {
  int status = IndexStore(store, options.control);
  if (options.mode == ScanMode::kOff) return status;
  if (options.mode == ScanMode::kAuto && !WalkNeedsRecovery(store, status)) return status;
  RecoverFromScan(store, options);
  if (status != 0 && store.nodes.First() != nullptr) status = 0;
  return status;
}

}  // namespace palvara
