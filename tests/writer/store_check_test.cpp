#include "writer/store_check.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "tests/support/test_data.h"
#include "items/mapping.h"
#include "reader/btree_walk.h"
#include "reader/crc.h"
#include "writer/sample_generator.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;

void WriteAll(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

bool HasRule(const CheckReport& report, const std::string& rule, bool error) {
  return std::any_of(report.findings.begin(), report.findings.end(), [&](const CheckFinding& f) {
    return f.rule == rule && f.error == error;
  });
}

void FixPageCrc(Bytes& file, std::uint64_t page) {
  StoreLe(file, page + 500, ComputeCrc(ByteSpan(file).subspan(page, 496)), 4);
}

void FixHeaderCrcs(Bytes& file) {
  StoreLe(file, 4, ComputeCrc(ByteSpan(file).subspan(8, 471)), 4);
  StoreLe(file, 524, ComputeCrc(ByteSpan(file).subspan(8, 516)), 4);
}

// The offset of the first node B-tree leaf entry whose nid has `type`.
std::uint64_t NodeEntryOfType(const Bytes& file, std::uint32_t type) {
  for (std::uint64_t page = 0x4400; page + 512 <= file.size(); page += 512) {
    if (ByteAt(file, page + 496) != 0x81 || ByteAt(file, page + 491) != 0) continue;
    for (std::size_t i = 0; i < ByteAt(file, page + 488); ++i) {
      if ((*LoadLe32(file, page + i * 32) & 0x1F) == type) return page + i * 32;
    }
  }
  return 0;
}

// The file offset of block `bid`, from the block B-tree's leaf pages; 0 when absent.
std::uint64_t BlockOffset(const Bytes& file, std::uint64_t bid) {
  for (std::uint64_t page = 0x4400; page + 512 <= file.size(); page += 512) {
    if (ByteAt(file, page + 496) != 0x80 || ByteAt(file, page + 491) != 0) continue;
    for (std::size_t i = 0; i < ByteAt(file, page + 488); ++i) {
      if (*LoadLe64(file, page + i * 24) == bid) return *LoadLe64(file, page + i * 24 + 8);
    }
  }
  return 0;
}

// The first leaf page of a B-tree (following first entries down).
std::uint64_t FirstLeaf(const Bytes& file, std::uint64_t root) {
  std::uint64_t page = root;
  while (ByteAt(file, page + 491) != 0) page = *LoadLe64(file, page + 16);
  return page;
}

class StoreCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("palvara-check-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    SampleOptions options;
    options.messages = 60;
    ASSERT_TRUE(WriteSampleStore(dir_ / "good.pst", options, nullptr).ok());
    good_ = testing::ReadFileBytes(dir_ / "good.pst");
  }
  void TearDown() override { fs::remove_all(dir_); }

  CheckReport Corrupted(const std::function<void(Bytes&)>& damage) {
    Bytes copy = good_;
    damage(copy);
    WriteAll(dir_ / "bad.pst", copy);
    return CheckStore(dir_ / "bad.pst");
  }

  fs::path dir_;
  Bytes good_;
};

TEST_F(StoreCheckTest, WrittenAndOutlookStoresPass) {
  const CheckReport report = CheckStore(dir_ / "good.pst");
  ASSERT_TRUE(report.opened);
  EXPECT_EQ(report.findings.size(), 0u) << report.findings.front().rule << ": "
                                        << report.findings.front().text;
  EXPECT_GT(report.blocks, 100u);
  const fs::path sample = testing::kTestData.parent_path() / "docs" / "samples" / "outlook-empty-unicode.pst";
  if (fs::exists(sample)) {
    EXPECT_EQ(CheckStore(sample).Errors(), 0u);
  }
  EXPECT_FALSE(CheckStore(dir_ / "missing.pst").opened);
}

