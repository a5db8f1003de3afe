#include "writer/store_check.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "items/mapping.h"
#include "reader/btree_walk.h"
#include "reader/crc.h"
#include "tests/support/cli_run.h"
#include "tests/support/heap_builder.h"
#include "tests/support/store_builder.h"
#include "tests/support/test_data.h"
#include "writer/sample_generator.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;

bool HasRule(const CheckReport& report, const std::string& rule, bool error) {
  return std::any_of(report.findings.begin(), report.findings.end(), [&](const CheckFinding& f) {
    return f.rule == rule && f.error == error;
  });
}

// The text of the first violation of `rule`, "" when there is none.
std::string Violation(const CheckReport& report, const std::string& rule) {
  for (const CheckFinding& f : report.findings) {
    if (f.rule == rule && f.violation) return f.section + " " + f.text;
  }
  return "";
}

std::string FindingsText(const CheckReport& report) {
  std::string text;
  for (const CheckFinding& f : report.findings) {
    text += (f.violation ? "violation " : "warning ") + f.rule + ": " + f.text + "\n";
  }
  return text;
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
    testing::WriteFileBytes(dir_ / "bad.pst", copy);
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

// Outlook's own stores meet every rule the strict check holds them to; the stores Aspose.Email
// wrote break one (the bucket copies of two name-to-id records carry the index of a third).
TEST(StrictCheckTest, OutlookWrittenStoresHaveNoViolation) {
  const fs::path stores = testing::kTestData / "stores";
  if (!fs::exists(stores)) GTEST_SKIP() << "no test data";
  std::size_t checked = 0;
  for (const std::string& name : testing::TruthNames("truth")) {
    if (name == "jmcleodfoss_truncated_header_40B.pst") continue;  // 40 bytes: no store at all
    const CheckReport report = CheckStore(stores / name, CheckOptions{.strict = true});
    ++checked;
    for (const CheckFinding& f : report.findings) {
      if (!f.violation) continue;
      const bool asposeBuckets = name.rfind("aspose_", 0) == 0 && f.rule == "name-map" &&
                                 f.text.find("bucket") != std::string::npos;
      EXPECT_TRUE(asposeBuckets) << name << ": " << f.rule << " (" << f.section << "): " << f.text;
    }
  }
  EXPECT_EQ(checked, testing::TruthNames("truth").size() - 1);
  const fs::path empty =
      testing::kTestData.parent_path() / "docs" / "samples" / "outlook-empty-unicode.pst";
  if (fs::exists(empty)) {
    const CheckReport report = CheckStore(empty, CheckOptions{.strict = true});
    EXPECT_EQ(report.findings.size(), 0u) << FindingsText(report);
  }
}

TEST_F(StoreCheckTest, WrittenStoresHaveNoViolation) {
  const CheckReport report = CheckStore(dir_ / "good.pst", CheckOptions{.strict = true});
  EXPECT_EQ(report.Violations(), 0u) << FindingsText(report);
  const testing::CliResult cli =
      testing::RunCli({"check", (dir_ / "good.pst").string(), "--strict"});
  EXPECT_EQ(cli.code, 0) << cli.out;
  EXPECT_NE(cli.out.find("0 violations"), std::string::npos) << cli.out;
}

// A synthetic store holding one table whose row matrix spans blocks, and a
// name-to-id map, laid out as `shape` says.
struct StrictShape {
  bool padMatrixBlocks = true;  // every matrix block but the last filled to 8,176 bytes
  bool stringStreamAsHeapIdZero = false;
  bool bucketCopy = true;        // the map's record has its hash-bucket copy
  bool danglingSubnode = false;  // a property names a subnode the node does not have
  bool messageWithoutHeap = false;  // a message whose data is no heap at all
};

Bytes StrictStore(const StrictShape& shape) {
  testing::SimpleStore spec;
  spec.crypt = EncodingMethod::kNone;
  spec.blocks.push_back({4, testing::EmptyPropertyContextHeap()});
  // The table: 300 rows of a row id, a version and ten 8-byte values (90 bytes with the cell
  // bitmap), its matrix in subnode 0x3F over four blocks.
  testing::TcSpec tc;
  tc.columns = {{0x67F2, 0x0003, 4}, {0x67F3, 0x0003, 4}};
  for (std::uint16_t c = 0; c < 10; ++c)
    tc.columns.push_back({static_cast<std::uint16_t>(0x0E20 + c), 0x0014, 8});
  for (std::uint32_t r = 0; r < 300; ++r) {
    Bytes row(4), version(4), value(8);
    StoreLe(row, 0, 0x100 + r, 4);
    StoreLe(version, 0, 1, 4);
    StoreLe(value, 0, r, 8);
    std::vector<testing::TcCell> cells = {row, version};
    for (int c = 0; c < 10; ++c) cells.push_back(value);
    tc.rows.push_back(cells);
  }
  tc.rowMatrixSubnode = 0x3F;
  const testing::BuiltTable table = testing::MakeTableContext(tc);
  const std::size_t perBlock = 8176 / table.rowSize;
  std::vector<std::uint64_t> leaves;
  std::uint64_t bid = 8;
  std::uint32_t total = 0;
  for (std::size_t at = 0; at < table.rowMatrix.size(); at += perBlock * table.rowSize, bid += 4) {
    const std::size_t n = std::min(perBlock * table.rowSize, table.rowMatrix.size() - at);
    Bytes block(table.rowMatrix.begin() + static_cast<std::ptrdiff_t>(at),
                table.rowMatrix.begin() + static_cast<std::ptrdiff_t>(at + n));
    if (shape.padMatrixBlocks && at + n < table.rowMatrix.size()) block.resize(8176);
    total += static_cast<std::uint32_t>(block.size());
    spec.blocks.push_back({bid, block});
    leaves.push_back(bid);
  }
  testing::StoreBuilder builder(testing::Layout::kUnicode, EncodingMethod::kNone);
  spec.blocks.push_back({0x102, builder.MakeXBlock(1, leaves, total)});
  spec.blocks.push_back({0x106, builder.MakeSubnodeLeaf({{0x3F, 0x102, 0}})});
  spec.blocks.push_back({0x200, table.heap.at(0)});
  // The name-to-id map: one numeric name of the first GUID, its streams, maybe its bucket.
  Bytes guid(16, std::byte{0x11}), entry(8);
  StoreLe(entry, 0, 0x8205, 4);
  StoreLe(entry, 4, 6, 2);
  std::vector<testing::PcProperty> map = {
      {0x0001, 0x0003, std::nullopt, 251},
      {0x0002, 0x0102, guid},
      {0x0003, 0x0102, entry},
      {0x0004, 0x0102,
       shape.stringStreamAsHeapIdZero ? std::nullopt : std::optional<Bytes>(Bytes(8))}};
  if (shape.bucketCopy) {
    map.push_back({static_cast<std::uint16_t>(0x1000 + (0x8205 ^ 6) % 251), 0x0102, entry});
  }
  if (shape.danglingSubnode) map.push_back({0x0005, 0x0102, std::nullopt, 0x25F});
  spec.blocks.push_back({0x204, testing::MakePropertyContext(map).at(0)});
  spec.nodes = {{0x21, 4, 0, 0}, {0x61, 0x204, 0, 0}, {0x802E, 0x200, 0x106, 0}};
  if (shape.messageWithoutHeap) {
    spec.blocks.push_back({0x208, Bytes(40, std::byte{0x5A})});
    spec.nodes.push_back({0x200024, 0x208, 0, 0});
  }
  return testing::BuildSimpleStore(spec).image;
}

TEST(StrictCheckTest, EachRuleIsNamedWithItsSectionAndPlace) {
  const CheckOptions strict{.strict = true};
  const CheckReport sound = CheckStoreBytes(StrictStore({}), strict);
  for (const char* rule : {"row-matrix", "name-map-streams", "name-map", "hnid"}) {
    EXPECT_EQ(Violation(sound, rule), "") << rule;
  }

  // Row-matrix blocks that stop after their last whole row (8,100 of 8,176 bytes for 90 rows
  // of 90): readers that place rows by the format's arithmetic read the wrong bytes.
  const CheckReport unpadded = CheckStoreBytes(StrictStore({.padMatrixBlocks = false}), strict);
  const std::string matrix = Violation(unpadded, "row-matrix");
  EXPECT_FALSE(matrix.empty()) << FindingsText(unpadded);
  EXPECT_NE(matrix.find("2.3.4.4 node 0x802E"), std::string::npos) << matrix;
  EXPECT_NE(matrix.find("block 0 holds"), std::string::npos) << matrix;

  const std::string streams = Violation(
      CheckStoreBytes(StrictStore({.stringStreamAsHeapIdZero = true}), strict), "name-map-streams");
  EXPECT_NE(streams.find("stream 0x4 is stored as an empty value (heap id 0)"), std::string::npos)
      << streams;

  const std::string bucket =
      Violation(CheckStoreBytes(StrictStore({.bucketCopy = false}), strict), "name-map");
  EXPECT_NE(bucket.find("2.4.7.5 record 0 is not in its hash bucket"), std::string::npos) << bucket;

  const std::string dangling =
      Violation(CheckStoreBytes(StrictStore({.danglingSubnode = true}), strict), "hnid");
  EXPECT_NE(dangling.find("node 0x61: property 0x50102 names subnode 0x25F"), std::string::npos)
      << dangling;

  // A message whose data is not a heap is named, and the rest of its checks go on without it.
  const std::string noHeap =
      Violation(CheckStoreBytes(StrictStore({.messageWithoutHeap = true}), strict), "heap");
  EXPECT_NE(noHeap.find("node 0x200024: its data is not a heap"), std::string::npos) << noHeap;

  // On the command line: each violation with its rule, section and place; exit status 5.
  const fs::path file =
      fs::temp_directory_path() / ("palvara-strict-" + std::to_string(::getpid()) + ".pst");
  testing::WriteFileBytes(file, StrictStore({.padMatrixBlocks = false}));
  const testing::CliResult cli = testing::RunCli({"check", file.string(), "--strict", "--json"});
  fs::remove(file);
  EXPECT_EQ(cli.code, 5);
  const nlohmann::json json = nlohmann::json::parse(cli.out, nullptr, false);
  ASSERT_TRUE(json.is_object()) << cli.out;
  EXPECT_GT(json["violations"].get<int>(), 0);
  bool listed = false;
  for (const nlohmann::json& f : json["findings"]) {
    listed = listed || (f["rule"] == "row-matrix" && f["section"] == "2.3.4.4" &&
                        f["severity"] == "violation");
  }
  EXPECT_TRUE(listed) << cli.out;

  // The table and value rules are the strict check's own.
  EXPECT_EQ(Violation(CheckStoreBytes(StrictStore({.padMatrixBlocks = false})), "row-matrix"), "");
}

}  // namespace
}  // namespace palvara
