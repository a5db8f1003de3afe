#include "writer/messaging_check.h"

#include <algorithm>
#include <map>
#include <memory>
#include <set>

#include "common/damage.h"
#include "reader/block_access.h"
#include "reader/btree_walk.h"
#include "reader/byte_source.h"
#include "reader/crc.h"
#include "reader/property_list.h"
#include "writer/ltp_check.h"
#include "writer/table_templates.h"

namespace palvara {
namespace {

constexpr auto kError = CheckLevel::kError;
constexpr auto kViolation = CheckLevel::kViolation;
constexpr auto kWarning = CheckLevel::kWarning;
constexpr std::uint32_t kNameMapBuckets = 251;

bool IsFolder(std::uint32_t nid) { return (nid & 0x1F) == 0x02 || (nid & 0x1F) == 0x03; }

// Node kinds whose data is always a heap (a property or table context).
bool AlwaysHeap(std::uint32_t nid) {
  switch (nid & 0x1F) {
    case 0x02:
    case 0x03:
    case 0x04:
    case 0x07:
    case 0x08:
    case 0x0B:
    case 0x0C:
    case 0x0D:
    case 0x0E:
    case 0x0F:
    case 0x10:
    case 0x11:
    case 0x12:
      return true;
    default:
      return nid == 0x21 || nid == 0x61;
  }
}

class MessagingChecker {
 public:
  MessagingChecker(StoreFile& store, const CheckedNodes& nodes, CheckFindings& findings,
                   const std::function<void()>& touched)
      : store_(store), nodes_(nodes), findings_(findings), touched_(touched) {}

  void Run() {
    Parents();
    Folders();
    Heaps();
    StoreObject();
    NameMap();
    if (findings_.strict()) Objects();
  }

 private:
  struct Children {
    std::set<std::uint32_t> messages, associated, folders;
  };

  void Find(CheckLevel level, const std::string& rule, const std::string& section,
            const std::string& text) {
    findings_.Add(level, rule, section, text);
  }

  std::unique_ptr<PropertyList> PropertiesOf(std::uint32_t nid, SubnodeList& subnodes) {
    const StoreNode* node = FindNode(store_, nid);
    if (node == nullptr) return nullptr;
    ReadSubnodes(store_, node->subnodeBlock, subnodes);
    return ReadPropertyList(store_, node->dataBlock, subnodes);
  }

  // Messages hang below folders, folders below folders (the root folder below itself).
  void Parents() {
    for (const auto& [nid, n] : nodes_) {
      touched_();
      const std::uint32_t type = nid & 0x1F;
      const bool parentIsFolder = nodes_.count(n.parent) != 0 && IsFolder(n.parent);
      if (type == 0x04 || type == 0x08) {
        if (!parentIsFolder || (n.parent & 0x1F) != 0x02) {
          Find(kError, "node-parent", "2.4.5",
               "message " + Hex(nid) + " hangs below " + Hex(n.parent) + ", which is not a folder");
        }
        Children& c = children_[n.parent];
        (type == 0x04 ? c.messages : c.associated).insert(nid);
        if (type == 0x04) Recipients(nid);
      } else if (IsFolder(nid) && n.parent != nid) {
        if (!parentIsFolder) {
          Find(kViolation, "node-parent", "2.4.4",
               "folder " + Hex(nid) + " hangs below " + Hex(n.parent) + ", which is not a folder");
        }
        children_[n.parent].folders.insert(nid);
      }
    }
    const auto root = nodes_.find(0x122);
    if (root == nodes_.end() || root->second.parent != 0x122) {
      Find(kError, "node-parent", "2.4.4",
           "the root folder 0x122 is missing or not its own parent");
    }
  }

  // A table's row count and the row ids it lists; -1 when the table is missing.
  int TableRows(std::uint32_t tableNid, std::set<std::uint32_t>* ids) {
    SubnodeList subnodes;
    if (FindNode(store_, tableNid) == nullptr) return -1;
    const auto list = PropertiesOf(tableNid, subnodes);
    for (const PropertyList* row = list.get(); row != nullptr && ids != nullptr;
         row = row->next.get()) {
      const PropertyEntry* id = row->Find(0x67F2);
      if (id != nullptr && id->value && id->value->size() >= 4)
        ids->insert(*LoadLe32(*id->value, 0));
    }
    return list ? list->rowCount : 0;
  }

