// The message part of the recovery pass: messages whose node entry is lost placed back into
// their folder, by the contents-table rows ([MS-PST] 2.3.4) that list them or by their folder's
// own item count, else into "Recovered Items".
#pragma once

#include "reader/index_rebuild_folders.h"
#include "reader/index_rebuild_state.h"

namespace palvara::rebuild {

// Messages whose node entry is lost: back into the folder whose contents table lists them;
// when the walk met damage, those no row names (and lost copies of messages the tree has)
// into the one folder whose item count says it misses them, else into "Recovered Items"
// (lost copies, which may be references from elsewhere, only into such a folder).
void AdoptOrphanMessages(RebuildState& state, FolderRebuild& folders, bool walkDamaged);

// Node entries taken from scanned pages may be older than the message's last move: where a
// contents table the tree reaches lists the message, its folder is that table's.
void RefileByContentsRows(StoreFile& store);

}  // namespace palvara::rebuild
