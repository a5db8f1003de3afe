#include "items/mapping.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <initializer_list>

#include "common/text.h"
#include "items/classify.h"
#include "items/compressed_rtf.h"
#include "reader/btree_walk.h"

namespace palvara {
namespace {

using ContactText = Text ContactFields::*;

struct ContactRow {
  std::uint32_t id;
  ContactText field;
};

// Contact tags filled by string conversion (0x3A06, 0x3A41, 0x3A42 and 0x3A4D have rules of
// their own).
constexpr ContactRow kContactRows[] = {
    {0x3A16, &ContactFields::company},          {0x3A05, &ContactFields::generation},
    {0x3A15, &ContactFields::postalAddress},    {0x3A17, &ContactFields::title},
    {0x3A4A, &ContactFields::customerId},
    {0x3A1C, &ContactFields::mobilePhone},      {0x3A43, &ContactFields::hobbies},
    {0x3A11, &ContactFields::surname},          {0x3A44, &ContactFields::middleName},
    {0x3A09, &ContactFields::homePhone},        {0x3A08, &ContactFields::businessPhone},
    {0x3A24, &ContactFields::businessFax},      {0x3A25, &ContactFields::homeFax},
    {0x3A0C, &ContactFields::language},         {0x3A19, &ContactFields::officeLocation},
    {0x3A21, &ContactFields::pagerPhone},       {0x3A2D, &ContactFields::isdnNumber},
    {0x3A2E, &ContactFields::assistantPhone},   {0x3A30, &ContactFields::assistant},
    {0x3A46, &ContactFields::profession},       {0x3A48, &ContactFields::spouseName},
    {0x3A57, &ContactFields::companyMainPhone}, {0x3A59, &ContactFields::homeCity},
    {0x3A4E, &ContactFields::managerName},      {0x3A4F, &ContactFields::nickname},
    {0x3A50, &ContactFields::personalHomePage}, {0x3A51, &ContactFields::businessHomePage},
    {0x3A5A, &ContactFields::homeCountry},      {0x3A5B, &ContactFields::homePostalCode},
    {0x3A5C, &ContactFields::homeState},        {0x3A5D, &ContactFields::homeStreet},
    {0x3A5F, &ContactFields::otherCity},        {0x3A60, &ContactFields::otherCountry},
    {0x3A62, &ContactFields::otherState},       {0x3A63, &ContactFields::otherStreet},
    {0x3A1F, &ContactFields::otherPhone},
    {0x3A61, &ContactFields::otherPostalCode},  {0x3A02, &ContactFields::callbackPhone},
    {0x3A27, &ContactFields::businessCity},     {0x3A26, &ContactFields::businessCountry},
    {0x3A28, &ContactFields::businessState},    {0x3A29, &ContactFields::businessStreet},
    {0x3A2A, &ContactFields::businessPostalCode},
    {0x3A1E, &ContactFields::carPhone},         {0x3A18, &ContactFields::department},
    {0x3A00, &ContactFields::account},          {0x3A2F, &ContactFields::home2Phone},
    {0x3A2C, &ContactFields::telexNumber},
    {0x3A1D, &ContactFields::radioPhone},       {0x3A1B, &ContactFields::business2Phone},
    {0x3A4B, &ContactFields::ttyTddPhone},      {0x3A07, &ContactFields::governmentId},
    {0x3A10, &ContactFields::organizationalId},
    {0x3A45, &ContactFields::displayNamePrefix},
};
static_assert(std::all_of(std::begin(kContactRows), std::end(kContactRows),
                          [](const ContactRow& row) { return (row.id & 0xFF00) == 0x3A00; }));

struct ContactLidRow {
  std::uint32_t lid;
  const PropertySetGuid& set;
  ContactText field;
};

// Contact fields filled from named properties, each of its own set.
const ContactLidRow kContactLidRows[] = {
    {0x8005, property_set::kAddress, &ContactFields::fileAs},
    {0x801B, property_set::kAddress, &ContactFields::businessAddress},
    {0x801C, property_set::kAddress, &ContactFields::otherAddress},
    {0x80D8, property_set::kAddress, &ContactFields::freeBusyLocation},
    {0x8534, property_set::kCommon, &ContactFields::mileage},
};

constexpr std::uint32_t kAttachmentTableNid = 0x671;
constexpr std::uint32_t kMessageStoreNid = 0x21;

// The attachment table's and attachments' own rows (an attachment's display name, 0x3001, is
// also one, but only there).
bool IsAttachmentRow(const PropertyEntry& e) {
  return e.tag == 0x3701 || e.tag == 0x3704 || e.tag == 0x3707 || e.tag == 0x67F2;
}

// A code page property's value, when it has a non-zero one.
std::optional<std::uint32_t> CodePageValue(const PropertyList& list, std::uint16_t tag) {
  const PropertyEntry* e = list.FindTag(tag);
  if (e == nullptr || !e->value) return std::nullopt;
  const std::uint32_t value = LoadLe32(*e->value, 0).value_or(0);
  return value != 0 ? std::optional<std::uint32_t>(value) : std::nullopt;
}

// The code page named by a list: a code page tag, else a locale tag's ANSI code page, else the
// script of an Internet code page.
std::optional<std::uint32_t> NamedCodePage(const PropertyList& list,
                                           std::initializer_list<std::uint16_t> codePageTags,
                                           std::initializer_list<std::uint16_t> localeTags) {
  for (std::uint16_t tag : codePageTags) {
    if (auto cp = CodePageValue(list, tag)) return cp;
  }
  for (std::uint16_t tag : localeTags) {
    if (auto lcid = CodePageValue(list, tag)) {
      if (auto cp = AnsiCodePageOfLocale(*lcid)) return cp;
    }
  }
  if (auto internet = CodePageValue(list, 0x3FDE)) return WindowsCodePageOfCharset(*internet);
  return std::nullopt;
}

std::uint32_t U32(const PropertyEntry& e) { return LoadLe32(*e.value, 0).value_or(0); }

// One walk over a property list into a record.
class Mapper {
 public:
  Mapper(ItemRecord& record, const MapContext& context, MapScope scope)
      : r_(record), c_(context), scope_(scope) {}

