#include "reader/btree_walk.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

#include "reader/block_access.h"
#include "tests/support/store_builder.h"

namespace palvara {
namespace {

using testing::BtEntry;
using testing::BuildSimpleStore;
using testing::BuiltStore;
using testing::Layout;
using testing::NbtEntry;
using testing::NodesWithParents;
using testing::SimpleStore;
using testing::StoreBuilder;
using NidParent = std::pair<std::uint32_t, std::uint32_t>;

class WalkTest : public ::testing::TestWithParam<Layout> {
 protected:
  Layout layout() const { return GetParam(); }

  // A store whose node 0x21 holds a property-context heap, plus `extra` nodes (ascending).
  SimpleStore Spec(std::vector<NbtEntry> extra, std::size_t perPage = 0) const {
    SimpleStore spec;
    spec.layout = layout();
    spec.perPage = perPage;
    spec.blocks.push_back({4, testing::EmptyPropertyContextHeap()});
    spec.nodes.push_back(NbtEntry{0x21, 4, 0, 0});
    for (const NbtEntry& e : extra) spec.nodes.push_back(e);
    return spec;
  }

  // Rewrites a page in place through a builder over the image.
  template <typename F>
  static void Edit(Bytes& image, Layout layout, F edit) {
    StoreBuilder b(layout);
    b.image() = std::move(image);
    edit(b);
    image = std::move(b.image());
  }

