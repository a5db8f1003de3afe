// Messages whose node entry is lost while their property context survives: found among the
// blocks no node refers to, and given back their node id and folder by the contents-table row
// ([MS-PST] 2.3.4, the folder's table of messages) that lists them, matched on the row's
// columns (subject, times, size, flags). Each keeps the subnode block no node refers to that
// fits it best (its recipients and attachments).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "reader/node_tree.h"
#include "reader/property_list.h"
#include "reader/store_file.h"

namespace palvara {

// The blocks of the index no node refers to (nor a free data tree or subnode block holds),
// by what they hold.
struct FreeBlocks {
  // A property context, not read yet: what it holds (a message, a folder) is read when a step
  // needs it, so that a file of many small blocks keeps 8 bytes for each here.
  struct Context {
    std::uint32_t position = 0;  // in the store's block index
    bool listed = false;         // listed by the block B-tree
    bool trusted = false;        // listed, or in space a sound allocation map holds in use
  };
  std::vector<Context> contexts;          // trusted first, newest first
  std::vector<const BlockEntry*> tables;  // table contexts, newest first
  std::vector<const BlockEntry*> subnodeBlocks;  // by block id
};

// The properties of a free property context when it is a message's (it has a message class
// and no folder's item count); nullptr otherwise.
std::unique_ptr<PropertyList> ReadFreeMessage(StoreFile& store, const FreeBlocks::Context& context);

// The folder property contexts among the free blocks the block B-tree lists, with their item
// counts.
struct FreeFolder {
  const BlockEntry* data = nullptr;
  std::uint32_t contentCount = 0;
};
std::vector<FreeFolder> ReadFreeFolders(StoreFile& store, const FreeBlocks& free);

// Sorts the free blocks of the store's index. Entries among the first `trustedBlocks` of the
// index are the block B-tree's own (it lists only live blocks); a message block elsewhere is
// trusted too when `allocated` (if given) says a sound allocation map holds its offset in use.
// Never throws for any content.
FreeBlocks FindFreeBlocks(StoreFile& store, std::size_t trustedBlocks,
                          const std::function<bool(std::uint64_t offset)>& allocated = {});

// The node id a table row names (its row id column); 0 when it names none.
std::uint32_t RowNid(const PropertyList& row);

// How many of `rows` name a node of type `rowType`, and the parent the index gives most of the
// nodes they name (0 when it knows none of them).
struct RowOwner {
  std::uint32_t rows = 0;
  std::uint32_t commonParent = 0;
};
RowOwner CommonParentOfRows(const StoreFile& store, const PropertyList* rows, std::uint32_t rowType);

// The rows of the free table context `table` when some row names a node of type `rowType`;
// a row matrix held in a subnode is looked for among the free subnode blocks nearest the
// table's block id. nullptr when no such row is found.
std::unique_ptr<PropertyList> ReadFreeTable(StoreFile& store, const FreeBlocks& free,
                                            const BlockEntry* table, std::uint32_t rowType);

struct OrphanMessages {
  // Node entries for messages a row names: the row's node id, the folder whose table lists it.
  std::vector<NodeEntry> matched;
  // Messages no row names, without a node id or folder (bidData, bidSub set).
  std::vector<NodeEntry> unmatched;
};

// A folder whose contents table is lost or unreadable, with the number of items its hierarchy row
// gives: a table found among the free blocks with that many rows (and no other such folder) is its.
struct TableOwner {
  std::uint32_t folder = 0;
  std::uint32_t contentCount = 0;
};

// Looks for the node entries of lost messages among the free message property contexts.
// Matched ones may come from any block; unmatched ones only from trusted blocks, and only
// when `fileUnmatched`. Rows come from the contents tables the tree reaches and from
// free contents tables of folders whose own table the tree lacks: the folder of messages the
// tree still has that the table lists, else the one folder of `lostTables` with as many items.
// Never throws for any content.
OrphanMessages FindOrphanMessages(StoreFile& store, const FreeBlocks& free, bool fileUnmatched,
                                  const std::vector<TableOwner>& lostTables);

// Copies of messages whose node entries are lost while another copy survives: a message data
// block the block B-tree counts more references for than nodes of the tree use it (a writer
// counts one reference beyond its users). One entry per missing copy, with the data and
// subnode blocks of the copy the tree has (no node id, no folder). Blocks the scan added carry
// no count of their own and give none.
std::vector<NodeEntry> FindLostCopies(const StoreFile& store);

}  // namespace palvara
