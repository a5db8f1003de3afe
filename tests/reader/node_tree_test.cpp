#include "reader/node_tree.h"

#include <gtest/gtest.h>

namespace palvara {
namespace {

using NidParent = std::pair<std::uint32_t, std::uint32_t>;

class NodeTreeTest : public ::testing::Test {
 protected:
  void Place(std::uint32_t nid, std::uint32_t parent, std::uint64_t bidData = 0) {
    tree_.Place(NodeEntry{nid, bidData, 0, parent}, blocks_, cache_, damage_);
  }
  std::vector<std::tuple<std::uint32_t, std::uint32_t, int>> Shape() const {
    std::vector<std::tuple<std::uint32_t, std::uint32_t, int>> out;
    tree_.ForEachPreorder([&out](const StoreNode& n, int depth) {
      out.emplace_back(n.nid, n.parent ? n.parent->nid : 0, depth);
    });
    return out;
  }
  void NewPage() { cache_ = ParentCache(); }

  BlockIndex blocks_;
  ParentCache cache_;
  DamageLog damage_;
  NodeTree tree_;
};

TEST_F(NodeTreeTest, NodeMetAgainMovesWithItsSubtree) {
  Place(0x122, 0x122);
  Place(0x8022, 0x122);
  Place(0x8042, 0x122);
  Place(0x8062, 0x8022);    // folder with a message below it
  Place(0x200004, 0x8062);
  NewPage();
  Place(0x8062, 0x8042, 0x40);  // met again under another parent
  using T = std::tuple<std::uint32_t, std::uint32_t, int>;
  EXPECT_EQ(Shape(), (std::vector<T>{{0x122, 0, 0},
                                     {0x8022, 0x122, 1},
                                     {0x8042, 0x122, 1},
                                     {0x8062, 0x8042, 2},
                                     {0x200004, 0x8062, 3}}));
  EXPECT_EQ(tree_.Find(0x8022)->childCount, 1);  // not lowered by the move
  EXPECT_EQ(tree_.Find(0x8062)->BidData(), 0x40u);
  EXPECT_EQ(tree_.CreatedCount(), 5u);

  Place(0x8062, 0);  // parent 0: to the top level
  EXPECT_EQ(tree_.Find(0x8062)->parent, nullptr);
  EXPECT_EQ(tree_.Last()->nid, 0x8062u);
  Place(0x8062, 0x8042);  // a node without a parent stays where it is
  EXPECT_EQ(tree_.Find(0x8062)->parent, nullptr);
}

TEST_F(NodeTreeTest, MoveToAnUnknownParentWaitsAndIsAttachedLater) {
  Place(0x122, 0x122);
  Place(0x8022, 0x122);
  Place(0x200004, 0x8022);
  Place(0x8022, 0x9000);  // parent not met yet: the subtree leaves the tree
  EXPECT_EQ(tree_.Find(0x8022), nullptr);
  EXPECT_EQ(tree_.Find(0x200004), nullptr);
  NewPage();
  Place(0x9000 + 2, 0x122);  // unrelated
  Place(0x9000, 0x122);
  ASSERT_NE(tree_.Find(0x200004), nullptr);
  EXPECT_EQ(tree_.Find(0x8022)->parent->nid, 0x9000u);
}

TEST_F(NodeTreeTest, ParentChainsThatLoopAreRefused) {
  Place(0x122, 0x122);
  Place(0x8022, 0x122);
  Place(0x8042, 0x8022);
  Place(0x8022, 0x8042);  // would hang 0x8022 below its own child
  EXPECT_EQ(tree_.Find(0x8022)->parent->nid, 0x122u);
  EXPECT_EQ(damage_.Count(), 1u);

  // Two pending nodes waiting for each other never enter the tree.
  Place(0xA002, 0xA022);
  Place(0xA022, 0xA002);
  EXPECT_EQ(tree_.Find(0xA002), nullptr);
  EXPECT_EQ(tree_.Find(0xA022), nullptr);
  std::size_t count = 0;
  tree_.ForEachPreorder([&count](const StoreNode&, int) { ++count; });
  EXPECT_EQ(count, 3u);
}

TEST_F(NodeTreeTest, DuplicateNidsResolveToTheFirstInPreorder) {
  Place(0x122, 0x122);
  Place(0x8022, 0x122);
  Place(0x200004, 0x9002);  // pending
  Place(0x200004, 0x8022);  // not found (pending nodes are not in the tree): a second node
  Place(0x9002, 0x122);     // the first one is attached now, after 0x8022 in pre-order
  const StoreNode* found = tree_.Find(0x200004);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->parent->nid, 0x8022u);
  EXPECT_EQ(tree_.CreatedCount(), 5u);
}

}  // namespace
}  // namespace palvara
