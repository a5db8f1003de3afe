#include "reader/property_list.h"

#include <gtest/gtest.h>

#include <cstring>

#include "reader/heap.h"
#include "tests/support/heap_builder.h"
#include "tests/support/store_builder.h"

namespace palvara {
namespace {

using testing::Layout;
using testing::PcProperty;
using testing::StoreBuilder;

Bytes Le32(std::uint32_t v) {
  Bytes b(4);
  StoreLe(b, 0, v, 4);
  return b;
}

Bytes Utf16(const std::u16string& text) {
  Bytes b(text.size() * 2);
  for (std::size_t i = 0; i < text.size(); ++i) StoreLe(b, 2 * i, text[i], 2);
  return b;
}

// Heaps and subnode blocks stored in a synthetic file, indexed by hand.
class PropertyListTest : public ::testing::TestWithParam<Layout> {
 protected:
  PropertyListTest() : builder_(GetParam(), EncodingMethod::kPermute) {}

  std::uint64_t AddBlock(ByteSpan data, bool internal = false) {
    const std::uint64_t bid = (nextBid_ += 4) | (internal ? 2 : 0);
    entries_.push_back(builder_.AddBlock(bid, data));
    return bid;
  }
  // One block per heap page; several pages go under an XBLOCK.
  std::uint64_t AddData(const std::vector<Bytes>& pages) {
    if (pages.size() == 1) return AddBlock(pages[0]);
    std::vector<std::uint64_t> children;
    std::uint32_t total = 0;
    for (const Bytes& page : pages) {
      children.push_back(AddBlock(page));
      total += static_cast<std::uint32_t>(page.size());
    }
    return AddBlock(builder_.MakeXBlock(1, children, total), true);
  }
  std::uint64_t AddSubnodes(const std::vector<StoreBuilder::SubnodeLeafEntry>& entries) {
    return AddBlock(builder_.MakeSubnodeLeaf(entries), true);
  }

  std::unique_ptr<PropertyList> Read(std::uint64_t dataBid, std::uint64_t subnodeBid = 0) {
    store_ = testing::OpenImage(builder_.image());
    for (const auto& e : entries_) store_->blocks.Append({e.bid, e.offset, e.cb, e.cRef});
    store_->namedProperties = map_;
    subnodes_.clear();
    if (subnodeBid != 0) ReadSubnodes(*store_, FindBlock(*store_, subnodeBid), subnodes_);
    return ReadPropertyList(*store_, FindBlock(*store_, dataBid), subnodes_);
  }

  StoreBuilder builder_;
  std::vector<testing::BbtEntry> entries_;
  std::uint64_t nextBid_ = 0x100;
  NamedPropertyMap map_;
  std::unique_ptr<StoreFile> store_;
  SubnodeList subnodes_;
};

TEST_P(PropertyListTest, InlineHeapAndSubnodeValues) {
  const Bytes subject = Utf16(u"Grüße aus 東京");
  const Bytes body(5000, std::byte{'b'});
  const std::uint64_t bodyBid = AddBlock(body);
  const std::uint64_t subs = AddSubnodes({{0x2DF, bodyBid, 0}});
  const float pi = 3.25f;
  Bytes piBytes(4);
  std::memcpy(piBytes.data(), &pi, 4);
  const std::uint64_t data = AddData(testing::MakePropertyContext({
      {0x0E08, 0x0003, {}, 0x12345678},
      {0x0037, 0x001F, subject},
      {0x1000, 0x001F, {}, 0x2DF},                         // body in a subnode
      {0x1013, 0x0102, {}, 0x31F},                         // subnode not in the list
      {0x0E07, 0x0004, {}, *LoadLe32(piBytes, 0)},         // a float is inline
      {0x0E06, 0x0040, Bytes(8, std::byte{0x11})},          // an 8-byte time via the heap
      {0x0E1B, 0x000B, {}, 1},
      {0x0FFF, 0x0003, {}, 0},                             // inline zero is a value
      {0x3FFA, 0x001F, {}, 0},                             // heap reference 0: dropped
      {0x3FFB, 0x001F, {}, 0x7FE0},                        // out of range: dropped
      {0x3FFC, 0x101F, {}, 0x20},                          // type not taken: id only
  }));
  auto list = Read(data, subs);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->rowCount, 1);
  EXPECT_EQ(list->next, nullptr);
  ASSERT_EQ(list->count(), 9u);

