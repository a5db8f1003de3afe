#include "common/damage.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace palvara {
namespace {

// Readers sharing one store report into one log from several threads at once.
TEST(DamageLog, ReportsFromSeveralThreadsAreAllCountedAndKeptUpToTheCap) {
  constexpr int kThreads = 4;
  constexpr int kEach = 4000;  // 16,000 in all: past the cap of 10,000 kept
  DamageLog log;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < kEach; ++i) {
        log.Report("XBLOCK", static_cast<std::uint64_t>(t) << 32 | static_cast<unsigned>(i), "x");
        if (i % 500 == 0) {
          EXPECT_LE(log.Reports().size(), DamageLog::kMaxKept);
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(log.Count(), std::size_t{kThreads * kEach});
  EXPECT_EQ(log.Reports().size(), DamageLog::kMaxKept);
  EXPECT_EQ(log.Dropped(), kThreads * kEach - DamageLog::kMaxKept);
  for (const DamageReport& r : log.Reports()) EXPECT_EQ(r.structure, "XBLOCK");
}

}  // namespace
}  // namespace palvara
