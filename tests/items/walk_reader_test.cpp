#include "items/walk_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
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
    path_ = std::filesystem::temp_directory_path() /
            ("palvara-walk-" + std::to_string(::getpid()) + ".pst");
    SampleOptions options;
    options.messages = 120;
    SampleSummary summary;
    ASSERT_TRUE(WriteSampleStore(path_, options, &summary).ok());
    ASSERT_TRUE(OpenStore(store_, path_).ok());
    bytes_ = testing::ReadFileBytes(path_);
    std::filesystem::remove(path_);
    IndexStore(store_);
    LoadNamedPropertyMap(store_);
    context_ = MapContextFor(store_);
    top_ = FindNode(store_, 0x8022);
    ASSERT_NE(top_, nullptr);
  }

  // The nodes a walk takes with `ahead`, their records mapped; stops after `stopAfter` nodes.
  std::vector<std::uint32_t> Walk(bool ahead, std::size_t stopAfter = 0) {
    return Walk(store_, *top_, context_, ahead, stopAfter);
  }
  static std::vector<std::uint32_t> Walk(StoreFile& store, const StoreNode& top,
                                         const MapContext& context, bool ahead,
                                         std::size_t stopAfter = 0) {
    RunControl control;
    WalkReading reading;
    reading.context = &context;
    reading.ahead = ahead;
    WalkReader reader(store, top, reading, control);
    std::vector<std::uint32_t> taken;
    std::size_t nodes = 0;
    for (WalkCursor cursor(top); cursor.node() != nullptr && !control.stopAnalysis;) {
      std::optional<WalkStep> step = reader.Take(*cursor.node());
      if (!step) break;
      if (step->record && !step->mapped) MapItem(step->lists, *step->record, context);
      taken.push_back(step->node->nid);
      if (step->record) taken.push_back(step->record->messageClass ? 1 : 0);
      if (++nodes == stopAfter) control.stopAnalysis = true;
      cursor.Next(DescendsInto(*step->node, step->record.get()), [] {});
    }
    return taken;
  }

  std::filesystem::path path_;
  Bytes bytes_;  // the sample as written
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

// What the reading threads meet is reported as one thread reading in the walk's order reports
// it. Every attachment's data tree here claims more children than its block holds.
TEST_F(WalkReaderTest, ReadingAheadReportsDamageInTheWalksOrder) {
  Bytes broken = bytes_;
  std::size_t trees = 0;
  store_.nodes.ForEachPreorder([&](const StoreNode& node, int) {
    ItemLists lists;
    if (node.dataBlock == nullptr ||
        !ReadItem(store_, node, context_, AttachmentReading::kWhole, lists)) {
      return;
    }
    for (const ItemLists::Attachment& a : lists.attachments) {
      for (const SubnodeEntry& sub : a.own) {
        if (sub.data == nullptr || !sub.data->IsInternal()) continue;
        StoreLe(broken, sub.data->offset + 2, 0x7FFFu, 2);
        ++trees;
      }
    }
  });
  ASSERT_GT(trees, 3u);
  {
    std::ofstream out(path_, std::ios::binary);
    out.write(reinterpret_cast<const char*>(broken.data()), static_cast<std::streamsize>(broken.size()));
  }
  StoreFile damaged;
  ASSERT_TRUE(OpenStore(damaged, path_).ok());  // read through the file's cache
  std::filesystem::remove(path_);
  IndexStore(damaged);
  LoadNamedPropertyMap(damaged);
  const MapContext context = MapContextFor(damaged);
  const StoreNode* top = FindNode(damaged, 0x8022);
  ASSERT_NE(top, nullptr);

  // The reports each walk adds to the log.
  const auto reportsOf = [&](bool ahead) {
    const std::size_t before = damaged.damage.Reports().size();
    Walk(damaged, *top, context, ahead);
    std::vector<std::string> added;
    const std::vector<DamageReport> all = damaged.damage.Reports();
    for (std::size_t i = before; i < all.size(); ++i) added.push_back(all[i].ToString());
    return added;
  };
  const std::vector<std::string> once = reportsOf(false);
  ASSERT_GT(once.size(), 3u);
  for (int run = 0; run < 3; ++run) EXPECT_EQ(reportsOf(true), once);
}

}  // namespace
}  // namespace palvara
