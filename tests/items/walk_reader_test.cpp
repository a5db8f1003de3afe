#include "items/walk_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "reader/btree_walk.h"
#include "tests/support/test_data.h"
#include "writer/sample_generator.h"

namespace palvara {
namespace {

// A sample store, opened and indexed, with the top of its folders.
class WalkReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto path = std::filesystem::temp_directory_path() /
                      ("palvara-walk-" + std::to_string(::getpid()) + ".pst");
    SampleOptions options;
    options.messages = 120;
    SampleSummary summary;
    ASSERT_TRUE(WriteSampleStore(path, options, &summary).ok());
    ASSERT_TRUE(OpenStore(store_, path).ok());
    std::filesystem::remove(path);
    IndexStore(store_);
    LoadNamedPropertyMap(store_);
    context_ = MapContextFor(store_);
    top_ = FindNode(store_, 0x8022);
    ASSERT_NE(top_, nullptr);
  }

  // The nodes a walk takes with `ahead`, their records mapped; stops after `stopAfter` nodes.
  std::vector<std::uint32_t> Walk(bool ahead, std::size_t stopAfter = 0) {
    RunControl control;
    WalkReading reading;
    reading.context = &context_;
    reading.ahead = ahead;
    WalkReader reader(store_, *top_, reading, control);
    std::vector<std::uint32_t> taken;
    std::size_t nodes = 0;
    for (WalkCursor cursor(*top_); cursor.node() != nullptr && !control.stopAnalysis;) {
      std::optional<WalkStep> step = reader.Take(*cursor.node());
      if (!step) break;
      if (step->record && !step->mapped) MapItem(step->lists, *step->record, context_);
      taken.push_back(step->node->nid);
      if (step->record) taken.push_back(step->record->messageClass ? 1 : 0);
      if (++nodes == stopAfter) control.stopAnalysis = true;
      cursor.Next(DescendsInto(*step->node, step->record.get()), [] {});
    }
    return taken;
  }

  StoreFile store_;
  MapContext context_;
  const StoreNode* top_ = nullptr;
};

TEST_F(WalkReaderTest, ReadingAheadTakesTheSameNodesInTheSameOrder) {
  const std::vector<std::uint32_t> once = Walk(false);
  EXPECT_GT(once.size(), 2u * 120u);
  for (int run = 0; run < 3; ++run) EXPECT_EQ(Walk(true), once);
}

TEST_F(WalkReaderTest, AStopOrAnEarlyEndLeavesNoThreadBehind) {
  // Stopped with the reader far ahead (and blocked on a full queue), at the first node, and
  // abandoned without a stop: each returns, and the nodes taken are the walk's first ones.
  const std::vector<std::uint32_t> all = Walk(false);
  for (std::size_t stopAfter : {1u, 5u, 100u}) {
    const std::vector<std::uint32_t> some = Walk(true, stopAfter);
    ASSERT_LE(some.size(), all.size());
    EXPECT_TRUE(std::equal(some.begin(), some.end(), all.begin())) << stopAfter;
  }
  RunControl control;
  WalkReading reading;
  reading.context = &context_;
  WalkReader abandoned(store_, *top_, reading, control);
}

}  // namespace
}  // namespace palvara
