#include "writer/store_check.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "tests/support/test_data.h"
#include "writer/crc.h"
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

}  // namespace
}  // namespace palvara