  // Folder counts and tables against the nodes below each folder.
  void Folders() {
    for (const auto& [nid, n] : nodes_) {
      if ((nid & 0x1F) != 0x02) continue;
      touched_();
      SubnodeList none;
      const auto pc = PropertiesOf(nid, none);
      if (!pc) {
        Find(kError, "folder", "2.4.4.1",
             "folder " + Hex(nid) + " has no readable property context");
        continue;
      }
      const std::uint32_t base = nid & ~0x1Fu;
      std::set<std::uint32_t> contentRows, hierarchyRows, associatedRows;
      const int contents = TableRows(base | 0x0E, &contentRows);
      const int hierarchy = TableRows(base | 0x0D, &hierarchyRows);
      const int associated = TableRows(base | 0x0F, &associatedRows);
      if (contents < 0 || hierarchy < 0 || associated < 0) {
        Find(kError, "folder-tables", "2.4.4",
             "folder " + Hex(nid) + " lacks one of its three tables");
        continue;
      }
      const Children& c = children_[nid];
      if (contentRows != c.messages || hierarchyRows != c.folders ||
          associatedRows != c.associated) {
        Find(kViolation, "folder-rows", "2.4.4.4",
             "folder " + Hex(nid) + ": its table rows and the nodes below it differ (" +
                 std::to_string(contentRows.size()) + "/" + std::to_string(c.messages.size()) +
                 " messages, " + std::to_string(hierarchyRows.size()) + "/" +
                 std::to_string(c.folders.size()) + " folders, " +
                 std::to_string(associatedRows.size()) + "/" + std::to_string(c.associated.size()) +
                 " associated)");
      }
      const PropertyEntry* count = pc->Find(0x3602);
      if (count == nullptr || !count->value ||
          *LoadLe32(*count->value, 0) != static_cast<std::uint32_t>(contents)) {
        Find(kError, "folder-count", "2.4.4.1",
             "folder " + Hex(nid) + ": content count differs from its " + std::to_string(contents) +
                 " contents rows");
      }
      const PropertyEntry* sub = pc->Find(0x360A);
      const bool hasSub = sub != nullptr && sub->value && (*LoadLe32(*sub->value, 0) & 0xFF) != 0;
      if (hasSub != (hierarchy > 0)) {
        Find(kError, "folder-subfolders", "2.4.4.1",
             "folder " + Hex(nid) + ": Subfolders flag disagrees with " +
                 std::to_string(hierarchy) + " hierarchy rows");
      }
    }
  }

  // Every node's heap: in the strict check whole, else its blocks' headers and page maps.
  void Heaps() {
    LtpChecker ltp(store_, findings_);
    for (const auto& [nid, n] : nodes_) {
      const std::uint32_t type = nid & 0x1F;
      if (n.bidData == 0) continue;
      const StoreNode* node = FindNode(store_, nid);
      if (node == nullptr || node->dataBlock == nullptr) continue;
      touched_();
      if (findings_.strict()) {
        ltp.CheckNode(nid, node->dataBlock, node->subnodeBlock, AlwaysHeap(nid));
        continue;
      }
      if ((type == 0x01 && nid != 0x21 && nid != 0x61) || type == 0x06) continue;
      const std::vector<Bytes> blocks = ReadNodeBlocks(store_, node->dataBlock);
      for (std::size_t i = 0; i < blocks.size(); ++i) {
        if (const std::string fault = HeapBlockFault(blocks[i], i); !fault.empty()) {
          Find(kError, "heap", "2.3.1",
               "node " + Hex(nid) + ", heap block " + std::to_string(i) + ": " + fault);
          break;
        }
      }
    }
  }

  // A message has its recipient table.
  void Recipients(std::uint32_t nid) {
    const StoreNode* node = FindNode(store_, nid);
    SubnodeList subnodes;
    if (node != nullptr && node->subnodeBlock != nullptr)
      ReadSubnodes(store_, node->subnodeBlock, subnodes);
    if (node != nullptr && FindSubnodeEntry(subnodes, 0x692) == nullptr) {
      Find(kWarning, "message-recipients", "2.4.5",
           "message " + Hex(nid) + " has no recipient table");
    }
  }