TEST_F(StoreCheckTest, EachKindOfDamageIsNamed) {
  const std::uint64_t bbtRoot = *LoadLe64(good_, 240), nbtRoot = *LoadLe64(good_, 224);
  const std::uint64_t bbtLeaf = FirstLeaf(good_, bbtRoot), nbtLeaf = FirstLeaf(good_, nbtRoot);
  const std::uint64_t firstBlock = *LoadLe64(good_, bbtLeaf + 8);
  const std::uint16_t firstSize = *LoadLe16(good_, bbtLeaf + 16);

  EXPECT_TRUE(HasRule(Corrupted([](Bytes& f) { f[60] ^= std::byte{1}; }), "header-crc", true));
  EXPECT_TRUE(HasRule(Corrupted([](Bytes& f) { f.resize(f.size() + 512); }), "file-size", true));
  EXPECT_TRUE(HasRule(Corrupted([&](Bytes& f) { f[nbtLeaf + 492] ^= std::byte{1}; }), "page-crc", true));
  EXPECT_TRUE(HasRule(Corrupted([&](Bytes& f) { f[nbtLeaf + 498] ^= std::byte{1}; }),
                      "page-signature", true));
  EXPECT_TRUE(HasRule(Corrupted([&](Bytes& f) { f[firstBlock] ^= std::byte{1}; }), "block-crc", true));
  EXPECT_TRUE(HasRule(Corrupted([&](Bytes& f) {
                        const std::uint64_t trailer = firstBlock + (firstSize + 16 + 63) / 64 * 64 - 16;
                        f[trailer + 2] ^= std::byte{1};
                      }),
                      "block-signature", true));
  // Two block ids out of order in a leaf page.
  EXPECT_TRUE(HasRule(Corrupted([&](Bytes& f) {
                        StoreLe(f, bbtLeaf + 24, *LoadLe64(f, bbtLeaf) - 4 + 0, 8);
                        FixPageCrc(f, bbtLeaf);
                      }),
                      "btree-order", true));
  // A node that names a block the block B-tree does not hold.
  EXPECT_TRUE(HasRule(Corrupted([&](Bytes& f) {
                        StoreLe(f, nbtLeaf + 8, 0x7FFFFFF0, 8);
                        FixPageCrc(f, nbtLeaf);
                      }),
                      "missing-block", true));
  // A used unit marked free in the first allocation map.
  EXPECT_TRUE(HasRule(Corrupted([&](Bytes& f) {
                        const std::size_t unit = (firstBlock - 0x4400) / 64;
                        f[0x4400 + unit / 8] &= static_cast<std::byte>(~(0x80 >> (unit % 8)));
                        FixPageCrc(f, 0x4400);
                      }),
                      "amap", true));
  // A reference count that does not match: readers cope.
  const CheckReport cref = Corrupted([&](Bytes& f) {
    StoreLe(f, bbtLeaf + 18, 7, 2);
    FixPageCrc(f, bbtLeaf);
  });
  EXPECT_TRUE(HasRule(cref, "reference-count", false));
  EXPECT_EQ(cref.Errors(), 0u);
}

TEST_F(StoreCheckTest, TreeAndCounterDamageIsNamed) {
  // The next block id no longer lies past the blocks in use.
  EXPECT_TRUE(HasRule(Corrupted([](Bytes& f) {
                        StoreLe(f, 516, 4, 8);
                        FixHeaderCrcs(f);
                      }),
                      "counters", false));
  const std::uint64_t message = NodeEntryOfType(good_, 0x04);
  ASSERT_NE(message, 0u);
  auto moveMessageTo = [&](std::uint32_t parent) {
    return [=](Bytes& f) {
      StoreLe(f, message + 24, parent, 4);
      FixPageCrc(f, message / 512 * 512);
    };
  };
  // A message below a node that is not a folder.
  EXPECT_TRUE(HasRule(Corrupted(moveMessageTo(0x21)), "node-parent", true));
  // A message whose heap lost its signature.
  const std::uint64_t heap = BlockOffset(good_, *LoadLe64(good_, message + 8));
  ASSERT_NE(heap, 0u);
  EXPECT_TRUE(HasRule(Corrupted([&](Bytes& f) { f[heap + 2] ^= std::byte{0x40}; }), "heap", true));
  // A message below another folder than the one whose contents table lists it.
  const CheckReport moved = Corrupted(moveMessageTo(0x8062));
  EXPECT_TRUE(HasRule(moved, "folder-rows", false));
  EXPECT_FALSE(HasRule(moved, "node-parent", true));
}

