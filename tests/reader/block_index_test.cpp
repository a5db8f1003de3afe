#include "reader/block_index.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

namespace palvara {
namespace {

// Ids as real indexes hold them (multiples of four, bit 1 for internal blocks), in walk order
// with repeats, checked against a plain map of the first entry for each id.
TEST(BlockIndexTest, ManyIdsFindTheirFirstEntryThroughEveryGrowth) {
  std::mt19937_64 random(14);
  BlockIndex index;
  std::map<std::uint64_t, std::uint64_t> firstOffset;
  std::vector<const BlockEntry*> handedOut;
  std::size_t appended = 0;
  for (std::uint64_t i = 0; i < 200000; ++i) {
    std::uint64_t id = (random() % 150000) * 4 + ((i % 7 == 0) ? 2 : 0);
    if (i % 1000 == 0) id = random() & ~std::uint64_t{1};  // anywhere in 64 bits
    if (id == 0) continue;
    index.Append({id, i * 64, static_cast<std::uint32_t>(i % 8192), 1});
    ++appended;
    firstOffset.try_emplace(id, i * 64);
    if (i % 5000 == 0) handedOut.push_back(index.Find(id));
  }
  EXPECT_EQ(index.Size(), appended);
  for (const auto& [id, offset] : firstOffset) {
    const BlockEntry* found = index.Find(id);
    ASSERT_NE(found, nullptr) << id;
    EXPECT_EQ(found->offset, offset) << id;
    EXPECT_EQ(index.Find(id | 1), found);  // bit 0 of the asked id is ignored
  }
  for (const BlockEntry* entry : handedOut) {
    // Pointers handed out early still point at the first entry of their id.
    EXPECT_EQ(index.Find(entry->id), entry);
  }
  for (std::uint64_t absent : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{150000 * 4 + 4},
                               std::uint64_t{0xFFFFFFFFFFFFFFF8ull}}) {
    if (firstOffset.count(absent & ~std::uint64_t{1}) == 0) {
      EXPECT_EQ(index.Find(absent), nullptr) << absent;
    }
  }
  index.Clear();
  EXPECT_EQ(index.Find(firstOffset.begin()->first), nullptr);
  index.Append({0x40, 1, 2, 3});
  ASSERT_NE(index.Find(0x40), nullptr);
  EXPECT_EQ(index.Find(0x40)->offset, 1u);
}

// A stored id with bit 0 set is kept but never found (lookups clear that bit of the asked id).
TEST(BlockIndexTest, StoredIdWithBitZeroIsNotFound) {
  BlockIndex index;
  index.Append({0x21, 64, 10, 1});
  EXPECT_EQ(index.Find(0x21), nullptr);
  EXPECT_EQ(index.Find(0x20), nullptr);
  EXPECT_EQ(index.Size(), 1u);
}

// Keys that share their high bits land in neighbouring slots: probing must walk past them.
TEST(FirstPositionTableTest, KeysCrowdedIntoOneRegionStayApart) {
  std::vector<std::uint64_t> keys;
  for (std::uint64_t k = 0; k < 5000; ++k) keys.push_back(k << 40);
  FirstPositionTable table;
  auto keyAt = [&keys](std::uint32_t at) { return keys[at]; };
  for (std::uint32_t i = 0; i < keys.size(); ++i) EXPECT_TRUE(table.Insert(keys[i], i, keyAt));
  EXPECT_FALSE(table.Insert(keys[17], 17, keyAt));
  EXPECT_EQ(table.Size(), keys.size());
  EXPECT_LE(table.Footprint(), keys.size() * 4 * sizeof(std::uint32_t));
  for (std::uint32_t i = 0; i < keys.size(); ++i) ASSERT_EQ(table.Find(keys[i], keyAt), i);
  EXPECT_EQ(table.Find(std::uint64_t{5000} << 40, keyAt), FirstPositionTable::kNone);
}

}  // namespace
}  // namespace palvara
