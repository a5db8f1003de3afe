#include "reader/index_rebuild_messages.h"

#include <unordered_map>

#include "reader/btree_walk.h"
#include "reader/orphan_messages.h"

namespace palvara::rebuild {

void AdoptOrphanMessages(RebuildState& state, FolderRebuild& folders, bool walkDamaged) {
  StoreFile& store = state.store;
  const std::vector<TableOwner> lostTables = folders.FoldersWithoutContents();
  OrphanMessages orphans = FindOrphanMessages(store, state.Free(), walkDamaged, lostTables);
  ParentCache cache;
  for (NodeEntry& e : orphans.matched) {
    if (!folders.PlaceFolderFromRow(e.nidParent, cache)) {
      // The folder is gone with every row that named it; the message keeps its own id.
      orphans.unmatched.push_back(e);
      continue;
    }
    store.nodes.Place(e, store.blocks, cache, store.damage);
    store.recoveredNodes.insert(e.nid);
  }
  store.recovery.messagesMatched = orphans.matched.size();
  std::vector<NodeEntry> copies;
  if (walkDamaged) copies = FindLostCopies(store);
  if (orphans.unmatched.empty() && copies.empty()) return;
  const std::size_t needed = orphans.unmatched.size() + copies.size();
  std::uint32_t folder = folders.FolderShortOf(needed);
  if (folder != 0) {
    orphans.unmatched.insert(orphans.unmatched.end(), copies.begin(), copies.end());
  } else if (orphans.unmatched.empty() || !folders.RecoveredItemsFolder(folders.TopFolderNid())) {
    return;
  } else {
    folder = kRecoveredItemsNid;
  }
  std::uint32_t index = kRecoveredItemsNid >> 5;
  for (NodeEntry e : orphans.unmatched) {
    while (e.nid == 0 || store.nodes.Find(e.nid) != nullptr) {
      if (index == 0) return;
      e.nid = (--index << 5) | kMessageType;
    }
    e.nidParent = folder;
    store.nodes.Place(e, store.blocks, cache, store.damage);
    store.recoveredNodes.insert(e.nid);
    if (folder == kRecoveredItemsNid) ++store.recovery.itemsFiled;
  }
}

void RefileByContentsRows(StoreFile& store) {
  std::vector<const StoreNode*> tables;
  store.nodes.ForEachPreorder([&tables](const StoreNode& n, int) {
    if (n.NidType() == kContentsTableType && n.dataBlock != nullptr) tables.push_back(&n);
  });
  std::unordered_map<std::uint32_t, std::uint32_t> listedIn;
  for (const StoreNode* table : tables) {
    const std::uint32_t folder = (table->nid & ~0x1Fu) | kFolderType;
    const std::unique_ptr<PropertyList> rows = PropertiesOf(store, *table);
    for (const PropertyList* row = rows.get(); row != nullptr; row = row->next.get()) {
      listedIn.emplace(RowNid(*row), folder);
    }
  }
  if (listedIn.empty()) return;
  ParentCache cache;
  for (std::uint32_t nid :
       std::vector<std::uint32_t>(store.recoveredNodes.begin(), store.recoveredNodes.end())) {
    auto listed = listedIn.find(nid);
    if ((nid & 0x1F) != kMessageType || listed == listedIn.end()) continue;
    const StoreNode* node = store.nodes.Find(nid);
    if (node == nullptr) continue;
    if (node->parent == nullptr || node->parent->nid == listed->second) continue;
    if (store.nodes.Find(listed->second) == nullptr) continue;
    store.nodes.Place(NodeEntry{nid, node->BidData(), node->BidSub(), listed->second}, store.blocks,
                      cache, store.damage);
  }
}

}  // namespace palvara::rebuild
