#include "writer/ndb_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "reader/block_access.h"
#include "reader/btree_walk.h"
#include "reader/crc.h"
#include "tests/support/store_builder.h"
#include "tests/support/test_data.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;

Bytes Random(std::size_t size, std::uint32_t seed) {
  std::mt19937_64 random(seed);
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; i += 8) {
    const std::uint64_t v = random();
    std::memcpy(bytes.data() + i, &v, std::min<std::size_t>(8, size - i));
  }
  return bytes;
}

// Short spans, the 64-byte folding steps, the 16-byte steps after them and the tail, each from a
// zero and from a running CRC.
TEST(CrcTest, MatchesTheBitwiseDefinitionAtEveryLengthAndAlignment) {
  const Bytes data = Random(720, 5);
  for (std::size_t start = 0; start < 8; ++start) {
    for (std::size_t n = 0; n + start <= 700; n += (n < 200 ? 1 : 13)) {
      for (const std::uint32_t initial : {0u, 0x9E3779B9u}) {
        std::uint32_t reference = initial;
        for (std::size_t i = start; i < start + n; ++i) {
          reference ^= std::to_integer<std::uint32_t>(data[i]);
          for (int k = 0; k < 8; ++k) reference = (reference & 1) ? 0xEDB88320u ^ (reference >> 1) : reference >> 1;
        }
        ASSERT_EQ(ComputeCrc(ByteSpan(data).subspan(start, n), initial), reference) << start << "+" << n;
      }
    }
  }
}

TEST(CrcTest, MatchesTheChecksumsOfAnOutlookWrittenStore) {
  EXPECT_EQ(ComputeCrc(Bytes(496)), 0u);
  const fs::path sample = testing::kTestData.parent_path() / "docs" / "samples" /
                          "outlook-empty-unicode.pst";
  if (!fs::exists(sample)) GTEST_SKIP() << "sample store absent";
  const Bytes file = testing::ReadFileBytes(sample);
  const ByteSpan f(file);
  EXPECT_EQ(ComputeCrc(f.subspan(8, 471)), *LoadLe32(f, 4));
  EXPECT_EQ(ComputeCrc(f.subspan(8, 516)), *LoadLe32(f, 524));
  // The AMap page's trailer, and the node B-tree root's signature.
  EXPECT_EQ(ComputeCrc(f.subspan(0x4400, 496)), *LoadLe32(f, 0x4400 + 500));
  const std::uint64_t nbtBid = *LoadLe64(f, 216), nbtIb = *LoadLe64(f, 224);
  EXPECT_EQ(*LoadLe64(f, nbtIb + 504), nbtBid);
  EXPECT_EQ(ComputeSig(nbtIb, nbtBid), *LoadLe16(f, nbtIb + 498));
  EXPECT_EQ(ComputeCrc(f.subspan(nbtIb, 496)), *LoadLe32(f, nbtIb + 500));
}

class NdbWriterTest : public ::testing::TestWithParam<EncodingMethod> {
 protected:
  void SetUp() override {
    path_ = fs::temp_directory_path() /
            ("palvara-ndb-" + std::to_string(::getpid()) + "-" +
             std::to_string(static_cast<int>(GetParam())) + ".pst");
  }
  void TearDown() override { fs::remove(path_); }
  fs::path path_;
};

