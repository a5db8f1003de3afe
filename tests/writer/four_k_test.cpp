// Stores of 4 KiB pages (the OST files of Outlook 2013 and later), as the store writer lays
// them out: read by readpst and pffexport exactly as the same sample written in the Unicode
// layout, checked, and read back through compressed blocks that are damaged in every way a
// zlib stream can be.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>

#include "items/analysis.h"
#include "reader/block_access.h"
#include "reader/btree_walk.h"
#include "reader/crc.h"
#include "reader/inflate.h"
#include "tests/support/store_items.h"
#include "tests/support/store_listings.h"
#include "tests/support/test_data.h"
#include "writer/sample_generator.h"
#include "writer/store_check.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;

std::string Quoted(const fs::path& path) { return "'" + path.string() + "'"; }

// The files of two exports that differ, by path below each: missing on one side, or different
// but for what readpst makes up anew each run (MIME boundaries, iCalendar time stamps).
std::vector<std::string> ExportDifferences(const fs::path& a, const fs::path& b) {
  auto files = [](const fs::path& root) {
    std::map<std::string, std::string> contents;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
      if (!e.is_regular_file()) continue;
      std::ifstream in(e.path(), std::ios::binary);
      std::string text((std::istreambuf_iterator<char>(in)), {});
      static const std::regex kMadeUp("iamunique-[0-9]+|DTSTAMP:[0-9TZ]+");
      contents[fs::relative(e.path(), root).string()] = std::regex_replace(text, kMadeUp, "*");
    }
    return contents;
  };
  const auto left = files(a), right = files(b);
  std::vector<std::string> differences;
  for (const auto& [path, text] : left) {
    const auto other = right.find(path);
    if (other == right.end() || other->second != text) differences.push_back(path);
  }
  for (const auto& [path, text] : right) {
    if (!left.count(path)) differences.push_back(path + " (only in the second)");
  }
  return differences;
}

class FourKTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/palvara-4k-XXXXXX";
    dir_ = ::mkdtemp(pattern);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  fs::path Sample(const std::string& name, NdbLayout layout, std::uint64_t messages = 200) {
    SampleOptions options;
    options.messages = messages;
    // One file, however far into it the store begins.
    options.partLimit = UINT64_MAX;
    options.seed = 9;
    options.encoding = EncodingMethod::kNone;
    options.layout = layout;
    EXPECT_TRUE(WriteSampleStore(dir_ / name, options, nullptr).ok());
    return dir_ / name;
  }

  fs::path dir_;
};

