#include "common/run_control.h"

namespace palvara {

void RunControl::Pause() {
  std::lock_guard lock(mutex_);
  paused_ = true;
}

void RunControl::Resume() {
  {
    std::lock_guard lock(mutex_);
    paused_ = false;
  }
  wake_.notify_all();
}

void RunControl::WaitWhilePaused() {
  std::unique_lock lock(mutex_);
  wake_.wait(lock, [this] { return !paused_.load() || StopRequested() || stopSearch.load(); });
}

void RunControl::RequestStopAnalysis() {
  {
    std::lock_guard lock(mutex_);
    stopAnalysis = true;
  }
  wake_.notify_all();
}

void RunControl::RequestStopSaving() {
  {
    std::lock_guard lock(mutex_);
    stopSaving = true;
  }
  wake_.notify_all();
}

void RunControl::RequestStopSearch() {
  {
    std::lock_guard lock(mutex_);
    stopSearch = true;
  }
  wake_.notify_all();
}

}  // namespace palvara
