// An item written whole into a new store and read whole back: properties by name, what refers
// to the other store left out, recipients, attachments and attached messages with their own.
#include "export/source_item.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "common/text.h"
#include "reader/btree_walk.h"
#include "items/mapping.h"
#include "tests/support/store_items.h"
#include "tests/support/test_data.h"
#include "writer/store_check.h"
#include "writer/store_writer.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;

constexpr std::array<std::uint8_t, 16> kPsInternetHeaders = {
    0x86, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

CopiedProperty Prop(std::uint16_t id, std::uint16_t type, Bytes value) { return {id, type, std::move(value), std::nullopt}; }
CopiedProperty Text(std::uint16_t id, const std::string& text) { return Prop(id, 0x001F, Utf8ToUtf16Le(text)); }
CopiedProperty Ansi(std::uint16_t id, const std::string& text) {
  return Prop(id, 0x001E, Bytes(reinterpret_cast<const std::byte*>(text.data()),
                                reinterpret_cast<const std::byte*>(text.data()) + text.size()));
}
CopiedProperty Int(std::uint16_t id, std::uint32_t value) { return Prop(id, 0x0003, IntValue(value, 4)); }
CopiedProperty Named(PropertyName name, std::uint16_t sourceId, CopiedProperty value) {
  value.id = sourceId;
  value.name = std::move(name);
  return value;
}

// The value of an ordinary property, or of a named one by its name; nullptr when absent.
const CopiedProperty* Find(const CopiedProperties& props, std::uint16_t id,
                           const std::optional<PropertyName>& name = std::nullopt) {
  for (const CopiedProperty& p : props) {
    if (name ? p.name == name : (!p.name && p.id == id)) return &p;
  }
  return nullptr;
}

std::string TextOf(const CopiedProperty* p) {
  if (p == nullptr) return "<absent>";
  if (p->type == 0x001F) return Utf16LeToUtf8(p->value);
  return std::string(reinterpret_cast<const char*>(p->value.data()), p->value.size());
}

CopiedMessage Sample() {
  const PropertyName location{kPsetidAppointment, 0x8208, std::nullopt};
  const PropertyName header{kPsInternetHeaders, 0, "x-mailer"};
  CopiedMessage inner;
  inner.properties = {Text(0x001A, "IPM.Note"), Text(0x0037, "The original"), Text(0x1000, "Original words")};
  inner.attachments.push_back({{Text(0x3707, "inner.txt"), Prop(0x3701, 0x0102, testing::PatternBytes(50, 3))}, nullptr});

  CopiedMessage m;
  m.properties = {Text(0x001A, "IPM.Note"), Text(0x0037, "Hello"), Int(0x0017, 2),
                  Int(0x0E07, 0x00),  // unread
                  Prop(0x3007, 0x0040, IntValue(0x01D6000000000123ull, 8)),
                  Text(0x007D, "Received: from a\r\nMessage-ID: <m@x>\r\n"),
                  Prop(0x0FFF, 0x0102, Bytes(24)), Prop(0x0E09, 0x0102, Bytes(24)),
                  Prop(0x8004, 0x0003, IntValue(7, 4)),  // an id of the named range without a name
                  Named(location, 0x8010, Text(0, "Room 5")), Named(header, 0x8011, Text(0, "Mailer 1.0")),
                  Text(0x1000, "")};  // an empty body stays an empty body
  m.recipients = {{Ansi(0x3001, "Bob"), Text(0x3003, "bob@example.com"), Int(0x0C15, 1)},
                  {Ansi(0x3001, "Carol"), Text(0x3003, "carol@example.com"), Int(0x0C15, 2)},
                  {Ansi(0x3001, "Dave"), Text(0x3003, "dave@example.com"), Int(0x0C15, 3)}};
  m.attachments.push_back({{Text(0x3707, "logo.png"), Text(0x370E, "image/png"), Text(0x3712, "logo@1"),
                            Int(0x3705, 1), Prop(0x3701, 0x0102, testing::PatternBytes(9000, 1))},
                           nullptr});
  m.attachments.push_back({{Text(0x3001, "The original"), Int(0x3705, 5)},
                           std::make_shared<const CopiedMessage>(inner)});
  return m;
}

TEST(SourceItemTest, AnItemWrittenWholeReadsBackWhole) {
  const fs::path dir = fs::temp_directory_path() / ("palvara-source-item-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const fs::path file = dir / "copy.pst";
  Status status = Status::Ok();
  auto writer = StoreWriter::Create(file, "Copy", EncodingMethod::kPermute, &status);
  ASSERT_TRUE(writer) << status.message();
  const std::uint32_t inbox = writer->CreateFolder(kNidIpmSubtree, "Inbox", "IPF.Note");
  const CopiedMessage written = Sample();
  writer->AddCopiedMessage(inbox, written);
  ASSERT_TRUE(writer->Finish().ok());
  EXPECT_EQ(CheckStore(file).Errors(), 0u);

  testing::StoreItems items;
  ASSERT_TRUE(testing::LoadStoreItems(file, items));
  ASSERT_EQ(items.nodes.at("Inbox").size(), 1u);
  SourceItemReader reader(items.store);
  const auto read = reader.Read(*items.nodes.at("Inbox")[0]);
  ASSERT_TRUE(read);
  const CopiedProperties& p = read->properties;
  EXPECT_EQ(read->MessageClass(), "IPM.Note");
  EXPECT_EQ(TextOf(Find(p, 0x0037)), "Hello");
  EXPECT_EQ(LoadLe32(Find(p, 0x0017)->value, 0), 2u);
  EXPECT_EQ(LoadLe64(Find(p, 0x3007)->value, 0), 0x01D6000000000123ull);
  EXPECT_EQ(TextOf(Find(p, 0x007D)), "Received: from a\r\nMessage-ID: <m@x>\r\n");
  ASSERT_NE(Find(p, 0x1000), nullptr);
  EXPECT_TRUE(Find(p, 0x1000)->value.empty());
  // What referred to the source store, and a named-range id without a name, are left out.
  EXPECT_EQ(Find(p, 0x0FFF), nullptr);
  EXPECT_EQ(Find(p, 0x0E09), nullptr);
  EXPECT_EQ(Find(p, 0x8004), nullptr);
  // Named properties arrive by their names, numeric and string.
  EXPECT_EQ(TextOf(Find(p, 0, PropertyName{kPsetidAppointment, 0x8208, std::nullopt})), "Room 5");
  EXPECT_EQ(TextOf(Find(p, 0, PropertyName{kPsInternetHeaders, 0, "x-mailer"})), "Mailer 1.0");
  EXPECT_EQ(items.folders.at("Inbox")[0]->messageClass, "IPM.Note");

  ASSERT_EQ(read->recipients.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(TextOf(Find(read->recipients[i], 0x3001)), (std::vector<std::string>{"Bob", "Carol", "Dave"}[i]));
    EXPECT_EQ(LoadLe32(Find(read->recipients[i], 0x0C15)->value, 0), i + 1);
    EXPECT_EQ(Find(read->recipients[i], 0x3001)->type, 0x001E);  // 8-bit names stay 8-bit
  }

  ASSERT_EQ(read->attachments.size(), 2u);
  const CopiedProperties& logo = read->attachments[0].properties;
  EXPECT_EQ(TextOf(Find(logo, 0x370E)), "image/png");
  EXPECT_EQ(TextOf(Find(logo, 0x3712)), "logo@1");
  EXPECT_EQ(Find(logo, 0x3701)->value, testing::PatternBytes(9000, 1));
  EXPECT_FALSE(read->attachments[0].message);
  const auto& attached = read->attachments[1].message;
  ASSERT_TRUE(attached);
  EXPECT_EQ(TextOf(Find(attached->properties, 0x0037)), "The original");
  ASSERT_EQ(attached->attachments.size(), 1u);
  EXPECT_EQ(TextOf(Find(attached->attachments[0].properties, 0x3707)), "inner.txt");
  EXPECT_EQ(Find(attached->attachments[0].properties, 0x3701)->value, testing::PatternBytes(50, 3));

  // Written again from what was read, the item is the same.
  const fs::path again = dir / "again.pst";
  auto second = StoreWriter::Create(again, "Again", EncodingMethod::kNone, &status);
  ASSERT_TRUE(second);
  second->AddCopiedMessage(second->CreateFolder(kNidIpmSubtree, "Inbox", "IPF.Note"), *read);
  ASSERT_TRUE(second->Finish().ok());
  testing::StoreItems copy;
  ASSERT_TRUE(testing::LoadStoreItems(again, copy));
  SourceItemReader copyReader(copy.store);
  const auto reread = copyReader.Read(*copy.nodes.at("Inbox")[0]);
  ASSERT_TRUE(reread);
  for (const CopiedProperty& q : read->properties) {
    if (!q.name && q.id == 0x0E08) continue;  // the size is the new node's
    const CopiedProperty* r = Find(reread->properties, q.id, q.name);
    ASSERT_NE(r, nullptr) << std::hex << q.id;
    EXPECT_EQ(r->value, q.value) << std::hex << q.id;
  }
  fs::remove_all(dir);
}

bool SameProperties(const CopiedProperties& a, const CopiedProperties& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const CopiedProperty& x, const CopiedProperty& y) {
    return x.id == y.id && x.type == y.type && x.value == y.value && x.name == y.name;
  });
}