TEST_P(NdbWriterTest, WrittenStoresReadBackExactly) {
  Status status = Status::Ok();
  auto writer = NdbWriter::Create(path_, GetParam(), &status);
  ASSERT_TRUE(writer) << status.message();
  writer->AddNode(0x21, writer->WriteData(testing::EmptyPropertyContextHeap()), 0, 0);

  // Data of every shape: one block, exactly full, one byte over, a long XBLOCK, an XXBLOCK.
  const std::vector<std::size_t> sizes = {10, 8176, 8177, 50000, 9000000};
  std::vector<Bytes> data;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    data.push_back(Random(sizes[i], static_cast<std::uint32_t>(i)));
    writer->AddNode(0x200004 + 0x20 * static_cast<std::uint32_t>(i), writer->WriteData(data[i]), 0,
                    0x8022);
  }
  // A heap of three pages, kept block by block.
  const std::vector<Bytes> pages = {Random(3000, 7), Random(8176, 8), Random(100, 9)};
  writer->AddNode(0x2000E4, writer->WriteBlocks(pages), 0, 0x8022);
  // Subnodes: a nested list, and 400 entries (an intermediate subnode level).
  const Bytes nestedValue = Random(20, 10);
  const std::uint64_t nested =
      writer->WriteSubnodes({{0x10001F, writer->WriteData(nestedValue), 0}});
  std::vector<SubnodeRecord> many;
  for (std::uint32_t i = 0; i < 400; ++i) {
    many.push_back({0x1F + (i << 5), writer->WriteData(Random(30, 100 + i)), i == 7 ? nested : 0});
  }
  writer->AddNode(0x200104, 0, writer->WriteSubnodes(many), 0x8022);
  // Enough folders for several node B-tree levels.
  writer->AddNode(0x8022, 0, 0, 0);
  for (std::uint32_t i = 0; i < 300; ++i) writer->AddNode(0x10002 + (i << 5), 0, 0, 0x8022);
  ASSERT_TRUE(writer->Finish().ok());
  writer.reset();
  ASSERT_TRUE(fs::exists(path_));

  StoreFile store;
  ASSERT_TRUE(OpenStore(store, path_).ok());
  EXPECT_EQ(IndexStore(store), 0);
  EXPECT_TRUE(store.damage.Empty()) << store.damage.Reports().front().ToString();
  EXPECT_EQ(store.encoding, GetParam());
  EXPECT_TRUE(store.encodingFromHeader);
  EXPECT_EQ(store.nodes.ReachableCount(), 1u + sizes.size() + 1 + 1 + 1 + 300);
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const StoreNode* node = FindNode(store, 0x200004 + 0x20 * static_cast<std::uint32_t>(i));
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->parent->nid, 0x8022u);
    EXPECT_TRUE(ReadNodeBytes(store, node->dataBlock) == data[i]) << sizes[i];
  }
  const std::vector<Bytes> heap = ReadNodeBlocks(store, FindNode(store, 0x2000E4)->dataBlock);
  EXPECT_EQ(heap, pages);
  SubnodeList subnodes;
  ASSERT_TRUE(ReadSubnodes(store, FindNode(store, 0x200104)->subnodeBlock, subnodes));
  EXPECT_EQ(subnodes.size(), 401u);
  EXPECT_EQ(ReadNodeBytes(store, FindSubnode(subnodes, 0x1F + (399u << 5))), Random(30, 499));
  EXPECT_EQ(ReadNodeBytes(store, FindSubnode(subnodes, 0x10001F)), nestedValue);
}

