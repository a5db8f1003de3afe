#include "reader/block_access.h"

#include <gtest/gtest.h>

#include <numeric>

#include "tests/support/store_builder.h"

namespace palvara {
namespace {

using testing::Layout;
using testing::StoreBuilder;

class Collector : public ByteWriter {
 public:
  void Write(ByteSpan bytes) override {
    writes.push_back(bytes.size());
    data.insert(data.end(), bytes.begin(), bytes.end());
  }
  Bytes data;
  std::vector<std::size_t> writes;
};

Bytes Pattern(std::size_t size, int seed) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::byte>((i * 7 + seed) & 0xFF);
  return bytes;
}

Bytes Concat(std::initializer_list<const Bytes*> parts) {
  Bytes all;
  for (const Bytes* p : parts) all.insert(all.end(), p->begin(), p->end());
  return all;
}

// Blocks written with a builder, indexed by hand (no B-tree walk involved).
class BlockAccessTest : public ::testing::TestWithParam<std::tuple<Layout, EncodingMethod>> {
 protected:
  BlockAccessTest() : builder_(std::get<0>(GetParam()), std::get<1>(GetParam())) {}

  void Add(std::uint64_t bid, const Bytes& data) { entries_.push_back(builder_.AddBlock(bid, data)); }

  StoreFile& Open() {
    store_ = testing::OpenImage(builder_.image());
    store_->encoding = std::get<1>(GetParam());
    for (const auto& e : entries_) store_->blocks.Append({e.bid, e.offset, e.cb, e.cRef});
    return *store_;
  }

