#include "writer/ltp_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "reader/block_access.h"
#include "reader/btree_walk.h"
#include "reader/property_list.h"
#include "writer/row_spill.h"
#include "tests/support/store_builder.h"
#include "tests/support/test_data.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;

Bytes Fill(std::size_t size, int seed) { return testing::PatternBytes(size, seed, 31); }

Bytes Le(std::uint64_t v, std::size_t width) {
  Bytes b(width);
  StoreLe(b, 0, v, width);
  return b;
}

// Writes nodes with a writer, then reads them back with the reader.
class LtpRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = fs::temp_directory_path() / ("palvara-ltp-" + std::to_string(::getpid()) + ".pst");
    Status status = Status::Ok();
    writer_ = NdbWriter::Create(path_, EncodingMethod::kPermute, &status);
    ASSERT_TRUE(writer_);
    SubnodeIds ids;
    WriteNode(0x21, BuildPropertyContext({{0x3001, 0x001F, Fill(10, 1)}}, ids));
  }
  void TearDown() override {
    writer_.reset();
    fs::remove(path_);
  }
  void WriteNode(std::uint32_t nid, const NodeContent& content) {
    const WrittenNode w = WriteNodeContent(*writer_, content);
    writer_->AddNode(nid, w.bidData, w.bidSub, 0);
  }
  std::unique_ptr<PropertyList> Read(std::uint32_t nid) {
    if (writer_) {
      EXPECT_TRUE(writer_->Finish().ok());
      writer_.reset();
      EXPECT_TRUE(OpenStore(store_, path_).ok());
      IndexStore(store_);
      EXPECT_TRUE(store_.damage.Empty());
    }
    const StoreNode* node = FindNode(store_, nid);
    if (node == nullptr) return nullptr;
    subnodes_.clear();
    ReadSubnodes(store_, node->subnodeBlock, subnodes_);
    return ReadPropertyList(store_, node->dataBlock, subnodes_);
  }

  fs::path path_;
  std::unique_ptr<NdbWriter> writer_;
  StoreFile store_;
  SubnodeList subnodes_;
};

TEST_F(LtpRoundTrip, PropertyContextsKeepEveryValue) {
  std::vector<PropertyValue> values = {
      {0x0E08, 0x0003, Le(0x12345678, 4)},
      {0x0E1B, 0x000B, Le(1, 1)},
      {0x3FFD, 0x0002, Le(0xFFFE, 2)},
      {0x0E06, 0x0040, Le(0x01D0000011112222ull, 8)},
      {0x0037, 0x001F, Fill(40, 2)},
      {0x1000, 0x001F, Fill(20000, 3)},  // too large for the heap: a subnode
      {0x1013, 0x0102, Bytes{}},         // empty: HNID 0
  };
  // Enough medium values for several heap pages, and enough properties for a BTH index level.
  for (std::uint16_t i = 0; i < 800; ++i) values.push_back({static_cast<std::uint16_t>(0x4000 + i), 0x0102, Fill(100, i)});
  SubnodeIds ids;
  const NodeContent content = BuildPropertyContext(values, ids);
  ASSERT_GT(content.heap.size(), 9u);  // page 8 carries a bitmap header
  WriteNode(0x200024, content);
  const auto list = Read(0x200024);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->count(), values.size() - 1);  // the empty value is dropped by the reader
  EXPECT_EQ(*list->Find(0x0E08)->value, Le(0x12345678, 4));
  EXPECT_EQ(*list->Find(0x0E1B)->value, Le(1, 4));
  EXPECT_EQ(*list->Find(0x3FFD)->value, Le(0xFFFE, 4));
  EXPECT_EQ(*list->Find(0x0E06)->value, Le(0x01D0000011112222ull, 8));
  EXPECT_EQ(*list->Find(0x0037)->value, Fill(40, 2));
  EXPECT_EQ(*list->Find(0x1000)->value, Fill(20000, 3));
  for (std::uint16_t i = 0; i < 800; ++i) {
    ASSERT_EQ(*list->Find(0x4000 + i)->value, Fill(100, i)) << i;
  }
}

