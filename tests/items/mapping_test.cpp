#include "items/mapping.h"

#include <gtest/gtest.h>

namespace palvara {
namespace {

Bytes Utf16(const std::u16string& text) {
  Bytes b(text.size() * 2);
  for (std::size_t i = 0; i < text.size(); ++i) StoreLe(b, 2 * i, text[i], 2);
  return b;
}

Bytes Ascii(const std::string& text) {
  Bytes b;
  for (char c : text) b.push_back(static_cast<std::byte>(c));
  return b;
}

PropertyEntry Entry(std::uint32_t id, std::uint16_t type, Bytes value, std::uint16_t tag = 0) {
  PropertyEntry e;
  e.id = id;
  e.type = type;
  e.tag = tag != 0 ? tag : static_cast<std::uint16_t>(id);
  e.reference = type;
  e.value = std::move(value);
  return e;
}

PropertyEntry U32Entry(std::uint32_t id, std::uint32_t v) {
  Bytes b(4);
  StoreLe(b, 0, v, 4);
  return Entry(id, 0x0003, b);
}

std::unique_ptr<ItemRecord> Map(std::vector<PropertyEntry> entries, bool unicode) {
  PropertyList list;
  list.entries = std::move(entries);
  auto record = std::make_unique<ItemRecord>();
  MapContext context;
  context.unicodeStore = unicode;
  EXPECT_EQ(MapProperties(&list, record.get(), context), 0);
  return record;
}

TEST(MappingTest, SubjectMarkersInBothLayouts) {
  // ANSI: 0x01, 0x05, then "RE: " and a word.
  Bytes ansi = {std::byte{0x01}, std::byte{0x05}};
  for (char c : std::string("RE: Hello")) ansi.push_back(static_cast<std::byte>(c));
  auto a = Map({Entry(0x0037, 0x001E, ansi)}, false);
  ASSERT_TRUE(a->mail && a->mail->subject);
  EXPECT_EQ(a->mail->subject->marker, 1);
  EXPECT_EQ(a->mail->subject->prefixLength, 5);
  EXPECT_EQ(a->mail->subject->text, "RE: Hello");

  // Unicode: the marker and the prefix length are whole code units.
  auto u = Map({Entry(0x0037, 0x001F, Utf16(u"\u0001\u0004FW: 日本語"))}, true);
  EXPECT_EQ(u->mail->subject->marker, 1);
  EXPECT_EQ(u->mail->subject->prefixLength, 4);
  EXPECT_EQ(u->mail->subject->text, "FW: 日本語");

  // Subjects that start with a character beyond ASCII keep it.
  auto japanese = Map({Entry(0x0037, 0x001F, Utf16(u"日本語の件名"))}, true);
  EXPECT_EQ(japanese->mail->subject->marker, 0);
  EXPECT_EQ(japanese->mail->subject->text, "日本語の件名");
  auto french = Map({Entry(0x0037, 0x001E, Ascii("\xC9t\xE9"))}, false);
  EXPECT_EQ(french->mail->subject->text, "Été");

  auto empty = Map({Entry(0x0037, 0x001F, Bytes{})}, true);
  ASSERT_TRUE(empty->mail->subject);
  EXPECT_FALSE(empty->mail->subject->text);
}

TEST(MappingTest, TextIsUtf8FromUtf16OrTheItemsCodePage) {
  auto u = Map({Entry(0x0042, 0x001F, Utf16(u"中文 Ünïcode"))}, true);
  EXPECT_EQ(u->mail->senderName, "中文 Ünïcode");
  // ANSI strings convert through PidTagInternetCodepage, which may come after them.
  auto sjis = Map({Entry(0x0042, 0x001E, Ascii("\x93\xfa\x96\x7b")), U32Entry(0x3FDE, 932)}, false);
  EXPECT_EQ(sjis->mail->senderName, "日本");
  auto cp1252 = Map({Entry(0x0042, 0x001E, Ascii("caf\xE9 \x80 \x81"))}, false);
  EXPECT_EQ(cp1252->mail->senderName, "café € \xC2\x81");
  // An 8-bit string in a Unicode store is not read as UTF-16.
  auto narrow = Map({Entry(0x1000, 0x001E, Ascii("plain"))}, true);
  EXPECT_EQ(narrow->mail->body, "plain");
}

TEST(MappingTest, ClassesNamedTextsAndTheEmailRule) {
  auto r = Map({Entry(0x001A, 0x001F, Utf16(u"IPM.Note.SMIME")),
                Entry(0x0002, 0x000B, Bytes(4), 0x0002),  // the real tag 0x0002: not a name
                Entry(2, 0x001F, Utf16(u"one"), 0x8001), Entry(2, 0x001F, Utf16(u"two"), 0x8002),
                Entry(2, 0x001F, Utf16(u"three"), 0x8003),
                Entry(0x3003, 0x001F, Utf16(u"SMTP")),
                Entry(0x8084, 0x001F, Utf16(u"jane@example.com")),
                Entry(0x8048, 0x001F, Utf16(u"no at sign"))},
               true);
  EXPECT_EQ(r->kind, ItemKind::kMail);
  EXPECT_EQ(r->messageClass, "IPM.Note.SMIME");
  EXPECT_EQ(r->mail->namedText1, Utf16(u"one"));
  EXPECT_EQ(r->mail->namedText2, Utf16(u"two"));
  EXPECT_EQ(r->contact->emailAddress, "jane@example.com");

  auto folder = Map({Entry(0x3613, 0x001F, Utf16(u"IPF.Task")), U32Entry(0x3602, 7),
                     U32Entry(0x360A, 2)},
                    true);
  EXPECT_EQ(folder->kind, ItemKind::kTask);
  EXPECT_EQ(folder->folderCounts->contentCount, 7u);
  EXPECT_EQ(folder->folderCounts->hasSubfolders, 1);
  EXPECT_TRUE(Map({}, true)->Empty());
}

TEST(MappingTest, AttachmentRowsFillOneNodeEach) {
  // Rows come newest first: the head node takes the last row.
  PropertyList rows[3];
  for (int i = 0; i < 3; ++i) {
    rows[i].rowCount = 3;
    rows[i].entries = {U32Entry(0x67F2, 0x8005 + 0x20 * static_cast<std::uint32_t>(i)),
                       Entry(0x3707, 0x001F, Utf16(std::u16string(u"file") + char16_t(u'1' + i)))};
  }
  auto head = std::make_unique<PropertyList>();
  head->rowCount = 3;
  head->entries = std::move(rows[2].entries);
  head->next = std::make_unique<PropertyList>();
  head->next->entries = std::move(rows[1].entries);
  head->next->next = std::make_unique<PropertyList>();
  head->next->next->entries = std::move(rows[0].entries);

  ItemRecord record;
  record.attachments.resize(3);
  MapProperties(head.get(), &record, MapContext{});
  EXPECT_EQ(record.attachments[0].longFileName, "file3");
  EXPECT_EQ(record.attachments[1].longFileName, "file2");
  EXPECT_EQ(record.attachments[2].longFileName, "file1");
  EXPECT_EQ(record.attachments[2].subnodeId, 0x8005u);

  // A row beyond the nodes is skipped; without nodes attachment ids are ignored.
  record.attachments.resize(2);
  record.currentAttachment = 0;
  MapProperties(head.get(), &record, MapContext{});
  EXPECT_EQ(record.attachments[1].longFileName, "file2");
  ItemRecord none;
  MapProperties(head.get(), &none, MapContext{});
  EXPECT_TRUE(none.attachments.empty());
}

TEST(MappingTest, CompressedRtfBodyGetsItsText) {
  // "{\rtf1 Hi}" stored uncompressed: 0x6619 is not needed for the text.
  Bytes stream(16);
  StoreLe(stream, 0, 12 + 10, 4);
  StoreLe(stream, 4, 10, 4);
  StoreLe(stream, 8, 0x414C454D, 4);
  for (char c : std::string("{\\rtf1 Hi}")) stream.push_back(static_cast<std::byte>(c));
  auto r = Map({Entry(0x1009, 0x0102, stream)}, true);
  EXPECT_EQ(r->mail->hasRtfFile, 1);
  EXPECT_EQ(r->mail->rtfText, "Hi");
  auto viaText = Map({Entry(0x6619, 0x001F, Utf16(u"stored text"))}, true);
  EXPECT_EQ(viaText->mail->rtfText, "stored text");
}

}  // namespace
}  // namespace palvara