  StoreBuilder builder_;
  std::vector<testing::BbtEntry> entries_;
  std::unique_ptr<StoreFile> store_;
};

TEST_P(BlockAccessTest, LookupIgnoresBitZeroAndTheFirstEntryWins) {
  Add(0x10, Pattern(100, 1));
  StoreFile& store = Open();
  store.blocks.Append({0x10, 0x9999, 5, 2});  // a later duplicate never wins
  ASSERT_NE(FindBlock(store, 0x11), nullptr);
  EXPECT_EQ(FindBlock(store, 0x11), FindBlock(store, 0x10));
  EXPECT_EQ(FindBlock(store, 0x10)->size, 100u);
  EXPECT_EQ(FindBlock(store, 0), nullptr);
  EXPECT_EQ(FindBlock(store, 1), nullptr);
  EXPECT_FALSE(ReadBlock(store, 0x14));
  EXPECT_EQ(ReadDecodedBlock(store, 0x11), Pattern(100, 1));
}

TEST_P(BlockAccessTest, ShortReadAtEndOfFileReturnsWhatIsThere) {
  StoreFile& store = Open();
  store.blocks.Append({0x20, store.fileSize - 10, 64, 2});
  EXPECT_EQ(ReadBlock(store, 0x20)->size(), 10u);
  store.blocks.Append({0x24, store.fileSize + 4096, 64, 2});
  EXPECT_TRUE(ReadBlock(store, 0x24)->empty());
  store.blocks.Append({0x28, 0x100, 0, 2});  // an empty block is present, not missing
  ASSERT_TRUE(ReadDecodedBlock(store, 0x28));
  EXPECT_TRUE(ReadDecodedBlock(store, 0x28)->empty());
}

TEST_P(BlockAccessTest, XXBlockDeliversLeavesOfEachXBlockInOrder) {
  const Bytes a = Pattern(8176, 1), b = Pattern(300, 2), c = Pattern(8176, 3), d = Pattern(5, 4);
  Add(0x10, a);
  Add(0x14, b);
  Add(0x18, c);
  Add(0x1C, d);
  Add(0x22, builder_.MakeXBlock(1, {0x10, 0x14}, 8476));
  Add(0x26, builder_.MakeXBlock(1, {0x18, 0x1C}, 8181));
  Add(0x2A, builder_.MakeXBlock(2, {0x22, 0x26}, 16657));
  StoreFile& store = Open();
  const Bytes expected = Concat({&a, &b, &c, &d});
  EXPECT_EQ(ReadNodeBytes(store, FindBlock(store, 0x2A)), expected);

  Collector plain;
  DataSink toStream;
  toStream.stream = &plain;
  EXPECT_EQ(ReadNodeData(store, FindBlock(store, 0x2A), toStream), expected.size());
  EXPECT_EQ(plain.data, expected);
}

TEST_P(BlockAccessTest, ADataTreeWhoseTotalIsWrongGivesItsChildrenWholeAndInOrder) {
  const Bytes a = Pattern(8176, 1), b = Pattern(300, 2);
  Add(0x10, a);
  Add(0x14, b);
  Add(0x22, builder_.MakeXBlock(1, {0x10, 0x14}, 0xFFFFFFFF));  // far more than two blocks hold
  Add(0x26, builder_.MakeXBlock(1, {0x10, 0x14}, 10));          // far less
  StoreFile& store = Open();
  for (std::uint64_t root : {0x22u, 0x26u}) {
    Bytes out;
    DataSink sink;
    sink.out = &out;
    EXPECT_EQ(ReadNodeData(store, FindBlock(store, root), sink), 8476u) << root;
    EXPECT_EQ(out, Concat({&a, &b})) << root;
    // A damaged total costs no memory beyond what the children can hold.
    EXPECT_LE(out.capacity(), 2u * 8192u) << root;
    const std::vector<Bytes> blocks = ReadNodeBlocks(store, FindBlock(store, root));
    ASSERT_EQ(blocks.size(), 2u) << root;
    EXPECT_EQ(blocks[0], a);
    EXPECT_EQ(blocks[1], b);
  }
}

TEST_P(BlockAccessTest, ModeOneWritesWholeTriplesAndCarriesTheRest) {
  for (std::size_t tail : {1u, 2u}) {
    builder_ = StoreBuilder(std::get<0>(GetParam()), std::get<1>(GetParam()));
    entries_.clear();
    const Bytes a = Pattern(100, 5), b = Pattern(101 + tail, 6);
    Add(0x10, a);
    Add(0x14, b);
    Add(0x22, builder_.MakeXBlock(1, {0x10, 0x14}, static_cast<std::uint32_t>(201 + tail)));
    StoreFile& store = Open();
    Collector out;
    DataSink sink;
    sink.stream = &out;
    sink.mode = 1;
    EXPECT_EQ(ReadNodeData(store, FindBlock(store, 0x22), sink), 201 + tail);
    EXPECT_EQ(sink.carryCount, static_cast<int>(tail));
    for (std::size_t n : out.writes) EXPECT_EQ(n % 3, 0u);
    Bytes joined = out.data;
    joined.insert(joined.end(), sink.carry.begin(), sink.carry.begin() + sink.carryCount);
    EXPECT_EQ(joined, Concat({&a, &b}));
  }
}

TEST_P(BlockAccessTest, MissingOrRepeatedChildDropsTheWholeTree) {
  Add(0x10, Pattern(50, 1));
  Add(0x22, builder_.MakeXBlock(1, {0x10, 0x14}, 100));        // 0x14 absent
  Add(0x26, builder_.MakeXBlock(1, {0x10, 0x10}, 100));        // same leaf twice
  Add(0x2A, builder_.MakeXBlock(2, {0x2A}, 100));              // points at itself
  Add(0x2E, builder_.MakeXBlock(2, {0x22}, 100));              // over the broken XBLOCK
  StoreFile& store = Open();
  for (std::uint64_t root : {0x22u, 0x26u, 0x2Au, 0x2Eu}) {
    Bytes out = Pattern(7, 9);
    DataSink sink;
    sink.out = &out;
    EXPECT_EQ(ReadNodeData(store, FindBlock(store, root), sink), 0u) << root;
    EXPECT_TRUE(out.empty()) << root;
  }
  // What went to a stream before the gap stays written.
  Collector partial;
  DataSink toStream;
  toStream.stream = &partial;
  EXPECT_EQ(ReadNodeData(store, FindBlock(store, 0x22), toStream), 0u);
  EXPECT_EQ(partial.data, Pattern(50, 1));
  EXPECT_GE(store.damage.Count(), 5u);
}

TEST_P(BlockAccessTest, CheckingDataMeetsWhatReadingItMeets) {
  Add(0x10, Pattern(8176, 1));
  Add(0x14, Pattern(300, 2));
  Add(0x22, builder_.MakeXBlock(1, {0x10, 0x14}, 8476));
  Add(0x26, builder_.MakeXBlock(2, {0x22, 0x22}, 16952));       // the same XBLOCK twice
  Add(0x2A, builder_.MakeXBlock(1, {0x10, 0x18}, 100));         // 0x18 absent
  Add(0x2E, builder_.MakeXBlock(2, {0x2E}, 100));               // points at itself
  Add(0x32, builder_.MakeXBlock(1, {0x10, 0x14, 0x10}, 10));    // a leaf twice
  Add(0x4E, builder_.MakeXBlock(1, {0x10, 0x40}, 8240));
  Open();
  store_->blocks.Append({0x40, store_->fileSize - 10, 64, 2});  // cut short by the file's end
  store_->blocks.Append({0x46, 0x10, 200, 2});                  // an internal id, plain data
  store_->blocks.Append({0x4A, store_->fileSize + 8, 64, 2});   // wholly past the end
  for (std::uint64_t root : {0x10u, 0x22u, 0x26u, 0x2Au, 0x2Eu, 0x32u, 0x40u, 0x46u, 0x4Au, 0x4Eu}) {
    const std::size_t before = store_->damage.Count();
    const std::uint64_t read = ReadNodeBytes(*store_, FindBlock(*store_, root)).size();
    const std::size_t readReports = store_->damage.Count() - before;
    EXPECT_EQ(CheckNodeData(*store_, FindBlock(*store_, root)), read) << root;
    EXPECT_EQ(store_->damage.Count() - before - readReports, readReports) << root;
  }
  EXPECT_EQ(CheckNodeData(*store_, FindBlock(*store_, 0x22)), 8476u);
  EXPECT_EQ(CheckNodeData(*store_, FindBlock(*store_, 0x40)), 10u);
  EXPECT_EQ(CheckNodeData(*store_, nullptr), 0u);
}

TEST_P(BlockAccessTest, SingleBlockTextDeliveryStopsAtTheFirstNul) {
  Bytes text = Pattern(20, 1);
  text[8] = std::byte{0};
  Add(0x10, text);
  StoreFile& store = Open();
  Collector out;
  DataSink sink;
  sink.stream = &out;
  EXPECT_EQ(ReadNodeData(store, FindBlock(store, 0x10), sink), 20u);
  EXPECT_EQ(out.data, Bytes(text.begin(), text.begin() + 8));
  EXPECT_EQ(ReadNodeBytes(store, FindBlock(store, 0x10)), text);
}

TEST_P(BlockAccessTest, SubnodesFollowNestedAndIntermediateBlocks) {
  Add(0x10, Pattern(10, 1));
  Add(0x14, Pattern(10, 2));
  Add(0x18, Pattern(10, 3));
  Add(0x1C, Pattern(10, 4));
  // Nested list of subnode 0x3F: its own subnodes 0x41 and 0x61.
  Add(0x22, builder_.MakeSubnodeLeaf({{0x41, 0x14, 0}, {0x61, 0x18, 0}, {0x7F, 0x10, 0}}));
  // Leaf 1: 0x3F (with nested), 0x5F whose data block is missing (skipped with its nested).
  Add(0x26, builder_.MakeSubnodeLeaf({{0x3F, 0x10, 0x22}, {0x5F, 0x44, 0x22}}));
  Add(0x2A, builder_.MakeSubnodeLeaf({{0x7F, 0x1C, 0}}));
  Add(0x2E, builder_.MakeSubnodeIntermediate({{0x3F, 0x26}, {0x7F, 0x2A}}));
  Add(0x32, builder_.MakeSubnodeLeaf({{0x9F, 0x10, 0x32}}));  // nests itself
  StoreFile& store = Open();

  SubnodeList list;
  ASSERT_TRUE(ReadSubnodes(store, FindBlock(store, 0x2E), list));
  std::vector<std::uint32_t> nids;
  for (const auto& e : list) nids.push_back(e.nid);
  EXPECT_EQ(nids, (std::vector<std::uint32_t>{0x3F, 0x41, 0x61, 0x7F, 0x7F}));
  EXPECT_EQ(FindSubnode(list, 0x61), FindBlock(store, 0x18));
  EXPECT_EQ(list[3].level, 1u);
  // The node's own 0x7F wins over the nested one listed before it.
  EXPECT_EQ(FindSubnode(list, 0x7F), FindBlock(store, 0x1C));
  EXPECT_EQ(FindSubnode(list, 0x5F), nullptr);

  SubnodeList self;
  EXPECT_TRUE(ReadSubnodes(store, FindBlock(store, 0x32), self));
  EXPECT_EQ(self.size(), 1u);

  SubnodeList none{{0x1, nullptr, nullptr, 0}};
  EXPECT_FALSE(ReadSubnodes(store, FindBlock(store, 0x10), none));  // a data block
  EXPECT_FALSE(ReadSubnodes(store, nullptr, none));
  EXPECT_EQ(none.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    LayoutsAndEncodings, BlockAccessTest,
    ::testing::Combine(::testing::Values(Layout::kAnsi, Layout::kUnicode),
                       ::testing::Values(EncodingMethod::kNone, EncodingMethod::kPermute,
                                         EncodingMethod::kCyclic)));

}  // namespace
}  // namespace palvara