  std::vector<BtEntry> ReadIntermediate(const Bytes& image, std::uint64_t page) const {
    const std::size_t w = layout() == Layout::kAnsi ? 4 : 8;
    const std::size_t count = ByteAt(image, page + (w == 4 ? 496 : 488));
    std::vector<BtEntry> entries;
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t at = page + i * 3 * w;
      entries.push_back(BtEntry{*LoadLeN(image, at, w), *LoadLeN(image, at + w, w),
                                *LoadLeN(image, at + 2 * w, w)});
    }
    return entries;
  }
};

// A folder skeleton: root folder, two folders, messages below them.
std::vector<NbtEntry> Skeleton() {
  return {{0x122, 0, 0, 0x122},   {0x8022, 0, 0, 0x122},  {0x8042, 0, 0, 0x8022},
          {0x200004, 0, 0, 0x8022}, {0x200024, 0, 0, 0x8042}, {0x200044, 0, 0, 0x8042}};
}

std::vector<NidParent> Expected(const std::vector<NbtEntry>& entries) {
  std::vector<NidParent> out{{0x21, 0}};
  for (const NbtEntry& e : entries) out.emplace_back(e.nid, e.nidParent == e.nid ? 0 : e.nidParent);
  return out;
}

std::vector<NidParent> Sorted(std::vector<NidParent> v) {
  std::sort(v.begin(), v.end());
  return v;
}

TEST_P(WalkTest, LeafRootsNeedTheFirstBlockIdFour) {
  BuiltStore built = BuildSimpleStore(Spec(Skeleton()));
  ASSERT_EQ(built.blockLevels, 1);
  auto store = testing::OpenAndIndex(built.image);
  EXPECT_EQ(store->blockLeafDepth, 0);
  EXPECT_EQ(store->nodeLeafDepth, 0);
  EXPECT_EQ(store->blocks.Size(), 1u);
  EXPECT_EQ(Sorted(NodesWithParents(*store)), Sorted(Expected(Skeleton())));

  SimpleStore noFour = Spec(Skeleton());
  noFour.blocks[0].first = 8;
  noFour.nodes[0].bidData = 8;
  auto broken = testing::OpenImage(BuildSimpleStore(noFour).image);
  EXPECT_EQ(IndexStore(*broken), 2);
  EXPECT_EQ(broken->blocks.Size(), 0u);
  EXPECT_FALSE(broken->damage.Empty());
}

TEST_P(WalkTest, ThreeLevelTreesAreReadWholeWithOrWithoutPageMetadata) {
  std::vector<NbtEntry> nodes = Skeleton();
  SimpleStore spec = Spec(nodes, 2);
  for (std::uint64_t bid = 8; bid < 8 + 4 * 12; bid += 4) {
    spec.blocks.push_back({bid, Bytes(40, std::byte{0x11})});
  }
  for (bool metadata : {true, false}) {
    spec.writeMetadata = metadata;
    BuiltStore built = BuildSimpleStore(spec);
    ASSERT_GE(built.blockLevels, 3);
    ASSERT_GE(built.nodeLevels, 3);
    auto store = testing::OpenAndIndex(built.image);
    EXPECT_EQ(store->blocks.Size(), 13u) << metadata;
    EXPECT_EQ(store->blockLeafDepth, built.blockLevels - 1);
    EXPECT_EQ(store->nodeLeafDepth, built.nodeLevels - 1);
    EXPECT_EQ(Sorted(NodesWithParents(*store)), Sorted(Expected(nodes))) << metadata;
    EXPECT_TRUE(store->damage.Empty()) << store->damage.Reports().front().ToString();
  }
}

TEST_P(WalkTest, RepeatedNidEndsTheLeafPage) {
  BuiltStore built = BuildSimpleStore(Spec({{0x61, 0, 0, 0}, {0x122, 0, 0, 0x122}}));
  Edit(built.image, layout(), [&](StoreBuilder& b) {
    b.WriteNodeLeafPage(built.nodeLeafPages[0], {{0x21, 4, 0, 0},
                                                 {0x61, 0, 0, 0},
                                                 {0x61, 0, 0, 0},
                                                 {0x122, 0, 0, 0x122}},
                        {.liveCount = {}, .writeMetadata = false});
  });
  auto store = testing::OpenAndIndex(built.image);
  EXPECT_EQ(NodesWithParents(*store), (std::vector<NidParent>{{0x21, 0}, {0x61, 0}}));
}

TEST_P(WalkTest, ChildrenWaitForParentsOnTheSameOrALaterPage) {
  // Messages with lower nids than their folders; folder 0x8062 itself waits for 0x8082.
  const std::vector<NbtEntry> nodes = {
      {0x122, 0, 0, 0x122},      {0x8004, 0, 0, 0x8062},   {0x8024, 0, 0, 0x8082},
      {0x8044, 0, 0, 0x8082},    {0x8062, 0, 0, 0x8082},   {0x8064, 0, 0, 0x8082},
      {0x8082, 0, 0, 0x122}};
  for (std::size_t perPage : {0u, 2u, 3u}) {
    auto store = testing::OpenAndIndex(BuildSimpleStore(Spec(nodes, perPage)).image);
    EXPECT_EQ(Sorted(NodesWithParents(*store)), Sorted(Expected(nodes))) << perPage;
    EXPECT_TRUE(store->nodes.Orphans().empty());
    const StoreNode* folder = FindNode(*store, 0x8082);
    ASSERT_NE(folder, nullptr);
    EXPECT_EQ(folder->childCount, 4);
  }
}

TEST_P(WalkTest, NodeMetAgainOnALaterPageMovesWithItsSubtree) {
  // Intermediate keys out of order let a later page repeat nid 0x8062 under a new parent.
  StoreBuilder b(layout());
  const auto heap = b.AddBlock(4, testing::EmptyPropertyContextHeap());
  const std::uint64_t bbt = b.AllocatePage();
  b.WriteBlockLeafPage(bbt, {heap});
  const std::uint64_t pageA = b.AllocatePage(), pageB = b.AllocatePage(), pageC = b.AllocatePage();
  const std::uint64_t root = b.AllocatePage();
  b.WriteNodeLeafPage(pageA, {{0x21, 4, 0, 0},
                              {0x122, 0, 0, 0x122},
                              {0x8004, 0, 0, 0x8062},
                              {0x8022, 0, 0, 0x122},
                              {0x8042, 0, 0, 0x122},
                              {0x8062, 0, 0, 0x8022}});
  b.WriteNodeLeafPage(pageB, {{0x9002, 0, 0, 0x122}});
  b.WriteNodeLeafPage(pageC, {{0x8062, 0, 0, 0x8042}});
  b.WriteIntermediatePage(root, {{0x21, 1, pageA}, {0x9002, 2, pageB}, {0x8062, 3, pageC}}, 1,
                          true);
  b.SetRoots(root, bbt);
  auto store = testing::OpenAndIndex(b.image());
  EXPECT_EQ(Sorted(NodesWithParents(*store)), Sorted({{0x21, 0},
                                                      {0x122, 0},
                                                      {0x8004, 0x8062},
                                                      {0x8022, 0x122},
                                                      {0x8042, 0x122},
                                                      {0x8062, 0x8042},
                                                      {0x9002, 0x122}}));
  EXPECT_EQ(store->nodes.CreatedCount(), 7u);
}

TEST_P(WalkTest, OrphansStayOutOfTheTreeButReachable) {
  auto store = testing::OpenAndIndex(
      BuildSimpleStore(Spec({{0x122, 0, 0, 0x122}, {0x8004, 0, 0, 0x9999}})).image);
  EXPECT_EQ(FindNode(*store, 0x8004), nullptr);
  ASSERT_EQ(store->nodes.Orphans().size(), 1u);
  EXPECT_EQ(store->nodes.Orphans()[0]->nid, 0x8004u);
}

TEST_P(WalkTest, IndexingTwiceUpdatesNodesInPlace) {
  auto store = testing::OpenImage(BuildSimpleStore(Spec(Skeleton(), 3)).image);
  IndexStore(*store);
  const StoreNode* before = FindNode(*store, 0x200044);
  const auto nodes = NodesWithParents(*store);
  const std::size_t blocks = store->blocks.Size();
  IndexStore(*store);
  EXPECT_EQ(FindNode(*store, 0x200044), before);
  EXPECT_EQ(NodesWithParents(*store), nodes);
  EXPECT_EQ(store->blocks.Size(), 2 * blocks);
  EXPECT_EQ(store->nodes.CreatedCount(), nodes.size());
}

// Stops the walk after a number of page reads, as a user pressing Stop would.
class StoppingSource : public ByteSource {
 public:
  StoppingSource(Bytes data, RunControl& control, int readsBeforeStop)
      : inner_(std::move(data)), control_(control), left_(readsBeforeStop) {}
  std::uint64_t Size() const override { return inner_.Size(); }
  std::size_t ReadAt(std::uint64_t offset, std::span<std::byte> out) override {
    if (--left_ == 0) control_.RequestStopAnalysis();
    return inner_.ReadAt(offset, out);
  }