  void Walk(const PropertyList* list) {
    if (scope_ == MapScope::kItem && list != nullptr) {
      r_.codePage = ItemCodePage(*list, c_.storeCodePage);
    }
    for (const PropertyList* block = list; block != nullptr; block = block->next.get()) {
      if (block != list) newRow_ = true;
      for (const PropertyEntry& entry : block->entries) {
        if (scope_ == MapScope::kAttachments) {
          MapAttachment(entry);
        } else if (entry.tag >= 0x8000) {
          MapNamed(entry);
        } else if (!IsAttachmentRow(entry)) {
          Map(entry);
        }
      }
    }
    // A decoded RTF body always gets its text, whether or not 0x6619 follows it.
    if (rtf_ && r_.mail && !r_.mail->rtfText) ExtractRtfText();
  }

 private:
  // String conversion: UTF-16 strings are converted, 8-bit strings go through the code page.
  std::string ToText(ByteSpan value, std::uint16_t type) const {
    if (type == 0x001F || (type != 0x001E && c_.unicodeStore)) return NarrowUtf16(value);
    return CodePageToUtf8(value, r_.codePage);
  }
  std::string ToText(const PropertyEntry& e) const { return ToText(*e.value, e.type); }
  // A text the context may leave empty; `summary`: one of the texts kSummary converts.
  bool Converts(bool summary = false) const {
    return c_.texts == TextFields::kAll || (summary && c_.texts == TextFields::kSummary);
  }
  bool ConvertsSubject() const { return Converts(true) || c_.texts == TextFields::kSubject; }
  std::string OptionalText(const PropertyEntry& e, bool summary = false) const {
    return Converts(summary) ? ToText(e) : std::string();
  }

  // Attachment rows go to the cursor, which moves on at the first attachment entry of a row.
  AttachmentNode* Cursor() {
    if (r_.currentAttachment >= r_.attachments.size()) return nullptr;
    if (newRow_) {
      newRow_ = false;
      if (++r_.currentAttachment >= r_.attachments.size()) return nullptr;
    }
    return &r_.attachments[r_.currentAttachment];
  }