TEST_F(LtpRoundTrip, TableContextsKeepRowsCellsAndOrder) {
  const std::vector<std::uint32_t> tags = {0x3704001F, 0x0E200003, 0x7FFB0040, 0x7FFE000B,
                                           0x3714000B, 0x37010102};
  std::vector<TableRow> rows;
  for (std::uint32_t r = 0; r < 3; ++r) {
    TableRow row;
    row.rowId = 0x8005 + 0x20 * r;
    for (const std::optional<Bytes>& cell :
         {std::optional<Bytes>(Fill(10 + r, static_cast<int>(r))), std::optional<Bytes>(Le(100 * r, 4)),
          std::optional<Bytes>(Le(0x01D0000000000000ull + r, 8)), std::optional<Bytes>(Le(r % 2, 1)),
          std::optional<Bytes>(), r == 2 ? std::optional<Bytes>(Fill(5000, 9)) : std::nullopt}) {
      row.AddCell(cell ? std::optional<ByteSpan>(*cell) : std::nullopt);
    }
    rows.push_back(row);
  }
  SubnodeIds ids;
  WriteNode(0x671, BuildTableContext(tags, rows, ids));
  // A table of 3,000 rows keeps its row matrix in a subnode over several blocks.
  std::vector<TableRow> many;
  for (std::uint32_t r = 0; r < 3000; ++r) {
    TableRow row;
    row.rowId = 0x200004 + 0x20 * r;
    row.AddCell(Le(r, 4));
    many.push_back(std::move(row));
  }
  SubnodeIds ids2;
  const NodeContent big = BuildTableContext({0x0E070003}, many, ids2);
  ASSERT_EQ(big.subnodes.size(), 1u);
  ASSERT_GT(big.subnodes[0].Data().size(), big.subnodes[0].blockSize);
  WriteNode(0x802E, big);
  SubnodeIds ids3;
  WriteNode(0x802F, BuildTableContext({0x0E070003}, {}, ids3));

  const auto last = Read(0x671);
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(last->rowCount, 3);
  std::vector<const PropertyList*> chain;
  for (const PropertyList* r = last.get(); r != nullptr; r = r->next.get()) chain.insert(chain.begin(), r);
  ASSERT_EQ(chain.size(), 3u);
  for (std::uint32_t r = 0; r < 3; ++r) {
    const PropertyList& row = *chain[r];
    EXPECT_EQ(*row.Find(0x67F2)->value, Le(0x8005 + 0x20 * r, 4));
    EXPECT_EQ(*row.Find(0x3704)->value, Fill(10 + r, static_cast<int>(r)));
    EXPECT_EQ(*row.Find(0x0E20)->value, Le(100 * r, 4));
    EXPECT_EQ(*row.Find(0x7FFB)->value, Le(0x01D0000000000000ull + r, 8));
    EXPECT_EQ(*row.Find(0x7FFE)->value, Le(r % 2, 4));
    EXPECT_EQ(row.Find(0x3714), nullptr);  // no value: existence bit clear
    EXPECT_EQ(row.Find(0x3701) != nullptr, r == 2);
  }
  EXPECT_EQ(*chain[2]->Find(0x3701)->value, Fill(5000, 9));

  const auto bigRows = Read(0x802E);
  ASSERT_NE(bigRows, nullptr);
  EXPECT_EQ(bigRows->rowCount, 3000);
  // Rows of 13 bytes, 628 to a block: every block but the last is filled to 8,176 bytes (zeros
  // after its last row), the last holds the rest, so that a reader finds row N in block
  // N / 628 whether it counts blocks or bytes.
  const SubnodeEntry* matrix = FindSubnodeEntry(subnodes_, big.subnodes[0].nid);
  ASSERT_NE(matrix, nullptr);
  std::vector<std::size_t> sizes;
  for (const Bytes& block : ReadNodeBlocks(store_, matrix->data)) sizes.push_back(block.size());
  EXPECT_EQ(sizes, (std::vector<std::size_t>{8176, 8176, 8176, 8176, 3000 % 628 * 13}));
  std::uint32_t expected = 2999;
  for (const PropertyList* r = bigRows.get(); r != nullptr; r = r->next.get(), --expected) {
    ASSERT_EQ(*r->Find(0x0E07)->value, Le(expected, 4));
  }
  EXPECT_EQ(Read(0x802F), nullptr);  // an empty table has no rows to return
}

