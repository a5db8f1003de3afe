// What kind of damage the reader names, and where: pages and blocks of a sample store zeroed,
// rewritten without their CRC, or cut off by the end of the file are reported with that kind
// at their own file offset.
#include "reader/structure_damage.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "reader/crc.h"
#include "tests/support/store_builder.h"
#include "tests/support/test_data.h"
#include "writer/sample_generator.h"

namespace palvara {
namespace {

class StructureDamageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const auto path = std::filesystem::temp_directory_path() /
                      ("palvara-structure-damage-" + std::to_string(::getpid()) + ".pst");
    SampleOptions options;
    options.messages = 80;
    ASSERT_TRUE(WriteSampleStore(path, options, nullptr).ok());
    sample_ = new Bytes(testing::ReadFileBytes(path));
    std::filesystem::remove(path);
  }
  static void TearDownTestSuite() {
    delete sample_;
    sample_ = nullptr;
  }

  static const Bytes& Sample() { return *sample_; }

  // The node B-tree leaves the walk of the intact sample reads, in file order.
  static std::vector<std::uint64_t> NodeLeaves() {
    auto store = testing::OpenAndIndex(Sample());
    std::vector<std::uint64_t> leaves;
    for (const StoreFile::WalkedLeaf& leaf : store->walkedNodeLeaves) leaves.push_back(leaf.offset);
    std::sort(leaves.begin(), leaves.end());
    return leaves;
  }

  static std::vector<DamageReport> ReportsAt(const StoreFile& store, std::uint64_t offset) {
    std::vector<DamageReport> at;
    for (const DamageReport& r : store.damage.Reports()) {
      if (r.offset == offset) at.push_back(r);
    }
    return at;
  }

  // Puts the CRC of the page at `offset` right again, as a writer of bad data would.
  static void RewriteCrc(Bytes& image, std::uint64_t offset) {
    const Geometry& g = kUnicodeGeometry;
    const ByteSpan data = ByteSpan(image).subspan(offset, g.pageData);
    StoreLe(image, offset + g.pageData + g.pageTrailerCrc, ComputeCrc(data), 4);
  }

  inline static Bytes* sample_ = nullptr;
};

TEST_F(StructureDamageTest, AZeroedLeafPageIsReportedZeroedAtItsOffset) {
  const std::vector<std::uint64_t> leaves = NodeLeaves();
  ASSERT_GE(leaves.size(), 3u) << "the sample's node B-tree has too few leaves";
  // A leaf other than the first: the walk then knows the leaf level and skips the page alone.
  const std::uint64_t leaf = leaves[1];
  Bytes image = Sample();
  std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(leaf), kSmallPageSize, std::byte{0});
  auto store = testing::OpenAndIndex(image);
  const std::vector<DamageReport> reports = ReportsAt(*store, leaf);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].kind, DamageKind::kZeroed) << reports[0].ToString();
  EXPECT_EQ(reports[0].structure, "BTPAGE");
  EXPECT_EQ(reports[0].size, kSmallPageSize);
  EXPECT_EQ(reports[0].nodeId, 0u);
}

TEST_F(StructureDamageTest, AnAlteredPageIsABadCrcUntilItsCrcIsWrittenAgain) {
  const std::uint64_t leaf = NodeLeaves()[1];
  Bytes image = Sample();
  // The third entry's nid made smaller than the second's: the rest of the page is out of order.
  const std::uint64_t entry2 = leaf + 2 * kUnicodeGeometry.nodeLeafEntry;
  StoreLe(image, entry2, 1, 8);
  {
    auto store = testing::OpenAndIndex(image);
    const std::vector<DamageReport> reports = ReportsAt(*store, leaf);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].kind, DamageKind::kBadCrc) << reports[0].ToString();
    EXPECT_NE(reports[0].text.find("out of order"), std::string::npos);
  }
  // Written so by a broken writer: the page is sound as a page, its content is not.
  RewriteCrc(image, leaf);
  auto store = testing::OpenAndIndex(image);
  const std::vector<DamageReport> reports = ReportsAt(*store, leaf);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].kind, DamageKind::kInconsistent) << reports[0].ToString();
}