 private:
  MemoryByteSource inner_;
  RunControl& control_;
  int left_;
};

TEST_P(WalkTest, StopKeepsWhatWasPlacedAndSavingIgnoresAnAnalysisStop) {
  std::vector<NbtEntry> nodes = {{0x122, 0, 0, 0x122}};
  for (std::uint32_t i = 0; i < 40; ++i) nodes.push_back({0x200004 + (i << 5), 0, 0, 0x122});
  const Bytes image = BuildSimpleStore(Spec(nodes, 4)).image;
  for (bool saving : {false, true}) {
    RunControl control;
    control.savingActive = saving;
    StoreFile store;
    // Reads: header, BBT root, then the node pages; stop a few pages into the node walk.
    OpenStore(store, std::make_unique<StoppingSource>(image, control, 10));
    EXPECT_EQ(IndexStore(store, &control), 0);
    const std::size_t placed = NodesWithParents(store).size();
    if (saving) {
      EXPECT_EQ(placed, nodes.size() + 1);
    } else {
      EXPECT_GT(placed, 0u);
      EXPECT_LT(placed, nodes.size() + 1);
    }
  }
}

TEST_P(WalkTest, UnreadableOrMismatchedSubtreesAreSkippedAndReported) {
  const std::vector<NbtEntry> nodes = Skeleton();
  BuiltStore built = BuildSimpleStore(Spec(nodes, 2));
  const std::uint64_t nodeLevelOne = built.nodeIntermediatePages.front();
  std::vector<BtEntry> entries = ReadIntermediate(built.image, nodeLevelOne);
  ASSERT_EQ(entries.size(), 2u);
  // The second leaf now lies past the end of the file; in the block tree, the second leaf's
  // key no longer matches the page it points at.
  const std::uint32_t lostA = static_cast<std::uint32_t>(entries[1].key);
  entries[1].offset = built.image.size() + 4096;
  Edit(built.image, layout(), [&](StoreBuilder& b) {
    b.WriteIntermediatePage(nodeLevelOne, entries, 1, true);
  });
  auto store = testing::OpenAndIndex(built.image);
  std::set<std::uint32_t> found;
  for (const auto& [nid, parent] : NodesWithParents(*store)) found.insert(nid);
  EXPECT_EQ(lostA, 0x8022u);
  // The lost leaf held 0x8022 and 0x8042: their messages wait as orphans.
  EXPECT_EQ(found, (std::set<std::uint32_t>{0x21, 0x122}));
  EXPECT_EQ(store->nodes.Orphans().size(), 3u);
  ASSERT_FALSE(store->damage.Empty());
  EXPECT_NE(store->damage.Reports()[0].text.find("beyond the end"), std::string::npos);

  // Block tree: a key that does not match its page skips that leaf only.
  SimpleStore many = Spec({}, 2);
  for (std::uint64_t bid = 8; bid <= 24; bid += 4) many.blocks.push_back({bid, Bytes(8)});
  BuiltStore b2 = BuildSimpleStore(many);
  const std::uint64_t blockLevelOne = b2.blockIntermediatePages.front();
  std::vector<BtEntry> bEntries = ReadIntermediate(b2.image, blockLevelOne);
  bEntries[1].key += 1;
  Edit(b2.image, layout(), [&](StoreBuilder& b) {
    b.WriteIntermediatePage(blockLevelOne, bEntries, 1, false);
  });
  auto s2 = testing::OpenAndIndex(b2.image);
  EXPECT_EQ(s2->blocks.Size(), 6u - 2u);
  EXPECT_EQ(FindBlock(*s2, 12), nullptr);
  EXPECT_EQ(FindBlock(*s2, 16), nullptr);
  EXPECT_NE(FindBlock(*s2, 20), nullptr);
  EXPECT_NE(s2->damage.Reports()[0].text.find("first key"), std::string::npos);
}

TEST_P(WalkTest, PagesPointingBackIntoTheirOwnPathAreWalkedOnce) {
  SimpleStore spec = Spec(Skeleton(), 2);
  for (std::uint64_t bid = 8; bid <= 40; bid += 4) spec.blocks.push_back({bid, Bytes(8)});
  BuiltStore built = BuildSimpleStore(spec);
  ASSERT_GE(built.blockLevels, 3);
  ASSERT_GE(built.nodeLevels, 3);
  // A level-1 page gets a second entry that points at itself with its own first key, and the
  // root gets an entry pointing at itself too.
  for (bool nodeTree : {false, true}) {
    const auto& pages = nodeTree ? built.nodeIntermediatePages : built.blockIntermediatePages;
    const std::uint64_t page = pages.front();
    std::vector<BtEntry> entries = ReadIntermediate(built.image, page);
    entries.resize(1);
    entries.push_back(BtEntry{entries[0].key, 0x777, page});
    Edit(built.image, layout(), [&](StoreBuilder& b) {
      b.WriteIntermediatePage(page, entries, 1, nodeTree);
    });
  }
  auto store = testing::OpenAndIndex(built.image);
  std::set<std::uint64_t> bids;
  for (const BlockEntry& e : store->blocks) bids.insert(e.id);
  // Only real block ids, each once: nothing read from a page taken for a leaf.
  EXPECT_EQ(bids.size(), store->blocks.Size());
  for (std::uint64_t bid : bids) EXPECT_TRUE(bid >= 4 && bid <= 40 && bid % 4 == 0) << bid;
  store->nodes.ForEachPreorder([](const StoreNode& n, int) {
    EXPECT_TRUE(n.BidData() == 0 || n.BidData() == 4) << Hex(n.nid) << " " << Hex(n.BidData());
    EXPECT_EQ(n.BidSub(), 0u) << Hex(n.nid);
  });
  EXPECT_GE(store->damage.Count(), 2u);
}

TEST_P(WalkTest, SelfReferencingRootTerminates) {
  BuiltStore built = BuildSimpleStore(Spec(Skeleton()));
  for (bool nodeTree : {false, true}) {
    const std::uint64_t root = nodeTree ? built.nodeRoot : built.blockRoot;
    const std::uint64_t key = nodeTree ? 0x21 : 4;
    Edit(built.image, layout(), [&](StoreBuilder& b) {
      b.WriteIntermediatePage(root, {{key, 1, root}, {key, 1, root}, {key + 8, 1, root}}, 1,
                              nodeTree);
    });
  }
  auto store = testing::OpenAndIndex(built.image);
  EXPECT_LE(store->blocks.Size(), 3u);
  EXPECT_LE(store->nodes.CreatedCount(), 3u);
}

TEST_P(WalkTest, ASelfPointingRootEntryIsReportedAndTheOtherEntriesAreWalked) {
  SimpleStore spec = Spec(Skeleton(), 2);
  for (std::uint64_t bid = 8; bid <= 40; bid += 4) spec.blocks.push_back({bid, Bytes(8)});
  BuiltStore built = BuildSimpleStore(spec);
  ASSERT_GE(built.blockLevels, 3);
  const std::uint64_t root = built.blockRoot;
  std::vector<BtEntry> entries = ReadIntermediate(built.image, root);
  entries.insert(entries.begin(), BtEntry{entries[0].key, 0x777, root});
  Edit(built.image, layout(), [&](StoreBuilder& b) {
    b.WriteIntermediatePage(root, entries, static_cast<int>(built.blockLevels) - 1, false);
  });
  auto store = testing::OpenAndIndex(built.image);
  EXPECT_EQ(store->blocks.Size(), 10u);  // every block, none read from the root taken for a leaf
  EXPECT_EQ(store->blockLeafDepth, built.blockLevels - 1);
  bool named = false;
  for (const DamageReport& r : store->damage.Reports()) {
    named |= r.structure == "BTPAGE" && r.offset == root &&
             r.text.find("entry 0 points back") != std::string::npos;
  }
  EXPECT_TRUE(named) << (store->damage.Empty() ? "no report" : store->damage.Reports().front().ToString());
}

TEST_P(WalkTest, StaleSlotsAfterTheEntryCountAreSetAside) {
  // Leaf pages: live entries, then stale ones from an earlier state of the page.
  StoreBuilder b(layout());
  const auto heap = testing::EmptyPropertyContextHeap();
  const auto b4 = b.AddBlock(4, heap);
  const auto b8 = b.AddBlock(8, Bytes(16, std::byte{0x08}));
  const auto old12 = b.AddBlock(12, Bytes(16, std::byte{0xAA}));
  const auto new12 = b.AddBlock(12, Bytes(16, std::byte{0xBB}));
  const std::uint64_t leaf1 = b.AllocatePage(), leaf2 = b.AllocatePage();
  const std::uint64_t bbtRoot = b.AllocatePage();
  b.WriteBlockLeafPage(leaf1, {b4, b8, old12}, {.liveCount = 2});
  b.WriteBlockLeafPage(leaf2, {new12});
  b.WriteIntermediatePage(bbtRoot, {{4, 1, leaf1}, {12, 2, leaf2}}, 1, false);

  const std::uint64_t n1 = b.AllocatePage(), n2 = b.AllocatePage(), n3 = b.AllocatePage();
  const std::uint64_t nbtRoot = b.AllocatePage();
  b.WriteNodeLeafPage(n1, {{0x21, 4, 0, 0}, {0x122, 8, 0, 0x122}, {0x8002, 8, 0, 0x122}},
                      {.liveCount = 2});
  // The last live leaf: 0x8062 lies above the stale intermediate key 0x8042.
  b.WriteNodeLeafPage(n2, {{0x8022, 12, 0, 0x122}, {0x8062, 12, 0, 0x122}});
  b.WriteNodeLeafPage(n3, {{0x8042, 8, 0, 0x122}, {0x200004, 8, 0, 0x8042}});  // an old page
  b.WriteIntermediatePage(nbtRoot, {{0x21, 1, n1}, {0x8022, 2, n2}, {0x8042, 3, n3}}, 1, true,
                          {.liveCount = 2});
  b.SetRoots(nbtRoot, bbtRoot);

  auto store = testing::OpenAndIndex(b.image());
  EXPECT_EQ(Sorted(NodesWithParents(*store)),
            Sorted({{0x21, 0}, {0x122, 0}, {0x8022, 0x122}, {0x8062, 0x122}}));
  ASSERT_NE(FindBlock(*store, 12), nullptr);
  EXPECT_EQ(FindBlock(*store, 12)->offset, new12.offset);
  const StoreNode* last = FindNode(*store, 0x8062);
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(ReadNodeBytes(*store, last->dataBlock), Bytes(16, std::byte{0xBB}));
  EXPECT_EQ(store->blocks.Size(), 3u);
  ASSERT_EQ(store->staleBlockEntries.size(), 1u);
  EXPECT_EQ(store->staleBlockEntries[0].offset, old12.offset);
  ASSERT_EQ(store->staleNodeEntries.size(), 1u);
  EXPECT_EQ(store->staleNodeEntries[0].nid, 0x8002u);
  EXPECT_TRUE(store->damage.Empty());
}

TEST_P(WalkTest, LastPageNeedsOnlyItsOwnBytes) {
  BuiltStore built = BuildSimpleStore(Spec(Skeleton()));
  // Move the node leaf to the very end of the file.
  StoreBuilder b(layout());
  b.image() = built.image;
  const std::uint64_t last = b.AllocatePage();
  b.WriteBytes(last, ByteSpan(built.image).subspan(built.nodeRoot, 512));
  b.SetRoots(last, built.blockRoot);
  Bytes cut = b.image();
  cut.resize(last + 512 + 16);
  auto store = testing::OpenAndIndex(cut);
  EXPECT_EQ(Sorted(NodesWithParents(*store)), Sorted(Expected(Skeleton())));

  cut.resize(last + 511);
  auto truncated = testing::OpenAndIndex(cut);
  EXPECT_EQ(truncated->nodes.First(), nullptr);
  EXPECT_FALSE(truncated->damage.Empty());
}

INSTANTIATE_TEST_SUITE_P(BothLayouts, WalkTest, ::testing::Values(Layout::kAnsi, Layout::kUnicode),
                         [](const auto& param) {
                           return param.param == Layout::kAnsi ? "Ansi" : "Unicode";
                         });

TEST(WalkLargeFileTest, PagesAndBlocksAboveFourGibibytesAreFound) {
  constexpr std::uint64_t kHigh = 0x140000000ull;  // 5 GiB
  const Bytes heap = testing::EmptyPropertyContextHeap();
  // The page and the block that will live at kHigh, built in a scratch image.
  StoreBuilder scratch(Layout::kUnicode);
  const auto block = scratch.AddBlock(4, heap);
  const Bytes encodedBlock(scratch.image().begin() + static_cast<std::ptrdiff_t>(block.offset),
                           scratch.image().begin() + static_cast<std::ptrdiff_t>(block.offset + 64));
  const std::uint64_t scratchPage = scratch.AllocatePage();
  scratch.WriteNodeLeafPage(scratchPage, {{0x21, 4, 0, 0}, {0x122, 0, 0, 0x122}});
  const Bytes page(scratch.image().begin() + static_cast<std::ptrdiff_t>(scratchPage),
                   scratch.image().begin() + static_cast<std::ptrdiff_t>(scratchPage + 512));

  StoreBuilder b(Layout::kUnicode);
  const std::uint64_t bbt = b.AllocatePage();
  b.WriteBlockLeafPage(bbt, {{4, kHigh + 512, static_cast<std::uint16_t>(heap.size()), 2}});
  b.SetRoots(kHigh, bbt);

  const auto path = std::filesystem::temp_directory_path() /
                    ("palvara-sparse-" + std::to_string(::getpid()) + ".pst");
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(b.image().data()),
              static_cast<std::streamsize>(b.image().size()));
  }
  const int fd = ::open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, page.data(), page.size(), kHigh), 512);
  ASSERT_EQ(::pwrite(fd, encodedBlock.data(), encodedBlock.size(), kHigh + 512), 64);
  ::close(fd);

  StoreFile store;
  ASSERT_TRUE(OpenStore(store, path).ok());
  IndexStore(store);
  std::filesystem::remove(path);
  EXPECT_EQ(NodesWithParents(store), (std::vector<NidParent>{{0x21, 0}, {0x122, 0}}));
  ASSERT_NE(FindNode(store, 0x21), nullptr);
  ASSERT_NE(FindBlock(store, 4), nullptr);
  EXPECT_EQ(FindBlock(store, 4)->offset, kHigh + 512);
  EXPECT_TRUE(store.encodingFromHeader);
  EXPECT_EQ(ReadNodeBytes(store, FindNode(store, 0x21)->dataBlock), heap);
}

}  // namespace
}  // namespace palvara
