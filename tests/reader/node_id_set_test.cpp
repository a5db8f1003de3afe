#include "reader/node_id_set.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

namespace palvara {
namespace {

// Against std::set over ids that collide in their low bits and include 0: every id inserted is
// counted once, iteration gives each once, and growing keeps them all.
TEST(NodeIdSetTest, HoldsWhatASetHolds) {
  NodeIdSet ids;
  std::set<std::uint32_t> want;
  std::mt19937 random(7);
  for (int i = 0; i < 200000; ++i) {
    const std::uint32_t nid = i % 3 == 0 ? (random() % 4096) << 20 : random() % 100000;
    EXPECT_EQ(ids.insert(nid), want.insert(nid).second) << nid;
  }
  EXPECT_TRUE(ids.insert(0) == want.insert(0).second);
  EXPECT_EQ(ids.size(), want.size());
  for (std::uint32_t nid : {0u, 1u, 99999u, 100000u, 4095u << 20, 0xFFFFFFFFu}) {
    EXPECT_EQ(ids.count(nid), want.count(nid)) << nid;
  }
  const std::set<std::uint32_t> got(ids.begin(), ids.end());
  EXPECT_EQ(got, want);
  EXPECT_EQ(static_cast<std::size_t>(std::distance(ids.begin(), ids.end())), want.size());
  ids.clear();
  EXPECT_TRUE(ids.empty());
  EXPECT_EQ(ids.begin(), ids.end());
  EXPECT_EQ(ids.count(0), 0u);
}

}  // namespace
}  // namespace palvara