  const PropertyEntry* i32 = list->Find(0x0E08);
  ASSERT_NE(i32, nullptr);
  EXPECT_EQ(*i32->value, (Bytes{std::byte{0x78}, std::byte{0x56}, std::byte{0x34}, std::byte{0x12}}));
  EXPECT_EQ(i32->size(), 4u);
  EXPECT_EQ(i32->reference, 3u);
  EXPECT_EQ(*list->Find(0x0037)->value, subject);
  EXPECT_EQ(*list->Find(0x1000)->value, body);
  EXPECT_EQ(list->Find(0x1000)->reference, 0x001Fu);
  EXPECT_FALSE(list->Find(0x1013)->value);
  EXPECT_EQ(list->Find(0x1013)->reference, 0x31Fu);
  EXPECT_EQ(*list->Find(0x0E07)->value, piBytes);
  EXPECT_EQ(list->Find(0x0E07)->reference, 4u);
  EXPECT_EQ(*list->Find(0x0E06)->value, Bytes(8, std::byte{0x11}));
  EXPECT_EQ(*list->Find(0x0FFF)->value, Bytes(4));
  EXPECT_EQ(list->Find(0x3FFA), nullptr);
  EXPECT_EQ(list->Find(0x3FFB), nullptr);
  EXPECT_FALSE(list->Find(0x3FFC)->value);
  EXPECT_EQ(list->Find(0x3FFC)->reference, 0u);
}

TEST_P(PropertyListTest, ZeroReferenceLeavesAnEmptyListAndMissingSubnodesLeaveTheirId) {
  auto empty = Read(AddData(testing::MakePropertyContext({{0x0037, 0x001F, {}, 0}})));
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->count(), 0u);

  auto noSubnodes = Read(AddData(testing::MakePropertyContext({{0x0037, 0x001F, {}, 0x43F}})));
  ASSERT_NE(noSubnodes, nullptr);
  ASSERT_EQ(noSubnodes->count(), 1u);
  EXPECT_FALSE(noSubnodes->entries[0].value);
  EXPECT_EQ(noSubnodes->entries[0].reference, 0x43Fu);
}

TEST_P(PropertyListTest, PropertiesSpreadOverSeveralBlocksResolveThroughTheirBlockIndex) {
  const Bytes big(3000, std::byte{'x'});
  const Bytes other(3000, std::byte{'y'});
  const std::uint64_t data = AddData(testing::MakePropertyContext({
      {0x0037, 0x001F, Utf16(u"first block")},
      {0x1000, 0x001F, big, 0, 1},
      {0x1035, 0x001E, other, 0, 2},
  }));
  ASSERT_TRUE(data & 2) << "the heap must be a data tree";
  auto list = Read(data);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(*list->Find(0x1000)->value, big);
  EXPECT_EQ(*list->Find(0x1035)->value, other);
  EXPECT_EQ(*list->Find(0x0037)->value, Utf16(u"first block"));
}

TEST_P(PropertyListTest, EmbeddedObjectsAreReadThroughTheirSubnode) {
  const Bytes attached(300, std::byte{0x42});
  const std::uint64_t subs = AddSubnodes({{0x51F, AddBlock(attached), 0}});
  const std::uint64_t data = AddData(testing::MakePropertyContext({
      {0x3701, 0x000D, Le32(0x51F)},
      {0x3702, 0x000D, Le32(0x99F)},
  }));
  auto list = Read(data, subs);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(*list->Find(0x3701)->value, attached);
  EXPECT_FALSE(list->Find(0x3702)->value);
  EXPECT_EQ(list->Find(0x3702)->reference, 0x99Fu);
}