TEST_P(NdbWriterTest, BlockEntriesKeptOutsideMemoryComeBackWithTheirPlacesAndReferences) {
  Status status = Status::Ok();
  auto writer = NdbWriter::Create(path_, GetParam(), &status);
  ASSERT_TRUE(writer) << status.message();
  writer->AddNode(0x21, writer->WriteData(testing::EmptyPropertyContextHeap()), 0, 0);
  // Enough blocks for a few runs of entries in the file beside the store, data and internal.
  constexpr std::size_t kBlocks = 20000;
  std::vector<std::uint64_t> bids;
  for (std::size_t i = 0; i < kBlocks; ++i) {
    bids.push_back(i % 1000 == 999 ? writer->WriteSubnodes({{0x1F, bids[i - 1], 0}})
                                   : writer->WriteData(Random(1 + i % 300, static_cast<std::uint32_t>(i))));
  }
  // More references to one entry long gone to the file, and to one still in memory.
  writer->AddReference(bids[5]);
  writer->AddReference(bids[5]);
  writer->AddReference(bids.back());
  writer->AddReference(bids.back() + 4);  // no such block: nothing changes
  ASSERT_TRUE(writer->Finish().ok());
  writer.reset();

  StoreFile store;
  ASSERT_TRUE(OpenStore(store, path_).ok());
  IndexStore(store);
  EXPECT_TRUE(store.damage.Empty()) << store.damage.Reports().front().ToString();
  EXPECT_EQ(store.blocks.Size(), kBlocks + 1);
  for (const std::size_t i : {0u, 5u, 999u, 8191u, 8192u, 8193u, 16383u, 16384u, 19998u}) {
    const BlockEntry* entry = store.blocks.Find(bids[i]);
    ASSERT_NE(entry, nullptr) << i;
    EXPECT_EQ(entry->id, bids[i]);
    EXPECT_EQ(entry->IsInternal(), i % 1000 == 999) << i;
    EXPECT_EQ(entry->referenceCount, i == 5 ? 4 : 2) << i;
    if (!entry->IsInternal()) {
      EXPECT_EQ(ReadNodeBytes(store, entry), Random(1 + i % 300, static_cast<std::uint32_t>(i))) << i;
    }
  }
  EXPECT_EQ(store.blocks.Find(bids.back())->referenceCount, 3);
}

TEST_P(NdbWriterTest, HeaderTrailersAndAllocationMapsAreConsistent) {
  Status status = Status::Ok();
  auto writer = NdbWriter::Create(path_, GetParam(), &status);
  writer->AddNode(0x21, writer->WriteData(testing::EmptyPropertyContextHeap()), 0, 0);
  // 33 MB: past 128 AMaps, so an FMap page is due, and PMaps every 8 AMaps.
  writer->AddNode(0x200004, writer->WriteData(Random(33u << 20, 3)), 0, 0);
  ASSERT_TRUE(writer->Finish().ok());
  writer.reset();
  const Bytes file = testing::ReadFileBytes(path_);
  const ByteSpan f(file);
  EXPECT_EQ(ComputeCrc(f.subspan(8, 471)), *LoadLe32(f, 4));
  EXPECT_EQ(ComputeCrc(f.subspan(8, 516)), *LoadLe32(f, 524));
  EXPECT_EQ(*LoadLe64(f, 184), file.size());
  ASSERT_EQ((file.size() - 0x4400) % 0x3E000, 0u);
  const std::size_t amaps = (file.size() - 0x4400) / 0x3E000;
  ASSERT_GT(amaps, 128u);

  StoreFile store;
  ASSERT_TRUE(OpenStore(store, path_).ok());
  IndexStore(store);
  std::vector<bool> used((file.size() - 0x4400) / 64, false);
  auto mark = [&used](std::uint64_t offset, std::size_t size) {
    for (std::uint64_t u = (offset - 0x4400) / 64; u < (offset - 0x4400 + size + 63) / 64; ++u) {
      used[u] = true;
    }
  };
  for (const BlockEntry& b : store.blocks) {
    const std::size_t total = (b.size + 16 + 63) / 64 * 64;
    const std::uint64_t trailer = b.offset + total - 16;
    EXPECT_EQ(*LoadLe16(f, trailer), b.size);
    EXPECT_EQ(*LoadLe16(f, trailer + 2), ComputeSig(b.offset, b.id));
    EXPECT_EQ(*LoadLe32(f, trailer + 4), ComputeCrc(f.subspan(b.offset, b.size)));
    EXPECT_EQ(*LoadLe64(f, trailer + 8), b.id);
    // No block straddles two AMap intervals.
    EXPECT_EQ((b.offset - 0x4400) / 0x3E000, (b.offset + total - 1 - 0x4400) / 0x3E000);
    mark(b.offset, total);
  }
  std::uint64_t zeros = 0;
  for (std::size_t n = 0; n < amaps; ++n) {
    const std::uint64_t amap = 0x4400 + n * 0x3E000;
    EXPECT_EQ(ComputeCrc(f.subspan(amap, 496)), *LoadLe32(f, amap + 500));
    EXPECT_EQ(ByteAt(f, amap + 496), 0x84);
    mark(amap, 512);
    if (n % 8 == 0) {
      EXPECT_EQ(ByteAt(f, amap + 512 + 496), 0x83);
      mark(amap + 512, 512);
    }
    if (n == 128) {
      EXPECT_EQ(ByteAt(f, amap + 1024 + 496), 0x82);
      mark(amap + 1024, 512);
    }
    for (std::size_t i = 0; i < 3968; ++i) {
      const bool bit = (std::to_integer<int>(f[amap + i / 8]) & (0x80 >> (i % 8))) != 0;
      if (!bit) ++zeros;
      // Every block and map page is marked; B-tree pages are marked too (checked by count).
      if (used[n * 3968 + i]) {
        EXPECT_TRUE(bit) << n << ":" << i;
      }
    }
  }
  EXPECT_EQ(*LoadLe64(f, 200), 64 * zeros);
  EXPECT_EQ(ByteAt(f, 0x4200 + 496), 0x86);
}

