#include "items/mapping.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <deque>
#include <filesystem>

#include "common/text.h"
#include "reader/btree_walk.h"
#include "tests/support/damage_kinds.h"
#include "tests/support/test_data.h"
#include "writer/sample_generator.h"

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

// A named property as the reader delivers it: its name map entry (kept for the whole test
// run), the numeric name or 2 as id, and a tag from 0x8000 up.
PropertyEntry NamedEntry(std::uint32_t kind, std::uint32_t lid, std::optional<PropertySetGuid> set,
                         std::uint16_t type, Bytes value) {
  static std::deque<NamedPropertyMapping> mappings;
  NamedPropertyMapping& m = mappings.emplace_back();
  m.kind = kind;
  m.mappedId = 0x8000 + static_cast<std::uint32_t>(mappings.size());
  m.numericName = lid;
  m.propertySet = set;
  if (kind == 2) m.name = "name" + std::to_string(mappings.size());
  PropertyEntry e = Entry(kind == 2 ? 2 : lid, type, std::move(value),
                          static_cast<std::uint16_t>(m.mappedId));
  e.named = &m;
  if (kind == 2) e.name = &*m.name;
  return e;
}
PropertyEntry Lid(std::uint32_t lid, const PropertySetGuid& set, std::uint16_t type, Bytes value) {
  return NamedEntry(1, lid, set, type, std::move(value));
}
PropertyEntry StringNamed(Bytes value) {
  return NamedEntry(2, 0, property_set::kPublicStrings, 0x001F, std::move(value));
}

std::unique_ptr<ItemRecord> Map(std::vector<PropertyEntry> entries, bool unicode,
                                std::uint32_t storeCodePage = 1252,
                                TextFields texts = TextFields::kAll) {
  PropertyList list;
  list.entries = std::move(entries);
  auto record = std::make_unique<ItemRecord>();
  MapContext context;
  context.unicodeStore = unicode;
  context.storeCodePage = storeCodePage;
  context.texts = texts;
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
                // A numeric name 2 is not a string name either.
                Lid(2, property_set::kMeeting, 0x001F, Utf16(u"where")),
                StringNamed(Utf16(u"one")), StringNamed(Utf16(u"two")),
                StringNamed(Utf16(u"three")),
                Entry(0x3003, 0x001F, Utf16(u"SMTP")),
                Lid(0x8084, property_set::kAddress, 0x001F, Utf16(u"jane@example.com")),
                Lid(0x8048, property_set::kAddress, 0x001F, Utf16(u"no at sign"))},
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