// Rows of a contents table of every shape: texts of many lengths (some absent, some empty), a
// value too long for the heap, times and flags.
std::vector<TableRow> ContentsRows(std::size_t count) {
  std::vector<TableRow> rows;
  for (std::size_t r = 0; r < count; ++r) {
    const Bytes subject = Fill(r * 37 % 230, static_cast<int>(r));
    const Bytes size = Le(r, 4), time = Le(0x01D0000000000000ull + r, 8), flag = Le(r % 2, 1);
    const Bytes longValue = Fill(r == 17 ? 5000 : 3, 3);
    const std::optional<ByteSpan> cells[] = {
        r % 7 == 3 ? std::nullopt : std::optional<ByteSpan>(subject), ByteSpan(size),
        ByteSpan(time), ByteSpan(flag), std::optional<ByteSpan>(longValue)};
    rows.emplace_back(static_cast<std::uint32_t>(0x200004 + 0x20 * r), cells);
  }
  return rows;
}

// A contents table written as it is built is the table built whole and then written, byte for
// byte, whether its row matrix waits in a file or in memory: one page or several hundred (the
// pages that carry fill levels of later ones included), a row matrix in the heap or over many
// blocks, no rows at all.
TEST(TableContextStreamTest, WrittenAsBuiltIsTheSameFileAsBuiltWhole) {
  const fs::path dir = fs::temp_directory_path() / ("palvara-tcs-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::vector<std::uint32_t> tags = {0x0037001F, 0x0E080003, 0x00390040, 0x0E1B000B,
                                           0x00710102};
  for (const std::size_t count : {0u, 3u, 20000u}) {
    const std::vector<TableRow> rows = ContentsRows(count);
    for (const bool inFile : {true, false}) {
      auto write = [&](const fs::path& path, bool streamed) {
        Status status = Status::Ok();
        auto writer = NdbWriter::Create(path, EncodingMethod::kPermute, &status);
        SubnodeIds pcIds;
        const WrittenNode pc =
            WriteNodeContent(*writer, BuildPropertyContext({{0x3001, 0x001F, Fill(10, 1)}}, pcIds));
        writer->AddNode(0x21, pc.bidData, pc.bidSub, 0);
        SubnodeIds ids;
        WrittenNode table;
        RowSpill stash(inFile ? dir : fs::path());
        bool lost = false;
        if (streamed) {
          table = WriteTableContext(*writer, tags, rows.size(),
                                    [&rows](std::size_t r) -> const TableRow& { return rows[r]; },
                                    ids, stash, &lost);
        } else {
          table = WriteNodeContent(*writer, BuildTableContext(tags, rows, ids));
        }
        EXPECT_FALSE(lost);
        writer->AddNode(0x200E, table.bidData, table.bidSub, 0);
        writer->AddNode(0x200F, writer->WriteData(Fill(100, 2)), 0, 0);  // what follows it
        EXPECT_TRUE(writer->Finish().ok());
      };
      write(dir / "whole.pst", false);
      write(dir / "streamed.pst", true);
      const Bytes whole = testing::ReadFileBytes(dir / "whole.pst");
      EXPECT_GT(whole.size(), count * 100);
      EXPECT_TRUE(whole == testing::ReadFileBytes(dir / "streamed.pst")) << count << " " << inFile;
    }
  }
  fs::remove_all(dir);
}

// Rows handed over one at a time may all come through one row object that the next row
// overwrites, as rows read back from disk do: each row's long values must still be its own.
TEST_F(LtpRoundTrip, RowsHandedOverOneAtATimeKeepTheirLongValues) {
  const std::vector<std::uint32_t> tags = {0x0037001F, 0x0E070003};
  TableRow current;
  auto rowAt = [&current](std::size_t r) -> const TableRow& {
    const Bytes subject = Fill(4000 + r, static_cast<int>(r));
    const Bytes flags = Le(r, 4);
    const std::optional<ByteSpan> cells[] = {ByteSpan(subject), ByteSpan(flags)};
    current = TableRow(static_cast<std::uint32_t>(0x200004 + 0x20 * r), cells);
    return current;
  };
  SubnodeIds ids;
  WriteNode(0x8030, BuildTableContext(tags, 3, rowAt, ids));
  const auto rows = Read(0x8030);
  ASSERT_NE(rows, nullptr);
  ASSERT_EQ(rows->rowCount, 3);
  std::size_t r = 2;
  for (const PropertyList* row = rows.get(); row != nullptr; row = row->next.get(), --r) {
    ASSERT_NE(row->Find(0x0037), nullptr) << r;
    EXPECT_EQ(*row->Find(0x0037)->value, Fill(4000 + r, static_cast<int>(r))) << r;
    EXPECT_EQ(*row->Find(0x0E07)->value, Le(r, 4));
  }
}

}  // namespace
}  // namespace palvara
