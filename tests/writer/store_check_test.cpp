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

}  // namespace
}  // namespace palvara