TEST(MappingTest, TextsLeftUnconvertedAreStillPresent) {
  const auto entries = [] {
    return std::vector<PropertyEntry>{
        Entry(0x001A, 0x001F, Utf16(u"IPM.Contact")), Entry(0x0037, 0x001F, Utf16(u"\u0001\u0004Re: hi")),
        Entry(0x0042, 0x001F, Utf16(u"Ann")),        Entry(0x1000, 0x001F, Utf16(u"body")),
        Entry(0x0E04, 0x001F, Utf16(u"Bob")),        Entry(0x3001, 0x001F, Utf16(u"Ann Lee")),
        Entry(0x3A11, 0x001F, Utf16(u"Lee")),
        Lid(0x8084, property_set::kAddress, 0x001F, Utf16(u"ann@example.com")),
        Lid(0x8700, property_set::kLog, 0x001F, Utf16(u"Phone call")),
        Lid(0x8208, property_set::kAppointment, 0x001F, Utf16(u"Room 1")),
        Entry(0x1013, 0x0102, Ascii("<p>hi</p>"))};
  };
  const auto all = Map(entries(), true);
  for (TextFields texts : {TextFields::kSummary, TextFields::kSubject, TextFields::kCounted}) {
    const auto r = Map(entries(), true, 1252, texts);
    const bool summary = texts == TextFields::kSummary;
    const bool subject = summary || texts == TextFields::kSubject;
    // Classes, names and the e-mail rule are read whole; every group is there as before.
    EXPECT_EQ(r->messageClass, all->messageClass);
    EXPECT_EQ(r->kind, all->kind);
    EXPECT_EQ(r->displayName, "Ann Lee");
    ASSERT_TRUE(r->contact && r->mail && r->journal && r->appointment);
    EXPECT_EQ(r->contact->emailAddress, "ann@example.com");
    EXPECT_EQ(r->contact->surname, "");
    EXPECT_EQ(r->journal->entryType, "");
    EXPECT_EQ(r->appointment->location, "");
    EXPECT_EQ(r->mail->displayTo, "");
    EXPECT_EQ(r->mail->subject->marker, 1);
    EXPECT_EQ(r->mail->subject->text, subject ? "Re: hi" : "");
    EXPECT_EQ(r->mail->senderName, summary ? "Ann" : "");
    EXPECT_EQ(r->mail->body, summary ? "body" : "");
    ASSERT_TRUE(r->mail->html);
    EXPECT_EQ(r->mail->html->size(), summary ? 9u : 0u);
  }
  EXPECT_EQ(all->contact->surname, "Lee");
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
  MapProperties(head.get(), &record, MapContext{}, MapScope::kAttachments);
  EXPECT_EQ(record.attachments[0].longFileName, "file3");
  EXPECT_EQ(record.attachments[1].longFileName, "file2");
  EXPECT_EQ(record.attachments[2].longFileName, "file1");
  EXPECT_EQ(record.attachments[2].subnodeId, 0x8005u);

  // A row beyond the nodes is skipped; without nodes attachment ids are ignored.
  record.attachments.resize(2);
  record.currentAttachment = 0;
  MapProperties(head.get(), &record, MapContext{}, MapScope::kAttachments);
  EXPECT_EQ(record.attachments[1].longFileName, "file2");
  ItemRecord none;
  MapProperties(head.get(), &none, MapContext{}, MapScope::kAttachments);
  EXPECT_TRUE(none.attachments.empty());
}

TEST(MappingTest, AttachmentPropertiesNeverFillTheItemsOwnFields) {
  ItemRecord contact;
  PropertyList own;
  own.entries = {Entry(0x001A, 0x001F, Utf16(u"IPM.Contact")),
                 Entry(0x3001, 0x001F, Utf16(u"Jane Doe")),
                 Entry(0x0FF9, 0x0102, Bytes(4, std::byte{0x11})),
                 Entry(0x3704, 0x001F, Utf16(u"stray.txt"))};  // no attachment yet: dropped
  MapProperties(&own, &contact, MapContext{});
  EXPECT_TRUE(contact.attachments.empty());

  // The contact picture's own properties: name, record key, a body-like text, a class.
  contact.attachments.resize(1);
  PropertyList picture;
  picture.entries = {Entry(0x001A, 0x001F, Utf16(u"IPM.Note")),
                     Entry(0x0FF9, 0x0102, Bytes(4, std::byte{0x22})),
                     Entry(0x1000, 0x001F, Utf16(u"not the body")),
                     Entry(0x3001, 0x001F, Utf16(u"ContactPicture.jpg")),
                     Entry(0x3701, 0x0102, Bytes(3, std::byte{0xFF})),
                     Entry(0x3707, 0x001F, Utf16(u"ContactPicture.jpg")),
                     Lid(0x8005, property_set::kAddress, 0x001F, Utf16(u"not the file-as"))};
  MapProperties(&picture, &contact, MapContext{}, MapScope::kAttachments);
  EXPECT_EQ(contact.displayName, "Jane Doe");
  EXPECT_EQ(contact.messageClass, "IPM.Contact");
  EXPECT_EQ(contact.kind, ItemKind::kContact);
  EXPECT_EQ(contact.recordKey, Bytes(4, std::byte{0x11}));
  EXPECT_FALSE(contact.mail);
  EXPECT_FALSE(contact.contact);
  EXPECT_EQ(contact.attachments[0].displayName, "ContactPicture.jpg");
  EXPECT_EQ(contact.attachments[0].longFileName, "ContactPicture.jpg");
  EXPECT_EQ(contact.attachments[0].dataSize, 3);
}

