#include "common/run_control.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace palvara {
namespace {

TEST(RunControlTest, AnalysisStopCountsOnlyWhileNoSavingRuns) {
  RunControl control;
  EXPECT_FALSE(control.StopRequested());
  control.savingActive = true;
  control.stopAnalysis = true;
  EXPECT_FALSE(control.StopRequested());
  control.stopSaving = true;
  EXPECT_TRUE(control.StopRequested());
  control.savingActive = false;
  control.stopSaving = false;
  EXPECT_TRUE(control.StopRequested());
}

TEST(RunControlTest, PauseGateHoldsUntilResumeOrStop) {
  for (bool resumeWithStop : {false, true}) {
    RunControl control;
    control.Pause();
    std::atomic<bool> passed{false};
    std::thread worker([&] {
      control.WaitWhilePaused();
      passed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(passed.load());
    if (resumeWithStop) {
      control.RequestStopAnalysis();
    } else {
      control.Resume();
    }
    worker.join();
    EXPECT_TRUE(passed.load());
  }
}

}  // namespace
}  // namespace palvara