  // The attachment table's rows and each attachment's own properties fill the attachment under
  // the cursor, never the item's fields.
  void MapAttachment(const PropertyEntry& e) {
    if (e.tag >= 0x8000 || !(IsAttachmentRow(e) || e.tag == 0x3001)) return;
    if (e.tag == 0x3701 && !e.value) {
      if (AttachmentNode* node = Cursor()) node->subnodeId = e.reference;
      return;
    }
    if (!e.value) return;
    AttachmentNode* node = Cursor();
    if (node == nullptr) return;
    switch (e.tag) {
      case 0x3701:
        if (e.type == 0x000D) node->embeddedNid = e.reference;
        node->data = *e.value;
        node->dataSize = static_cast<std::int32_t>(e.size());
        return;
      case 0x3704: node->fileName = OptionalText(e); return;
      case 0x3707: node->longFileName = OptionalText(e); return;
      case 0x3001: node->displayName = OptionalText(e); return;
      case 0x67F2: node->subnodeId = U32(e); return;
      default: return;
    }
  }

  // Named properties: the first two named by a string, and the rows of a set and number.
  void MapNamed(const PropertyEntry& e) {
    if (!e.value || e.named == nullptr) return;
    if (e.StringNamed()) {
      if (namedCount_ == 0) r_.Mail().namedText1 = *e.value;
      if (namedCount_ == 1) r_.Mail().namedText2 = *e.value;
      ++namedCount_;
      return;
    }
    using namespace property_set;
    for (const ContactLidRow& row : kContactLidRows) {
      if (e.IsLid(row.lid, row.set)) {
        r_.Contact().*row.field = OptionalText(e);
        return;
      }
    }
    if (e.IsLid(0x8048, kAddress) || e.IsLid(0x8084, kAddress)) {
      MapEmailCandidate(e);
    } else if (e.IsLid(0x8208, kAppointment)) {
      r_.Appointment().location = OptionalText(e);
    } else if (e.IsLid(0x8235, kAppointment)) {
      r_.Appointment().start = *e.value;
    } else if (e.IsLid(0x8236, kAppointment)) {
      r_.Appointment().end = *e.value;
    } else if (e.IsLid(0x8700, kLog) || e.IsLid(0x8712, kLog)) {
      r_.Journal().entryType = OptionalText(e);
    }
  }

  void MapEmailCandidate(const PropertyEntry& e) {
    std::string candidate = ToText(e);
    if (candidate.find('@') != std::string::npos) r_.Contact().emailAddress = candidate;
  }

  // The item's own ordinary tags.
  void Map(const PropertyEntry& e) {
    if (!e.value) return;
    if (MapContact(e)) return;
    switch (e.tag) {
      case 0x001A:
        r_.messageClass = ToText(e);
        r_.kind = ClassifyMessageClass(*r_.messageClass);
        return;
      case 0x0037: MapSubject(e); return;
      case 0x0039: r_.Mail().submitTime = *e.value; return;
      case 0x0042: r_.Mail().senderName = OptionalText(e, true); return;
      case 0x0050: r_.Mail().replyNames = OptionalText(e); return;
      case 0x0064:
      case 0x0065: r_.Mail().senderAddress = OptionalText(e); return;
      case 0x0070: r_.Mail().conversationTopic = OptionalText(e); return;
      case 0x0075:
      case 0x0076: r_.Mail().receiverAddress = OptionalText(e); return;
      case 0x0E03: r_.Mail().displayCc = OptionalText(e); return;
      case 0x0E04: r_.Mail().displayTo = OptionalText(e); return;
      case 0x0E06: r_.Mail().deliveryTime = *e.value; return;
      case 0x0E07: r_.Mail().messageFlags = U32(e); return;
      case 0x0FF9: r_.recordKey = *e.value; return;
      case 0x1000: r_.Mail().body = OptionalText(e, true); return;
      case 0x1009: DecodeRtf(e); return;
      case 0x1013: r_.Mail().html = Converts(true) ? *e.value : Bytes(); return;
      case 0x1042: r_.Mail().inReplyTo = OptionalText(e); return;
      case 0x3001: r_.displayName = ToText(e); return;
      case 0x3003: MapEmailCandidate(e); return;
      case 0x35DF: r_.Store().validFolderMask = U32(e); return;
      case 0x35E0: r_.Store().ipmSubtreeEntryId = *e.value; return;
      case 0x35E3: r_.Store().wastebasketEntryId = *e.value; return;
      case 0x35E7: r_.Store().finderEntryId = *e.value; return;
      case 0x3602: r_.Counts().contentCount = U32(e); return;
      case 0x3603: r_.Counts().unreadCount = U32(e); return;
      case 0x360A: r_.Counts().hasSubfolders = U32(e) != 0 ? 1 : 0; return;
      case 0x3613:
        r_.messageClass = ToText(e);
        r_.kind = ClassifyContainerClass(*r_.messageClass);
        return;
      case 0x3A06:
        r_.Contact().givenName = OptionalText(e);
        if (c_.unicodeStore) r_.Contact().fileAs = r_.Contact().givenName;
        return;
      case 0x3A0F: r_.Mail().commonName = OptionalText(e); return;
      case 0x6619: MapRtfText(e); return;
      case 0x7C07: {
        Bytes id(24);
        std::copy_n(e.value->begin(), std::min<std::size_t>(24, e.value->size()), id.begin());
        r_.Store().topFolderEntryId = std::move(id);
        return;
      }
      default: return;
    }
  }