  // The store object's entry ids carry its record key and name folders that exist.
  void StoreObject() {
    SubnodeList none;
    const auto pc = PropertiesOf(0x21, none);
    if (FindNode(store_, 0x21) == nullptr) {
      Find(kError, "store", "2.4.3", "the message store node 0x21 is missing");
      return;
    }
    const PropertyEntry* key = pc ? pc->Find(0x0FF9) : nullptr;
    if (key == nullptr || !key->value || key->value->size() != 16) {
      Find(kError, "store", "2.4.3.1", "the message store has no 16-byte record key");
      return;
    }
    for (std::uint32_t id : {0x35E0u, 0x35E3u, 0x35E7u}) {
      const PropertyEntry* e = pc->Find(id);
      if (e == nullptr || !e->value || e->value->size() != 24) {
        Find(id == 0x35E0 ? kError : kWarning, "store", "2.4.3.1",
             "entry id " + Hex(id) + " is missing or not 24 bytes");
        continue;
      }
      const ByteSpan v = *e->value;
      if (!std::equal(v.begin() + 4, v.begin() + 20, key->value->begin())) {
        Find(kError, "store", "2.4.3.2",
             "entry id " + Hex(id) + " does not carry the store's record key");
      }
      if (!nodes_.count(*LoadLe32(v, 20))) {
        Find(kError, "store", "2.4.3.2",
             "entry id " + Hex(id) + " names folder " + Hex(*LoadLe32(v, 20)) +
                 ", which does not exist");
      }
    }
  }

  // The name-to-id map: its streams, records numbered in order naming known property sets and
  // names inside the string stream, and the hash buckets holding exactly the records.
  void NameMap() {
    SubnodeList subnodes;
    if (FindNode(store_, 0x61) == nullptr) return;
    const auto pc = PropertiesOf(0x61, subnodes);
    const PropertyEntry* guids = pc ? pc->FindTag(0x0002) : nullptr;
    const PropertyEntry* entries = pc ? pc->FindTag(0x0003) : nullptr;
    const PropertyEntry* strings = pc ? pc->FindTag(0x0004) : nullptr;
    const PropertyEntry* buckets = pc ? pc->FindTag(0x0001) : nullptr;
    if (entries == nullptr || !entries->value || guids == nullptr || !guids->value) {
      Find(kError, "name-map", "2.4.7.1", "the name-to-id map lacks its entry or GUID stream");
      return;
    }
    if (findings_.strict()) NameMapStreams(*pc, strings);
    const ByteSpan stream = *entries->value;
    const ByteSpan stringStream =
        strings != nullptr && strings->value ? ByteSpan(*strings->value) : ByteSpan();
    const auto guidCount = static_cast<std::uint32_t>(guids->value->size() / 16);
    const std::uint32_t bucketCount = buckets && buckets->value && buckets->value->size() >= 4
                                          ? *LoadLe32(*buckets->value, 0)
                                          : 0;
    if (findings_.strict() && bucketCount != kNameMapBuckets) {
      Find(kViolation, "name-map-buckets", "2.4.7.1",
           "PidTagNameidBucketCount is " + std::to_string(bucketCount) + ", not 251");
    }
    std::multiset<Bytes> bucketed;  // every record a bucket holds
    for (std::uint32_t b = 0; findings_.strict() && b < kNameMapBuckets; ++b) {
      const PropertyEntry* bucket = pc->FindTag(static_cast<std::uint16_t>(0x1000 + b));
      for (std::size_t at = 0; bucket && bucket->value && at + 8 <= bucket->value->size();
           at += 8) {
        bucketed.insert(Bytes(bucket->value->begin() + static_cast<std::ptrdiff_t>(at),
                              bucket->value->begin() + static_cast<std::ptrdiff_t>(at + 8)));
      }
    }
    for (std::size_t k = 0; k + 8 <= stream.size(); k += 8) {
      const std::uint32_t name = *LoadLe32(stream, k);
      const std::uint16_t wGuid = *LoadLe16(stream, k + 4), index = *LoadLe16(stream, k + 6);
      const std::string record = "record " + std::to_string(k / 8);
      if (index != k / 8)
        Find(kError, "name-map", "2.4.7.1", record + " carries index " + std::to_string(index));
      if ((wGuid >> 1) >= 3 + guidCount || (wGuid >> 1) == 0) {
        Find(kError, "name-map", "2.4.7.1", record + " names an unknown property set");
      }
      std::uint32_t hashed = name;
      if ((wGuid & 1) != 0) {
        // A string name: its offset into the string stream, where a byte length and the name lie.
        const std::optional<std::uint32_t> length = LoadLe32(stringStream, name);
        if (!length || !InBounds(stringStream.size(), name + 4ull, *length) || *length % 2 != 0) {
          Find(kViolation, "name-map-strings", "2.4.7.1",
               record + ": its name lies outside the string stream");
          continue;
        }
        hashed = ComputeCrc(stringStream.subspan(name + 4, *length));
      }
      if (bucketCount == 0) continue;
      const PropertyEntry* bucket =
          pc->FindTag(static_cast<std::uint16_t>(0x1000 + (hashed ^ wGuid) % bucketCount));
      Bytes copy(stream.begin() + static_cast<std::ptrdiff_t>(k),
                 stream.begin() + static_cast<std::ptrdiff_t>(k + 8));
      StoreLe(copy, 0, hashed, 4);
      bool found = false;
      for (std::size_t b = 0; bucket && bucket->value && b + 8 <= bucket->value->size() && !found;
           b += 8) {
        found =
            std::equal(bucket->value->begin() + static_cast<std::ptrdiff_t>(b),
                       bucket->value->begin() + static_cast<std::ptrdiff_t>(b + 8), copy.begin());
      }
      if (!found && ((wGuid & 1) == 0 || findings_.strict())) {
        Find(findings_.strict() ? kViolation : kWarning, "name-map", "2.4.7.5",
             record + " is not in its hash bucket");
      }
      if (const auto it = bucketed.find(copy); it != bucketed.end()) bucketed.erase(it);
    }
    if (findings_.strict() && !bucketed.empty()) {
      Find(kViolation, "name-map", "2.4.7.5",
           std::to_string(bucketed.size()) + " bucket records name no record of the entry stream");
    }
  }

