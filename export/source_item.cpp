#include "export/source_item.h"

#include <algorithm>

#include "reader/named_properties.h"

namespace palvara {
namespace {

constexpr std::uint32_t kRecipientTableNid = 0x692;
constexpr std::uint32_t kAttachmentTableNid = 0x671;
constexpr std::uint16_t kRowIdTag = 0x67F2;

// A table read without the message's subnodes leaves the values held there unread, each with
// its subnode id as reference: they are read now, as a read with those subnodes would have.
void ReadMissingValues(StoreFile& store, const SubnodeList& subnodes, PropertyList& rows) {
  for (PropertyList* row = &rows; row != nullptr; row = row->next.get()) {
    for (PropertyEntry& e : row->entries) {
      if (e.value || e.type == 0x000D || (e.reference & 0xF) != 0xF) continue;
      e.value = ReadSubnodeValue(store, e.reference, subnodes);
    }
  }
}

}  // namespace

SourceItemReader::SourceItemReader(StoreFile& store) : store_(store) {}

CopiedProperties SourceItemReader::Convert(PropertyList& list) const {
  CopiedProperties out;
  out.reserve(list.entries.size() + list.emptyValues.size());
  for (auto* entries : {&list.entries, &list.emptyValues}) {
    for (PropertyEntry& e : *entries) {
      // Unreadable, a type that is not read, or an object (its node is copied on its own).
      if (!e.value || e.type == 0x000D) continue;
      std::optional<PropertyName> name;
      if (e.tag >= 0x8000) {
        // Named: carried by its name; without a known name it cannot be placed and is dropped.
        const NamedPropertyMapping* m = e.named;
        if (m == nullptr || !m->propertySet) continue;
        name.emplace();
        name->guid = *m->propertySet;
        if (m->kind == 2) {
          if (!m->name) continue;
          name->name = *m->name;
        } else {
          name->lid = m->numericName;
        }
      }
      out.push_back(CopiedProperty{e.tag, e.type, std::move(*e.value), std::move(name)});
    }
  }
  return out;
}

std::vector<CopiedProperties> SourceItemReader::TableRows(const SubnodeList& subnodes,
                                                          std::uint32_t nid,
                                                          std::unique_ptr<PropertyList> kept) {
  std::vector<CopiedProperties> rows;
  const SubnodeEntry* table = FindSubnodeEntry(subnodes, nid);
  if (table == nullptr) return rows;
  std::unique_ptr<PropertyList> list;
  if (kept) {
    // Read with the table's own subnodes; one without them finds its long values among the
    // message's.
    if (table->subnodes == nullptr) ReadMissingValues(store_, subnodes, *kept);
    list = std::move(kept);
  } else {
    SubnodeList own;
    list = table->subnodes != nullptr ? ReadSubnodePropertyList(store_, *table, own)
                                      : ReadPropertyList(store_, table->data, subnodes);
  }
  // The rows come last first.
  for (PropertyList* row = list.get(); row != nullptr; row = row->next.get()) {
    rows.push_back(Convert(*row));
  }
  std::reverse(rows.begin(), rows.end());
  return rows;
}

std::shared_ptr<CopiedMessage> SourceItemReader::Build(PropertyList& list,
                                                       const SubnodeList& subnodes, int depth,
                                                       ItemLists* kept) {
  auto message = std::make_shared<CopiedMessage>();
  message->properties = Convert(list);
  message->recipients = TableRows(subnodes, kRecipientTableNid);
  for (const CopiedProperties& row :
       TableRows(subnodes, kAttachmentTableNid, kept ? std::move(kept->attachmentRows) : nullptr)) {
    const auto rowId = std::find_if(row.begin(), row.end(), [](const CopiedProperty& p) {
      return !p.name && p.id == kRowIdTag && p.value.size() >= 4;
    });
    if (rowId == row.end()) continue;
    const SubnodeEntry* entry = FindSubnodeEntry(subnodes, *LoadLe32(rowId->value, 0));
    if (entry == nullptr) continue;
    SubnodeList own;
    std::unique_ptr<PropertyList> properties;
    // Each attachment LoadItem read is taken once; a second row naming the same one reads it.
    const auto read = kept ? std::find_if(kept->attachments.begin(), kept->attachments.end(),
                                          [entry](const ItemLists::Attachment& a) {
                                            return a.entry == entry && a.properties;
                                          })
                           : std::vector<ItemLists::Attachment>::iterator();
    if (kept && read != kept->attachments.end()) {
      own = std::move(read->own);
      properties = std::move(read->properties);
    } else {
      properties = ReadSubnodePropertyList(store_, *entry, own);
    }
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
  ItemLists lists;
  if (node.subnodeBlock != nullptr) ReadSubnodes(store_, node.subnodeBlock, lists.subnodes);
  lists.properties = ReadPropertyList(store_, node.dataBlock, lists.subnodes);
  const std::unique_ptr<PropertyList>& list = lists.properties;
  if (!list || list->rowCount != 1 || list->next) return nullptr;
  return Build(*list, lists.subnodes, 0);
}

std::shared_ptr<const CopiedMessage> SourceItemReader::Read(ItemLists& lists) {
  const std::unique_ptr<PropertyList>& list = lists.properties;
  if (!list || list->rowCount != 1 || list->next) return nullptr;
  return Build(*list, lists.subnodes, 0, &lists);
}

}  // namespace palvara