TEST(MappingTest, NamedPropertiesFillOnlyTheRowsOfTheirSetAndNumber) {
  Bytes time(8);
  StoreLe(time, 0, 0x01D8A0B1C2D3E4F5ull, 8);
  // A meeting item: the meeting set's LID 0x001A (a time) and a LID 0x1000 of an unknown set
  // neither replace the class nor become the body.
  auto meeting = Map({Entry(0x001A, 0x001F, Utf16(u"IPM.Schedule.Meeting.Request")),
                      Entry(0x1000, 0x001F, Utf16(u"the body")),
                      Lid(0x001A, property_set::kMeeting, 0x0040, time),
                      Lid(0x1000, GuidFromText("{11112222-3333-4444-5555-666677778888}"),
                          0x001F, Utf16(u"some other text")),
                      Lid(0x0037, property_set::kMeeting, 0x001F, Utf16(u"not the subject"))},
                     true);
  EXPECT_EQ(meeting->messageClass, "IPM.Schedule.Meeting.Request");
  EXPECT_EQ(meeting->mail->body, "the body");
  EXPECT_FALSE(meeting->mail->subject);

  // Each LID row takes its own set only; a tag from 0x8000 up that the name map does not know
  // fills nothing.
  auto mixed = Map({Lid(0x8208, property_set::kAppointment, 0x001F, Utf16(u"Room 5")),
                    Lid(0x8208, property_set::kCommon, 0x001F, Utf16(u"wrong set")),
                    Lid(0x8235, property_set::kAppointment, 0x0040, time),
                    Lid(0x8236, property_set::kTask, 0x0040, Bytes(8)),
                    Lid(0x8005, property_set::kAddress, 0x001F, Utf16(u"Doe, Jane")),
                    Lid(0x8005, property_set::kTask, 0x001F, Utf16(u"task 0x8005")),
                    Lid(0x8534, property_set::kCommon, 0x001F, Utf16(u"12 km")),
                    Lid(0x8700, property_set::kLog, 0x001F, Utf16(u"Phone call")),
                    Lid(0x8712, property_set::kAppointment, 0x001F, Utf16(u"not a log")),
                    Entry(0x801B, 0x001F, Utf16(u"unmapped"), 0x801B)},
                   true);
  ASSERT_TRUE(mixed->appointment && mixed->contact && mixed->journal);
  EXPECT_EQ(mixed->appointment->location, "Room 5");
  EXPECT_EQ(mixed->appointment->start, time);
  EXPECT_FALSE(mixed->appointment->end);
  EXPECT_EQ(mixed->contact->fileAs, "Doe, Jane");
  EXPECT_EQ(mixed->contact->mileage, "12 km");
  EXPECT_FALSE(mixed->contact->businessAddress);
  EXPECT_EQ(mixed->journal->entryType, "Phone call");
  EXPECT_FALSE(mixed->mail);
}

// "日本" in Shift-JIS (932), "Жук" in 1251, "café €" in 1252.
const Bytes kSjis = Ascii("\x93\xfa\x96\x7b");
const Bytes kCyrillic = Ascii("\xC6\xF3\xEA");

