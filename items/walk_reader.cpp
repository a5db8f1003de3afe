#include "items/walk_reader.h"

namespace palvara {
namespace {

constexpr std::uint32_t kNidTypeAssociated = 0x08;  // NID_TYPE_ASSOC_MESSAGE
constexpr std::uint32_t kNidTypeMessage = 0x04;     // NID_TYPE_NORMAL_MESSAGE

WalkNodeKind KindOf(const StoreNode& node, bool foldersOnly) {
  if (node.NidType() == kNidTypeAssociated) return WalkNodeKind::kHidden;
  if (foldersOnly && node.NidType() == kNidTypeMessage) return WalkNodeKind::kSkipped;
  return node.dataBlock != nullptr ? WalkNodeKind::kRead : WalkNodeKind::kNoData;
}

}  // namespace

bool DescendsInto(const StoreNode& node, const ItemRecord* record) {
  return node.firstChild != nullptr && record != nullptr && !record->Empty() &&
         record->folderCounts != nullptr;
}

WalkReader::WalkReader(StoreFile& store, const StoreNode& top, WalkReading reading,
                       RunControl& control)
    : store_(store), reading_(reading), control_(control) {
  if (reading_.ahead) thread_ = std::thread([this, &top] { ReadAhead(top); });
}

WalkReader::~WalkReader() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

WalkStep WalkReader::Read(const StoreNode& node) {
  WalkStep step;
  step.node = &node;
  step.kind = KindOf(node, reading_.foldersOnly);
  if (step.kind != WalkNodeKind::kRead) return step;
  // Whether the walk goes on into a node's children depends on its record: a node with
  // children is mapped here, so that this thread knows where the walk goes next.
  if (node.firstChild != nullptr) {
    step.record = LoadItem(store_, node, *reading_.context, reading_.attachments);
    step.mapped = true;
  } else {
    step.record = ReadItem(store_, node, *reading_.context, reading_.attachments, step.lists);
  }
  return step;
}

void WalkReader::ReadAhead(const StoreNode& top) {
  std::vector<WalkStep> spent;
  try {
    for (WalkCursor cursor(top); cursor.node() != nullptr && !control_.stopAnalysis;) {
      spent.clear();
      WalkStep step = Read(*cursor.node());
      const bool descend = DescendsInto(*step.node, step.record.get());
      std::unique_lock lock(mutex_);
      spent.swap(spent_);
      if (ready_.size() >= kAhead) {
        readerWaiting_ = true;
        changed_.wait(lock, [this] { return quit_ || ready_.size() < kAhead; });
        readerWaiting_ = false;
      }
      if (quit_) break;
      ready_.push_back(std::move(step));
      // The taker is woken for a batch of steps, not for each: a wake-up per node cost more
      // than reading it.
      const bool wake = takerWaiting_ && ready_.size() >= kBatch;
      lock.unlock();
      if (wake) changed_.notify_all();
      cursor.Next(descend, [] {});
    }
  } catch (...) {
    std::lock_guard lock(mutex_);
    failure_ = std::current_exception();
  }
  {
    std::lock_guard lock(mutex_);
    done_ = true;
  }
  changed_.notify_all();
}

void WalkReader::Release(WalkStep step) {
  if (!thread_.joinable()) return;
  const std::lock_guard lock(mutex_);
  if (!done_) spent_.push_back(std::move(step));
}

std::optional<WalkStep> WalkReader::Take(const StoreNode& node) {
  if (!reading_.ahead) return Read(node);
  std::unique_lock lock(mutex_);
  if (ready_.empty() && !done_) {
    takerWaiting_ = true;
    changed_.wait(lock, [this] { return !ready_.empty() || done_; });
    takerWaiting_ = false;
  }
  if (ready_.empty()) {
    if (failure_) std::rethrow_exception(failure_);
    return std::nullopt;
  }
  WalkStep step = std::move(ready_.front());
  ready_.pop_front();
  // The reading thread, once it waits for room, goes on when half the steps are taken.
  const bool wake = readerWaiting_ && ready_.size() <= kAhead / 2;
  lock.unlock();
  if (wake) changed_.notify_all();
  // Both walks take the same turns; a step for another node would mean they did not.
  if (step.node != &node) return std::nullopt;
  return step;
}

}  // namespace palvara