  bool MapContact(const PropertyEntry& e) {
    // Every contact tag is one of 0x3A00-0x3AFF.
    if ((e.tag & 0xFF00) != 0x3A00) return false;
    switch (e.tag) {
      case 0x3A41: r_.Contact().weddingAnniversary = *e.value; return true;
      case 0x3A42: r_.Contact().birthday = *e.value; return true;
      case 0x3A4D:
        r_.Contact().gender = static_cast<std::int16_t>(LoadLe16(*e.value, 0).value_or(0));
        return true;
      default: break;
    }
    for (const ContactRow& row : kContactRows) {
      if (row.id == e.tag) {
        r_.Contact().*row.field = OptionalText(e);
        return true;
      }
    }
    return false;
  }

  // A subject that starts with a control character carries a prefix marker and the prefix
  // length in its first two characters (code units in UTF-16 stores).
  void MapSubject(const PropertyEntry& e) {
    auto subject = std::make_unique<SubjectText>();
    const ByteSpan v(*e.value);
    const bool wide = e.type == 0x001F || (e.type != 0x001E && c_.unicodeStore);
    const std::size_t unit = wide ? 2 : 1;
    if (!v.empty()) {
      const std::uint32_t first = wide ? LoadLe16(v, 0).value_or(0) : ByteAt(v, 0);
      if (first >= 0x20 || v.size() < 2 * unit) {
        subject->text = ConvertsSubject() ? ToText(v, e.type) : std::string();
      } else {
        subject->marker = static_cast<std::int32_t>(first);
        subject->prefixLength = static_cast<std::int32_t>(
            wide ? LoadLe16(v, 2).value_or(0) : ByteAt(v, 1));
        subject->text = ConvertsSubject() ? ToText(v.subspan(2 * unit), e.type) : std::string();
      }
    }
    r_.Mail().subject = std::move(subject);
  }

  void DecodeRtf(const PropertyEntry& e) {
    Bytes decoded;
    if (DecodeCompressedRtf(*e.value, decoded) != 0) return;
    if (!c_.rtfBodyFile.empty()) {
      std::ofstream file(c_.rtfBodyFile, std::ios::binary | std::ios::trunc);
      file.write(reinterpret_cast<const char*>(decoded.data()),
                 static_cast<std::streamsize>(decoded.size()));
    }
    rtf_ = std::move(decoded);
    r_.Mail().hasRtfFile = 1;
  }

  void ExtractRtfText() {
    std::string text;
    if (Converts()) RtfToText(*rtf_, text);
    r_.Mail().rtfText = std::move(text);
  }

  void MapRtfText(const PropertyEntry& e) {
    if (r_.mail && r_.mail->hasRtfFile == 1 && rtf_) {
      ExtractRtfText();
    } else if (e.type == 0x001E || e.type == 0x001F) {
      r_.Mail().rtfText = OptionalText(e);
    }
  }

