#include "writer/row_spill.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <vector>

namespace palvara {
namespace {

namespace fs = std::filesystem;

// Rows of different lengths and shapes: absent cells, empty cells, long texts.
std::vector<TableRow> SomeRows(std::size_t count) {
  std::mt19937 random(5);
  std::vector<TableRow> rows;
  for (std::size_t i = 0; i < count; ++i) {
    Bytes text(random() % 700, static_cast<std::byte>(i));
    Bytes number(4, static_cast<std::byte>(i >> 3));
    const std::optional<ByteSpan> cells[] = {ByteSpan(number), std::nullopt, ByteSpan(text),
                                             ByteSpan()};
    rows.emplace_back(static_cast<std::uint32_t>((i << 5) | 4), cells);
  }
  return rows;
}

void ExpectSame(const TableRow& back, const TableRow& row) {
  EXPECT_EQ(back.rowId, row.rowId);
  ASSERT_EQ(back.Packed().size(), row.Packed().size());
  EXPECT_TRUE(std::equal(back.Packed().begin(), back.Packed().end(), row.Packed().begin()));
  EXPECT_EQ(back.Cells().size(), 4u);
}

class RowSpillTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("palvara-rows-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(RowSpillTest, RowsComeBackWholeInAnyOrderWhileMemoryStaysAtTheBuffer) {
  const std::vector<TableRow> rows = SomeRows(3000);
  std::vector<RowSpill::Ref> refs;
  {
    RowSpill spill(dir_, 8192);
    ASSERT_TRUE(spill.Spilling());
    for (const TableRow& row : rows) refs.push_back(spill.Add(row));
    // Nothing but the pending stretch stays in memory: far less than the rows' 1 MB.
    EXPECT_LT(spill.MemoryBytes(), 2 * (8192u + 800u));
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const std::optional<TableRow> back = spill.Read(refs[i]);
      ASSERT_TRUE(back) << i;
      ExpectSame(*back, rows[i]);
    }
    // Backwards: every read leaves the stretch the last one loaded.
    for (std::size_t i = rows.size(); i-- > 0;) {
      const std::optional<TableRow> back = spill.Read(refs[i]);
      ASSERT_TRUE(back) << i;
      ExpectSame(*back, rows[i]);
    }
    EXPECT_LT(spill.MemoryBytes(), 4 * (8192u + 800u));
    // The file has no name: nothing is left in the folder, now or after.
    EXPECT_TRUE(fs::is_empty(dir_));
  }
  EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(RowSpillTest, WithoutAFolderOrWithAnUnusableOneRowsStayInMemory) {
  const std::vector<TableRow> rows = SomeRows(200);
  for (const fs::path& where : {fs::path(), dir_ / "missing"}) {
    RowSpill spill(where, 1024);
    EXPECT_FALSE(spill.Spilling());
    std::vector<RowSpill::Ref> refs;
    for (const TableRow& row : rows) refs.push_back(spill.Add(row));
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const std::optional<TableRow> back = spill.Read(refs[i]);
      ASSERT_TRUE(back) << i;
      ExpectSame(*back, rows[i]);
    }
  }
}

TEST_F(RowSpillTest, ARefPastWhatWasAddedReadsAsNothing) {
  RowSpill spill(dir_, 64);
  const std::vector<TableRow> rows = SomeRows(10);
  RowSpill::Ref last;
  for (const TableRow& row : rows) last = spill.Add(row);
  RowSpill::Ref beyond = last;
  beyond.offset += 1u << 20;
  EXPECT_FALSE(spill.Read(beyond));
  EXPECT_TRUE(spill.Read(last));
}

}  // namespace
}  // namespace palvara
