// The folder part of the recovery pass: the message store and folders whose own data is lost
// made up from the rows that describe them in their parent's hierarchy table ([MS-PST] 2.4.4),
// lost folders placed back, and the "Recovered Items" lost-and-found.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "reader/index_rebuild_state.h"
#include "reader/node_tree.h"
#include "reader/orphan_messages.h"
#include "reader/recovered_blocks.h"

namespace palvara::rebuild {

class FolderRebuild {
 public:
  explicit FolderRebuild(RebuildState& state) : s_(state.store), state_(state) {}

  // The message store node (and the root folder) lost with their leaf page: made up, so that
  // the folders below can be reached. The top of the personal folders is the root folder's
  // subfolder with the most nodes below it.
  void RebuildMessageStore();

  // Folders the tree reaches whose own data is gone, and folders lost entirely whose items
  // survive: rebuilt from their hierarchy row, or their items filed into "Recovered Items".
  void RebuildFolders();

  // The top of the personal folders: the one the message store names, else the usual one.
  std::uint32_t TopFolderNid();

  // A folder lost entirely that its parent's hierarchy table still lists: placed below that
  // parent with data made up from the row. False when the tree has no such row or parent.
  bool PlaceFolderFromRow(std::uint32_t nid, ParentCache& cache);

  // Folders the hierarchy tables list whose contents table the tree does not have (or cannot
  // read), with the number of items their row gives.
  std::vector<TableOwner> FoldersWithoutContents();

  // The one folder whose own item count exceeds the messages the tree places in it by at least
  // `needed`, when every other folder holds all it counts; 0 when no folder does, several do,
  // or a folder's count is unknown (its data made up without a row, lost with its items, or
  // missing from the tree while a hierarchy row gives it items).
  std::uint32_t FolderShortOf(std::size_t needed);

  // Places the "Recovered Items" folder below `top` once; false when it cannot be placed.
  bool RecoveredItemsFolder(std::uint32_t top);

 private:
  // The row of every folder in the hierarchy tables the tree still reaches, by folder id, with
  // the folder whose table lists it.
  struct FolderRow {
    std::uint32_t parent = 0;
    std::vector<MadeUpProperty> properties;
  };

  void SettleEncodingByTrial();
  void MarkSubtree(const StoreNode& top);
  void ReadHierarchyRows();
  void AddHierarchyRows(const PropertyList* rows, std::uint32_t folder);
  void ReadFreeHierarchyTables();
  const BlockEntry* FolderBlock(std::uint32_t nid, const StoreNode* node);
  void PlaceFoldersFromFreeData(const std::vector<const StoreNode*>& lost, std::uint32_t top,
                                ParentCache& cache);

  StoreFile& s_;
  RebuildState& state_;
  bool rowsRead_ = false;
  int guessedFolders_ = 0;  // folders made up without a row: their item counts are unknown
  std::unordered_map<std::uint32_t, FolderRow> rows_;
};

}  // namespace palvara::rebuild
