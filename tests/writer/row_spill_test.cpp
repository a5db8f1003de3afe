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

TEST_F(RowSpillTest, BytesAreCopiedBackFromTheFileThePendingTailOrBoth) {
  for (const fs::path& where : {dir_, fs::path()}) {
    RowSpill spill(where, 1000);
    Bytes all;
    for (std::uint32_t i = 0; i < 25; ++i) {
      const Bytes bytes(97 + i, static_cast<std::byte>(i));
      EXPECT_EQ(spill.AddBytes(bytes).offset, all.size());
      all.insert(all.end(), bytes.begin(), bytes.end());
    }
    ASSERT_EQ(spill.Size(), all.size());
    // Flushed at 1,015 and 2,130 bytes: reads within the file, across a flush, and across the
    // end of the file into what is still pending.
    for (const std::uint64_t at : {0u, 990u, 2000u, 2470u}) {
      Bytes back(250);
      ASSERT_TRUE(spill.ReadAt(at, back)) << at;
      EXPECT_TRUE(
          std::equal(back.begin(), back.end(), all.begin() + static_cast<std::ptrdiff_t>(at)))
          << at;
    }
    Bytes past(2);
    EXPECT_FALSE(spill.ReadAt(all.size() - 1, past));
  }
}

// Two folders' lists grow side by side in the spill of their rows, and each reads back in
// its own order, from the start, at random, and past its end.
TEST_F(RowSpillTest, RefListsGrowingSideBySideReadBackInTheirOwnOrder) {
  RowSpill spill(dir_, 4096);
  RowSpill::RefList even, odd;
  for (std::uint32_t i = 0; i < 1500; ++i) {
    (i % 2 == 0 ? even : odd).Add(spill, RowSpill::Ref{std::uint64_t{i} * 1000, i + 1, i});
    if (i % 7 == 0) spill.AddBytes(Bytes(33));  // rows in between
  }
  ASSERT_EQ(even.size(), 750u);
  ASSERT_EQ(odd.size(), 750u);
  RowSpill::RefList::Cursor evens(even, spill), odds(odd, spill);
  for (std::size_t k = 0; k < 750; ++k) {
    const std::optional<RowSpill::Ref> e = evens.At(k), o = odds.At(k);
    ASSERT_TRUE(e && o) << k;
    EXPECT_EQ(e->rowId, 2 * k);
    EXPECT_EQ(o->rowId, 2 * k + 1);
    EXPECT_EQ(o->offset, (2 * k + 1) * 1000);
    EXPECT_EQ(o->size, 2 * k + 2);
  }
  std::mt19937 random(8);
  for (int n = 0; n < 200; ++n) {
    const std::size_t k = random() % 750;
    EXPECT_EQ(evens.At(k)->rowId, 2 * k);
  }
  EXPECT_FALSE(evens.At(750));
  EXPECT_EQ(RowSpill::RefList().size(), 0u);
}

}  // namespace
}  // namespace palvara
