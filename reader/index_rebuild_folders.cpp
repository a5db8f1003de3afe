#include "reader/index_rebuild_folders.h"

#include <algorithm>
#include <map>
#include <string>
#include <unordered_set>

#include "reader/block_access.h"
#include "reader/btree_walk.h"
#include "reader/index_rebuild.h"

namespace palvara::rebuild {
namespace {

std::vector<MadeUpProperty> WithCounts(std::vector<MadeUpProperty> properties,
                                       const std::vector<MadeUpProperty>& defaults) {
  for (const MadeUpProperty& d : defaults) {
    const bool present = std::any_of(properties.begin(), properties.end(),
                                     [&d](const MadeUpProperty& p) { return p.id == d.id; });
    if (!present) properties.push_back(d);
  }
  return properties;
}

}  // namespace

// With node 0x21 lost, the encoding is the one that makes most node data blocks heaps.
void FolderRebuild::SettleEncodingByTrial() {
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
      const Bytes data = ReadBlockHead(s_, *block, 16, method);
      heaps += ByteAt(data, 2) == 0xEC ? 1 : 0;
    }
    if (heaps > best) {
      best = heaps;
      s_.encoding = method;
    }
  }
}

void FolderRebuild::MarkSubtree(const StoreNode& top) {
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

void FolderRebuild::RebuildMessageStore() {
  SettleEncodingByTrial();
  const bool nodeLost = FindNode(s_, kMessageStoreNid) == nullptr;
  s_.damage.Report(
      {nodeLost ? DamageKind::kBadReference : DamageKind::kUnreadable, nodeLost ? "NBT" : "PC", 0,
       0, kMessageStoreNid,
       std::string(nodeLost ? "message store node lost" : "message store data unreadable") +
           ": rebuilt, encoding " + std::string(EncodingName(s_.encoding)) + " found by trial"});
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
  for (const StoreNode* n = root ? root->firstChild.Get() : nullptr; n != nullptr;
       n = n->nextSibling) {
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

std::uint32_t FolderRebuild::TopFolderNid() {
  const StoreNode* store = FindNode(s_, kMessageStoreNid);
  if (store == nullptr) return kDefaultTopFolder;
  const std::unique_ptr<PropertyList> list = PropertiesOf(s_, *store);
  const PropertyEntry* id = list ? list->Find(0x35E0) : nullptr;
  if (id != nullptr && id->value && id->value->size() >= 24) return *LoadLe32(*id->value, 20);
  return kDefaultTopFolder;
}

void FolderRebuild::ReadHierarchyRows() {
  if (rowsRead_) return;
  rowsRead_ = true;
  std::vector<const StoreNode*> tables;
  s_.nodes.ForEachPreorder([&tables](const StoreNode& n, int) {
    if (n.NidType() == kHierarchyTableType) tables.push_back(&n);
  });
  for (const StoreNode* table : tables) {
    AddHierarchyRows(PropertiesOf(s_, *table).get(), (table->nid & ~0x1Fu) | kFolderType);
  }
  ReadFreeHierarchyTables();
}

void FolderRebuild::AddHierarchyRows(const PropertyList* rows, std::uint32_t folder) {
  for (const PropertyList* row = rows; row != nullptr; row = row->next.get()) {
    const std::uint32_t nid = RowNid(*row);
    if ((nid & 0x1F) != kFolderType) continue;
    FolderRow entry;
    entry.parent = folder;
    for (const PropertyEntry& e : row->entries) {
      const bool kept = e.tag == 0x3001 || e.tag == 0x3613 || e.tag == 0x3602 || e.tag == 0x3603 ||
                        e.tag == 0x360A;
      if (kept && e.value) entry.properties.push_back({e.tag, e.type, *e.value});
    }
    rows_.emplace(nid, std::move(entry));
  }
}

// Hierarchy tables among the free blocks, for folders whose own table node is lost, newest
// first: the parent of the folders they list that the tree still has, else the one folder
// without a hierarchy table whose data says it has subfolders.
void FolderRebuild::ReadFreeHierarchyTables() {
  std::vector<std::uint32_t> owners;
  s_.nodes.ForEachPreorder([this, &owners](const StoreNode& n, int) {
    if (n.NidType() != kFolderType ||
        FindNode(s_, (n.nid & ~0x1Fu) | kHierarchyTableType) != nullptr)
      return;
    const std::unique_ptr<PropertyList> list = PropertiesOf(s_, n);
    const PropertyEntry* subfolders = list ? list->Find(0x360A) : nullptr;
    if (subfolders != nullptr && subfolders->value && ByteAt(*subfolders->value, 0) != 0) {
      owners.push_back(n.nid);
    }
  });
  std::unordered_set<std::uint32_t> claimed;
  for (const BlockEntry* block : state_.Free().tables) {
    std::unique_ptr<PropertyList> rows = ReadFreeTable(s_, state_.Free(), block, kFolderType);
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

const BlockEntry* FolderRebuild::FolderBlock(std::uint32_t nid, const StoreNode* node) {
  std::int32_t children = node != nullptr ? node->childCount : 0;
  const bool subfolders = children > 0;
  const std::string fallback = "Recovered Folder " + Hex(nid);
  std::vector<MadeUpProperty> defaults =
      FolderProperties(fallback, "IPF.Note", static_cast<std::uint32_t>(children), subfolders);
  ReadHierarchyRows();
  auto row = rows_.find(nid);
  if (row == rows_.end() && nid != kRootFolderNid) ++guessedFolders_;
  std::vector<MadeUpProperty> properties =
      row != rows_.end() ? WithCounts(row->second.properties, defaults) : defaults;
  const Bytes heap = BuildPropertyContext(std::move(properties));
  ++s_.recovery.foldersRebuilt;
  return AddMadeUpBlock(s_, heap);
}

void FolderRebuild::RebuildFolders() {
  std::vector<std::uint32_t> dataless;
  s_.nodes.ForEachPreorder([this, &dataless](const StoreNode& n, int) {
    if (n.NidType() != kFolderType) return;
    if (n.dataBlock == nullptr || PropertiesOf(s_, n) == nullptr) dataless.push_back(n.nid);
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
    if (!state_.covered.Contains(orphan->nidParent)) {
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
  if (s_.nodes.Find(top) == nullptr && s_.nodes.Find(kRootFolderNid) != nullptr) {
    // The top of the personal folders is lost too (a store of 4 KiB pages keeps every folder
    // in its first node leaf): a made-up one holds what is placed below it.
    if (const BlockEntry* block = FolderBlock(top, nullptr)) {
      s_.nodes.Place(NodeEntry{top, block->id, 0, kRootFolderNid}, s_.blocks, cache, s_.damage);
      s_.recoveredNodes.insert(top);
    }
  }
  PlaceFoldersFromFreeData(lost, top, cache);
  for (const StoreNode* orphan : lost) {
    if (orphan->reachable) continue;
    if (orphan->NidType() != kFolderType && orphan->NidType() != kMessageType) continue;
    if (!RecoveredItemsFolder(top)) return;
    if (s_.nodes.Adopt(orphan, kRecoveredItemsNid)) ++s_.recovery.itemsFiled;
  }
}

bool FolderRebuild::PlaceFolderFromRow(std::uint32_t nid, ParentCache& cache) {
  if (s_.nodes.Find(nid) != nullptr) return true;
  ReadHierarchyRows();
  auto row = rows_.find(nid);
  if (row == rows_.end() || s_.nodes.Find(row->second.parent) == nullptr) return false;
  const BlockEntry* block = FolderBlock(nid, nullptr);
  if (block == nullptr) return false;
  s_.nodes.Place(NodeEntry{nid, block->id, 0, row->second.parent}, s_.blocks, cache, s_.damage);
  return s_.nodes.Find(nid) != nullptr;
}

std::vector<TableOwner> FolderRebuild::FoldersWithoutContents() {
  ReadHierarchyRows();
  std::vector<TableOwner> owners;
  for (const auto& [nid, row] : rows_) {
    const StoreNode* table = s_.nodes.Find((nid & ~0x1Fu) | kContentsTableType);
    if (table != nullptr && PropertiesOf(s_, *table) != nullptr) continue;
    for (const MadeUpProperty& p : row.properties) {
      if (p.id == 0x3602 && p.value.size() >= 4) owners.push_back({nid, *LoadLe32(p.value, 0)});
    }
  }
  std::sort(owners.begin(), owners.end(),
            [](const TableOwner& a, const TableOwner& b) { return a.folder < b.folder; });
  return owners;
}

std::uint32_t FolderRebuild::FolderShortOf(std::size_t needed) {
  if (guessedFolders_ > 0 || s_.recovery.itemsFiled > 0) return 0;
  // A folder a hierarchy row names that the tree lacks may be the one the messages are from,
  // unless its row says it holds none.
  ReadHierarchyRows();
  for (const auto& [nid, row] : rows_) {
    if (s_.nodes.Find(nid) != nullptr) continue;
    const auto count = std::find_if(row.properties.begin(), row.properties.end(),
                                    [](const MadeUpProperty& p) { return p.id == 0x3602; });
    if (count == row.properties.end() || LoadLe32(count->value, 0).value_or(1) != 0) return 0;
  }
  std::uint32_t shortFolder = 0;
  bool known = true;
  s_.nodes.ForEachPreorder([&](const StoreNode& n, int) {
    if (!known || n.NidType() != kFolderType || n.nid == kRecoveredItemsNid) return;
    const std::unique_ptr<PropertyList> list = PropertiesOf(s_, n);
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
void FolderRebuild::PlaceFoldersFromFreeData(const std::vector<const StoreNode*>& lost,
                                             std::uint32_t top, ParentCache& cache) {
  std::map<std::uint32_t, std::uint32_t> waiting;  // lost folder -> its messages
  for (const StoreNode* orphan : lost) {
    if (orphan->reachable || orphan->NidType() != kMessageType) continue;
    if ((orphan->nidParent & 0x1F) == kFolderType && s_.nodes.Find(orphan->nidParent) == nullptr) {
      ++waiting[orphan->nidParent];
    }
  }
  if (waiting.empty() || s_.nodes.Find(top) == nullptr) return;
  const std::vector<FreeFolder> free = ReadFreeFolders(s_, state_.Free());
  std::map<std::uint32_t, int> sameCount;
  for (const auto& [nid, count] : waiting) ++sameCount[count];
  for (const FreeFolder& f : free) ++sameCount[f.contentCount];
  for (const auto& [nid, count] : waiting) {
    if (sameCount[count] != 2) continue;  // this folder and one free folder with that count
    for (const FreeFolder& f : free) {
      if (f.contentCount != count) continue;
      s_.nodes.Place(NodeEntry{nid, f.data->id, 0, top}, s_.blocks, cache, s_.damage);
      s_.recoveredNodes.insert(nid);
      ++s_.recovery.foldersRebuilt;
    }
  }
}

bool FolderRebuild::RecoveredItemsFolder(std::uint32_t top) {
  if (s_.nodes.Find(kRecoveredItemsNid) != nullptr) return true;
  if (s_.nodes.Find(top) == nullptr) return false;
  const Bytes heap =
      BuildPropertyContext(FolderProperties(kRecoveredItemsFolder, "IPF.Note", 0, false));
  const BlockEntry* block = AddMadeUpBlock(s_, heap);
  if (block == nullptr) return false;
  ParentCache cache;
  s_.nodes.Place(NodeEntry{kRecoveredItemsNid, block->id, 0, top}, s_.blocks, cache, s_.damage);
  return s_.nodes.Find(kRecoveredItemsNid) != nullptr;
}

}  // namespace palvara::rebuild