  // The GUID, entry and string streams are held in the map's heap or in subnodes, as Outlook
  // keeps them: some readers take a stream stored as an empty value (heap id 0) for a
  // reference they cannot follow.
  void NameMapStreams(const PropertyList& pc, const PropertyEntry* strings) {
    for (std::uint16_t tag : {0x0002, 0x0003, 0x0004}) {
      const PropertyEntry* stream = tag == 0x0004 ? strings : pc.FindTag(tag);
      if (stream != nullptr && stream->value && !stream->value->empty()) continue;
      const bool empty = std::any_of(pc.emptyValues.begin(), pc.emptyValues.end(),
                                     [tag](const PropertyEntry& e) { return e.tag == tag; });
      Find(kViolation, "name-map-streams", "2.4.7.1",
           "stream " + Hex(tag) +
               (empty ? " is stored as an empty value (heap id 0)" : " is missing"));
    }
  }

  // The nodes every store holds ([MS-PST] 2.7.1), the properties each kind of object must have
  // (2.4.3.1, 2.4.4.1.1, 2.4.5.1.1, 2.4.6.2.1), and the template columns of every table
  // (2.4.4.4.1, 2.4.4.5.1, 2.4.4.6.1, 2.4.5.3.1, 2.4.6.1.1); templates have no rows.
  void Objects() {
    for (std::uint32_t nid : {0x21u, 0x61u, 0x122u, 0x12Du, 0x12Eu, 0x12Fu, 0x1E1u, 0x201u, 0x60Du,
                              0x60Eu, 0x60Fu, 0x610u, 0x671u, 0x692u}) {
      if (!nodes_.count(nid))
        Find(kViolation, "mandatory-node", "2.7.1", "node " + Hex(nid) + " is missing");
    }
    Require(0x21, {0x0FF9, 0x3001, 0x35E0, 0x35E3, 0x35E7}, "message store", "2.4.3.1");
    const std::pair<std::uint32_t, const Tags*> templates[] = {
        {0x60D, &kHierarchyColumns},  {0x60E, &kContentsColumns},
        {0x60F, &kAssociatedColumns}, {0x610, &kSearchContentsColumns},
        {0x671, &kAttachmentColumns}, {0x692, &kRecipientColumns}};
    for (const auto& [nid, columns] : templates) {
      if (const StoreNode* node = FindNode(store_, nid)) {
        SubnodeList none;
        if (const auto rows = ReadPropertyList(store_, node->dataBlock, none);
            rows && rows->rowCount > 0 && !rows->entries.empty()) {
          Find(kViolation, "template", "2.4.4.8", "template table " + Hex(nid) + " holds rows");
        }
        Columns(node->dataBlock, *columns, "template table " + Hex(nid));
      }
    }
    for (const auto& [nid, n] : nodes_) {
      const std::uint32_t type = nid & 0x1F;
      const StoreNode* node = FindNode(store_, nid);
      if (node == nullptr || node->dataBlock == nullptr) continue;
      touched_();
      if (type == 0x02) {
        Require(nid, {0x3001, 0x3602, 0x3603, 0x360A}, "folder", "2.4.4.1.1");
      } else if (type == 0x0D || type == 0x0E || type == 0x0F) {
        const Tags& columns = type == 0x0D   ? kHierarchyColumns
                              : type == 0x0E ? kContentsColumns
                                             : kAssociatedColumns;
        Columns(node->dataBlock, columns, "table " + Hex(nid));
      } else if (type == 0x04) {
        Message(nid);
      }
    }
  }