bool SameMessage(const CopiedMessage& a, const CopiedMessage& b) {
  if (!SameProperties(a.properties, b.properties) || a.recipients.size() != b.recipients.size() ||
      a.attachments.size() != b.attachments.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.recipients.size(); ++i) {
    if (!SameProperties(a.recipients[i], b.recipients[i])) return false;
  }
  for (std::size_t i = 0; i < a.attachments.size(); ++i) {
    const auto& x = a.attachments[i];
    const auto& y = b.attachments[i];
    if (!SameProperties(x.properties, y.properties) || !x.message != !y.message) return false;
    if (x.message && !SameMessage(*x.message, *y.message)) return false;
  }
  return true;
}

// Every node of every shared store: the item read whole on its own, and read from what the
// item loader kept of it, are the same, attachment data and attached messages included.
TEST(SourceItemTest, AnItemReadFromTheLoadersListsIsTheItemReadOnItsOwn) {
  int stores = 0, compared = 0, withAttachments = 0;
  std::error_code ec;
  for (const auto& file : fs::directory_iterator(testing::kTestData / "stores", ec)) {
    StoreFile store;
    if (!OpenStore(store, file.path()).ok()) continue;
    IndexStore(store);
    LoadNamedPropertyMap(store);
    ++stores;
    const MapContext context = MapContextFor(store);
    SourceItemReader reader(store);
    std::vector<const StoreNode*> nodes;
    store.nodes.ForEachPreorder([&nodes](const StoreNode& node, int) { nodes.push_back(&node); });
    for (const StoreNode* node : nodes) {
      const auto alone = reader.Read(*node);
      ItemLists lists;
      const auto record = LoadItem(store, *node, context, AttachmentReading::kWhole, &lists);
      const auto kept = reader.Read(lists);
      ASSERT_EQ(!alone, !kept) << file.path().filename() << " node " << std::hex << node->nid;
      if (!alone) continue;
      ASSERT_TRUE(record);
      ++compared;
      if (!alone->attachments.empty()) ++withAttachments;
      EXPECT_TRUE(SameMessage(*alone, *kept)) << file.path().filename() << " node " << std::hex << node->nid;
      // The values were handed over, not copied: the lists hold them no more.
      for (const PropertyEntry& e : lists.properties->entries) {
        if (e.type != 0x000D && e.value && !e.value->empty()) {
          ADD_FAILURE() << "a value left behind in node " << std::hex << node->nid;
          break;
        }
      }
    }
  }
  if (stores == 0) GTEST_SKIP() << "no shared test stores";
  EXPECT_GT(compared, 100);
  EXPECT_GT(withAttachments, 5);
}

