// Run control shared by a driver and whoever steers it: stop flags that the walks poll, and a
// pause gate that holds the worker at a safe point between units of work.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace palvara {

class RunControl {
 public:
  // Set by the controlling side (the GUI thread, a signal handler, a test).
  std::atomic<bool> stopAnalysis{false};
  std::atomic<bool> stopSaving{false};
  std::atomic<bool> savingActive{false};
  std::atomic<bool> stopSearch{false};

  // A stop of the analysis counts only while no saving runs; a stop of the saving always counts.
  bool StopRequested() const {
    return (stopAnalysis.load() && !savingActive.load()) || stopSaving.load();
  }

  void Pause();
  void Resume();
  bool Paused() const { return paused_.load(); }

  // Blocks while paused; returns at once when not paused or when a stop is requested.
  void WaitWhilePaused();

  // Wakes a paused worker so that it can see a stop request.
  void RequestStopAnalysis();
  void RequestStopSaving();
  void RequestStopSearch();

  // Any stop: what a signal asks for (lock-free stores only, so safe in a signal handler; a
  // worker held at the pause gate is not woken).
  void StopEverythingFromSignal() {
    stopSearch = true;
    stopSaving = true;
    stopAnalysis = true;
  }

 private:
  std::atomic<bool> paused_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
};

}  // namespace palvara