  // A message's own properties, its recipient table, and its attachments with their table.
  void Message(std::uint32_t nid) {
    SubnodeList subnodes;
    const auto pc = PropertiesOf(nid, subnodes);
    const std::string where = "message " + Hex(nid);
    if (pc)
      Require(*pc, {0x001A, 0x0E07, 0x0E08, 0x0E17, 0x3007, 0x3008, 0x300B}, where, "2.4.5.1.1");
    std::size_t attachments = 0;
    for (const SubnodeEntry& entry : subnodes) {
      if (entry.level != 0) continue;
      if (entry.nid == 0x692) Columns(entry.data, kRecipientColumns, where + ", recipient table");
      if (entry.nid == 0x671) Columns(entry.data, kAttachmentColumns, where + ", attachment table");
      if ((entry.nid & 0x1F) != 0x05) continue;
      ++attachments;
      SubnodeList own;
      if (const auto attachment = ReadSubnodePropertyList(store_, entry, own)) {
        Require(*attachment, {0x0E20, 0x3705, 0x370B}, where + ", attachment " + Hex(entry.nid),
                "2.4.6.2.1");
      }
    }
    const SubnodeEntry* table = FindSubnodeEntry(subnodes, 0x671);
    const auto rows = table != nullptr ? ReadPropertyList(store_, table->data, subnodes) : nullptr;
    const std::size_t listed = rows ? static_cast<std::size_t>(rows->rowCount) : 0;
    if (listed != attachments) {
      Find(kViolation, "attachments", "2.4.6",
           where + ": " + std::to_string(attachments) + " attachments, " + std::to_string(listed) +
               " attachment table rows");
    }
    const PropertyEntry* flags = pc ? pc->FindTag(0x0E07) : nullptr;
    const bool flagged =
        flags != nullptr && flags->value && (LoadLe32(*flags->value, 0).value_or(0) & 0x10) != 0;
    if (attachments > 0 && !flagged) {
      Find(kViolation, "attachments", "2.4.6",
           where + ": has attachments, but its flags lack mfHasAttach");
    }
  }

  // The properties `ids` are present (with a value or empty).
  void Require(std::uint32_t nid, std::initializer_list<std::uint16_t> ids, const std::string& what,
               const std::string& section) {
    SubnodeList subnodes;
    const auto pc = PropertiesOf(nid, subnodes);
    if (pc) Require(*pc, ids, what + " " + Hex(nid), section);
  }
  void Require(const PropertyList& pc, std::initializer_list<std::uint16_t> ids,
               const std::string& what, const std::string& section) {
    std::string missing;
    for (std::uint16_t id : ids) {
      const bool empty = std::any_of(pc.emptyValues.begin(), pc.emptyValues.end(),
                                     [id](const PropertyEntry& e) { return e.tag == id; });
      if (pc.FindTag(id) == nullptr && !empty) missing += (missing.empty() ? "" : ", ") + Hex(id);
    }
    // Outlook's own stores lack some of these (PidTagMessageStatus on most messages): a
    // warning, not a violation of the rules as Outlook applies them.
    if (!missing.empty()) Find(kWarning, "required-property", section, what + " lacks " + missing);
  }

  // The table's columns hold every column of its template (by property id).
  void Columns(const BlockEntry* data, const Tags& required, const std::string& what) {
    const std::optional<std::vector<std::uint32_t>> tags = TableColumns(store_, data);
    if (!tags) return;  // reported by the heap check
    std::string missing;
    for (std::uint32_t tag : required) {
      const bool present = std::any_of(tags->begin(), tags->end(),
                                       [tag](std::uint32_t t) { return t >> 16 == tag >> 16; });
      if (!present) missing += (missing.empty() ? "" : ", ") + Hex(tag >> 16);
    }
    // Outlook drops template columns from the tables of its own stores (the replication
    // columns of contents tables): a warning, as above.
    if (!missing.empty())
      Find(kWarning, "template-columns", "2.4.4.2", what + " lacks columns " + missing);
  }

  StoreFile& store_;
  const CheckedNodes& nodes_;
  CheckFindings& findings_;
  const std::function<void()>& touched_;
  std::map<std::uint32_t, Children> children_;  // by folder nid
};

}  // namespace

void CheckMessaging(ByteSpan file, const CheckedNodes& nodes, CheckFindings& findings,
                    const std::function<void()>& touched) {
  // The tolerant reader's view of the same bytes.
  StoreFile store;
  if (!OpenStore(store, std::make_unique<ViewByteSource>(file), "check").ok()) return;
  IndexStore(store);
  LoadNamedPropertyMap(store);
  MessagingChecker(store, nodes, findings, touched).Run();
}

}  // namespace palvara