TEST(SourceItemTest, AnEightBitSubjectReachesTheContentsTableAsUnicode) {
  const fs::path dir = fs::temp_directory_path() / ("palvara-source-ansi-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  Status status = Status::Ok();
  auto writer = StoreWriter::Create(dir / "a.pst", "A", EncodingMethod::kNone, &status);
  ASSERT_TRUE(writer);
  const std::uint32_t inbox = writer->CreateFolder(kNidIpmSubtree, "Inbox", "IPF.Note");
  CopiedMessage m;
  m.properties = {Ansi(0x001A, "IPM.Note"), Ansi(0x0037, "\x93\xFA\x96\x7B"), Int(0x3FFD, 932)};  // 日本
  writer->AddCopiedMessage(inbox, m);
  ASSERT_TRUE(writer->Finish().ok());
  StoreFile store;
  ASSERT_TRUE(OpenStore(store, dir / "a.pst").ok());
  IndexStore(store);
  const StoreNode* contents = FindNode(store, (inbox & ~0x1Fu) | 0x0E);
  ASSERT_NE(contents, nullptr);
  SubnodeList subnodes;
  if (contents->subnodeBlock != nullptr) ReadSubnodes(store, contents->subnodeBlock, subnodes);
  const auto rows = ReadPropertyList(store, contents->dataBlock, subnodes);
  ASSERT_TRUE(rows);
  const PropertyEntry* subject = rows->Find(0x0037);
  ASSERT_NE(subject, nullptr);
  EXPECT_EQ(subject->type, 0x001F);
  EXPECT_EQ(Utf16LeToUtf8(*subject->value), "日本");
  fs::remove_all(dir);
}

}  // namespace
}  // namespace palvara