TEST_P(PropertyListTest, NamedPropertiesGetTheirNames) {
  Bytes entries(24);
  StoreLe(entries, 0, 0x00018205, 4);  // numeric name; only its low 16 bits count
  StoreLe(entries, 4, 2 << 1, 2);
  StoreLe(entries, 6, 5, 2);           // maps 0x8005
  StoreLe(entries, 8, 0, 4);           // string name at offset 0 of the string stream
  StoreLe(entries, 12, (3 << 1) | 1, 2);
  StoreLe(entries, 14, 6, 2);          // maps 0x8006
  Bytes strings = Le32(10);
  const Bytes name = Utf16(u"Keywords");
  strings.insert(strings.end(), name.begin(), name.begin() + 10);  // cut at the stored length
  map_ = NamedPropertyMap::Build(entries, strings);
  const std::uint64_t data = AddData(testing::MakePropertyContext({
      {0x8005, 0x0003, {}, 7}, {0x8006, 0x001F, Utf16(u"a")}, {0x8007, 0x0003, {}, 9}}));
  auto list = Read(data);
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->count(), 3u);
  EXPECT_EQ(list->entries[0].id, 0x8205u);
  EXPECT_EQ(list->entries[1].id, 2u);
  ASSERT_NE(list->entries[1].name, nullptr);
  EXPECT_EQ(*list->entries[1].name, "Keywo");
  EXPECT_EQ(list->entries[2].id, 0x8007u);  // not in the map
}

TEST_P(PropertyListTest, NotAHeapOrAWrongBthGivesNothing) {
  EXPECT_EQ(Read(AddBlock(Bytes(100, std::byte{0x01}))), nullptr);
  std::vector<Bytes> pc = testing::MakePropertyContext({{0x0E08, 0x0003, {}, 1}});
  Bytes wrongSignature = pc[0];
  StoreLe(wrongSignature, 3, 0x6C, 1);
  EXPECT_EQ(Read(AddBlock(wrongSignature)), nullptr);
  // The BTH header is the last heap item; make its cbKey 4.
  Bytes wrongKey = pc[0];
  const std::size_t ibHnpm = *LoadLe16(wrongKey, 0);
  const std::size_t bthStart = *LoadLe16(wrongKey, ibHnpm + 4 + 2);
  StoreLe(wrongKey, bthStart + 1, 4, 1);
  EXPECT_EQ(Read(AddBlock(wrongKey)), nullptr);
}

// Every prefix of a property context block: a partial list or nothing, never a bad read.
TEST_P(PropertyListTest, TruncatedHeapsGivePartialResults) {
  const std::vector<Bytes> pc = testing::MakePropertyContext(
      {{0x0E08, 0x0003, {}, 1}, {0x0037, 0x001F, Utf16(u"subject")}, {0x1000, 0x001F, {}, 0}});
  for (std::size_t n = 0; n <= pc[0].size(); ++n) {
    auto list = Read(AddBlock(ByteSpan(pc[0]).first(n)));
    if (list) {
      EXPECT_LE(list->count(), 2u) << n;
    }
  }
}