// Writes gathered in buffers of any size give the file that one write per block gives: the
// gaps left for map pages, the jumps to the next allocation interval and the pages Finish
// writes behind the blocks all land where they belong, and blocks encoded and sealed on the
// writing thread come out as those sealed at once.
TEST(NdbWriterBufferTest, EveryWriteBufferGivesTheSameFile) {
  const fs::path path = fs::temp_directory_path() / ("palvara-ndb-buffer-" + std::to_string(::getpid()) + ".pst");
  const Bytes large = Random(1'300'000, 99);
  auto write = [&](std::size_t buffer, EncodingMethod encoding) {
    Status status = Status::Ok();
    auto writer = NdbWriter::Create(path, encoding, &status, buffer);
    EXPECT_TRUE(writer) << status.message();
    if (!writer) return Bytes{};
    writer->AddNode(0x21, writer->WriteData(testing::EmptyPropertyContextHeap()), 0, 0);
    // Past eight allocation intervals (a second PMap), with blocks that no longer fit at the
    // end of an interval, and B-tree pages aligned to 512 bytes among the blocks.
    std::uint32_t nid = 0x200004;
    for (std::uint32_t i = 0; i < 40; ++i, nid += 0x20) {
      writer->AddNode(nid, writer->WriteData(Random(i % 3 == 0 ? 8176 * 7 + 5 : 300 + 977 * i, i)),
                      0, 0x8022);
    }
    writer->AddNode(nid, writer->WriteData(large), 0, 0x8022);
    std::vector<SubnodeRecord> many;
    for (std::uint32_t i = 0; i < 700; ++i) {
      many.push_back({0x1F + (i << 5), writer->WriteData(Random(30 + i, 200 + i)), 0});
    }
    writer->AddNode(nid + 0x20, 0, writer->WriteSubnodes(many), 0x8022);
    writer->AddNode(0x8022, 0, 0, 0);
    for (std::uint32_t i = 0; i < 500; ++i) writer->AddNode(0x10002 + (i << 5), 0, 0, 0x8022);
    EXPECT_TRUE(writer->Finish().ok());
    writer.reset();
    return testing::ReadFileBytes(path);
  };
  for (const EncodingMethod encoding : {EncodingMethod::kPermute, EncodingMethod::kCyclic}) {
    const Bytes direct = write(0, encoding);
    ASSERT_GT(direct.size(), 8 * 0x3E000u);
    for (const std::size_t buffer : {std::size_t{512}, std::size_t{5000}, kDefaultWriteBuffer}) {
      const Bytes gathered = write(buffer, encoding);
      ASSERT_EQ(gathered.size(), direct.size()) << buffer;
      const auto diff = std::mismatch(gathered.begin(), gathered.end(), direct.begin());
      EXPECT_TRUE(diff.first == gathered.end())
          << buffer << ": first difference at "
          << Hex(static_cast<std::uint64_t>(diff.first - gathered.begin()));
    }
  }
  fs::remove(path);
}

