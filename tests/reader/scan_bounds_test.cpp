// The recovery pass on crafted files (tests/support/crafted_files): every shape, in every
// layout, with the header kept and wiped, comes to an end; what it keeps stays in proportion to
// what the file holds (node entries sharing data blocks, entries without data, the room a data tree
// claims); the tree it leaves has no cycle; and the store the crafted part follows, and the
// sound messages among the crafted ones, are still found.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>
#include <tuple>

#include "items/analysis.h"
#include "reader/block_access.h"
#include "reader/btree_walk.h"
#include "reader/index_rebuild.h"
#include "reader/index_rebuild_nodes.h"
#include "tests/support/crafted_files.h"
#include "tests/support/test_data.h"
#include "writer/sample_generator.h"

namespace palvara {
namespace testing {

void PrintTo(CraftedShape shape, std::ostream* out) { *out << CraftedShapeName(shape); }

}  // namespace testing

namespace {

namespace fs = std::filesystem;
using testing::CraftedShape;

constexpr std::uint64_t kCraftedBytes = std::uint64_t{2} << 20;

// A private folder for the test's files, removed at the end.
class TempFolder {
 public:
  TempFolder() {
    char pattern[] = "/tmp/palvara-crafted-XXXXXX";
    path_ = ::mkdtemp(pattern);
  }
  ~TempFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// The store each layout's crafted part follows: a small sample, or the shared ANSI store.
const Bytes& Prefix(const Geometry& g) {
  static const std::map<const Geometry*, Bytes> prefixes = [] {
    std::map<const Geometry*, Bytes> made;
    TempFolder folder;
    SampleOptions options;
    options.messages = 5;
    WriteSampleStore(folder.path() / "s.pst", options, nullptr);
    made[&kUnicodeGeometry] = testing::ReadFileBytes(folder.path() / "s.pst");
    options.layout = NdbLayout{&k4kGeometry, true, kClientOst};
    options.encoding = EncodingMethod::kNone;
    WriteSampleStore(folder.path() / "s.ost", options, nullptr);
    made[&k4kGeometry] = testing::ReadFileBytes(folder.path() / "s.ost");
    made[&kAnsiGeometry] =
        testing::ReadFileBytes(testing::kTestData / "stores" / "hughbe_personal_folders_ansi.pst");
    return made;
  }();
  return prefixes.at(&g);
}

const Geometry* const kLayouts[] = {&kAnsiGeometry, &kUnicodeGeometry, &k4kGeometry};

std::unique_ptr<StoreFile> Open(const Bytes& bytes) {
  auto store = std::make_unique<StoreFile>();
  OpenStore(*store, std::make_unique<ViewByteSource>(bytes), "crafted");
  return store;
}

std::unique_ptr<StoreFile> Recovered(const Bytes& bytes) {
  auto store = Open(bytes);
  RecoveryOptions options;
  options.mode = ScanMode::kForce;
  IndexStoreWithRecovery(*store, options);
  return store;
}

// Every node the tree holds, reachable or waiting below an orphan, each once; fails the test
// when a walk meets a node twice (a cycle).
std::vector<const StoreNode*> AllNodes(const StoreFile& store) {
  std::vector<const StoreNode*> nodes;
  std::set<const StoreNode*> seen;
  store.nodes.ForEachPreorder([&](const StoreNode& n, int) {
    EXPECT_TRUE(seen.insert(&n).second) << "node " << Hex(n.nid) << " met twice";
    nodes.push_back(&n);
  });
  std::vector<const StoreNode*> work = store.nodes.Orphans();
  while (!work.empty() && nodes.size() <= store.nodes.CreatedCount()) {
    const StoreNode* n = work.back();
    work.pop_back();
    if (!seen.insert(n).second) {
      ADD_FAILURE() << "node " << Hex(n->nid) << " met twice";
      continue;
    }
    nodes.push_back(n);
    for (const StoreNode* c = n->firstChild; c != nullptr; c = c->nextSibling) work.push_back(c);
  }
  return nodes;
}

struct Analysed {
  AnalysisResult result;
  std::size_t crafted = 0;  // items with a crafted message's subject
};

Analysed Analyse(const Bytes& bytes, ScanMode scan) {
  TempFolder folder;
  testing::WriteFileBytes(folder.path() / "crafted.pst", bytes);
  AnalysisOptions options;
  options.sourcePath = folder.path() / "crafted.pst";
  options.collectItems = true;
  options.keepItemLists = false;
  options.scan = scan;
  AnalysisObserver observer;
  RunControl control;
  Analysed analysed{RunAnalysis(options, observer, control)};
  for (const ItemSummary& item : analysed.result.items) {
    if (item.subject == testing::kCraftedSharedSubject ||
        item.subject == testing::kCraftedValidSubject) {
      ++analysed.crafted;
    }
  }
  return analysed;
}

class CraftedScanTest
    : public ::testing::TestWithParam<std::tuple<CraftedShape, const Geometry*, bool>> {
 protected:
  testing::CraftedSpec Spec() const {
    testing::CraftedSpec spec;
    spec.shape = std::get<0>(GetParam());
    spec.geometry = std::get<1>(GetParam());
    spec.wipeHeader = std::get<2>(GetParam());
    spec.prefix = Prefix(*spec.geometry);
    spec.size = spec.prefix.size() + kCraftedBytes;
    return spec;
  }
};

TEST_P(CraftedScanTest, KeepsWhatItAddsInBoundsAndLeavesNoCycle) {
  testing::CraftedSummary summary;
  const Bytes bytes = CraftedBytes(Spec(), &summary);
  const std::unique_ptr<StoreFile> store = Recovered(bytes);
  ASSERT_TRUE(store->recovery.ran);
  EXPECT_LE(store->recovery.recoveredExtents.size(), RecoverySummary::kMaxExtentsKept);

  // The prefix's own nodes, indexed alone: the pass may add only bounded numbers beside them.
  std::set<std::uint32_t> own;
  if (!Prefix(*std::get<1>(GetParam())).empty()) {
    const auto alone = Open(Prefix(*std::get<1>(GetParam())));
    IndexStore(*alone);
    alone->nodes.ForEachPreorder([&own](const StoreNode& n, int) { own.insert(n.nid); });
  }
  std::map<std::uint64_t, std::size_t> perBlock;
  std::size_t withoutData = 0;
  const std::vector<const StoreNode*> nodes = AllNodes(*store);
  for (const StoreNode* n : nodes) {
    if (own.count(n->nid) != 0) continue;
    if (n->dataBlock == nullptr) {
      ++withoutData;
    } else {
      ++perBlock[n->dataBlock->id];
    }
    // No crafted node names itself as its parent at the top level.
    if (n->parent == nullptr && n->nid != 0x122) {
      EXPECT_NE(n->nidParent, n->nid) << Hex(n->nid);
    }
  }
  // Nodes on a block another uses: no more than the blocks they use, or the floor.
  std::size_t shared = 0;
  for (const auto& [id, count] : perBlock) shared += count - 1;
  EXPECT_LE(shared, std::max(rebuild::kScannedSharedEntriesFloor, perBlock.size()));
  EXPECT_LE(withoutData, rebuild::kMaxScannedEntriesWithoutData + 8);
  // Every reachable node's parents end at the top level.
  for (const StoreNode* n : nodes) {
    if (!n->reachable) continue;
    std::size_t steps = 0;
    for (const StoreNode* p = n; p != nullptr && steps <= nodes.size(); p = p->parent) ++steps;
    EXPECT_LE(steps, nodes.size()) << "the parents of " << Hex(n->nid) << " loop";
  }
}

TEST_P(CraftedScanTest, DataTreesReadNoMoreThanTheFileHolds) {
  const Bytes bytes = CraftedBytes(Spec());
  const std::unique_ptr<StoreFile> store = Recovered(bytes);
  std::size_t read = 0;
  store->nodes.ForEachPreorder([&](const StoreNode& n, int) {
    if (n.dataBlock == nullptr || !n.dataBlock->IsInternal() || read >= 64) return;
    ++read;
    Bytes data;
    DataSink sink;
    sink.out = &data;
    const std::uint64_t size = ReadNodeData(*store, n.dataBlock, sink);
    EXPECT_LE(size, bytes.size());
    EXPECT_LE(data.capacity(), store->fileSize) << "node " << Hex(n.nid);
    EXPECT_LE(CheckNodeData(*store, n.dataBlock), store->fileSize);
  });
  if (std::get<0>(GetParam()) == CraftedShape::kDataTreeCycles && std::get<2>(GetParam())) {
    EXPECT_GT(read, 0u) << "the looping data trees were not placed";
  }
}

TEST_P(CraftedScanTest, TheAnalysisStillFindsTheRealItems) {
  const testing::CraftedSpec spec = Spec();
  if (spec.prefix.empty()) GTEST_SKIP() << "no test data";
  Bytes alone = spec.prefix;
  if (spec.wipeHeader) std::fill_n(alone.begin(), kSmallPageSize, std::byte{0});
  const Analysed before = Analyse(alone, ScanMode::kForce);
  const Analysed after = Analyse(CraftedBytes(spec), ScanMode::kForce);
  EXPECT_EQ(after.result.outcome, before.result.outcome);
  // Items of the real store: those found without the crafted part are found with it.
  std::multiset<std::string> want, got;
  for (const ItemSummary& s : before.result.items) want.insert(s.subject);
  for (const ItemSummary& s : after.result.items) got.insert(s.subject);
  for (const std::string& subject : want) {
    EXPECT_GE(got.count(subject), want.count(subject)) << subject;
  }
  // The sound crafted messages are found where the pass takes the crafted pages (the tree of
  // a kept header speaks for every node id above its first), on one block no more than the
  // bound allows.
  const bool sound =
      spec.shape == CraftedShape::kNodesOnOneBlock || spec.shape == CraftedShape::kDataTreeCycles;
  if (sound && spec.wipeHeader) {
    EXPECT_GT(after.crafted, 0u);
  } else {
    EXPECT_EQ(after.crafted, 0u);
  }
  if (spec.shape == CraftedShape::kNodesOnOneBlock) {
    EXPECT_LE(after.crafted, rebuild::kScannedSharedEntriesFloor + 1);
  }
}

std::string CaseName(
    const ::testing::TestParamInfo<std::tuple<CraftedShape, const Geometry*, bool>>& info) {
  std::string name = std::string(testing::CraftedShapeName(std::get<0>(info.param))) + "_" +
                     std::get<1>(info.param)->name + (std::get<2>(info.param) ? "_wiped" : "");
  for (char& c : name) {
    if (c == '-') c = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Shapes, CraftedScanTest,
                         ::testing::Combine(::testing::ValuesIn(testing::AllCraftedShapes()),
                                            ::testing::ValuesIn(kLayouts), ::testing::Bool()),
                         CaseName);

// A crafted file with nothing before it: the layout comes from the pages alone and the pass
// ends for every shape, whatever the layout.
TEST(CraftedScanTest, BareFilesOfEveryShapeEnd) {
  for (const Geometry* g : kLayouts) {
    for (CraftedShape shape : testing::AllCraftedShapes()) {
      testing::CraftedSpec spec;
      spec.shape = shape;
      spec.geometry = g;
      spec.size = std::uint64_t{1} << 20;
      spec.wipeHeader = true;
      testing::CraftedSummary summary;
      const Bytes bytes = CraftedBytes(spec, &summary);
      ASSERT_EQ(bytes.size(), spec.size);
      const std::unique_ptr<StoreFile> store = Recovered(bytes);
      EXPECT_TRUE(store->recovery.ran) << testing::CraftedShapeName(shape) << " " << g->name;
      EXPECT_EQ(store->recovery.blocksFound + store->recovery.pagesFound,
                summary.blocks + summary.pages)
          << testing::CraftedShapeName(shape) << " " << g->name;
      AllNodes(*store);
    }
  }
}

}  // namespace
}  // namespace palvara