TEST_P(PropertyListTest, TableRowsComeNewestFirstWithTheirRowCount) {
  const bool ansi = GetParam() == Layout::kAnsi;
  testing::TcSpec spec;
  spec.ansi = ansi;
  spec.extraItems = {Utf16(u"one.txt"), Utf16(u"two.txt"), Utf16(u"three.txt")};
  spec.columns = {{0x67F2, 0x0003, 4}, {0x3704, 0x001F, 4}, {0x0E20, 0x0003, 4},
                  {0x7FFB, 0x0040, 8}, {0x3705, 0x0003, 4}, {0x7FFE, 0x000B, 1},
                  {0x3714, 0x0002, 2}};
  auto cell = [](std::uint64_t v, std::size_t w) {
    Bytes b(w);
    StoreLe(b, 0, v, w);
    return testing::TcCell(b);
  };
  spec.rows = {
      {cell(1, 4), cell(testing::ExtraItemHid(0), 4), cell(100, 4), cell(0x01D0000000000000, 8),
       cell(1, 4), cell(1, 1), cell(7, 2)},
      {cell(2, 4), cell(testing::ExtraItemHid(1), 4), cell(200, 4), std::nullopt, cell(1, 4),
       cell(0, 1), cell(7, 2)},
      {cell(3, 4), cell(0, 4), cell(300, 4), cell(5, 8), std::nullopt, cell(1, 1), cell(7, 2)},
  };
  const testing::BuiltTable table = testing::MakeTableContext(spec);
  auto last = Read(AddData(table.heap));
  ASSERT_NE(last, nullptr);
  std::vector<const PropertyList*> rows;
  for (const PropertyList* r = last.get(); r != nullptr; r = r->next.get()) rows.push_back(r);
  ASSERT_EQ(rows.size(), 3u);
  for (const PropertyList* r : rows) EXPECT_EQ(r->rowCount, 3);
  EXPECT_EQ(*rows[0]->Find(0x67F2)->value, Le32(3));  // the third row first
  EXPECT_EQ(*rows[2]->Find(0x67F2)->value, Le32(1));
  // Row 1: every cell. Strings through the heap, 8-byte cells inline, small cells widened.
  EXPECT_EQ(rows[2]->count(), 7u);
  EXPECT_EQ(*rows[2]->Find(0x3704)->value, Utf16(u"one.txt"));
  EXPECT_EQ(*rows[2]->Find(0x7FFB)->value, *cell(0x01D0000000000000, 8));
  EXPECT_EQ(*rows[2]->Find(0x7FFE)->value, Le32(1));
  EXPECT_EQ(*rows[2]->Find(0x3714)->value, Le32(7));
  // Row 2: a cell whose existence bit is clear yields no entry.
  EXPECT_EQ(rows[1]->Find(0x7FFB), nullptr);
  EXPECT_EQ(rows[1]->count(), 6u);
  // Row 3: a zero string reference is dropped, and so is the absent 0x3705.
  EXPECT_EQ(rows[0]->Find(0x3704), nullptr);
  EXPECT_EQ(rows[0]->Find(0x3705), nullptr);
  EXPECT_EQ(rows[0]->count(), 5u);
}

TEST_P(PropertyListTest, SixteenBytesOfRowIndexAreTwoRowsInEitherLayout) {
  testing::TcSpec spec;
  spec.ansi = GetParam() == Layout::kAnsi;
  spec.columns = {{0x67F2, 0x0003, 4}};
  spec.rows = {{Le32(1)}, {Le32(2)}, {Le32(3)}};
  // 16 bytes of TCROWID records: two Unicode records, or two ANSI records and a remainder.
  spec.rowIndexLeaf = Bytes(16, std::byte{0x01});
  const testing::BuiltTable table = testing::MakeTableContext(spec);
  auto last = Read(AddData(table.heap));
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(last->rowCount, 2);
  EXPECT_EQ(*last->Find(0x67F2)->value, Le32(2));
}

// A table of 1,000 rows whose row matrix is a data tree, each block but the last holding as
// many rows as fit the layout's largest block and padded to it, as Outlook writes them.
class RowMatrixTest : public PropertyListTest {
 protected:
  void SetUp() override {
    spec_.ansi = GetParam() == Layout::kAnsi;
    spec_.columns = {{0x67F2, 0x0003, 4}, {0x0E20, 0x0014, 8}};
    for (std::uint32_t r = 0; r < 1000; ++r) {
      Bytes big(8);
      StoreLe(big, 0, 0x1000000000ull + r, 8);
      spec_.rows.push_back({Le32(r), big});
    }
    spec_.rowMatrixSubnode = 0x3F;
    table_ = testing::MakeTableContext(spec_);
    perBlock_ = MaxBlockData() / table_.rowSize;
    for (std::size_t at = 0; at < table_.rowMatrix.size(); at += perBlock_ * table_.rowSize) {
      const std::size_t n = std::min(perBlock_ * table_.rowSize, table_.rowMatrix.size() - at);
      blocks_.emplace_back(table_.rowMatrix.begin() + at, table_.rowMatrix.begin() + at + n);
      if (at + n < table_.rowMatrix.size()) blocks_.back().resize(MaxBlockData());
    }
  }
  std::size_t MaxBlockData() const { return spec_.ansi ? 8180 : 8176; }