// The maps of a store below 128 intervals mark its blocks, the B-tree pages and the map
// pages, and nothing else.
void ExpectMapsMarkExactlyTheUsedRoom(const Bytes& file, const StoreFile& store) {
  const std::size_t amaps = (file.size() - 0x4400) / 0x3E000;
  std::uint64_t units = 0;
  for (const BlockEntry& b : store.blocks) units += (b.size + 16 + 63) / 64;
  units += 8 * (store.visitedBlockPages.size() + store.visitedNodePages.size());
  for (std::size_t n = 0; n < amaps; ++n) units += 8 * (1 + (n % 8 == 0 ? 1 : 0));
  std::uint64_t marked = 0;
  for (std::size_t n = 0; n < amaps; ++n) {
    for (std::size_t i = 0; i < 496; ++i) {
      marked += static_cast<std::uint64_t>(
          std::popcount(std::to_integer<unsigned>(file[0x4400 + n * 0x3E000 + i])));
    }
  }
  EXPECT_EQ(marked, units);
}

// The bytes of a store with a folder and messages 0x200004 + (i << 5), added in the order
// given, each with data(i); then `trailing` bytes of blocks that no node uses. `finishWrites`
// receives how many writes to the file Finish made.
template <typename Data>
Bytes WriteMessages(const std::string& name, EncodingMethod encoding,
                    const std::vector<std::uint32_t>& order, Data data, std::size_t trailing = 0,
                    std::uint64_t* finishWrites = nullptr) {
  const fs::path path = fs::temp_directory_path() / (name + std::to_string(::getpid()) + ".pst");
  Status status = Status::Ok();
  auto writer = NdbWriter::Create(path, encoding, &status);
  EXPECT_TRUE(writer) << status.message();
  if (!writer) return {};
  writer->AddNode(0x21, writer->WriteData(testing::EmptyPropertyContextHeap()), 0, 0);
  writer->AddNode(0x8022, 0, 0, 0);
  for (const std::uint32_t i : order) {
    writer->AddNode(0x200004 + (i << 5), writer->WriteData(data(i)), 0, 0x8022);
  }
  if (trailing > 0) writer->WriteData(Random(trailing, 77));
  const std::uint64_t before = writer->FileWrites();
  EXPECT_TRUE(writer->Finish().ok());
  if (finishWrites != nullptr) *finishWrites = writer->FileWrites() - before;
  writer.reset();
  Bytes file = testing::ReadFileBytes(path);
  fs::remove(path);
  return file;
}

// As in a store that grew over time, the B-tree pages lie among the blocks, so that a lost
// tail takes only its share of them; room set aside for them and not needed stays free. The
// pages of a run set aside go to the file together.
TEST(NdbWriterLayoutTest, BTreePagesLieAmongTheBlocksAndOnlyUsedRoomIsAllocated) {
  std::vector<std::uint32_t> order(3001);
  for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::uint64_t finishWrites = 0;
  const Bytes file = WriteMessages(
      "palvara-ndb-layout-", EncodingMethod::kPermute, order,
      [](std::uint32_t i) { return Random(2000, i); }, 0, &finishWrites);
  StoreFile store;
  ASSERT_TRUE(OpenStore(store, std::make_unique<ViewByteSource>(file)).ok());
  EXPECT_EQ(IndexStore(store), 0);
  EXPECT_TRUE(store.damage.Empty());
  EXPECT_EQ(store.nodes.ReachableCount(), 3003u);
  for (const auto* pages : {&store.visitedBlockPages, &store.visitedNodePages}) {
    ASSERT_GT(pages->size(), 100u);
    std::size_t inFirstHalf = 0;
    for (std::uint64_t offset : *pages) inFirstHalf += offset < file.size() / 2 ? 1 : 0;
    EXPECT_GE(inFirstHalf * 5, pages->size() * 2) << inFirstHalf << " of " << pages->size();
  }
  // A write per run of pages, one per interval's maps, the deletion list and the header.
  const std::size_t pages = store.visitedBlockPages.size() + store.visitedNodePages.size();
  const std::size_t amaps = (file.size() - 0x4400) / 0x3E000;
  EXPECT_LE(finishWrites, pages / 4 + amaps + 2) << pages << " pages, " << amaps << " intervals";
  ExpectMapsMarkExactlyTheUsedRoom(file, store);
}