// The same sample in the Unicode layout and in 4 KiB pages, plain and compressed: readpst and
// pffexport export the three alike, byte for byte (folders of 200 messages among them, whose
// contents tables span several blocks), and the check finds no error.
TEST_F(FourKTest, BothReadersExportA4kStoreAsItsUnicodeTwin) {
  if (std::system("command -v pffexport >/dev/null 2>&1 && command -v readpst >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "pffexport or readpst is not installed";
  }
  const fs::path twin = Sample("twin.pst", {});
  const fs::path plain = Sample("plain.ost", {&k4kGeometry, false, kClientOst});
  const fs::path packed = Sample("packed.ost", {&k4kGeometry, true, kClientOst});
  EXPECT_LT(fs::file_size(packed), fs::file_size(plain));
  for (const fs::path& store : {twin, plain, packed}) {
    const std::string name = store.stem().string();
    ASSERT_EQ(std::system(("pffexport -q -m all -f all -t " + Quoted(dir_ / ("pff-" + name)) + " " +
                           Quoted(store) + " >/dev/null 2>&1").c_str()), 0) << store;
    fs::create_directories(dir_ / ("rp-" + name));
    ASSERT_EQ(std::system(("readpst -j 0 -D -M -b -o " + Quoted(dir_ / ("rp-" + name)) + " " +
                           Quoted(store) + " >/dev/null 2>&1").c_str()), 0) << store;
    EXPECT_EQ(CheckStore(store).Errors(), 0u) << store;
  }
  // pffexport writes into TARGET.export, readpst into the folder given.
  auto exported = [this](const std::string& reader, const std::string& name) {
    return dir_ / (reader == "pff" ? "pff-" + name + ".export" : "rp-" + name);
  };
  for (const std::string reader : {"pff", "rp"}) {
    for (const std::string name : {"plain", "packed"}) {
      EXPECT_EQ(ExportDifferences(exported(reader, "twin"), exported(reader, name)),
                std::vector<std::string>{})
          << reader << " " << name;
    }
  }
  // And our own reader lists the three alike.
  EXPECT_EQ(testing::ListingDifferences(testing::OurListing(twin), testing::OurListing(packed)),
            std::vector<std::string>{});
  EXPECT_GT(testing::OurListing(packed).Items(), 250u);
}

// Where a block of a compressed store is, as the block B-tree and the block's trailer say.
struct FoundBlock {
  std::uint64_t bid = 0, offset = 0, leafEntry = 0;  // leafEntry: its BBT entry's file offset
  std::uint16_t cb = 0, inflated = 0;
};

class CompressedStoreTest : public FourKTest {
 protected:
  void SetUp() override {
    FourKTest::SetUp();
    path_ = Sample("store.ost", {&k4kGeometry, true, kClientOst}, 60);
    bytes_ = testing::ReadFileBytes(path_);
    // Every BBT leaf entry, from the leaf pages (4,096 bytes, the trailer at 4,072).
    for (std::uint64_t page = 0; page + 4096 <= bytes_.size(); page += 4096) {
      if (ByteAt(bytes_, page + 4072) != 0x80 || ByteAt(bytes_, page + 4061) != 0) continue;
      for (std::size_t i = 0; i < *LoadLe16(bytes_, page + 4056); ++i) {
        const std::uint64_t at = page + 24 * i;
        blocks_.push_back({*LoadLe64(bytes_, at), *LoadLe64(bytes_, at + 8), at, *LoadLe16(bytes_, at + 16),
                           *LoadLe16(bytes_, at + 18)});
      }
    }
    ASSERT_GT(blocks_.size(), 100u);
  }

  // The first block whose data is stored compressed, large enough to matter.
  FoundBlock Compressed() const {
    for (const FoundBlock& b : blocks_) {
      if ((b.bid & 2) == 0 && b.inflated != b.cb && b.cb > 2000) return b;
    }
    ADD_FAILURE() << "no compressed block";
    return {};
  }

  // Replaces a block's stored bytes (at most its room), with its trailer after them, and
  // records its sizes in the trailer and its BBT entry, with the CRCs made right again.
  void Rewrite(const FoundBlock& b, ByteSpan stored, std::uint16_t inflated) {
    const std::uint64_t room = (b.cb + 24 + 511) / 512 * 512;
    ASSERT_LE(stored.size() + 24, room);
    std::fill_n(bytes_.begin() + static_cast<std::ptrdiff_t>(b.offset), room, std::byte{0});
    std::copy(stored.begin(), stored.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(b.offset));
    const std::uint64_t t = b.offset + (stored.size() + 24 + 511) / 512 * 512 - 24;
    StoreLe(bytes_, t, stored.size(), 2);
    StoreLe(bytes_, t + 2, ComputeSig(b.offset, b.bid), 2);
    StoreLe(bytes_, t + 4, ComputeCrc(stored), 4);
    StoreLe(bytes_, t + 8, b.bid, 8);
    StoreLe(bytes_, t + 16, 2, 2);
    StoreLe(bytes_, t + 18, inflated, 2);
    StoreLe(bytes_, b.leafEntry + 16, stored.size(), 2);
    StoreLe(bytes_, b.leafEntry + 18, inflated, 2);
    const std::uint64_t page = b.leafEntry / 4096 * 4096;
    StoreLe(bytes_, page + 4076, ComputeCrc(ByteSpan(bytes_).subspan(page, 4072)), 4);
  }

  // The analysis of the store as it now stands: its item count and damage reports.
  std::pair<std::size_t, std::vector<std::string>> Analyze() {
    testing::WriteFileBytes(dir_ / "patched.ost", bytes_);
    AnalysisOptions options;
    options.sourcePath = dir_ / "patched.ost";
    options.collectItems = true;
    options.scan = ScanMode::kOff;
    AnalysisObserver quiet;
    RunControl control;
    const AnalysisResult r = RunAnalysis(options, quiet, control);
    std::vector<std::string> reports;
    if (r.store) {
      for (const DamageReport& d : r.store->damage.Reports()) reports.push_back(d.ToString());
    }
    return {r.items.size(), reports};
  }

  fs::path path_;
  Bytes bytes_;
  std::vector<FoundBlock> blocks_;
};

TEST_F(CompressedStoreTest, DamagedStreamsAreReportedAndTheRestIsRead) {
  const auto [intact, none] = Analyze();
  ASSERT_GT(intact, 80u);
  EXPECT_EQ(none, std::vector<std::string>{});
  const FoundBlock block = Compressed();
  const Bytes original(bytes_.begin() + static_cast<std::ptrdiff_t>(block.offset),
                       bytes_.begin() + static_cast<std::ptrdiff_t>(block.offset + block.cb));
  std::string why;
  const std::optional<Bytes> data = Inflate(original, block.inflated, &why);
  ASSERT_TRUE(data) << why;

  auto expectDamage = [&](const std::string& what, const std::string& reason) {
    const auto [items, reports] = Analyze();
    EXPECT_GE(items, intact - 1) << what;  // one item at most loses its part
    bool named = false;
    for (const std::string& r : reports) {
      named = named || (r.find("does not inflate") != std::string::npos &&
                        r.find(reason) != std::string::npos);
    }
    EXPECT_TRUE(named) << what << ": " << ::testing::PrintToString(reports);
  };
  // A wrong Adler-32.
  Bytes badAdler = original;
  badAdler.back() ^= std::byte{0x10};
  Rewrite(block, badAdler, block.inflated);
  expectDamage("Adler-32", "check");
  // A stream that inflates to fewer bytes than recorded.
  Rewrite(block, original, static_cast<std::uint16_t>(block.inflated + 1));
  expectDamage("size", "fewer");
  // A bomb: a stream of a few hundred bytes that inflates to 1 MiB, recorded as the block's
  // size: nothing is made past that size.
  const Bytes bomb = Deflate(Bytes(std::size_t{1} << 20), 9);
  Rewrite(block, bomb, block.inflated);
  expectDamage("bomb", "more");

  // A compressed internal block (a subnode or data tree block, which the writer stores as it is)
  // reads as its inflated bytes: nothing is lost.
  Rewrite(block, original, block.inflated);
  for (const FoundBlock& b : blocks_) {
    if ((b.bid & 2) == 0 || b.cb < 300) continue;
    const Bytes raw(bytes_.begin() + static_cast<std::ptrdiff_t>(b.offset),
                    bytes_.begin() + static_cast<std::ptrdiff_t>(b.offset + b.cb));
    const Bytes packed = Deflate(raw);
    if (packed.size() >= raw.size()) continue;
    Rewrite(b, packed, b.cb);
  }
  const auto [items, reports] = Analyze();
  EXPECT_EQ(items, intact);
  EXPECT_EQ(reports, std::vector<std::string>{});
}

// A store whose blocks and pages lie past 2 GiB (after a hole the file does not store): its
// offsets and block ids read whole, by our reader and both others.
TEST_F(FourKTest, AStorePast2GiBReadsWhole) {
  NdbLayout layout{&k4kGeometry, true, kClientOst};
  layout.firstOffset = (std::uint64_t{5} << 29) + 0x1000;  // 2.5 GiB
  const fs::path store = Sample("far.ost", layout, 40);
  EXPECT_GT(fs::file_size(store), std::uint64_t{5} << 29);
  testing::StoreItems items;
  ASSERT_TRUE(testing::LoadStoreItems(store, items));
  std::size_t count = 0;
  for (const auto& [path, list] : items.folders) count += list.size();
  EXPECT_GT(count, 50u);
  EXPECT_TRUE(items.store.damage.Empty());
  for (const BlockEntry& b : items.store.blocks) EXPECT_GT(b.offset, std::uint64_t{1} << 31);
  EXPECT_EQ(CheckStore(store).Errors(), 0u);
  if (std::system("command -v pffexport >/dev/null 2>&1") == 0) {
    const auto pff = testing::PffexportListing(store, dir_ / "pff");
    ASSERT_TRUE(pff);
    EXPECT_EQ(pff->Items(), count);
  }
}

// The message store of an OST may lack the entry id of its top folder: the folder below the
// root folder that holds the most is taken.
TEST_F(FourKTest, ATopFolderTheMessageStoreDoesNotNameIsFound) {
  const fs::path store = Sample("unnamed.ost", {&k4kGeometry, false, kClientOst}, 30);
  Bytes bytes = testing::ReadFileBytes(store);
  // PidTagIpmSubTreeEntryId's record in the message store's property context (stored plain):
  // its id becomes one no reader knows.
  const Bytes record = {std::byte{0xE0}, std::byte{0x35}, std::byte{0x02}, std::byte{0x01}};
  const auto at = std::search(bytes.begin(), bytes.end(), record.begin(), record.end());
  ASSERT_NE(at, bytes.end());
  at[0] = std::byte{0xEF};
  testing::WriteFileBytes(dir_ / "unnamed-patched.ost", bytes);
  AnalysisOptions options;
  options.sourcePath = dir_ / "unnamed-patched.ost";
  AnalysisObserver quiet;
  RunControl control;
  const AnalysisResult r = RunAnalysis(options, quiet, control);
  ASSERT_EQ(r.outcome, AnalysisResult::Outcome::kCompleted);
  ChildCounts total;
  for (const TreeFolder& f : r.tree) total += f.children;
  EXPECT_GT(total.Items(), 40);
}

}  // namespace
}  // namespace palvara