  std::unique_ptr<PropertyList> ReadTable() {
    const std::uint64_t matrix = AddData(blocks_);
    const std::uint64_t subs = AddSubnodes({{0x3F, matrix, 0}});
    return Read(AddData(table_.heap), subs);
  }

  testing::TcSpec spec_;
  testing::BuiltTable table_;
  std::size_t perBlock_ = 0;
  std::vector<Bytes> blocks_;
};

TEST_P(RowMatrixTest, RowsAreFoundWhereTheFormatPlacesThem) {
  ASSERT_GE(blocks_.size(), 2u);
  auto last = ReadTable();
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(last->rowCount, 1000);
  std::uint32_t expected = 999;
  std::size_t seen = 0;
  for (const PropertyList* r = last.get(); r != nullptr; r = r->next.get(), --expected, ++seen) {
    ASSERT_EQ(*r->Find(0x67F2)->value, Le32(expected));
    ASSERT_EQ(*LoadLe64(*r->Find(0x0E20)->value, 0), 0x1000000000ull + expected);
  }
  EXPECT_EQ(seen, 1000u);
  EXPECT_TRUE(store_->damage.Empty());
}

// A block cut short of its rows is damage: the rows it lacks come out empty, and the rows of
// the next block are still found where the format puts them, not shifted into the gap.
TEST_P(RowMatrixTest, AShortBlockIsReportedAndTheNextBlockKeepsItsRows) {
  blocks_[0].resize((perBlock_ - 3) * table_.rowSize);
  auto last = ReadTable();
  ASSERT_NE(last, nullptr);
  std::vector<const PropertyList*> rows;
  for (const PropertyList* r = last.get(); r != nullptr; r = r->next.get())
    rows.insert(rows.begin(), r);
  ASSERT_EQ(rows.size(), 1000u);
  EXPECT_EQ(*rows[perBlock_ - 4]->Find(0x67F2)->value,
            Le32(static_cast<std::uint32_t>(perBlock_ - 4)));
  for (std::size_t r = perBlock_ - 3; r < perBlock_; ++r)
    EXPECT_EQ(rows[r]->Find(0x67F2), nullptr) << r;
  EXPECT_EQ(*rows[perBlock_]->Find(0x67F2)->value, Le32(static_cast<std::uint32_t>(perBlock_)));
  const std::vector<DamageReport> reports = store_->damage.Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].structure, "TC");
  EXPECT_NE(reports[0].text.find("row matrix block 0"), std::string::npos) << reports[0].text;
}

INSTANTIATE_TEST_SUITE_P(BothLayouts, RowMatrixTest,
                         ::testing::Values(Layout::kAnsi, Layout::kUnicode), [](const auto& param) {
                           return param.param == Layout::kAnsi ? "Ansi" : "Unicode";
                         });

INSTANTIATE_TEST_SUITE_P(BothLayouts, PropertyListTest,
                         ::testing::Values(Layout::kAnsi, Layout::kUnicode),
                         [](const auto& param) {
                           return param.param == Layout::kAnsi ? "Ansi" : "Unicode";
                         });