TEST(MappingTest, CodePageComesFromCodepageThenLocaleThenInternetCodepageThenStore) {
  auto text = [](std::vector<PropertyEntry> codePages, const Bytes& value,
                 std::uint32_t store = 1252) {
    codePages.push_back(Entry(0x0042, 0x001E, value));
    auto r = Map(std::move(codePages), false, store);
    return r->mail->senderName.value_or("");
  };
  // The message code page wins over the locale and the Internet code page.
  EXPECT_EQ(text({U32Entry(0x3FFD, 1251), U32Entry(0x3FF1, 1041), U32Entry(0x3FDE, 932)},
                 kCyrillic), "Жук");
  // A Japanese locale beats the charset the mail was sent in (ISO-2022-JP).
  EXPECT_EQ(text({U32Entry(0x3FF1, 1041), U32Entry(0x3FDE, 50220)}, kSjis), "日本");
  // MIME charsets stand for the Windows code page of their script.
  EXPECT_EQ(text({U32Entry(0x3FDE, 50220)}, kSjis), "日本");
  EXPECT_EQ(text({U32Entry(0x3FDE, 51932)}, kSjis), "日本");
  EXPECT_EQ(text({U32Entry(0x3FDE, 20866)}, kCyrillic), "Жук");
  EXPECT_EQ(text({U32Entry(0x3FDE, 28591)}, Ascii("caf\xE9 \x80"), 932), "café €");
  // A locale without an ANSI code page and a charset of no script fall through to the store.
  EXPECT_EQ(text({U32Entry(0x3FF1, 0x0439), U32Entry(0x3FDE, 65001)}, kSjis, 932), "日本");
  EXPECT_EQ(text({}, kCyrillic, 1251), "Жук");
  EXPECT_EQ(text({}, Ascii("caf\xE9")), "café");
  // A named property numbered like a code page tag is not one.
  Bytes cp1251(4);
  StoreLe(cp1251, 0, 1251, 4);
  EXPECT_EQ(text({U32Entry(0x3FF1, 1041), Lid(0x3FFD, property_set::kMeeting, 0x0003, cp1251)},
                 kSjis), "日本");
  // The sort id above a locale does not change it.
  EXPECT_EQ(text({U32Entry(0x3FF1, 0x00040411)}, kSjis), "日本");

  // An attachment's names use the item's code page.
  PropertyList own;
  own.entries = {U32Entry(0x3FF1, 1041)};
  ItemRecord record;
  MapContext ansi;
  ansi.unicodeStore = false;
  MapProperties(&own, &record, ansi);
  record.attachments.resize(1);
  PropertyList attachment;
  attachment.entries = {Entry(0x3707, 0x001E, kSjis)};
  MapProperties(&attachment, &record, ansi, MapScope::kAttachments);
  EXPECT_EQ(record.codePage, 932u);
  EXPECT_EQ(record.attachments[0].longFileName, "日本");
}

