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

#include "common/damage.h"
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
  // What reading the node reported (also added to the store's log), up to the log's cap.
  std::vector<DamageReport> damage;
};

struct WalkReading {
  const MapContext* context = nullptr;
  AttachmentReading attachments = AttachmentReading::kWhole;
  bool foldersOnly = false;
  // Read ahead on threads of their own. Nothing but those threads may then use the store's
  // reading path (nor report damage) until the reader is destroyed; what they report is added
  // to the store's log as each node is taken, so that it comes in the walk's order.
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

  // Hands back a step taken, to be freed on the walking thread.
  void Release(WalkStep step);

  // Threads that read nodes without children, besides the walking thread, which reads the
  // others: where the walk goes next depends on them.
  static constexpr std::size_t kReaders = 2;

 private:
  // A node of the walk, read or to be read, with what its reading reported.
  struct Slot {
    WalkStep step;
    bool ready = false;
    CapturedDamage damage;
    std::exception_ptr error;
  };

  WalkStep Read(const StoreNode& node);
  // Reads a slot's node, capturing what it reports.
  void ReadInto(Slot& slot);
  // Hands a slot's step out: its reports go into the store's log and with the step.
  std::optional<WalkStep> HandOut(Slot slot, const StoreNode& node);
  void ReadAhead(const StoreNode& top);
  void ReadNodes();
  // With mutex_ held: whether the taker, waiting, is to be woken: a batch of steps is ready at
  // the front, or the walk has ended and the front one is.
  bool TakerMayGo() const;
  // With mutex_ held: whether a waiting reading thread is to go on: a run of nodes waits to be
  // read, or a shorter one that the walk or the taker waits for.
  bool ReadersMayGo() const;
  // With mutex_ held: whether a reading thread waits and is to go on.
  bool ReaderToWake() const;
  void Stop();

  // Nodes read or being read ahead of the taker, at most; the taker is woken for this many
  // ready at the front; a reading thread takes this many at once. A node takes a few
  // microseconds to read, about what a wake-up costs: threads hand over nodes in runs.
  static constexpr std::size_t kAhead = 256;
  static constexpr std::size_t kBatch = 32;
  static constexpr std::size_t kRun = 32;

  StoreFile& store_;
  const WalkReading reading_;
  RunControl& control_;
  std::mutex mutex_;
  std::condition_variable changed_;  // the taker and the walking thread wait here
  std::condition_variable work_;     // the reading threads wait for a node to read
  std::deque<Slot> queue_;           // in the walk's order
  std::deque<Slot*> toRead_;         // slots of `queue_` no reading thread has taken yet
  std::vector<WalkStep> spent_;  // released, to be freed by the walking thread
  bool done_ = false;   // the walking thread has ended: no more slots come
  bool quit_ = false;   // the reader is being destroyed
  bool takerWaiting_ = false;   // Take waits for a step
  bool readerWaiting_ = false;  // the walking thread waits for room
  std::size_t readersWaiting_ = 0;  // reading threads waiting for nodes
  std::exception_ptr failure_;
  std::thread thread_;
  std::vector<std::thread> readers_;
};

}  // namespace palvara
