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
  Place(0x8062, 0x8022);  // folder with a message below it
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

// A chain of folders each naming the next as its parent, met in nid order, grows at its top
// while it waits: it takes one walk when it is attached, and a child that named a folder in
// the middle of the chain while the chain was waiting is attached then too.
TEST_F(NodeTreeTest, ALongPendingChainIsAttachedWholeWhenItsTopIsPlaced) {
  constexpr std::uint32_t kChain = 50000;
  auto folder = [](std::uint32_t i) { return ((0x1000u + i) << 5) | 0x02; };
  Place(0x122, 0x122);
  for (std::uint32_t i = 0; i < kChain; ++i) Place(folder(i), folder(i + 1));
  Place(0x200004, folder(kChain / 2));  // waits: its parent hangs below a waiting one
  EXPECT_EQ(tree_.Find(folder(0)), nullptr);
  EXPECT_EQ(tree_.Orphans().size(), 2u);
  Place(folder(kChain), 0x122);
  std::size_t depth = 0;
  for (const StoreNode* n = tree_.Find(folder(0)); n != nullptr; n = n->parent) ++depth;
  EXPECT_EQ(depth, kChain + 2);
  const StoreNode* message = tree_.Find(0x200004);
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(message->parent->nid, folder(kChain / 2));
  EXPECT_TRUE(tree_.Orphans().empty());
}

// The same chain closed on itself never enters the tree: its last folder waits for the first,
// which hangs below it.
TEST_F(NodeTreeTest, ALongChainThatLoopsStaysOutside) {
  constexpr std::uint32_t kChain = 50000;
  auto folder = [](std::uint32_t i) { return ((0x1000u + i) << 5) | 0x02; };
  Place(0x122, 0x122);
  for (std::uint32_t i = 0; i < kChain; ++i) Place(folder(i), folder((i + 1) % kChain));
  EXPECT_EQ(tree_.ReachableCount(), 1u);
  EXPECT_EQ(tree_.CreatedCount(), kChain + 1);
  const std::vector<const StoreNode*> orphans = tree_.Orphans();
  ASSERT_EQ(orphans.size(), 1u);
  EXPECT_EQ(orphans[0]->nid, folder(kChain - 1));
  EXPECT_EQ(orphans[0]->nidParent, folder(0));
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

// Enough nodes to fill several chunks: links and block links across chunk borders lead where
// they were set, and nodes met out of nid order are still found.
TEST_F(NodeTreeTest, LinksAndBlocksHoldAcrossManyNodes) {
  constexpr std::uint32_t kFolders = 40;
  constexpr std::uint32_t kMessages = 30000;
  for (std::uint64_t i = 1; i <= kMessages + kFolders + 1; ++i) {
    blocks_.Append({i * 4, i * 64, 100, 2});
  }
  Place(0x122, 0x122, 4);
  for (std::uint32_t f = 0; f < kFolders; ++f) Place(0x8002 + f * 0x20, 0x122, 8 + f * 4);
  for (std::uint32_t m = 0; m < kMessages; ++m) {
    const std::uint32_t folder = 0x8002 + (m * 7 % kFolders) * 0x20;
    Place(0x200004 + m * 0x20, folder, 8 + (kFolders + m) * 4);
  }
  Place(0x100004, 0x8002, 0x999998);  // out of nid order, with a bid no block has
  ASSERT_EQ(tree_.CreatedCount(), 1 + kFolders + kMessages + 1);
  for (std::uint32_t m = 0; m < kMessages; m += 997) {
    const StoreNode* node = tree_.Find(0x200004 + m * 0x20);
    ASSERT_NE(node, nullptr) << m;
    EXPECT_EQ(node->parent->nid, 0x8002 + (m * 7 % kFolders) * 0x20) << m;
    ASSERT_NE(node->dataBlock, nullptr) << m;
    EXPECT_EQ(node->dataBlock->offset, (kFolders + m + 2) * 64) << m;
    EXPECT_EQ(node->BidData(), 8 + (kFolders + m) * 4) << m;
    EXPECT_EQ(node->subnodeBlock, nullptr);
  }
  // Children in the order they were placed, each pointing back at its parent and neighbours.
  const StoreNode* folder = tree_.Find(0x8002 + 3 * 0x20);
  std::size_t children = 0;
  const StoreNode* previous = nullptr;
  for (const StoreNode* c = folder->firstChild; c != nullptr; c = c->nextSibling, ++children) {
    ASSERT_EQ(c->parent, folder);
    ASSERT_EQ(c->previousSibling, previous);
    if (previous != nullptr) {
      ASSERT_LT(previous->nid, c->nid);
    }
    previous = c;
  }
  EXPECT_EQ(folder->lastChild, previous);
  EXPECT_EQ(children, kMessages / kFolders);
  const StoreNode* late = tree_.Find(0x100004);
  ASSERT_NE(late, nullptr);
  EXPECT_EQ(late->dataBlock, nullptr);
  EXPECT_EQ(late->BidData(), 0x999998u);
}

// The raw bids of a leaf entry come back as they were, whether a block was found for them or
// not, and a block added later is found by a relink.
TEST_F(NodeTreeTest, RawBidsSurviveMissingBlocksAndRelinks) {
  blocks_.Append({0x40, 0x1000, 10, 1});
  Place(0x122, 0x122);
  tree_.Place(NodeEntry{0x8022, 0x41, 0x80, 0x122}, blocks_, cache_, damage_);  // bit 0; absent
  const StoreNode* node = tree_.Find(0x8022);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->dataBlock, blocks_.Find(0x40));
  EXPECT_EQ(node->BidData(), 0x41u);
  EXPECT_EQ(node->BidSub(), 0x80u);
  EXPECT_EQ(node->subnodeBlock, nullptr);

  blocks_.Append({0x80, 0x2000, 20, 1});
  EXPECT_EQ(tree_.RelinkBlocks(blocks_), std::vector<std::uint32_t>{0x8022});
  EXPECT_EQ(node->subnodeBlock->offset, 0x2000u);
  EXPECT_EQ(node->BidSub(), 0x80u);
  EXPECT_EQ(node->BidData(), 0x41u);
  EXPECT_TRUE(tree_.RelinkBlocks(blocks_).empty());

  // Met again with plain bids: nothing kept aside any more.
  tree_.Place(NodeEntry{0x8022, 0x40, 0, 0x122}, blocks_, cache_, damage_);
  EXPECT_EQ(node->BidData(), 0x40u);
  EXPECT_EQ(node->BidSub(), 0u);
  EXPECT_EQ(node->subnodeBlock, nullptr);

  blocks_.Append({0xC0, 0x3000, 30, 1});
  blocks_.Append({0xC0, 0x4000, 30, 1});
  ASSERT_TRUE(tree_.SetDataBlock(0x8022, &blocks_.At(3)));  // the later copy, as given
  EXPECT_EQ(node->dataBlock->offset, 0x4000u);
  EXPECT_EQ(node->BidData(), 0xC0u);
  BlockEntry elsewhere(0xC0, 0x5000, 30, 1);
  EXPECT_FALSE(tree_.SetDataBlock(0x8022, &elsewhere));
  EXPECT_EQ(node->dataBlock->offset, 0x4000u);
}

}  // namespace
}  // namespace palvara
