// The recovery pass beside the B-tree walks: when the walks meet damage (or are asked to), one
// scan of the whole file (store_scan.h) rebuilds what the trees no longer say. The trees' own
// entries always win; the scan adds blocks missing from the block index, node entries from
// node B-tree leaf pages the walk did not reach (the newest page deciding), the layout and
// roots when the header is unusable, folders whose own data is lost (named from their parent's
// hierarchy table), and a "Recovered Items" folder for items whose folder is lost entirely.
#pragma once

#include <cstdint>
#include <functional>

#include "common/run_control.h"
#include "reader/store_file.h"

namespace palvara {

enum class ScanMode {
  kAuto,   // when the walks report damage or the message store cannot be found
  kForce,  // always
  kOff,    // never
};

inline constexpr const char* kRecoveredItemsFolder = "Recovered Items";

struct RecoveryOptions {
  ScanMode mode = ScanMode::kAuto;
  const RunControl* control = nullptr;
  // Progress of the scan: bytes done of the file size.
  std::function<void(std::uint64_t done, std::uint64_t total)> progress;
};

// IndexStore, then the recovery pass when `options.mode` asks for it. Returns IndexStore's
// status, or 0 when the pass found a node tree where the walk did not. Never throws. What the
// pass did is in store.recovery; the nodes it added or changed are in store.recoveredNodes.
int IndexStoreWithRecovery(StoreFile& store, const RecoveryOptions& options);

// Whether the walk left the store in need of the pass: damage reported, a tree unreadable, a
// tree whose leaf level the walk settled on a level its root page does not say (its first leaf
// was lost), or no message store node with data.
bool WalkNeedsRecovery(StoreFile& store, int indexStatus);

// The pass itself, on a store IndexStore has run over.
void RecoverFromScan(StoreFile& store, const RecoveryOptions& options);

}  // namespace palvara
