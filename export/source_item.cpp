#include "export/source_item.h"

#include <algorithm>

#include "reader/btree_walk.h"
#include "reader/named_properties.h"

namespace palvara {
namespace {

constexpr std::uint32_t kNameToIdMapNid = 0x61;
constexpr std::uint32_t kRecipientTableNid = 0x692;
constexpr std::uint32_t kAttachmentTableNid = 0x671;
constexpr std::uint16_t kRowIdTag = 0x67F2;

constexpr std::array<std::uint8_t, 16> kPsMapi = {0x28, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                  0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr std::array<std::uint8_t, 16> kPsPublicStrings = {0x29, 0x03, 0x02, 0x00, 0x00, 0x00,
                                                           0x00, 0x00, 0xC0, 0x00, 0x00, 0x00,
                                                           0x00, 0x00, 0x00, 0x46};

}  // namespace

SourceItemReader::SourceItemReader(StoreFile& store) : store_(store) {
  const StoreNode* node = FindNode(store, kNameToIdMapNid);
  if (node == nullptr || node->dataBlock == nullptr) return;
  SubnodeList subnodes;
  if (node->subnodeBlock != nullptr) ReadSubnodes(store, node->subnodeBlock, subnodes);
  const std::unique_ptr<PropertyList> list = ReadPropertyList(store, node->dataBlock, subnodes);
  const PropertyEntry* stream = list ? list->Find(0x0002) : nullptr;
  if (stream == nullptr || !stream->value) return;
  for (std::size_t at = 0; at + 16 <= stream->value->size(); at += 16) {
    std::array<std::uint8_t, 16> guid{};
    for (std::size_t i = 0; i < 16; ++i) guid[i] = static_cast<std::uint8_t>((*stream->value)[at + i]);
    guids_.push_back(guid);
  }
}

CopiedProperties SourceItemReader::Convert(const PropertyList& list) const {
  CopiedProperties out;
  std::vector<const PropertyEntry*> entries;
  for (const PropertyEntry& e : list.entries) entries.push_back(&e);
  for (const PropertyEntry& e : list.emptyValues) entries.push_back(&e);
  for (const PropertyEntry* entry : entries) {
    const PropertyEntry& e = *entry;
    // Unreadable, a type that is not read, or an object (its node is copied on its own).
    if (!e.value || e.type == 0x000D) continue;
    CopiedProperty p{e.tag, e.type, *e.value, std::nullopt};
    if (e.tag >= 0x8000) {
      // Named: carried by its name; without a known name it cannot be placed and is dropped.
      const NamedPropertyMapping* m = store_.namedProperties.Find(e.tag);
      if (m == nullptr) continue;
      const std::uint32_t index = m->guidWord >> 1;
      PropertyName name;
      if (index == 1) {
        name.guid = kPsMapi;
      } else if (index == 2) {
        name.guid = kPsPublicStrings;
      } else if (index >= 3 && index - 3 < guids_.size()) {
        name.guid = guids_[index - 3];
      } else {
        continue;
      }
      if (m->kind == 2) {
        if (!m->name) continue;
        name.name = *m->name;
      } else {
        name.lid = m->numericName;
      }
      p.name = std::move(name);
    }
    out.push_back(std::move(p));
  }
  return out;
}

std::vector<CopiedProperties> SourceItemReader::TableRows(const SubnodeList& subnodes,
                                                          std::uint32_t nid) {
  std::vector<CopiedProperties> rows;
  const SubnodeEntry* table = FindSubnodeEntry(subnodes, nid);
  if (table == nullptr) return rows;
  SubnodeList own;
  // A table without subnodes of its own finds its long values among the message's.
  std::unique_ptr<PropertyList> list = table->subnodes != nullptr
                                           ? ReadSubnodePropertyList(store_, *table, own)
                                           : ReadPropertyList(store_, table->data, subnodes);
  // The rows come last first.
  for (const PropertyList* row = list.get(); row != nullptr; row = row->next.get()) {
    rows.push_back(Convert(*row));
  }
  std::reverse(rows.begin(), rows.end());
  return rows;
}

std::shared_ptr<CopiedMessage> SourceItemReader::Build(const PropertyList& list,
                                                       const SubnodeList& subnodes, int depth) {
  auto message = std::make_shared<CopiedMessage>();
  message->properties = Convert(list);
  message->recipients = TableRows(subnodes, kRecipientTableNid);
  for (const CopiedProperties& row : TableRows(subnodes, kAttachmentTableNid)) {
    const auto rowId = std::find_if(row.begin(), row.end(), [](const CopiedProperty& p) {
      return !p.name && p.id == kRowIdTag && p.value.size() >= 4;
    });
    if (rowId == row.end()) continue;
    const SubnodeEntry* entry = FindSubnodeEntry(subnodes, *LoadLe32(rowId->value, 0));
    if (entry == nullptr) continue;
    SubnodeList own;
    const std::unique_ptr<PropertyList> properties = ReadSubnodePropertyList(store_, *entry, own);
    if (!properties) continue;
    CopiedMessage::Attachment attachment;
    attachment.properties = Convert(*properties);
    const PropertyEntry* object = properties->Find(0x3701);
    if (object != nullptr && object->type == 0x000D && depth < kMaxDepth) {
      // An attached message: a node among the attachment's own subnodes.
      if (const SubnodeEntry* embedded = FindSubnodeEntry(own, object->reference)) {
        SubnodeList inner;
        if (const auto embeddedList = ReadSubnodePropertyList(store_, *embedded, inner)) {
          attachment.message = Build(*embeddedList, inner, depth + 1);
        }
      }
    }
    message->attachments.push_back(std::move(attachment));
  }
  return message;
}

std::shared_ptr<const CopiedMessage> SourceItemReader::Read(const StoreNode& node) {
  if (node.dataBlock == nullptr) return nullptr;
  SubnodeList subnodes;
  if (node.subnodeBlock != nullptr) ReadSubnodes(store_, node.subnodeBlock, subnodes);
  const std::unique_ptr<PropertyList> list = ReadPropertyList(store_, node.dataBlock, subnodes);
  if (!list || list->rowCount != 1 || list->next) return nullptr;
  return Build(*list, subnodes, 0);
}

}  // namespace palvara