  ItemRecord& r_;
  const MapContext& c_;
  const MapScope scope_;
  bool newRow_ = false;
  int namedCount_ = 0;
  std::optional<Bytes> rtf_;  // the body decoded in this walk
};

}  // namespace

std::string NarrowUtf16(ByteSpan bytes) { return Utf16LeToUtf8(bytes); }

std::uint32_t ItemCodePage(const PropertyList& list, std::uint32_t fallback) {
  return NamedCodePage(list, {0x3FFD}, {0x3FF1}).value_or(fallback);
}

std::uint32_t StoreCodePage(StoreFile& store) {
  try {
    const StoreNode* node = FindNode(store, kMessageStoreNid);
    if (node == nullptr || node->dataBlock == nullptr) return 1252;
    const SubnodeList none;
    const std::unique_ptr<PropertyList> list = ReadPropertyList(store, node->dataBlock, none);
    if (!list) return 1252;
    return NamedCodePage(*list, {0x3FFD, 0x66C3}, {0x3FF1, 0x66A1}).value_or(1252);
  } catch (const std::exception&) {
    return 1252;  // a damaged message store object names no code page
  }
}

MapContext MapContextFor(StoreFile& store, std::filesystem::path rtfBodyFile) {
  return MapContext{!store.IsAnsi(), std::move(rtfBodyFile), StoreCodePage(store)};
}

int MapProperties(const PropertyList* list, ItemRecord* record, const MapContext& context,
                  MapScope scope) {
  if (record == nullptr) return -1;
  Mapper(*record, context, scope).Walk(list);
  return 0;
}

std::unique_ptr<ItemRecord> ReadItem(StoreFile& store, const StoreNode& node,
                                     const MapContext& context, AttachmentReading attachments,
                                     ItemLists& lists) {
  lists = ItemLists();
  SubnodeList& subnodes = lists.subnodes;
  if (node.subnodeBlock != nullptr) ReadSubnodes(store, node.subnodeBlock, subnodes);
  if (node.dataBlock == nullptr) return nullptr;
  lists.properties = ReadPropertyList(store, node.dataBlock, subnodes);
  if (!lists.properties) return nullptr;
  auto record = std::make_unique<ItemRecord>();
  // The attachments' names are in the item's code page.
  record->codePage = ItemCodePage(*lists.properties, context.storeCodePage);

  const SubnodeEntry* table = FindSubnodeEntry(subnodes, kAttachmentTableNid);
  if (table == nullptr) return record;
  SubnodeList tableSubnodes;
  std::unique_ptr<PropertyList>& rows = lists.attachmentRows;
  rows = ReadSubnodePropertyList(store, *table, tableSubnodes);
  if (!rows) return record;
  record->attachments.resize(static_cast<std::size_t>(std::max(rows->rowCount, 0)));
  record->currentAttachment = 0;
  MapProperties(rows.get(), record.get(), context, MapScope::kAttachments);
  if (attachments == AttachmentReading::kTableRows) return record;

  for (std::size_t i = 0; i < record->attachments.size(); ++i) {
    const SubnodeEntry* sub = FindSubnodeEntry(subnodes, record->attachments[i].subnodeId);
    if (sub == nullptr) continue;
    // The attachment's own subnodes hold values too large for its heap (the data, mostly).
    ItemLists::Attachment read{sub, {}, nullptr};
    read.properties = ReadSubnodePropertyList(store, *sub, read.own,
                                              attachments == AttachmentReading::kChecked
                                                  ? SubnodeValues::kCheck
                                                  : SubnodeValues::kRead);
    if (!read.properties) continue;
    record->currentAttachment = i;
    MapProperties(read.properties.get(), record.get(), context, MapScope::kAttachments);
    record->attachments[i].blockId = IdOf(sub->data);
    lists.attachments.push_back(std::move(read));
  }
  record->currentAttachment = 0;
  return record;
}

void MapItem(const ItemLists& lists, ItemRecord& record, const MapContext& context) {
  MapProperties(lists.properties.get(), &record, context);
}

std::unique_ptr<ItemRecord> LoadItem(StoreFile& store, const StoreNode& node,
                                     const MapContext& context, AttachmentReading attachments,
                                     ItemLists* keep) {
  ItemLists own;
  ItemLists& lists = keep != nullptr ? *keep : own;
  std::unique_ptr<ItemRecord> record = ReadItem(store, node, context, attachments, lists);
  if (record) MapItem(lists, *record, context);
  return record;
}

}  // namespace palvara
