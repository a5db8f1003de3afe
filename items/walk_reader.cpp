#include "items/walk_reader.h"

#include <algorithm>

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
  if (!reading_.ahead) return;
  try {
    thread_ = std::thread([this, &top] { ReadAhead(top); });
    for (std::size_t i = 0; i < kReaders; ++i) readers_.emplace_back([this] { ReadNodes(); });
  } catch (...) {
    Stop();
    throw;
  }
}

WalkReader::~WalkReader() { Stop(); }

void WalkReader::Stop() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  changed_.notify_all();
  work_.notify_all();
  if (thread_.joinable()) thread_.join();
  for (std::thread& reader : readers_) reader.join();
  readers_.clear();
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

void WalkReader::ReadInto(Slot& slot) {
  const DamageCapture capture(store_.damage, slot.damage);
  slot.step = Read(*slot.step.node);
}

bool WalkReader::TakerMayGo() const {
  if (queue_.empty()) return done_;
  if (!queue_.front().ready) return false;
  if (done_) return true;
  if (queue_.size() < kBatch) return false;
  return std::all_of(queue_.begin(), queue_.begin() + kBatch,
                     [](const Slot& slot) { return slot.ready; });
}

void WalkReader::ReadAhead(const StoreNode& top) {
  std::vector<WalkStep> spent;
  try {
    for (WalkCursor cursor(top); cursor.node() != nullptr && !control_.stopAnalysis;) {
      spent.clear();
      const StoreNode& node = *cursor.node();
      Slot slot;
      slot.step.node = &node;
      slot.step.kind = KindOf(node, reading_.foldersOnly);
      // A node without children is read by a reading thread; the walk needs no more of it.
      const bool later = slot.step.kind == WalkNodeKind::kRead && node.firstChild == nullptr;
      if (!later) {
        ReadInto(slot);
        slot.ready = true;
      }
      const bool descend = DescendsInto(node, slot.step.record.get());
      std::unique_lock lock(mutex_);
      spent.swap(spent_);
      if (queue_.size() >= kAhead) {
        readerWaiting_ = true;
        if (ReaderToWake()) work_.notify_all();
        changed_.wait(lock, [this] { return quit_ || queue_.size() < kAhead; });
        readerWaiting_ = false;
      }
      if (quit_) break;
      queue_.push_back(std::move(slot));
      if (later) toRead_.push_back(&queue_.back());
      // The taker is woken for a batch of steps, and a reading thread for a run of nodes, not
      // for each: a wake-up per node cost more than reading it.
      const bool wake = takerWaiting_ && TakerMayGo();
      const bool wakeReader = ReaderToWake();
      lock.unlock();
      if (wakeReader) work_.notify_one();
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
  work_.notify_all();
}

bool WalkReader::ReadersMayGo() const {
  if (quit_ || done_ || toRead_.size() >= kRun) return true;
  // A shorter run when the walk or the taker would otherwise wait for it.
  return !toRead_.empty() && (readerWaiting_ || takerWaiting_);
}

bool WalkReader::ReaderToWake() const { return readersWaiting_ > 0 && ReadersMayGo(); }

void WalkReader::ReadNodes() {
  std::vector<Slot*> run;
  std::unique_lock lock(mutex_);
  for (;;) {
    ++readersWaiting_;
    work_.wait(lock, [this] { return ReadersMayGo(); });
    --readersWaiting_;
    // Nothing to read left only once the walk has ended (see ReadersMayGo).
    if (quit_ || toRead_.empty()) return;
    run.clear();
    while (run.size() < kRun && !toRead_.empty()) {
      run.push_back(toRead_.front());
      toRead_.pop_front();
    }
    lock.unlock();
    for (Slot* slot : run) {
      try {
        ReadInto(*slot);
      } catch (...) {
        slot->error = std::current_exception();
      }
    }
    lock.lock();
    for (Slot* slot : run) slot->ready = true;
    if (takerWaiting_ && TakerMayGo()) {
      lock.unlock();
      changed_.notify_all();
      lock.lock();
    }
  }
}

void WalkReader::Release(WalkStep step) {
  if (!thread_.joinable()) return;
  const std::lock_guard lock(mutex_);
  if (!done_) spent_.push_back(std::move(step));
}

std::optional<WalkStep> WalkReader::HandOut(Slot slot, const StoreNode& node) {
  std::vector<DamageReport> reports = slot.damage.reports;
  store_.damage.Add(std::move(slot.damage));
  if (slot.error) std::rethrow_exception(slot.error);
  // Both walks take the same turns; a step for another node would mean they did not.
  if (slot.step.node != &node) return std::nullopt;
  slot.step.damage = std::move(reports);
  return std::move(slot.step);
}

std::optional<WalkStep> WalkReader::Take(const StoreNode& node) {
  if (!reading_.ahead) {
    Slot slot;
    slot.step.node = &node;
    try {
      ReadInto(slot);
    } catch (...) {
      slot.error = std::current_exception();
    }
    return HandOut(std::move(slot), node);
  }
  std::unique_lock lock(mutex_);
  const auto frontReady = [this] { return queue_.empty() ? done_ : queue_.front().ready; };
  if (!frontReady()) {
    takerWaiting_ = true;
    // Nodes waiting for a longer run are read now.
    if (ReaderToWake()) work_.notify_all();
    changed_.wait(lock, frontReady);
    takerWaiting_ = false;
  }
  if (queue_.empty()) {
    if (failure_) std::rethrow_exception(failure_);
    return std::nullopt;
  }
  Slot slot = std::move(queue_.front());
  queue_.pop_front();
  // The walking thread, once it waits for room, goes on when half the steps are taken.
  const bool wake = readerWaiting_ && queue_.size() <= kAhead / 2;
  lock.unlock();
  if (wake) changed_.notify_all();
  return HandOut(std::move(slot), node);
}

}  // namespace palvara