TEST(NamedPropertyMapTest, WalkEndsAtAZeroGuidAndLaterRecordsWin) {
  Bytes entries(40);
  auto record = [&entries](std::size_t i, std::uint32_t id, std::uint16_t guid, std::uint16_t idx) {
    StoreLe(entries, 8 * i, id, 4);
    StoreLe(entries, 8 * i + 4, guid, 2);
    StoreLe(entries, 8 * i + 6, idx, 2);
  };
  record(0, 0x8101, 2, 1);
  record(1, 0x8102, 4, 1);   // same index as record 0: read later, found first
  record(2, 0x00018205, 2, 2);
  record(3, 0x8300, 0, 3);   // wGuid 0 ends the walk
  record(4, 0x8400, 2, 4);
  const NamedPropertyMap map = NamedPropertyMap::Build(entries, {});
  ASSERT_EQ(map.Mappings().size(), 3u);
  ASSERT_NE(map.Find(0x8001), nullptr);
  EXPECT_EQ(map.Find(0x8001)->numericName, 0x8102u);
  EXPECT_EQ(map.Find(0x8002)->numericName, 0x8205u);
  EXPECT_EQ(map.Find(0x8003), nullptr);
  EXPECT_EQ(map.Find(0x8004), nullptr);
  // A string name whose offset lies outside the string stream keeps its kind, without a name.
  Bytes stringNamed(8);
  StoreLe(stringNamed, 0, 0x70000, 4);
  StoreLe(stringNamed, 4, 3, 2);
  const NamedPropertyMap outside = NamedPropertyMap::Build(stringNamed, Bytes(16));
  ASSERT_NE(outside.Find(0x8000), nullptr);
  EXPECT_EQ(outside.Find(0x8000)->kind, 2u);
  EXPECT_FALSE(outside.Find(0x8000)->name);
}

TEST(NamedPropertyMapTest, EachRecordKnowsItsPropertySet) {
  // GUID indexes 1 and 2 are PS_MAPI and PS_PUBLIC_STRINGS; 3 and up the GUID stream's
  // entries in order; an index past the stream's end names no set.
  Bytes guids(32);
  const PropertySetGuid meeting = property_set::kMeeting;
  const PropertySetGuid common = property_set::kCommon;
  std::copy(meeting.begin(), meeting.end(), reinterpret_cast<std::uint8_t*>(guids.data()));
  std::copy(common.begin(), common.end(), reinterpret_cast<std::uint8_t*>(guids.data()) + 16);
  Bytes entries(40);
  const std::uint16_t indexes[] = {1, 2, 3, 4, 5};
  for (std::size_t i = 0; i < 5; ++i) {
    StoreLe(entries, 8 * i, 0x001A, 4);
    StoreLe(entries, 8 * i + 4, static_cast<std::uint16_t>(indexes[i] << 1), 2);
    StoreLe(entries, 8 * i + 6, i, 2);
  }
  const NamedPropertyMap map = NamedPropertyMap::Build(entries, {}, guids);
  ASSERT_EQ(map.Mappings().size(), 5u);
  EXPECT_TRUE(map.Find(0x8000)->InSet(property_set::kMapi));
  EXPECT_TRUE(map.Find(0x8001)->InSet(property_set::kPublicStrings));
  EXPECT_TRUE(map.Find(0x8002)->InSet(property_set::kMeeting));
  EXPECT_TRUE(map.Find(0x8003)->InSet(property_set::kCommon));
  EXPECT_FALSE(map.Find(0x8004)->propertySet);

  PropertyEntry entry;
  entry.named = map.Find(0x8002);
  EXPECT_TRUE(entry.IsLid(0x001A, property_set::kMeeting));
  EXPECT_FALSE(entry.IsLid(0x001A, property_set::kCommon));
  EXPECT_FALSE(entry.StringNamed());

  EXPECT_EQ(PropertySetName(property_set::kAddress), "PSETID_Address");
  EXPECT_EQ(PropertySetName(GuidFromText("{01234567-89AB-CDEF-0123-456789ABCDEF}")),
            "{01234567-89AB-CDEF-0123-456789ABCDEF}");
}

}  // namespace
}  // namespace palvara
