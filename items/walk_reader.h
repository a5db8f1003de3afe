// The analysis' walk over the folders below the top folder, and the reading of its nodes: on a
// thread of its own, ahead of the thread that maps and counts them, in the walk's own order.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "common/run_control.h"
#include "items/mapping.h"

namespace palvara {

// A pre-order walk from the first child of `top`: into a node's children when asked, else on to
// the next sibling, climbing as many levels as that takes. The walk ends on leaving `top`.
class WalkCursor {
 public:
  explicit WalkCursor(const StoreNode& top) : node_(top.firstChild) {}

  const StoreNode* node() const { return node_; }  // nullptr at the end

  // Moves on; `leaving()` is called for every folder level left below the top.
  template <typename Leaving>
  void Next(bool descend, Leaving&& leaving) {
    if (descend) {
      ++depth_;
      node_ = node_->firstChild;
      return;
    }
    while (node_->nextSibling == nullptr && node_->parent != nullptr) {
      if (--depth_ == 0) {
        node_ = nullptr;
        return;
      }
      leaving();
      node_ = node_->parent;
    }
    node_ = node_->nextSibling;
  }

 private:
  const StoreNode* node_;
  int depth_ = 1;  // levels entered, the top's included
};

// What the analysis does with a node.
enum class WalkNodeKind {
  kHidden,   // a folder-associated message: counted, never read
  kSkipped,  // a message when only folders are listed
  kRead,     // read and classified
  kNoData,   // nothing to read
};

// Whether the walk goes into the children of a node read as `record`: a folder's.
bool DescendsInto(const StoreNode& node, const ItemRecord* record);

// One node of the walk, read.
struct WalkStep {
  const StoreNode* node = nullptr;
  WalkNodeKind kind = WalkNodeKind::kNoData;
  // The node's record (kRead; null when it has no readable properties). The node's own
  // properties are mapped into it when `mapped`, else they wait in `lists` for MapItem.
  std::unique_ptr<ItemRecord> record;
  bool mapped = false;
  ItemLists lists;
};

struct WalkReading {
  const MapContext* context = nullptr;
  AttachmentReading attachments = AttachmentReading::kWhole;
  bool foldersOnly = false;
  // Read on a thread of its own. Nothing but that thread may then use the store's reading
  // path (nor report damage) until the reader is destroyed, so that everything it reads and
  // reports comes in the walk's order.
  bool ahead = true;
};

// Hands out the walk's nodes read, in the walk's order. Reading ahead stops at a stop request
// and when the reader is destroyed; at most a bounded number of nodes wait.
class WalkReader {
 public:
  WalkReader(StoreFile& store, const StoreNode& top, WalkReading reading, RunControl& control);
  ~WalkReader();
  WalkReader(const WalkReader&) = delete;
  WalkReader& operator=(const WalkReader&) = delete;

  // The step for `node`, the walk's next node; nullopt when reading stopped before it. An
  // exception thrown while reading it is thrown here.
  std::optional<WalkStep> Take(const StoreNode& node);

  // Hands back a step taken, to be freed on the thread that read it: memory freed on another
  // thread waits for that thread's allocator lock.
  void Release(WalkStep step);

 private:
  WalkStep Read(const StoreNode& node);
  void ReadAhead(const StoreNode& top);

  static constexpr std::size_t kAhead = 64;
  static constexpr std::size_t kBatch = 16;

  StoreFile& store_;
  const WalkReading reading_;
  RunControl& control_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<WalkStep> ready_;
  std::vector<WalkStep> spent_;  // released, to be freed by the reading thread
  bool done_ = false;   // the reading thread has ended
  bool quit_ = false;   // the reader is being destroyed
  bool takerWaiting_ = false;   // Take waits for a step
  bool readerWaiting_ = false;  // the reading thread waits for room
  std::exception_ptr failure_;
  std::thread thread_;
};

}  // namespace palvara