TEST_F(StructureDamageTest, PagesPastTheEndOfACutFileAreCutOff) {
  const std::vector<std::uint64_t> leaves = NodeLeaves();
  // Cut inside the last leaf: it and everything after it is gone.
  const std::uint64_t cut = leaves.back() + 100;
  Bytes image(Sample().begin(), Sample().begin() + static_cast<std::ptrdiff_t>(cut));
  auto store = testing::OpenAndIndex(image);
  // Every page from the last leaf on lies (partly) past the end.
  std::size_t pastTheEnd = 0;
  for (const DamageReport& r : store->damage.Reports()) {
    if (r.offset < leaves.back()) continue;
    ++pastTheEnd;
    EXPECT_EQ(r.kind, DamageKind::kCutOff) << r.ToString();
  }
  EXPECT_GE(pastTheEnd, 1u);
}

// A file shorter than its header says is cut off even where the walk reads nothing it lost;
// the intact sample has no such report.
TEST_F(StructureDamageTest, AFileShorterThanItsHeaderSaysIsReportedCutOffWhereItEnds) {
  EXPECT_TRUE(testing::OpenAndIndex(Sample())->damage.Empty());
  const std::uint64_t cut = Sample().size() - 3 * 512;
  Bytes image(Sample().begin(), Sample().begin() + static_cast<std::ptrdiff_t>(cut));
  auto store = testing::OpenAndIndex(image);
  const std::vector<DamageReport> atEnd = ReportsAt(*store, cut);
  ASSERT_EQ(atEnd.size(), 1u);
  EXPECT_EQ(atEnd[0].kind, DamageKind::kCutOff);
  EXPECT_EQ(atEnd[0].structure, "FILE");
  EXPECT_EQ(atEnd[0].size, 3u * 512);
}

TEST_F(StructureDamageTest, PastTheEndIsCutOffOnlyWhereTheHeaderSaysTheFileWent) {
  StoreFile store;
  store.fileSize = 0x10000;
  store.endOfFile = 0x20000;
  EXPECT_EQ(PastEndDamage(store, 0x18000), DamageKind::kCutOff);
  EXPECT_EQ(PastEndDamage(store, 0x20000), DamageKind::kBadReference);
  EXPECT_EQ(PastEndDamage(store, 0xFFFFFFFF00), DamageKind::kBadReference);
  store.endOfFile = 0;  // a header that says nothing: the file may have been cut anywhere
  EXPECT_EQ(PastEndDamage(store, 0xFFFFFFFF00), DamageKind::kCutOff);
}

// A block read back as something else: its kind comes from the bytes at its offset.
TEST_F(StructureDamageTest, BlocksAreZeroedUnreadableBadCrcOrAsTheReaderFoundThem) {
  auto store = testing::OpenAndIndex(Sample());
  const BlockEntry* block = nullptr;
  for (const BlockEntry& e : store->blocks) {
    if (!e.IsInternal() && e.size > 64 && e.offset + 4096 < Sample().size()) {
      block = &e;
      break;
    }
  }
  ASSERT_NE(block, nullptr);
  const BlockEntry entry = *block;
  const auto kindAfter = [&](auto spoil) {
    Bytes image = Sample();
    spoil(image);
    auto damaged = testing::OpenAndIndex(image);
    return BlockDamage(*damaged, entry, DamageKind::kInconsistent);
  };
  const std::size_t extent = kUnicodeGeometry.BlockSize(entry.size);
  const std::size_t trailer = entry.offset + extent - kUnicodeGeometry.blockTrailer;
  EXPECT_EQ(kindAfter([](Bytes&) {}), DamageKind::kInconsistent);
  EXPECT_EQ(kindAfter([&](Bytes& b) {
              std::fill_n(b.begin() + static_cast<std::ptrdiff_t>(entry.offset), extent,
                          std::byte{0});
            }),
            DamageKind::kZeroed);
  EXPECT_EQ(kindAfter([&](Bytes& b) { b[entry.offset + 3] ^= std::byte{0x10}; }),
            DamageKind::kBadCrc);
  // The trailer names another block: something else was written there.
  EXPECT_EQ(kindAfter([&](Bytes& b) {
              b[trailer + kUnicodeGeometry.blockTrailerBid] ^= std::byte{0x40};
            }),
            DamageKind::kUnreadable);
  EXPECT_EQ(kindAfter([&](Bytes& b) { b.resize(entry.offset + extent / 2); }), DamageKind::kCutOff);
}

}  // namespace
}  // namespace palvara