// Node entries come in any order and go to the file beside the store in sorted runs; the
// B-tree over them is in nid order all the same. Room set aside for node B-tree pages in an
// interval the writer has long left is given back there.
TEST(NdbWriterLayoutTest, NodesInAnyOrderAndRoomGivenBackFarBehindTheWriter) {
  // 9,001 messages (three runs and a part): 635 node B-tree pages in 640 set aside; then 3 MB
  // of blocks, a dozen intervals on.
  std::vector<std::uint32_t> order(9001);
  for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(3));
  auto data = [](std::uint32_t i) { return Random(1 + i % 200, i); };
  const Bytes file =
      WriteMessages("palvara-ndb-runs-", EncodingMethod::kCyclic, order, data, 3u << 20);
  StoreFile store;
  ASSERT_TRUE(OpenStore(store, std::make_unique<ViewByteSource>(file)).ok());
  EXPECT_EQ(IndexStore(store), 0);
  EXPECT_TRUE(store.damage.Empty()) << store.damage.Reports().front().ToString();
  EXPECT_EQ(store.nodes.ReachableCount(), 9003u);
  for (std::uint32_t i = 0; i < order.size(); ++i) {
    const StoreNode* node = FindNode(store, 0x200004 + (i << 5));
    ASSERT_NE(node, nullptr) << i;
    EXPECT_EQ(node->parent->nid, 0x8022u);
    EXPECT_EQ(ReadNodeBytes(store, node->dataBlock), data(i)) << i;
  }
  EXPECT_EQ(store.visitedNodePages.size(), 635u);
  ASSERT_GT((file.size() - 0x4400) / 0x3E000, 12u);
  ExpectMapsMarkExactlyTheUsedRoom(file, store);
}

TEST_P(NdbWriterTest, UnfinishedStoresAreRemoved) {
  Status status = Status::Ok();
  const fs::path unfinished = NdbWriter::UnfinishedPath(path_);
  {
    auto writer = NdbWriter::Create(path_, GetParam(), &status);
    writer->WriteData(Random(100, 1));
    // Until it is finished the store never carries its own name.
    EXPECT_TRUE(fs::exists(unfinished));
    EXPECT_FALSE(fs::exists(path_));
  }
  EXPECT_FALSE(fs::exists(unfinished));
  EXPECT_FALSE(fs::exists(path_));
  {
    auto writer = NdbWriter::Create(path_, GetParam(), &status);
    writer->WriteData(Random(100, 1));
    ASSERT_TRUE(writer->Finish().ok());
  }
  EXPECT_TRUE(fs::exists(path_));
  EXPECT_FALSE(fs::exists(unfinished));
  EXPECT_FALSE(NdbWriter::Create("/nonexistent/dir/x.pst", GetParam(), &status));
  EXPECT_FALSE(status.ok());
}

INSTANTIATE_TEST_SUITE_P(AllEncodings, NdbWriterTest,
                         ::testing::Values(EncodingMethod::kNone, EncodingMethod::kPermute,
                                           EncodingMethod::kCyclic),
                         [](const auto& param) { return std::string(EncodingName(param.param)); });

}  // namespace
}  // namespace palvara