// Damage inside node data, patched in a store written without encoding.
TEST_F(StoreCheckTest, ObjectDamageIsNamed) {
  SampleOptions options;
  options.messages = 20;
  options.encoding = EncodingMethod::kNone;
  ASSERT_TRUE(WriteSampleStore(dir_ / "plain.pst", options, nullptr).ok());
  good_ = testing::ReadFileBytes(dir_ / "plain.pst");
  auto find = [this](const Bytes& pattern) {
    const auto at = std::search(good_.begin(), good_.end(), pattern.begin(), pattern.end());
    return at == good_.end() ? std::size_t{0} : static_cast<std::size_t>(at - good_.begin());
  };
  // The store's IPM subtree entry id names a folder that does not exist.
  StoreFile store;
  ASSERT_TRUE(OpenStore(store, dir_ / "plain.pst").ok());
  IndexStore(store);
  const auto storeRecord = LoadItem(store, *FindNode(store, 0x21), MapContextFor(store));
  ASSERT_TRUE(storeRecord && storeRecord->store && storeRecord->store->ipmSubtreeEntryId);
  const std::size_t entryId = find(*storeRecord->store->ipmSubtreeEntryId);
  ASSERT_NE(entryId, 0u);
  EXPECT_TRUE(HasRule(Corrupted([&](Bytes& f) { f[entryId + 21] = std::byte{0x99}; }), "store", true));
  // A name-to-id record out of its numbering: the first record names LID 0x8205 of the first
  // property set of the GUID stream (index 3), with index 0.
  Bytes first;
  for (int v : {0x05, 0x82, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00})
    first.push_back(static_cast<std::byte>(v));
  const std::size_t record = find(first);
  ASSERT_NE(record, 0u);
  EXPECT_TRUE(HasRule(Corrupted([&](Bytes& f) { f[record + 6] = std::byte{5}; }), "name-map", true));
  // A subnode block whose first two entries change places, and a message whose recipient
  // table goes by another id.
  std::uint64_t subnodeBlock = 0, recipients = 0;
  for (std::uint64_t page = 0x4400; page + 512 <= good_.size(); page += 512) {
    if (ByteAt(good_, page + 496) != 0x80 || ByteAt(good_, page + 491) != 0) continue;
    for (std::size_t i = 0; i < ByteAt(good_, page + 488); ++i) {
      const std::uint64_t ib = *LoadLe64(good_, page + i * 24 + 8);
      if ((*LoadLe64(good_, page + i * 24) & 2) == 0 || ByteAt(good_, ib) != 0x02 || ByteAt(good_, ib + 1) != 0) continue;
      if (*LoadLe16(good_, ib + 2) >= 2 && subnodeBlock == 0) subnodeBlock = ib;
      if (*LoadLe32(good_, ib + 8) == 0x692 && recipients == 0) recipients = ib + 8;
    }
  }
  ASSERT_NE(subnodeBlock, 0u);
  ASSERT_NE(recipients, 0u);
  EXPECT_TRUE(HasRule(Corrupted([&](Bytes& f) {
                        std::swap_ranges(f.begin() + static_cast<std::ptrdiff_t>(subnodeBlock + 8),
                                         f.begin() + static_cast<std::ptrdiff_t>(subnodeBlock + 32),
                                         f.begin() + static_cast<std::ptrdiff_t>(subnodeBlock + 32));
                      }),
                      "subnode-order", true));
  EXPECT_TRUE(HasRule(Corrupted([&](Bytes& f) { f[recipients] = std::byte{0x93}; }), "message-recipients", false));
}

}  // namespace
}  // namespace palvara
