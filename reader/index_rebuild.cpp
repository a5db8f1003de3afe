#include "reader/index_rebuild.h"

#include <new>
#include <optional>

#include "reader/btree_walk.h"
#include "reader/geometry.h"
#include "reader/index_rebuild_folders.h"
#include "reader/index_rebuild_messages.h"
#include "reader/index_rebuild_nodes.h"
#include "reader/index_rebuild_state.h"
#include "reader/store_scan.h"

namespace palvara {
namespace {

// One run of the pass: the scan, then the node database, the folders and the messages.
class Rebuild {
 public:
  Rebuild(StoreFile& store, const RecoveryOptions& options) : s_(store), options_(options) {}

  void Run() {
    RecoverySummary& summary = s_.recovery;
    summary.ran = true;
    const bool walkDamaged = s_.damage.Count() > 0;
    // Nodes the walk alone reaches with data: everything else the pass makes readable.
    NodeIdSet before;
    s_.nodes.ForEachPreorder([&before](const StoreNode& n, int) {
      if (n.dataBlock != nullptr) before.insert(n.nid);
    });

    ScanOptions scanOptions;
    if (s_.Layout() != nullptr) scanOptions.layout = ScanLayoutOf(*s_.Layout());
    scanOptions.progress = options_.progress;
    scanOptions.control = options_.control;
    ScanResult scan = ScanStore(*s_.file, scanOptions);
    summary.bytesScanned = scan.bytesScanned;
    const std::optional<ScanLayout> layout = scan.BestLayout();
    if (!layout) {
      s_.damage.Report(DamageKind::kUnreadable, "SCAN", 0,
                       "no page or block of either layout found: nothing to rebuild");
      return;
    }
    LayoutScan& found = *scan.Of(*layout);
    summary.pagesFound = found.pages.size();
    summary.blocksFound = found.blocks.size();
    if (s_.Layout() == nullptr) {
      s_.wVer = GeometryOf(*layout).wVer;
      summary.layoutFromScan = true;
      s_.damage.Report(DamageKind::kUnreadable, "HEADER", 10,
                       std::string("format version unusable: the file's pages are ") +
                           (*layout == ScanLayout::kAnsi      ? "ANSI"
                            : *layout == ScanLayout::kUnicode ? "Unicode"
                                                              : "Unicode with 4 KiB pages"));
    }
    rebuild::RebuildState state(s_);
    rebuild::RepairIndexes(state, found, options_.control);
    // The steps below read the rebuilt indexes only: what the scan found goes before they run.
    scan = ScanResult{};
    rebuild::FolderRebuild folders(state);
    const StoreNode* messageStore = FindNode(s_, rebuild::kMessageStoreNid);
    if (messageStore == nullptr || rebuild::PropertiesOf(s_, *messageStore) == nullptr) {
      folders.RebuildMessageStore();
    }
    folders.RebuildFolders();
    rebuild::AdoptOrphanMessages(state, folders, walkDamaged);
    rebuild::RefileByContentsRows(s_);
    s_.nodes.ForEachPreorder([this, &before](const StoreNode& n, int) {
      if (n.dataBlock != nullptr && before.count(n.nid) == 0) s_.recoveredNodes.insert(n.nid);
    });
  }

 private:
  StoreFile& s_;
  const RecoveryOptions& options_;
};

}  // namespace

bool WalkNeedsRecovery(StoreFile& store, int indexStatus) {
  if (indexStatus != 0 || store.damage.Count() > 0 || store.Layout() == nullptr) return true;
  if (rebuild::LeafLevelMisread(store, true) || rebuild::LeafLevelMisread(store, false)) {
    return true;
  }
  const StoreNode* messageStore = FindNode(store, rebuild::kMessageStoreNid);
  return messageStore == nullptr || rebuild::PropertiesOf(store, *messageStore) == nullptr;
}

void RecoverFromScan(StoreFile& store, const RecoveryOptions& options) {
  if (!store.file) return;
  try {
    Rebuild(store, options).Run();
  } catch (const std::bad_alloc&) {
    store.damage.Report(DamageKind::kInconsistent, "SCAN", 0,
                        "out of memory: the recovery pass ended early");
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