TEST(MappingTest, LocalesAndCharsetsNameTheirWindowsCodePage) {
  const std::pair<std::uint32_t, std::uint32_t> locales[] = {
      {1041, 932}, {2052, 936}, {4100, 936}, {1028, 950}, {3076, 950}, {1042, 949},
      {1049, 1251}, {1058, 1251}, {1033, 1252}, {1036, 1252}, {1045, 1250}, {1050, 1250},
      {0x0C1A, 1251}, {0x081A, 1250}, {1032, 1253}, {1055, 1254}, {1037, 1255}, {1025, 1256},
      {1061, 1257}, {1054, 874}, {1066, 1258}, {0x082C, 1251}, {0x042C, 1254}};
  for (const auto& [lcid, cp] : locales) EXPECT_EQ(AnsiCodePageOfLocale(lcid), cp) << lcid;
  EXPECT_FALSE(AnsiCodePageOfLocale(0x0439));  // Hindi: Unicode only
  EXPECT_FALSE(AnsiCodePageOfLocale(0x0400));
  const std::pair<std::uint32_t, std::uint32_t> charsets[] = {
      {50220, 932}, {50221, 932}, {50222, 932}, {51932, 932}, {932, 932}, {936, 936},
      {54936, 936}, {51949, 949}, {950, 950}, {28591, 1252}, {20127, 1252}, {28592, 1250},
      {28595, 1251}, {20866, 1251}, {28597, 1253}, {28599, 1254}, {28598, 1255},
      {28596, 1256}, {28594, 1257}, {1258, 1258}};
  for (const auto& [charset, cp] : charsets) EXPECT_EQ(WindowsCodePageOfCharset(charset), cp) << charset;
  EXPECT_FALSE(WindowsCodePageOfCharset(65001));
  EXPECT_FALSE(WindowsCodePageOfCharset(1200));
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

// Checking attachments instead of reading them whole gives the same item, the same number of
// attachments and the same damage, on an intact sample (with data trees for large attachments)
// and on damaged copies of it.
TEST(LoadItemTest, CheckedAttachmentsMeetTheSameDamageAsWholeOnes) {
  namespace fs = std::filesystem;
  const fs::path path = fs::temp_directory_path() /
                        ("palvara-checked-" + std::to_string(::getpid()) + ".pst");
  SampleOptions options;
  options.messages = 60;
  options.seed = 3;
  SampleSummary summary;
  ASSERT_TRUE(WriteSampleStore(path, options, &summary).ok());
  const Bytes intact = testing::ReadFileBytes(path);
  fs::remove(path);
  ASSERT_GT(summary.attachmentBytes, 8192u);

  // A copy whose attachments' data trees are broken: every other one loses a child, the others
  // claim more children than they hold.
  Bytes broken = intact;
  {
    StoreFile store;
    ASSERT_TRUE(OpenStore(store, std::make_unique<MemoryByteSource>(intact)).ok());
    IndexStore(store);
    const MapContext context = MapContextFor(store);
    int n = 0;
    store.nodes.ForEachPreorder([&](const StoreNode& node, int) {
      ItemLists lists;
      if (node.dataBlock == nullptr || !ReadItem(store, node, context, AttachmentReading::kWhole, lists)) return;
      for (const ItemLists::Attachment& a : lists.attachments) {
        for (const SubnodeEntry& sub : a.own) {
          if (sub.data == nullptr || !sub.data->IsInternal()) continue;
          if (++n % 2 == 0) {
            StoreLe(broken, sub.data->offset + 8, 0xFFFFFFF0u, 4);
          } else {
            StoreLe(broken, sub.data->offset + 2, 0x7FFFu, 2);
          }
        }
      }
    });
    ASSERT_GT(n, 1);
  }

  std::size_t attachmentsSeen = 0, damageSeen = 0;
  for (testing::DamageKind kind : {testing::DamageKind::kBitFlips, testing::DamageKind::kRunsZeroed,
                                   testing::DamageKind::kCut10}) {
    for (std::uint64_t seed : {0u, 1u, 2u, 3u}) {
      SCOPED_TRACE(std::string(testing::DamageKindName(kind)) + " " + std::to_string(seed));
      StoreFile store;
      Bytes image = seed == 0 ? broken : testing::Damage(intact, kind, seed);
      if (!OpenStore(store, std::make_unique<MemoryByteSource>(std::move(image))).ok()) continue;
      IndexStore(store);
      LoadNamedPropertyMap(store);
      const MapContext context = MapContextFor(store);
      store.nodes.ForEachPreorder([&](const StoreNode& node, int) {
        if (node.dataBlock == nullptr) return;
        const std::size_t before = store.damage.Count();
        const auto whole = LoadItem(store, node, context, AttachmentReading::kWhole);
        const std::size_t wholeDamage = store.damage.Count() - before;
        const auto checked = LoadItem(store, node, context, AttachmentReading::kChecked);
        EXPECT_EQ(store.damage.Count() - before - wholeDamage, wholeDamage) << node.nid;
        damageSeen += wholeDamage;
        ASSERT_EQ(whole == nullptr, checked == nullptr) << node.nid;
        if (!whole) return;
        EXPECT_EQ(checked->messageClass, whole->messageClass);
        EXPECT_EQ(checked->attachments.size(), whole->attachments.size()) << node.nid;
        EXPECT_EQ(checked->mail == nullptr, whole->mail == nullptr);
        for (std::size_t i = 0; i < whole->attachments.size(); ++i) {
          // Names still come from each attachment's own properties, data held in its heap
          // too; data held in subnodes stays unread.
          EXPECT_EQ(checked->attachments[i].longFileName, whole->attachments[i].longFileName);
          if (checked->attachments[i].data) {
            EXPECT_EQ(checked->attachments[i].data, whole->attachments[i].data);
          } else if (whole->attachments[i].data) {
            ++attachmentsSeen;
          }
        }
      });
    }
  }
  EXPECT_GT(attachmentsSeen, 0u);
  EXPECT_GT(damageSeen, 0u);
}

}  // namespace
}  // namespace palvara
