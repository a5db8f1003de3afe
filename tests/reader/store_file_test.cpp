#include "reader/store_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "reader/btree_walk.h"
#include "tests/support/store_builder.h"

namespace palvara {
namespace {

using testing::BuildSimpleStore;
using testing::Layout;
using testing::NbtEntry;
using testing::SimpleStore;

SimpleStore SmallStore(Layout layout, EncodingMethod crypt) {
  SimpleStore spec;
  spec.layout = layout;
  spec.crypt = crypt;
  spec.blocks.push_back({4, testing::EmptyPropertyContextHeap()});
  spec.blocks.push_back({8, testing::EmptyPropertyContextHeap()});
  spec.nodes = {NbtEntry{0x21, 4, 0, 0}, NbtEntry{0x122, 8, 0, 0x122},
                NbtEntry{0x8022, 0, 0, 0x122}};
  return spec;
}

TEST(StoreFileTest, VersionFifteenReadsLikeFourteen) {
  Bytes image = BuildSimpleStore(SmallStore(Layout::kAnsi, EncodingMethod::kPermute)).image;
  StoreLe(image, 10, 15, 2);
  auto store = testing::OpenAndIndex(image);
  EXPECT_EQ(store->wVer, 15u);
  EXPECT_TRUE(store->IsAnsi());
  EXPECT_EQ(testing::NodesWithParents(*store).size(), 3u);
}

TEST(StoreFileTest, WrongMagicAndCrcsDoNotMatter) {
  Bytes image = BuildSimpleStore(SmallStore(Layout::kUnicode, EncodingMethod::kPermute)).image;
  for (std::size_t i = 0; i < 10; ++i) image[i] = std::byte{0x5A};  // magic, CRC, client magic
  auto store = testing::OpenAndIndex(image);
  EXPECT_EQ(store->Format(), StoreFormat::kUnicode);
  EXPECT_EQ(testing::NodesWithParents(*store).size(), 3u);
  EXPECT_TRUE(store->damage.Empty());
}

TEST(StoreFileTest, UnicodeRootReferencesKeepAllSixtyFourBits) {
  testing::StoreBuilder b(Layout::kUnicode);
  b.SetRoots(0x100004400ull, 0x200004600ull);
  auto store = testing::OpenImage(b.image());
  EXPECT_EQ(store->nodeTreeRootOffset, 0x100004400ull);
  EXPECT_EQ(store->blockTreeRootOffset, 0x200004600ull);
}

TEST(StoreFileTest, ShortAndUnknownFilesOpenWithDamageReports) {
  // Shorter than the header: the missing bytes read as zero, so the version is unknown.
  Bytes tiny(40, std::byte{0});
  StoreLe(tiny, 10, 23, 2);
  auto store = testing::OpenAndIndex(tiny);
  EXPECT_EQ(store->Format(), StoreFormat::kUnicode);
  EXPECT_EQ(store->blocks.Size(), 0u);
  EXPECT_EQ(store->nodes.First(), nullptr);
  EXPECT_GE(store->damage.Count(), 2u);

  for (const Bytes& image : {Bytes{}, Bytes(4096, std::byte{0x33})}) {
    auto other = testing::OpenAndIndex(image);
    EXPECT_EQ(other->Format(), StoreFormat::kNone);
    EXPECT_EQ(other->nodes.First(), nullptr);
    EXPECT_FALSE(other->damage.Empty());
  }
}

TEST(StoreFileTest, FilesThatCannotBeOpenedSayWhy) {
  const auto dir = std::filesystem::temp_directory_path();
  StoreFile a;
  Status directory = OpenStore(a, dir);
  EXPECT_FALSE(directory.ok());
  EXPECT_NE(directory.message().find("directory"), std::string::npos);
  StoreFile b;
  Status missing = OpenStore(b, dir / "palvara-no-such-file.pst");
  EXPECT_FALSE(missing.ok());
  EXPECT_NE(missing.message().find("No such file"), std::string::npos);
}

TEST(StoreFileTest, AnUnknownVersionSaysWhetherTheHeaderIsCutZeroedOrSomethingElse) {
  const auto headerKind = [](const Bytes& image) {
    auto store = testing::OpenImage(image);
    for (const DamageReport& r : store->damage.Reports()) {
      if (r.text.find("unknown format version") != std::string::npos) return r.kind;
    }
    ADD_FAILURE() << "no report of the version";
    return DamageKind::kInconsistent;
  };
  EXPECT_EQ(headerKind(Bytes{}), DamageKind::kCutOff);
  EXPECT_EQ(headerKind(Bytes(4096, std::byte{0})), DamageKind::kZeroed);
  EXPECT_EQ(headerKind(Bytes(4096, std::byte{0x33})), DamageKind::kUnreadable);
  Bytes shortFile(40, std::byte{0});
  auto cut = testing::OpenImage(shortFile);
  ASSERT_EQ(cut->damage.Reports().size(), 2u);
  EXPECT_EQ(cut->damage.Reports()[1].kind, DamageKind::kCutOff);
  EXPECT_EQ(cut->damage.Reports()[1].offset, 40u);
}

TEST(StoreFileTest, RecoveredExtentsJoinNeighboursAndStopAtTheCap) {
  RecoverySummary r;
  r.AddRecoveredExtent(0x1000, 0x40);
  r.AddRecoveredExtent(0x1040, 0x80);  // starts where the one before ends
  r.AddRecoveredExtent(0x2000, 0x200);
  r.AddRecoveredExtent(0x1100, 0x40);  // behind the last one: kept apart
  EXPECT_EQ(r.recoveredExtents,
            (std::vector<FileExtent>{{0x1000, 0xC0}, {0x2000, 0x200}, {0x1100, 0x40}}));
  RecoverySummary full;
  for (std::uint64_t i = 0; i < RecoverySummary::kMaxExtentsKept + 3; ++i) {
    full.AddRecoveredExtent(i * 0x100, 0x40);
  }
  EXPECT_EQ(full.recoveredExtents.size(), RecoverySummary::kMaxExtentsKept);
  EXPECT_EQ(full.extentsDropped, 3u);
  // A neighbour of the last one kept still joins it past the cap.
  const FileExtent last = full.recoveredExtents.back();
  full.AddRecoveredExtent(last.offset + last.size, 0x40);
  EXPECT_EQ(full.recoveredExtents.back().size, last.size + 0x40);
  EXPECT_EQ(full.extentsDropped, 3u);
}

struct EncodingCase {
  EncodingMethod written;
  std::uint8_t headerByte;
  bool expectFromHeader;
};

class EncodingChoiceTest : public ::testing::TestWithParam<std::tuple<Layout, EncodingCase>> {};

TEST_P(EncodingChoiceTest, HeaderMethodIsKeptOnlyWhenNode21DecodesWithIt) {
  const auto [layout, c] = GetParam();
  testing::BuiltStore built = BuildSimpleStore(SmallStore(layout, c.written));
  StoreLe(built.image, layout == Layout::kAnsi ? 461 : 513, c.headerByte, 1);
  auto store = testing::OpenAndIndex(built.image);
  EXPECT_EQ(store->encoding, c.written);
  EXPECT_EQ(store->encodingFromHeader, c.expectFromHeader);
  EXPECT_EQ(store->damage.Empty(), c.expectFromHeader);
}

INSTANTIATE_TEST_SUITE_P(
    AllMethods, EncodingChoiceTest,
    ::testing::Combine(::testing::Values(Layout::kAnsi, Layout::kUnicode),
                       ::testing::Values(EncodingCase{EncodingMethod::kNone, 0, true},
                                         EncodingCase{EncodingMethod::kPermute, 1, true},
                                         EncodingCase{EncodingMethod::kCyclic, 2, true},
                                         EncodingCase{EncodingMethod::kPermute, 0, false},
                                         EncodingCase{EncodingMethod::kNone, 1, false},
                                         EncodingCase{EncodingMethod::kCyclic, 0x47, false})));

}  // namespace
}  // namespace palvara
