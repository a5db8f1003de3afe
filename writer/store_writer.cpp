#include "writer/store_writer.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <random>
#include <utility>

#include "common/text.h"
#include "reader/crc.h"
#include "reader/named_properties.h"
#include "writer/table_templates.h"

namespace palvara {
namespace {

constexpr std::uint32_t kNidMessageStore = 0x21;
constexpr std::uint32_t kNidNameToIdMap = 0x61;
constexpr std::uint32_t kNidRootFolder = 0x122;
constexpr std::uint32_t kNidSpamSearchFolder = 0x2223;

PropertyValue Text(std::uint16_t id, const std::string& utf8) {
  return {id, 0x001F, Utf16Value(utf8)};
}
PropertyValue Int(std::uint16_t id, std::uint32_t value) { return {id, 0x0003, IntValue(value, 4)}; }
PropertyValue Bool(std::uint16_t id, bool value) { return {id, 0x000B, IntValue(value ? 1 : 0, 1)}; }
PropertyValue Time(std::uint16_t id, std::uint64_t value) { return {id, 0x0040, IntValue(value, 8)}; }
PropertyValue Binary(std::uint16_t id, Bytes value) { return {id, 0x0102, std::move(value)}; }

// A subject as Outlook stores it: a marker character, the length of the reply or forward
// prefix plus one, then the text (readers that test the first character would otherwise eat
// the first letter of a subject such as "東京").
Bytes StoredSubject(const std::string& subject, std::string* normalized) {
  std::size_t prefix = 0;
  const auto colon = subject.find(": ");
  if (colon != std::string::npos && colon >= 1 && colon <= 3 &&
      std::all_of(subject.begin(), subject.begin() + static_cast<std::ptrdiff_t>(colon),
                  [](unsigned char c) { return std::isalpha(c) != 0; })) {
    prefix = colon + 2;
  }
  *normalized = subject.substr(prefix);
  Bytes value(4);
  StoreLe(value, 0, 0x0001, 2);
  StoreLe(value, 2, prefix + 1, 2);
  const Bytes text = Utf16Value(subject);
  value.insert(value.end(), text.begin(), text.end());
  return value;
}

// The properties a contents-table row takes its cells from: 8-bit texts (of stores in the
// older layout) also as Unicode texts, through the message's code page (else Windows-1252),
// since the row's text columns are Unicode.
std::vector<PropertyView> ContentsValues(const std::vector<PropertyView>& props,
                                         std::deque<Bytes>& made) {
  std::uint32_t codePage = 1252;
  for (const PropertyView& p : props) {
    if (p.id == 0x3FFD && p.type == 0x0003) codePage = LoadLe32(p.value, 0).value_or(1252);
  }
  std::vector<PropertyView> values = props;
  for (const PropertyView& p : props) {
    const bool hasUnicode = std::any_of(props.begin(), props.end(), [&p](const PropertyView& q) {
      return q.id == p.id && q.type == 0x001F;
    });
    if (p.type == 0x001E && !hasUnicode) {
      made.push_back(Utf8ToUtf16Le(CodePageToUtf8(p.value, codePage)));
      values.push_back({p.id, 0x001F, made.back()});
    }
  }
  return values;
}

// The names a new store's name-to-id map starts with, in this order, as Outlook registers them
// when it creates a store: the map's entry, GUID and string streams are never empty, and items
// that use these names keep Outlook's own ids for them.
std::vector<PropertyName> StandardNames() {
  constexpr PropertySetGuid kInternetHeaders =
      GuidFromText("{00020386-0000-0000-C000-000000000046}");
  constexpr PropertySetGuid kMentions = GuidFromText("{41F28F13-83F4-4114-A584-EEDB5A6B0BFF}");
  constexpr PropertySetGuid kSharing = GuidFromText("{00062014-0000-0000-C000-000000000046}");
  auto number = [](const PropertySetGuid& set, std::uint32_t lid) {
    return PropertyName{set, lid, std::nullopt};
  };
  auto text = [](const PropertySetGuid& set, const char* name) {
    return PropertyName{set, 0, std::string(name)};
  };
  using namespace property_set;
  return {number(kAppointment, 0x8205),
          number(kAppointment, 0x8223),
          number(kAppointment, 0x8231),
          number(kAppointment, 0x8216),
          number(kAppointment, 0x820D),
          number(kAppointment, 0x820E),
          number(kAppointment, 0x8235),
          number(kAppointment, 0x8236),
          number(kAppointment, 0x8233),
          text(kInternetHeaders, "content-class"),
          text(kPublicStrings, "DRMLicense"),
          text(kInternetHeaders, "x-cr-hashedpuzzle"),
          text(kInternetHeaders, "x-cr-puzzleid"),
          number(kCommon, 0x8580),
          number(kCommon, 0x8581),
          text(kPublicStrings, "urn:schemas-microsoft-com:office:outlook#storetypeprivate"),
          number(kCommon, 0x8510),
          number(kCommon, 0x8578),
          text(kMentions, "IsMentioned"),
          text(kPublicStrings, "Keywords"),
          number(kSharing, 0x8F05),
          number(kCommon, 0x8514),
          number(kSharing, 0x8F07),
          number(kCommon, 0x8503),
          number(kCommon, 0x85A8),
          number(kCommon, 0x8502),
          number(kTask, 0x8104),
          number(kTask, 0x8105),
          number(kTask, 0x811C),
          text(kInternetHeaders, "x-ms-exchange-organization-authdomain"),
          text(kPublicStrings, "DoNotForward"),
          number(kCommon, 0x8570),
          number(kTask, 0x8101),
          number(kCommon, 0x85E0),
          number(kCommon, 0x8552)};
}

// The node id of an attached message among its attachment's subnodes.
constexpr std::uint32_t kEmbeddedNid = (0x400u << 5) | 0x04;

// One value per property id, the later one kept (a property context holds each id once).
std::vector<PropertyView> UniqueById(std::vector<PropertyView> values) {
  // One bit per property id; only the words set here are cleared again, not all 8 KiB.
  thread_local std::array<std::uint64_t, 1024> seen{};
  std::vector<PropertyView> unique;
  unique.reserve(values.size());
  for (auto it = values.rbegin(); it != values.rend(); ++it) {
    std::uint64_t& word = seen[it->id >> 6];
    const std::uint64_t bit = std::uint64_t{1} << (it->id & 63);
    if ((word & bit) == 0) unique.push_back(*it);
    word |= bit;
  }
  for (const PropertyView& p : values) seen[p.id >> 6] = 0;
  std::reverse(unique.begin(), unique.end());
  return unique;
}

std::string Extension(const std::string& name) {
  const auto dot = name.rfind('.');
  return dot == std::string::npos ? "" : name.substr(dot);
}

// The cells of `tags` from a property list (absent where the list has no such property).
template <typename Property>
TableRow RowFrom(std::uint32_t rowId, const Tags& tags, const std::vector<Property>& props) {
  // The properties' positions by tag: a tag's last position is the last of its run.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> byTag;
  byTag.reserve(props.size());
  for (std::size_t i = 0; i < props.size(); ++i) {
    byTag.emplace_back(std::uint32_t{props[i].id} << 16 | props[i].type,
                       static_cast<std::uint32_t>(i));
  }
  std::sort(byTag.begin(), byTag.end());
  std::vector<std::optional<ByteSpan>> cells;
  cells.reserve(tags.size());
  for (std::uint32_t tag : tags) {
    std::optional<ByteSpan>& cell = cells.emplace_back();
    // The last value of the tag counts.
    const auto after = std::upper_bound(byTag.begin(), byTag.end(), std::pair{tag, UINT32_MAX});
    if (after != byTag.begin() && std::prev(after)->first == tag) {
      cell = ByteSpan(props[std::prev(after)->second].value);
    }
  }
  return TableRow(rowId, cells);
}

// A table's columns: the `usual` ones (under the type the rows hold them in, or their own when
// no row holds them under another: an 8-bit name must not sit behind an empty Unicode column),
// then those of `listed` that some row holds, then, when `listed` is empty, every other tag
// the rows hold.
Tags ColumnsOf(const Tags& usual, const Tags& listed, const std::vector<std::vector<PropertyView>>& rows) {
  Tags rowTags;
  for (const auto& row : rows) {
    for (const PropertyView& p : row) {
      const std::uint32_t tag = std::uint32_t{p.id} << 16 | p.type;
      if (std::find(rowTags.begin(), rowTags.end(), tag) == rowTags.end()) rowTags.push_back(tag);
    }
  }
  const auto sameId = [](std::uint32_t a, std::uint32_t b) { return a >> 16 == b >> 16; };
  Tags columns;
  const auto add = [&columns](std::uint32_t tag) {
    if (std::find(columns.begin(), columns.end(), tag) == columns.end()) columns.push_back(tag);
  };
  for (std::uint32_t tag : usual) {
    const bool otherType = std::any_of(rowTags.begin(), rowTags.end(), [&](std::uint32_t t) {
      return sameId(t, tag) && t != tag;
    });
    const bool sameType = std::find(rowTags.begin(), rowTags.end(), tag) != rowTags.end();
    if (sameType || !otherType) add(tag);
  }
  for (std::uint32_t tag : rowTags) {
    const bool wanted = listed.empty() || std::any_of(listed.begin(), listed.end(), [&](std::uint32_t l) {
                          return sameId(l, tag);
                        }) || std::any_of(usual.begin(), usual.end(), [&](std::uint32_t u) {
                          return sameId(u, tag);
                        });
    if (wanted) add(tag);
  }
  return columns;
}

}  // namespace

PropertyView StoreWriter::MessageParts::Keep(PropertyValue value) {
  made.push_back(std::move(value.value));
  return {value.id, value.type, made.back()};
}

Bytes Utf16Value(const std::string& utf8) { return Utf8ToUtf16Le(utf8); }

Bytes IntValue(std::uint64_t value, std::size_t width) {
  Bytes b(width);
  StoreLe(b, 0, value, width);
  return b;
}

std::unique_ptr<StoreWriter> StoreWriter::Create(const std::filesystem::path& path,
                                                 const std::string& displayName,
                                                 EncodingMethod encoding, Status* error,
                                                 NdbLayout layout) {
  std::unique_ptr<NdbWriter> ndb =
      NdbWriter::Create(path, encoding, error, kDefaultWriteBuffer, layout);
  if (!ndb) return nullptr;
  std::error_code ec;
  const std::filesystem::path full = std::filesystem::absolute(path, ec);
  return std::unique_ptr<StoreWriter>(
      new StoreWriter(std::move(ndb), displayName, (ec ? path : full).parent_path()));
}

StoreWriter::StoreWriter(std::unique_ptr<NdbWriter> ndb, std::string displayName,
                         const std::filesystem::path& rowDirectory)
    : ndb_(std::move(ndb)), displayName_(std::move(displayName)), rows_(rowDirectory) {
  std::mt19937 random(static_cast<std::uint32_t>(std::hash<std::string>{}(displayName_)));
  for (auto& b : storeUid_) b = static_cast<std::uint8_t>(random());
  rgnid_.fill(0x400);
  rgnid_[3] = 0x4000;
  rgnid_[4] = 0x10000;
  rgnid_[8] = 0x8000;
  for (std::size_t t : {2u, 0x0Du, 0x0Eu, 0x0Fu}) rgnid_[t] = 0x404;
  folders_[kNidRootFolder] = {kNidRootFolder, kNidRootFolder, "", "", {}, {}, 0};
  folders_[kNidIpmSubtree] = {kNidIpmSubtree, kNidRootFolder, "Top of Personal Folders", "", {}, {}, 0};
  folders_[kNidSearchRoot] = {kNidSearchRoot, kNidRootFolder, "Search Root", "", {}, {}, 0};
  folders_[kNidDeletedItems] = {kNidDeletedItems, kNidIpmSubtree, "Deleted Items", "IPF.Note", {}, {}, 0};
  folders_[kNidCommonViews] = {kNidCommonViews, kNidRootFolder, "IPM_COMMON_VIEWS", "", {}, {}, 0};
  folders_[kNidSpamSearchFolder] = {kNidSpamSearchFolder, kNidRootFolder, "SPAM Search Folder 2", "", {}, {}, 0};
  folders_[kNidRootFolder].children = {kNidIpmSubtree, kNidSearchRoot, kNidSpamSearchFolder,
                                       kNidCommonViews};
  folders_[kNidIpmSubtree].children = {kNidDeletedItems};
  for (const PropertyName& name : StandardNames()) NamedPropertyId(name);
}

std::uint16_t StoreWriter::NamedPropertyId(const std::array<std::uint8_t, 16>& guid,
                                           std::uint32_t lid) {
  return NamedPropertyId(PropertyName{guid, lid, std::nullopt});
}

std::uint16_t StoreWriter::NamedPropertyId(const PropertyName& name) {
  if (const auto it = namedIds_.find(name); it != namedIds_.end()) return it->second;
  if (named_.size() >= 0x7FFF) return 0;
  const auto id = static_cast<std::uint16_t>(0x8000 + named_.size());
  named_.push_back(name);
  namedIds_.emplace(name, id);
  return id;
}

std::uint32_t StoreWriter::CreateFolder(std::uint32_t parent, const std::string& name,
                                        const std::string& containerClass) {
  const std::uint32_t index = ++rgnid_[2];
  for (std::size_t t : {0x0Du, 0x0Eu, 0x0Fu}) rgnid_[t] = index;
  const std::uint32_t nid = (index << 5) | 0x02;
  folders_[nid] = {nid, parent, name, containerClass, {}, {}, 0};
  folders_[parent].children.push_back(nid);
  return nid;
}

void StoreWriter::SetFolderClass(std::uint32_t folder, const std::string& containerClass) {
  const auto it = folders_.find(folder);
  if (it != folders_.end()) it->second.containerClass = containerClass;
}

const std::string& StoreWriter::FolderClass(std::uint32_t folder) const {
  static const std::string kNone;
  const auto it = folders_.find(folder);
  return it != folders_.end() ? it->second.containerClass : kNone;
}

void StoreWriter::WritePc(std::uint32_t nid, std::uint32_t parent,
                          std::vector<PropertyValue> properties) {
  SubnodeIds ids;
  const WrittenNode w = WriteNodeContent(*ndb_, BuildPropertyContext(std::move(properties), ids, HidShift()));
  ndb_->AddNode(nid, w.bidData, w.bidSub, parent);
}

void StoreWriter::WriteTc(std::uint32_t nid, const std::vector<std::uint32_t>& tags,
                          const std::vector<TableRow>& rows) {
  SubnodeIds ids;
  const WrittenNode w = WriteNodeContent(*ndb_, BuildTableContext(tags, rows, ids, HidShift()));
  ndb_->AddNode(nid, w.bidData, w.bidSub, 0);
}

void StoreWriter::WriteContentsTable(std::uint32_t nid, const RowSpill::RefList& rows) {
  TableRow current;
  RowSpill::RefList::Cursor refs(rows, rows_);
  auto rowAt = [this, &refs, &current](std::size_t r) -> const TableRow& {
    const std::optional<RowSpill::Ref> ref = refs.At(r);
    std::optional<TableRow> row = ref ? rows_.Read(*ref) : std::nullopt;
    if (!row) {
      rowsLost_ = true;
      row = TableRow(ref ? ref->rowId : 0, {});
    }
    current = std::move(*row);
    return current;
  };
  SubnodeIds ids;
  const WrittenNode w =
      WriteTableContext(*ndb_, kContentsColumns, rows.size(), rowAt, ids, rows_, &rowsLost_);
  ndb_->AddNode(nid, w.bidData, w.bidSub, 0);
}

std::vector<PropertyValue> StoreWriter::MessageProperties(const MessageSpec& m, std::uint32_t nid) {
  std::uint32_t flags = m.read ? 0x01 : 0x00;
  if (!m.attachments.empty()) flags |= 0x10;
  std::size_t size = m.body.size() * 2 + m.subject.size() * 2 + (m.html ? m.html->size() : 0);
  for (const AttachmentSpec& a : m.attachments) size += a.data.size();
  auto joined = [&m](std::uint32_t type) {
    std::string names;
    for (const RecipientSpec& r : m.recipients) {
      if (r.type != type) continue;
      if (!names.empty()) names += "; ";
      names += r.name;
    }
    return names;
  };
  const Bytes searchKey = NextSearchKey(nid);
  std::string normalized;
  const Bytes subject = StoredSubject(m.subject, &normalized);
  std::vector<PropertyValue> props = {
      Text(0x001A, m.messageClass), {0x0037, 0x001F, subject}, Int(0x0E07, flags),
      Int(0x0E08, static_cast<std::uint32_t>(std::min<std::size_t>(size, 0x7FFFFFFF))),
      Int(0x0E17, 0), Binary(0x300B, searchKey), Int(0x0017, 1), Int(0x0036, 0), Int(0x0026, 0),
      Text(0x0070, normalized), Text(0x0E1D, normalized),
      Text(0x0E04, m.displayTo.value_or(joined(1))), Text(0x0E03, joined(2)),
      Text(0x0E02, joined(3))};
  // A message without a time has none, rather than 1 January 1601.
  for (auto [id, time] : {std::pair<std::uint16_t, std::uint64_t>{0x3007, m.submitTime},
                          {0x3008, m.deliveryTime}, {0x0039, m.submitTime}, {0x0E06, m.deliveryTime}}) {
    if (time != 0) props.push_back(Time(id, time));
  }
  if (!m.body.empty()) props.push_back(Text(0x1000, m.body));
  if (!m.receivedByAddress.empty()) props.push_back(Text(0x0076, m.receivedByAddress));
  if (!m.senderName.empty() || !m.senderAddress.empty()) {
    for (auto [name, address, type] :
         {std::tuple<std::uint16_t, std::uint16_t, std::uint16_t>{0x0C1A, 0x0C1F, 0x0C1E},
          {0x0042, 0x0065, 0x0064}}) {
      props.push_back(Text(name, m.senderName));
      if (m.senderAddress.empty()) continue;  // no address, no address type
      props.push_back(Text(address, m.senderAddress));
      props.push_back(Text(type, "SMTP"));
    }
  }
  if (m.html) {
    props.push_back(Binary(0x1013, *m.html));
    if (m.htmlCodePage != 0) props.push_back(Int(0x3FDE, m.htmlCodePage));
  }
  if (m.rtf) {
    // An uncompressed ("MELA") compressed-RTF stream: header, then the document.
    Bytes stream(16);
    StoreLe(stream, 0, m.rtf->size() + 12, 4);
    StoreLe(stream, 4, m.rtf->size(), 4);
    StoreLe(stream, 8, 0x414C454D, 4);
    stream.insert(stream.end(), m.rtf->begin(), m.rtf->end());
    props.push_back(Binary(0x1009, std::move(stream)));
    props.push_back(Bool(0x0E1F, true));
  }
  for (const PropertyValue& p : m.extra) props.push_back(p);
  return props;
}

Bytes StoreWriter::NextSearchKey(std::uint32_t nid) {
  Bytes searchKey(16);
  StoreLe(searchKey, 0, ++searchKeySeed_ * 0x9E3779B97F4A7C15ull, 8);
  StoreLe(searchKey, 8, nid, 4);
  return searchKey;
}

StoreWriter::MessageParts StoreWriter::SpecParts(const MessageSpec& m, std::uint32_t nid) {
  MessageParts parts;
  for (PropertyValue& p : MessageProperties(m, nid)) parts.properties.push_back(parts.Keep(std::move(p)));
  for (const RecipientSpec& r : m.recipients) {
    std::string upper = r.address;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    Bytes key;
    for (char c : "SMTP:" + upper) key.push_back(static_cast<std::byte>(c));
    key.push_back(std::byte{0});
    std::vector<PropertyView>& row = parts.recipients.emplace_back();
    for (PropertyValue& p : std::vector<PropertyValue>{
             Int(0x0C15, r.type), Bool(0x0E0F, true), Int(0x0FFE, 6), Text(0x3001, r.name),
             Text(0x3002, "SMTP"), Text(0x3003, r.address), Binary(0x300B, key), Int(0x3900, 0),
             Text(0x39FF, r.name), Bool(0x3A40, false)}) {
      row.push_back(parts.Keep(std::move(p)));
    }
  }
  for (const AttachmentSpec& a : m.attachments) {
    MessageParts::Attachment attachment;
    std::vector<PropertyValue> values = {Int(0x370B, 0xFFFFFFFF), Text(0x3704, a.fileName),
                                         Text(0x3707, a.fileName), Text(0x3001, a.fileName)};
    if (a.embedded) {
      attachment.message = std::make_unique<MessageParts>(SpecParts(*a.embedded, kEmbeddedNid));
    } else {
      values.push_back(Int(0x3705, 1));
      values.push_back(Int(0x0E20, static_cast<std::uint32_t>(a.data.size())));
      values.push_back(Text(0x3703, Extension(a.fileName)));
      values.push_back(Text(0x370E, a.mimeType));
    }
    for (PropertyValue& p : values) attachment.properties.push_back(parts.Keep(std::move(p)));
    // The data as given, after the file name (the order the properties are listed in).
    if (!a.embedded) {
      attachment.properties.insert(attachment.properties.begin() + 4, {0x3701, 0x0102, a.data});
    }
    for (const PropertyValue& p : a.extra) attachment.properties.push_back({p.id, p.type, p.value});
    parts.attachments.push_back(std::move(attachment));
  }
  return parts;
}

std::vector<PropertyView> StoreWriter::CopiedValues(const CopiedProperties& properties,
                                                    bool recipient) {
  std::vector<PropertyView> values;
  values.reserve(properties.size());
  for (const CopiedProperty& p : properties) {
    // A recipient's entry id names an address, not a node of the other store.
    const bool keep = recipient ? p.id != 0x67F2 && p.id != 0x67F3 && p.type != 0x000D
                                : !PointsIntoSourceStore(p.id, p.type);
    if (!p.name && (!keep || p.id >= 0x8000)) continue;  // an unnamed id of the named range
    const std::uint16_t id = p.name ? NamedPropertyId(*p.name) : p.id;
    if (id == 0 || (p.name && p.type == 0x000D)) continue;
    values.push_back({id, p.type, p.value});
  }
  return UniqueById(std::move(values));
}

StoreWriter::MessageParts StoreWriter::CopiedParts(const CopiedMessage& m, std::uint32_t nid) {
  MessageParts parts;
  parts.properties = CopiedValues(m.properties, false);
  std::uint64_t size = 0;
  for (const PropertyView& p : parts.properties) size += p.value.size();
  for (const CopiedProperties& row : m.recipients) parts.recipients.push_back(CopiedValues(row, true));
  for (const CopiedMessage::Attachment& a : m.attachments) {
    MessageParts::Attachment attachment;
    attachment.properties = CopiedValues(a.properties, false);
    for (const PropertyView& p : attachment.properties) size += p.value.size();
    if (a.message) attachment.message = std::make_unique<MessageParts>(CopiedParts(*a.message, kEmbeddedNid));
    parts.attachments.push_back(std::move(attachment));
  }
  // What the new store keeps for every message, where the source had nothing.
  std::vector<PropertyValue> defaults = {Text(0x001A, "IPM.Note"),
                                         Int(0x0E07, m.attachments.empty() ? 0x01 : 0x11),
                                         Binary(0x300B, NextSearchKey(nid))};
  for (PropertyValue& d : defaults) {
    if (std::none_of(parts.properties.begin(), parts.properties.end(),
                     [&d](const PropertyView& p) { return p.id == d.id; })) {
      parts.properties.push_back(parts.Keep(std::move(d)));
    }
  }
  parts.properties.push_back(parts.Keep(
      Int(0x0E08, static_cast<std::uint32_t>(std::min<std::uint64_t>(size, 0x7FFFFFFF)))));
  parts.properties = UniqueById(std::move(parts.properties));
  return parts;
}

WrittenNode StoreWriter::WriteParts(MessageParts& m) {
  // Subnodes: the recipient table, the attachment table and the attachments themselves.
  std::vector<SubnodeRecord> subnodes;
  // The recipient table's columns: whatever the rows hold, and the usual ones.
  const Tags recipientColumns = ColumnsOf(kRecipientColumns, {}, m.recipients);
  std::vector<TableRow> recipients;
  for (std::size_t i = 0; i < m.recipients.size(); ++i) {
    recipients.push_back(RowFrom(static_cast<std::uint32_t>(i), recipientColumns, m.recipients[i]));
  }
  // One id space for the message and its tables: a table's own subnodes (a large row matrix,
  // long values) are listed under the table and again among the message's subnodes, where
  // some readers look for them.
  SubnodeIds ids;
  auto shareTableSubnodes = [this, &subnodes](const WrittenNode& table) {
    for (const SubnodeRecord& r : table.subnodes) {
      ndb_->AddReference(r.bidData);
      subnodes.push_back(r);
    }
  };
  const WrittenNode recipientTable =
      WriteNodeContent(*ndb_, BuildTableContext(recipientColumns, recipients, ids, HidShift()));
  subnodes.push_back({0x692, recipientTable.bidData, recipientTable.bidSub});
  shareTableSubnodes(recipientTable);
  if (!m.attachments.empty()) {
    std::vector<std::vector<PropertyView>> held;
    for (const MessageParts::Attachment& a : m.attachments) held.push_back(a.properties);
    const Tags attachmentColumns = ColumnsOf(kAttachmentColumns, kAttachmentListingColumns, held);
    std::vector<TableRow> rows;
    for (std::size_t i = 0; i < m.attachments.size(); ++i) {
      MessageParts::Attachment& a = m.attachments[i];
      const auto attachmentNid = static_cast<std::uint32_t>(((0x400 + i) << 5) | 0x05);
      std::vector<PropertyView>& attachment = a.properties;
      std::vector<SubnodeRecord> own;
      if (a.message) {
        // The attached message is a node of the attachment's own subnodes.
        const WrittenNode e = WriteParts(*a.message);
        own.push_back({kEmbeddedNid, e.bidData, e.bidSub});
        Bytes object(8);
        StoreLe(object, 0, kEmbeddedNid, 4);
        StoreLe(object, 4, 1, 4);
        attachment.push_back(m.Keep({0x3701, 0x000D, object}));
        attachment.push_back(m.Keep(Int(0x3705, 5)));
        if (std::none_of(attachment.begin(), attachment.end(),
                         [](const PropertyView& p) { return p.id == 0x0E20; })) {
          attachment.push_back(m.Keep(Int(0x0E20, 1)));
        }
        attachment = UniqueById(std::move(attachment));
      }
      rows.push_back(RowFrom(attachmentNid, attachmentColumns, attachment));
      SubnodeIds attachmentIds;
      const WrittenNode w =
          WriteNodeContent(*ndb_, BuildPropertyContext(attachment, attachmentIds, HidShift()), own);
      subnodes.push_back({attachmentNid, w.bidData, w.bidSub});
    }
    const WrittenNode table =
        WriteNodeContent(*ndb_, BuildTableContext(attachmentColumns, rows, ids, HidShift()));
    subnodes.push_back({0x671, table.bidData, table.bidSub});
    shareTableSubnodes(table);
  }
  return WriteNodeContent(*ndb_, BuildPropertyContext(m.properties, ids, HidShift()), subnodes);
}

std::uint64_t StoreWriter::ProjectedSize() const {
  // A contents-table row takes a few hundred bytes; the slack is an allocation map interval where
  // the file is padded to whole intervals, one page where it is not.
  const Geometry& g = ndb_->layout();
  return ndb_->BytesWritten() + ndb_->IndexBytes() + messages_ * 400 +
         (g.pageMaps ? g.amapInterval : g.pageSize);
}

std::uint32_t StoreWriter::AddMessage(std::uint32_t folder, const MessageSpec& m) {
  const std::uint32_t nid = (++rgnid_[4] << 5) | 0x04;
  MessageParts parts = SpecParts(m, nid);
  return AddParts(folder, nid, parts);
}

std::uint32_t StoreWriter::AddCopiedMessage(std::uint32_t folder, const CopiedMessage& m) {
  const std::uint32_t nid = (++rgnid_[4] << 5) | 0x04;
  MessageParts parts = CopiedParts(m, nid);
  return AddParts(folder, nid, parts);
}

std::uint32_t StoreWriter::AddParts(std::uint32_t folder, std::uint32_t nid, MessageParts& m) {
  ++messages_;
  const WrittenNode w = WriteParts(m);
  ndb_->AddNode(nid, w.bidData, w.bidSub, folder);
  FolderState& f = folders_[folder];
  TableRow row = RowFrom(nid, kContentsColumns, ContentsValues(m.properties, m.made));
  // An unread message: its flags (the first cell of 0x0E07) lack the read bit.
  const auto flags = std::find_if(m.properties.begin(), m.properties.end(),
                                  [](const PropertyView& p) { return p.id == 0x0E07 && p.type == 0x0003; });
  if (flags != m.properties.end() && (LoadLe32(flags->value, 0).value_or(1) & 0x01) == 0) ++f.unread;
  f.contents.Add(rows_, rows_.Add(row));
  return nid;
}

std::uint32_t StoreWriter::AddContact(std::uint32_t folder, const Contact& c) {
  MessageSpec m;
  m.messageClass = "IPM.Contact";
  m.subject = c.displayName;
  m.extra = {Text(0x3001, c.displayName), Text(0x3A06, c.givenName), Text(0x3A11, c.surname),
             Text(0x3A16, c.company), Text(0x3A08, c.businessPhone), Text(0x3A1C, c.mobilePhone),
             Text(NamedPropertyId(kPsetidAddress, 0x8005), c.displayName),
             Text(NamedPropertyId(kPsetidAddress, 0x8080), c.displayName),
             Text(NamedPropertyId(kPsetidAddress, 0x8082), "SMTP"),
             Text(NamedPropertyId(kPsetidAddress, 0x8083), c.email),
             Text(NamedPropertyId(kPsetidAddress, 0x8084), c.email)};
  return AddMessage(folder, m);
}

std::uint32_t StoreWriter::AddAppointment(std::uint32_t folder, const Appointment& a) {
  MessageSpec m;
  m.messageClass = "IPM.Appointment";
  m.subject = a.subject;
  m.body = a.body;
  m.submitTime = m.deliveryTime = a.start;
  const auto minutes = static_cast<std::uint32_t>((a.end - a.start) / 600000000ull);
  m.extra = {Time(0x0060, a.start), Time(0x0061, a.end),
             Time(NamedPropertyId(kPsetidAppointment, 0x820D), a.start),
             Time(NamedPropertyId(kPsetidAppointment, 0x820E), a.end),
             Time(NamedPropertyId(kPsetidAppointment, 0x8235), a.start),
             Time(NamedPropertyId(kPsetidAppointment, 0x8236), a.end),
             Text(NamedPropertyId(kPsetidAppointment, 0x8208), a.location),
             Int(NamedPropertyId(kPsetidAppointment, 0x8213), minutes),
             Int(NamedPropertyId(kPsetidAppointment, 0x8205), 2),
             Bool(NamedPropertyId(kPsetidAppointment, 0x8215), a.allDay),
             Bool(NamedPropertyId(kPsetidAppointment, 0x8223), false),
             Int(NamedPropertyId(kPsetidAppointment, 0x8217), 0),
             Time(NamedPropertyId(kPsetidCommon, 0x8516), a.start),
             Time(NamedPropertyId(kPsetidCommon, 0x8517), a.end),
             Bool(NamedPropertyId(kPsetidCommon, 0x8503), false)};
  return AddMessage(folder, m);
}

std::uint32_t StoreWriter::AddTask(std::uint32_t folder, const Task& t) {
  MessageSpec m;
  m.messageClass = "IPM.Task";
  m.subject = t.subject;
  m.body = t.body;
  m.submitTime = m.deliveryTime = t.start;
  Bytes percent(8);
  std::memcpy(percent.data(), &t.percentComplete, 8);
  m.extra = {Int(NamedPropertyId(kPsetidTask, 0x8101), t.percentComplete >= 1.0 ? 2 : 0),
             {NamedPropertyId(kPsetidTask, 0x8102), 0x0005, percent},
             Time(NamedPropertyId(kPsetidTask, 0x8104), t.start),
             Time(NamedPropertyId(kPsetidTask, 0x8105), t.due),
             Bool(NamedPropertyId(kPsetidTask, 0x811C), t.percentComplete >= 1.0),
             Bool(NamedPropertyId(kPsetidTask, 0x8126), false),
             Int(NamedPropertyId(kPsetidTask, 0x8129), 0),
             Time(NamedPropertyId(kPsetidCommon, 0x8516), t.start),
             Time(NamedPropertyId(kPsetidCommon, 0x8517), t.due),
             Bool(NamedPropertyId(kPsetidCommon, 0x8503), false),
             Int(NamedPropertyId(kPsetidCommon, 0x8518), 0)};
  if (!t.commonName.empty()) m.extra.push_back(Text(0x3A0F, t.commonName));
  return AddMessage(folder, m);
}

std::uint32_t StoreWriter::AddNote(std::uint32_t folder, const std::string& text,
                                   std::uint64_t time) {
  MessageSpec m;
  m.messageClass = "IPM.StickyNote";
  m.subject = text.substr(0, text.find('\n'));
  m.body = text;
  m.submitTime = m.deliveryTime = time;
  return AddMessage(folder, m);
}

std::uint32_t StoreWriter::AddJournalEntry(std::uint32_t folder, const std::string& subject,
                                           const std::string& type, std::uint64_t start) {
  MessageSpec m;
  m.messageClass = "IPM.Activity";
  m.subject = subject;
  m.submitTime = m.deliveryTime = start;
  m.extra = {Text(NamedPropertyId(kPsetidLog, 0x8700), type),
             Time(NamedPropertyId(kPsetidLog, 0x8706), start)};
  return AddMessage(folder, m);
}

TableRow StoreWriter::HierarchyRow(const FolderState& f) const {
  std::vector<PropertyValue> props = {
      Text(0x3001, f.name), Int(0x3602, static_cast<std::uint32_t>(f.contents.size())),
      Int(0x3603, static_cast<std::uint32_t>(f.unread)), Bool(0x360A, !f.children.empty()),
      Int(0x6635, 0), Int(0x6636, 0)};
  if (!f.containerClass.empty()) props.push_back(Text(0x3613, f.containerClass));
  return RowFrom(f.nid, kHierarchyColumns, props);
}

void StoreWriter::WriteFolder(const FolderState& f) {
  std::vector<PropertyValue> props = {Text(0x3001, f.name),
                                      Int(0x3602, static_cast<std::uint32_t>(f.contents.size())),
                                      Int(0x3603, static_cast<std::uint32_t>(f.unread)),
                                      Bool(0x360A, !f.children.empty())};
  if (!f.containerClass.empty()) props.push_back(Text(0x3613, f.containerClass));
  WritePc(f.nid, f.parent, props);
  const std::uint32_t base = f.nid & ~0x1Fu;
  if ((f.nid & 0x1F) == 0x03) {
    // A search folder: its update queue (empty), its criteria, and its contents table.
    ndb_->AddNode(base | 0x06, 0, 0, 0);
    WritePc(base | 0x07, 0, {Int(0x660B, 0)});
    WriteTc(base | 0x10, kSearchContentsColumns, {});
    return;
  }
  std::vector<TableRow> hierarchy;
  for (std::uint32_t child : f.children) hierarchy.push_back(HierarchyRow(folders_.at(child)));
  WriteTc(base | 0x0D, kHierarchyColumns, hierarchy);
  WriteContentsTable(base | 0x0E, f.contents);
  WriteTc(base | 0x0F, kAssociatedColumns, {});
}

void StoreWriter::WriteNameToIdMap() {
  // PS_MAPI and PS_PUBLIC_STRINGS have the fixed indexes 1 and 2; other sets are numbered
  // from 3 in the GUID stream.
  std::vector<std::array<std::uint8_t, 16>> guids;
  Bytes guidStream, entryStream, stringStream;
  std::map<std::uint32_t, Bytes> buckets;
  for (std::size_t k = 0; k < named_.size(); ++k) {
    const PropertyName& n = named_[k];
    std::uint32_t guidIndex = 0;
    if (n.guid == property_set::kMapi) {
      guidIndex = 1;
    } else if (n.guid == property_set::kPublicStrings) {
      guidIndex = 2;
    } else {
      auto it = std::find(guids.begin(), guids.end(), n.guid);
      if (it == guids.end()) {
        guids.push_back(n.guid);
        for (std::uint8_t b : n.guid) guidStream.push_back(static_cast<std::byte>(b));
        it = guids.end() - 1;
      }
      guidIndex = static_cast<std::uint32_t>(3 + (it - guids.begin()));
    }
    const std::uint16_t word = static_cast<std::uint16_t>((guidIndex << 1) | (n.name ? 1 : 0));
    std::uint32_t entryId = n.lid;   // the entry stream: the number, or the name's offset
    std::uint32_t bucketId = n.lid;  // the hash buckets: the number, or the name's CRC
    if (n.name) {
      const Bytes name = Utf16Value(*n.name);
      entryId = static_cast<std::uint32_t>(stringStream.size());
      bucketId = ComputeCrc(name);
      Bytes length(4);
      StoreLe(length, 0, name.size(), 4);
      stringStream.insert(stringStream.end(), length.begin(), length.end());
      stringStream.insert(stringStream.end(), name.begin(), name.end());
      while (stringStream.size() % 4 != 0) stringStream.push_back(std::byte{0});
    }
    Bytes record(8);
    StoreLe(record, 0, entryId, 4);
    StoreLe(record, 4, word, 2);
    StoreLe(record, 6, k, 2);
    entryStream.insert(entryStream.end(), record.begin(), record.end());
    StoreLe(record, 0, bucketId, 4);
    Bytes& bucket = buckets[(bucketId ^ word) % 251];
    bucket.insert(bucket.end(), record.begin(), record.end());
  }
  std::vector<PropertyValue> props = {Int(0x0001, 251), Binary(0x0002, guidStream),
                                      Binary(0x0003, entryStream), Binary(0x0004, stringStream)};
  for (auto& [b, records] : buckets) props.push_back(Binary(static_cast<std::uint16_t>(0x1000 + b), records));
  WritePc(kNidNameToIdMap, 0, props);
}

void StoreWriter::WriteFixedNodes() {
  auto entryId = [this](std::uint32_t nid) {
    Bytes id(24);
    for (std::size_t i = 0; i < 16; ++i) id[4 + i] = static_cast<std::byte>(storeUid_[i]);
    StoreLe(id, 20, nid, 4);
    return id;
  };
  Bytes uid(storeUid_.size());
  for (std::size_t i = 0; i < uid.size(); ++i) uid[i] = static_cast<std::byte>(storeUid_[i]);
  WritePc(kNidMessageStore, 0,
          {Binary(0x0FF9, uid), Text(0x3001, displayName_), Binary(0x35E0, entryId(kNidIpmSubtree)),
           Binary(0x35E3, entryId(kNidDeletedItems)), Binary(0x35E7, entryId(kNidSearchRoot)),
           Binary(0x35E6, entryId(kNidCommonViews)), Int(0x35DF, 0xC9), Int(0x67FF, 0),
           Bool(0x6633, true)});
  WriteTc(0x60D, kHierarchyColumns, {});
  WriteTc(0x60E, kContentsColumns, {});
  WriteTc(0x60F, kAssociatedColumns, {});
  WriteTc(0x610, kSearchContentsColumns, {});
  WriteTc(0x671, kAttachmentColumns, {});
  WriteTc(0x692, kRecipientColumns, {});
  // The receive-folder table: every message class goes to the root folder.
  TableRow receive;
  receive.rowId = 1;
  receive.AddCell(ByteSpan{});
  receive.AddCell(IntValue(kNidRootFolder, 4));
  WriteTc(0x62B, {0x001A001F, 0x66050003}, {receive});
  WriteTc(0x64C, {0x00390040, 0x0E100003, 0x0E140003}, {});
  for (std::uint32_t nid : {0x1E1u, 0x261u}) ndb_->AddNode(nid, 0, 0, 0);
  // The search activity list: the nids of the store's search folders.
  ndb_->AddNode(0x201, ndb_->WriteData(IntValue(kNidSpamSearchFolder, 4)), 0, 0);
}

Status StoreWriter::Finish() {
  WriteFixedNodes();
  WriteNameToIdMap();
  for (const auto& [nid, folder] : folders_) WriteFolder(folder);
  ndb_->SetNidCounters(rgnid_);
  Status finished = ndb_->Finish();
  if (finished.ok() && rowsLost_) {
    return Status::Error("the rows of a folder's contents table could not be read back");
  }
  return finished;
}

}  // namespace palvara
