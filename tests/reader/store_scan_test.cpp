// The recovery scan over generated and real stores: every block the block B-tree lists is
// found with its offset, size and a sound CRC, whatever the read size; the layout is told from
// the pages alone; trailers that do not fit their place are refused; made-up blocks read back.
#include "reader/store_scan.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>

#include "reader/btree_walk.h"
#include "reader/property_list.h"
#include "reader/recovered_blocks.h"
#include "tests/support/damage_kinds.h"
#include "tests/support/test_data.h"
#include "writer/sample_generator.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;

Bytes SampleBytes(EncodingMethod encoding) {
  char pattern[] = "/tmp/palvara-scan-XXXXXX";
  const fs::path dir = ::mkdtemp(pattern);
  SampleOptions options;
  options.messages = 8;
  options.encoding = encoding;
  SampleSummary summary;
  EXPECT_TRUE(WriteSampleStore(dir / "s.pst", options, &summary).ok());
  Bytes bytes = testing::ReadFileBytes(dir / "s.pst");
  fs::remove_all(dir);
  return bytes;
}

std::map<std::uint64_t, ScannedBlock> ById(const LayoutScan& scan) {
  std::map<std::uint64_t, ScannedBlock> blocks;
  for (const ScannedBlock& b : scan.blocks) blocks.emplace(b.id, b);
  return blocks;
}

TEST(StoreScanTest, FindsEveryIndexedBlockWithAnyReadSize) {
  const Bytes bytes = SampleBytes(EncodingMethod::kPermute);
  StoreFile store;
  ASSERT_TRUE(OpenStore(store, std::make_unique<ViewByteSource>(bytes)).ok());
  IndexStore(store);
  ASSERT_GT(store.blocks.Size(), 50u);
  for (std::size_t chunk : {std::size_t{512}, std::size_t{4096 + 512}, std::size_t{8} << 20}) {
    ViewByteSource source(bytes);
    ScanOptions options;
    options.chunkSize = chunk;
    const ScanResult scan = ScanStore(source, options);
    ASSERT_EQ(scan.BestLayout(), ScanLayout::kUnicode);
    EXPECT_EQ(scan.bytesScanned, bytes.size());
    const auto found = ById(*scan.unicode);
    for (const BlockEntry& e : store.blocks) {
      auto it = found.find(e.id);
      ASSERT_NE(it, found.end()) << "block " << Hex(e.id) << ", chunk " << chunk;
      EXPECT_EQ(it->second.offset, e.offset);
      EXPECT_EQ(it->second.size, e.size);
      EXPECT_TRUE(it->second.crcValid);
    }
    std::size_t nodePages = 0;
    for (const ScannedPage& p : scan.unicode->pages) nodePages += p.type == kPageTypeNodeTree;
    EXPECT_GE(nodePages, store.visitedNodePages.size());
  }
}

TEST(StoreScanTest, TellsTheLayoutWithoutAHeader) {
  for (const char* name : {"hughbe_personal_folders_ansi.pst", "libyal_outlook.pst"}) {
    const fs::path path = testing::kTestData / "stores" / name;
    if (!fs::exists(path)) GTEST_SKIP() << "no test data";
    const Bytes bytes =
        testing::Damage(testing::ReadFileBytes(path), testing::DamageKind::kHeaderWiped, 1);
    ViewByteSource source(bytes);
    const ScanResult scan = ScanStore(source, {});
    EXPECT_EQ(scan.BestLayout(), std::string(name).find("ansi") != std::string::npos
                                     ? ScanLayout::kAnsi
                                     : ScanLayout::kUnicode)
        << name;
  }
}

TEST(StoreScanTest, ATrailerAwayFromItsPlaceOrWithASpoiledCrcIsKnownAsSuch) {
  const Bytes bytes = SampleBytes(EncodingMethod::kNone);
  ViewByteSource source(bytes);
  ScanOptions options;
  options.layout = ScanLayout::kUnicode;
  const ScanResult scan = ScanStore(source, options);
  const ScannedBlock block = scan.unicode->blocks.at(scan.unicode->blocks.size() / 2);
  const std::uint64_t end = (block.offset + block.size + 16 + 63) / 64 * 64;
  ASSERT_TRUE(CheckBlockTrailer(bytes, 0, end, ScanLayout::kUnicode));
  // The same bytes 64 bytes further on: the signature names another offset.
  Bytes moved(bytes.size() + 64);
  std::copy(bytes.begin(), bytes.end(), moved.begin() + 64);
  EXPECT_FALSE(CheckBlockTrailer(moved, 0, end + 64, ScanLayout::kUnicode));
  Bytes spoiled = bytes;
  spoiled[end - 12] ^= std::byte{1};  // the CRC
  const auto weak = CheckBlockTrailer(spoiled, 0, end, ScanLayout::kUnicode);
  ASSERT_TRUE(weak);
  EXPECT_FALSE(weak->crcValid);
  // The trailer cut off by the end of the data.
  EXPECT_FALSE(CheckBlockTrailer(ByteSpan(bytes).first(end - 1), 0, end, ScanLayout::kUnicode));
  // The same bytes 256 TiB further on (the signature folds the offset to 32 bits): past what a
  // record holds, refused rather than recorded at a wrong offset.
  EXPECT_FALSE(CheckBlockTrailer(bytes, kMaxScannedOffset, end + kMaxScannedOffset, ScanLayout::kUnicode));
}

TEST(StoreScanTest, AStopEndsTheScanEarly) {
  const Bytes bytes = SampleBytes(EncodingMethod::kPermute);
  ViewByteSource source(bytes);
  RunControl control;
  control.RequestStopAnalysis();
  ScanOptions options;
  options.control = &control;
  EXPECT_TRUE(ScanStore(source, options).stopped);
}

TEST(RecoveredBlocksTest, AMadeUpFolderReadsBackThroughTheStoresEncoding) {
  for (EncodingMethod method : {EncodingMethod::kNone, EncodingMethod::kPermute, EncodingMethod::kCyclic}) {
    const Bytes bytes = SampleBytes(method);
    StoreFile store;
    ASSERT_TRUE(OpenStore(store, std::make_unique<ViewByteSource>(bytes)).ok());
    IndexStore(store);
    ASSERT_EQ(store.encoding, method);
    const BlockEntry* block = AddMadeUpBlock(
        store, BuildPropertyContext(FolderProperties("Lost \xC3\xA9", "IPF.Note", 7, true)));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(store.fileSize, block->offset + block->size);
    EXPECT_EQ(block->offset % 64, 0u);
    const std::unique_ptr<PropertyList> list = ReadPropertyList(store, block, {});
    ASSERT_NE(list, nullptr);
    const PropertyEntry* count = list->Find(0x3602);
    ASSERT_NE(count, nullptr);
    EXPECT_EQ(LoadLe32(*count->value, 0), 7u);
    const PropertyEntry* cls = list->Find(0x3613);
    ASSERT_NE(cls, nullptr);
    EXPECT_EQ(cls->value->size(), 16u);  // "IPF.Note" in UTF-16
    // The file's own bytes are unchanged below the made-up block.
    EXPECT_EQ(ReadBlockAt(store, 0, 16), Bytes(bytes.begin(), bytes.begin() + 16));
  }
}

}  // namespace
}  // namespace palvara
