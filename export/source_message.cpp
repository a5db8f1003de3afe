#include "export/source_message.h"

#include <algorithm>
#include <span>

#include "common/text.h"
#include "items/mapping.h"
#include "reader/node_tree.h"

namespace palvara {
namespace {

constexpr std::uint32_t kRecipientTableNid = 0x692;
constexpr std::uint32_t kAttachmentTableNid = 0x671;
constexpr std::uint16_t kAttachData = 0x3701;
constexpr std::uint16_t kAttachMethod = 0x3705;
constexpr int kAttachOle = 6;

// Rows come newest first; the table's order is the reverse.
std::vector<const PropertyList*> RowsInOrder(const PropertyList* rows) {
  std::vector<const PropertyList*> ordered;
  for (const PropertyList* row = rows; row != nullptr; row = row->next.get()) ordered.push_back(row);
  return {ordered.rbegin(), ordered.rend()};
}

std::unique_ptr<SourceMessage> ReadMessage(StoreFile& store, std::unique_ptr<PropertyList> list,
                                           const SubnodeList& subnodes, int depth);
void AddRecipient(const PropertyReader& p, SourceMessage& m);

// What an attachment's own properties say of it, its data aside.
SourceAttachment AttachmentFields(const PropertyReader& p) {
  SourceAttachment a;
  a.fileName = p.Text(0x3707).value_or(p.Text(0x3001).value_or(p.Text(0x3704).value_or("")));
  if (a.fileName.empty()) a.fileName = p.Text(0x3704).value_or("");
  a.mimeType = p.Text(0x370E).value_or("");
  a.contentId = p.Text(0x3712).value_or("");
  a.method = static_cast<int>(p.Integer(kAttachMethod).value_or(1));
  a.hidden = p.Integer(0x7FFE).value_or(0) != 0;
  a.contactPhoto = p.Integer(0x7FFF).value_or(0) != 0;
  return a;
}

// The properties a recipient row and an attachment are read for (see AddRecipient and
// AttachmentFields).
constexpr std::uint32_t kRecipientIds[] = {0x0C15, 0x3001, 0x5FF6, 0x3003, 0x39FE};
constexpr std::uint32_t kAttachmentIds[] = {0x3707, 0x3001, 0x3704, 0x370E,
                                            0x3712, kAttachMethod, 0x7FFE, 0x7FFF};

// Properties of an item read whole, listed as the reader lists them: named ones under their
// number (or 2 for a name), empty values apart. With `only` given, just the properties listed
// under those ids are copied (a table row or an attachment is read for a few).
std::unique_ptr<PropertyList> ListOf(const StoreFile& store, const CopiedProperties& properties,
                                     std::span<const std::uint32_t> only = {}) {
  auto list = std::make_unique<PropertyList>();
  for (const CopiedProperty& p : properties) {
    PropertyEntry e;
    e.id = e.tag = p.id;
    if (const NamedPropertyMapping* named = store.namedProperties.Find(p.id)) {
      e.named = named;
      e.id = named->kind == 1 ? named->numericName : 2;
      if (named->kind != 1 && named->name) e.name = &*named->name;
    }
    if (!only.empty() && std::find(only.begin(), only.end(), e.id) == only.end()) continue;
    e.type = p.type;
    e.reference = p.type;
    e.value = p.value;
    const bool fixedSize = p.type <= 0x0007 || p.type == 0x000A || p.type == 0x000B ||
                           p.type == 0x0014 || p.type == 0x0040;
    (p.value.empty() && !fixedSize ? list->emptyValues : list->entries).push_back(std::move(e));
  }
  return list;
}

// An OLE object's storage is not part of an item read whole; such an item is read again.
bool LacksObjectData(const CopiedMessage& item) {
  for (const CopiedMessage::Attachment& a : item.attachments) {
    const auto has = [&a](std::uint16_t id) {
      return std::any_of(a.properties.begin(), a.properties.end(),
                         [id](const CopiedProperty& p) { return !p.name && p.id == id; });
    };
    if (!a.message && !has(kAttachData) && has(kAttachMethod)) {
      const auto method = std::find_if(a.properties.begin(), a.properties.end(),
                                       [](const CopiedProperty& p) { return !p.name && p.id == kAttachMethod; });
      if (LoadLe32(method->value, 0).value_or(0) == kAttachOle) return true;
    }
    if (a.message && LacksObjectData(*a.message)) return true;
  }
  return false;
}

// `mapped`: the record the mail fields are borrowed from instead of mapping them, or null.
std::unique_ptr<SourceMessage> MessageOf(StoreFile& store, const CopiedMessage& item,
                                         const MapContext& context, ItemRecord* mapped = nullptr) {
  auto m = std::make_unique<SourceMessage>();
  m->unicodeStore = !store.IsAnsi();
  m->properties = ListOf(store, item.properties);
  if (mapped != nullptr) {
    m->record.mail = std::move(mapped->mail);
    m->record.codePage = mapped->codePage;
    m->lender = mapped;
  } else {
    MapProperties(m->properties.get(), &m->record, context);
  }
  for (const CopiedProperties& row : item.recipients) {
    const std::unique_ptr<PropertyList> list = ListOf(store, row, kRecipientIds);
    AddRecipient(PropertyReader(list.get(), m->unicodeStore, m->record.codePage), *m);
  }
  for (const CopiedMessage::Attachment& attachment : item.attachments) {
    const std::unique_ptr<PropertyList> list = ListOf(store, attachment.properties, kAttachmentIds);
    SourceAttachment a = AttachmentFields(PropertyReader(list.get(), m->unicodeStore, m->record.codePage));
    if (attachment.message) {
      a.message = MessageOf(store, *attachment.message, context);
    } else if (a.method == 5) {
      continue;  // Tolerant: an attached message that cannot be read is left out.
    } else {
      const auto data = std::find_if(attachment.properties.begin(), attachment.properties.end(),
                                     [](const CopiedProperty& p) { return !p.name && p.id == kAttachData; });
      if (data != attachment.properties.end()) a.data = data->value;
    }
    m->attachments.push_back(std::move(a));
  }
  return m;
}

// A recipient row, unless it names nobody.
void AddRecipient(const PropertyReader& p, SourceMessage& m) {
  SourceRecipient r;
  r.type = static_cast<int>(p.Integer(0x0C15).value_or(1) & 0xF);
  if (r.type < 1 || r.type > 3) r.type = 1;
  r.name = p.Text(0x3001).value_or(p.Text(0x5FF6).value_or(""));
  const std::string address = p.Text(0x3003).value_or("");
  r.address = p.Text(0x39FE).value_or(address);
  if (r.address.find('@') == std::string::npos && address.find('@') != std::string::npos) {
    r.address = address;
  }
  if (!r.name.empty() || !r.address.empty()) m.recipients.push_back(std::move(r));
}

void ReadRecipients(StoreFile& store, const SubnodeList& subnodes, SourceMessage& m) {
  const SubnodeEntry* table = FindSubnodeEntry(subnodes, kRecipientTableNid);
  if (table == nullptr) return;
  SubnodeList own;
  const std::unique_ptr<PropertyList> rows = ReadSubnodePropertyList(store, *table, own);
  for (const PropertyList* row : RowsInOrder(rows.get())) {
    AddRecipient(PropertyReader(row, m.unicodeStore, m.record.codePage), m);
  }
}

void ReadAttachments(StoreFile& store, const SubnodeList& subnodes, SourceMessage& m, int depth) {
  const SubnodeEntry* table = FindSubnodeEntry(subnodes, kAttachmentTableNid);
  if (table == nullptr) return;
  SubnodeList tableSubnodes;
  const std::unique_ptr<PropertyList> rows = ReadSubnodePropertyList(store, *table, tableSubnodes);
  for (const PropertyList* row : RowsInOrder(rows.get())) {
    const PropertyEntry* rowId = row->Find(0x67F2);
    if (rowId == nullptr || !rowId->value) continue;
    const SubnodeEntry* entry = FindSubnodeEntry(subnodes, LoadLe32(*rowId->value, 0).value_or(0));
    if (entry == nullptr) continue;
    SubnodeList own;
    const std::unique_ptr<PropertyList> list = ReadSubnodePropertyList(store, *entry, own);
    if (!list) continue;
    SourceAttachment a = AttachmentFields(PropertyReader(list.get(), m.unicodeStore, m.record.codePage));
    const PropertyEntry* data = list->Find(kAttachData);
    if (data != nullptr && data->type == 0x000D && a.method == 5) {
      const SubnodeEntry* inner = FindSubnodeEntry(own, data->reference);
      if (inner != nullptr && depth > 0) {
        SubnodeList innerSubnodes;
        auto innerList = ReadSubnodePropertyList(store, *inner, innerSubnodes);
        if (innerList) a.message = ReadMessage(store, std::move(innerList), innerSubnodes, depth - 1);
      }
      // Tolerant: an attached message that cannot be read is left out, not written empty.
      if (!a.message) continue;
    } else if (data != nullptr && data->value) {
      a.ownData = *data->value;
    } else if (data != nullptr && data->reference != 0) {
      // A value kept in a subnode of its own (an OLE object's storage among them).
      a.ownData = ReadSubnodeValue(store, data->reference, own).value_or(Bytes{});
    }
    a.data = a.ownData;
    m.attachments.push_back(std::move(a));
  }
}

std::unique_ptr<SourceMessage> ReadMessage(StoreFile& store, std::unique_ptr<PropertyList> list,
                                           const SubnodeList& subnodes, int depth) {
  auto m = std::make_unique<SourceMessage>();
  m->unicodeStore = !store.IsAnsi();
  MapProperties(list.get(), &m->record, MapContextFor(store));
  m->properties = std::move(list);
  ReadRecipients(store, subnodes, *m);
  ReadAttachments(store, subnodes, *m, depth);
  return m;
}

}  // namespace

const PropertyEntry* PropertyReader::Find(std::uint32_t id) const {
  if (list_ == nullptr) return nullptr;
  const PropertyEntry* found = nullptr;
  for (const PropertyEntry& e : list_->entries) {
    // A number from 0x8000 up is a named property's number: only named properties carry it.
    if (e.id == id && e.value && (id < 0x8000 || e.tag >= 0x8000)) found = &e;
  }
  return found;
}

std::optional<std::string> PropertyReader::Text(std::uint32_t id) const {
  const PropertyEntry* e = Find(id);
  if (e == nullptr) return std::nullopt;
  if (e->type == 0x001F || (e->type != 0x001E && unicodeStore_)) return Utf16LeToUtf8(*e->value);
  if (e->type == 0x001E) return CodePageToUtf8(*e->value, codePage_);
  return std::nullopt;
}

std::optional<std::int64_t> PropertyReader::Integer(std::uint32_t id) const {
  const PropertyEntry* e = Find(id);
  if (e == nullptr) return std::nullopt;
  switch (e->type) {
    case 0x0002: return static_cast<std::int16_t>(LoadLe16(*e->value, 0).value_or(0));
    case 0x000B: return ByteAt(*e->value, 0) != 0 ? 1 : 0;
    case 0x0003: return static_cast<std::int32_t>(LoadLe32(*e->value, 0).value_or(0));
    case 0x0014: return static_cast<std::int64_t>(LoadLe64(*e->value, 0).value_or(0));
    default: return std::nullopt;
  }
}

std::optional<std::uint64_t> PropertyReader::Time(std::uint32_t id) const {
  const PropertyEntry* e = Find(id);
  if (e == nullptr || e->type != 0x0040) return std::nullopt;
  return LoadLe64(*e->value, 0);
}

const Bytes* PropertyReader::Binary(std::uint32_t id) const {
  const PropertyEntry* e = Find(id);
  return e != nullptr && e->type == 0x0102 ? &*e->value : nullptr;
}

std::unique_ptr<SourceMessage> ReadSourceMessage(StoreFile& store, const StoreNode& node,
                                                 int depth) {
  if (node.dataBlock == nullptr) return nullptr;
  SubnodeList subnodes;
  if (node.subnodeBlock != nullptr) ReadSubnodes(store, node.subnodeBlock, subnodes);
  auto list = ReadPropertyList(store, node.dataBlock, subnodes);
  if (!list) return nullptr;
  return ReadMessage(store, std::move(list), subnodes, depth);
}

SourceMessage::~SourceMessage() {
  if (lender != nullptr) lender->mail = std::move(record.mail);
}

std::unique_ptr<SourceMessage> SourceMessageOf(StoreFile& store, const StoreNode& node,
                                               const CopiedMessage* item, const MapContext& context,
                                               ItemRecord* mapped) {
  if (item == nullptr || LacksObjectData(*item)) return ReadSourceMessage(store, node);
  return MessageOf(store, *item, context, mapped);
}

}  // namespace palvara
