#include "common/damage.h"

#include <gtest/gtest.h>

#include <string>
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
        log.Report(DamageKind::kCutOff, "XBLOCK",
                   static_cast<std::uint64_t>(t) << 32 | static_cast<unsigned>(i), "x");
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

// A capture takes what its thread reports to its log, and nothing else: other threads and
// other logs report as before; nested captures give way in turn. Added later, the reports
// keep their order, and the cap holds for them too.
TEST(DamageLog, ACaptureSetsItsThreadsReportsApartUntilTheyAreAdded) {
  DamageLog log, other;
  CapturedDamage outer, inner;
  {
    const DamageCapture capture(log, outer);
    log.Report(DamageKind::kZeroed, "A", 1, "first");
    other.Report(DamageKind::kZeroed, "B", 2, "elsewhere");
    std::thread([&log] { log.Report(DamageKind::kZeroed, "C", 3, "another thread"); }).join();
    {
      const DamageCapture nested(log, inner);
      log.Report(DamageKind::kZeroed, "D", 4, "nested");
    }
    log.Report(DamageKind::kZeroed, "E", 5, "second");
  }
  log.Report(DamageKind::kZeroed, "F", 6, "after");
  EXPECT_EQ(other.Count(), 1u);
  ASSERT_EQ(log.Reports().size(), 2u);
  EXPECT_EQ(log.Reports()[0].structure, "C");
  EXPECT_EQ(log.Reports()[1].structure, "F");
  ASSERT_EQ(inner.reports.size(), 1u);
  EXPECT_EQ(inner.reports[0].structure, "D");
  ASSERT_EQ(outer.reports.size(), 2u);
  log.Add(std::move(outer));
  std::vector<std::string> order;
  for (const DamageReport& r : log.Reports()) order.push_back(r.structure);
  EXPECT_EQ(order, (std::vector<std::string>{"C", "F", "A", "E"}));

  DamageLog full;
  CapturedDamage many;
  {
    const DamageCapture capture(full, many);
    for (std::size_t i = 0; i < DamageLog::kMaxKept + 5; ++i)
      full.Report(DamageKind::kCycle, "X", i, "x");
  }
  EXPECT_EQ(many.reports.size(), DamageLog::kMaxKept);
  EXPECT_EQ(many.dropped, 5u);
  full.Report(DamageKind::kCycle, "Y", 0, "y");
  full.Add(std::move(many));
  EXPECT_EQ(full.Count(), DamageLog::kMaxKept + 6);
  EXPECT_EQ(full.Dropped(), 6u);
  EXPECT_EQ(full.Reports().front().structure, "Y");
}

}  // namespace
}  // namespace palvara
