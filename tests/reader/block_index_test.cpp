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
    index.Append({id, i * 64, static_cast<std::uint16_t>(i % 8192), 1});
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
  // Every entry's first position is where Find leads, repeats or not.
  for (std::size_t position = 0; position < index.Size(); position += 7) {
    EXPECT_EQ(&index.At(index.FirstPositionOf(position)), index.Find(index.At(position).id))
        << position;
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

// The shape of a real walk: ids in order with repeats (some longer than the sampled stride),
// then entries out of order (a damaged tree, blocks a scan found later) that repeat earlier ids
// or bring new ones. The first entry in walk order must win every lookup.
TEST(BlockIndexTest, OrderedWalkThenLaterEntriesKeepTheFirstEntryWinning) {
  for (const std::size_t orderedCount : {std::size_t{0}, std::size_t{1}, std::size_t{63},
                                         std::size_t{64}, std::size_t{65}, std::size_t{20000}}) {
    std::mt19937_64 random(orderedCount);
    BlockIndex index;
    std::map<std::uint64_t, const BlockEntry*> first;
    std::vector<std::uint64_t> ids;
    std::uint64_t id = 8;
    for (std::size_t i = 0; i < orderedCount; ++i) {
      const std::uint64_t step = random() % 10;
      // A run of one id across more than 64 entries now and then.
      if (i % 5000 == 100) {
        for (int k = 0; k < 130; ++k, ++i) ids.push_back(id);
      }
      id += step < 3 ? 0 : step * 4;
      ids.push_back(id);
    }
    for (std::size_t i = 0; i < 3000; ++i) {
      ids.push_back(i % 2 == 0 && !ids.empty() ? ids[random() % ids.size()]
                                               : (random() % (id + 4000)) & ~std::uint64_t{3});
    }
    for (std::size_t i = 0; i < ids.size(); ++i) {
      if (ids[i] == 0) continue;
      index.Append({ids[i], i, static_cast<std::uint16_t>(i), 2});
      const BlockEntry* appended = &index.At(index.Size() - 1);
      first.try_emplace(ids[i], appended);
    }
    for (const auto& [key, entry] : first) {
      ASSERT_EQ(index.Find(key), entry) << orderedCount << " " << key;
      ASSERT_EQ(index.Find(key | 1), entry) << orderedCount << " " << key;
    }
    for (std::uint64_t absent = 4; absent < id + 4000; absent += 4) {
      if (first.count(absent) == 0) {
        ASSERT_EQ(index.Find(absent), nullptr) << absent;
      }
    }
    EXPECT_EQ(index.Find(id + 1000000), nullptr);
    // The ordered part needs no table: well under a byte an entry besides the entries.
    const std::size_t entryBytes = index.Size() * sizeof(BlockEntry);
    if (orderedCount == 20000) {
      EXPECT_LT(index.Footprint(), entryBytes + entryBytes / 5);
    }
  }
}

// Offsets past 48 bits are past the end of any file: kept as the largest offset, never cut to
// a small one that would read another block's bytes. Up to the limit they are kept exactly.
TEST(BlockIndexTest, OffsetsBeyondFortyEightBitsStayPastTheEnd) {
  const std::uint64_t limit = BlockEntry::kOffsetLimit;
  for (const std::uint64_t ib :
       {limit + 1, limit + 0x41, std::uint64_t{1} << 63, ~std::uint64_t{0}}) {
    EXPECT_EQ(BlockEntry(4, ib, 1, 1).offset, limit) << ib;
  }
  EXPECT_EQ(BlockEntry(4, limit - 1, 1, 1).offset, limit - 1);
  EXPECT_EQ(BlockEntry(4, 0x123456789A40, 8176, -2).offset, 0x123456789A40u);
  EXPECT_EQ(BlockEntry(4, 0x40, 8176, -2).referenceCount, -2);
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
