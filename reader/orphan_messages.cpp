#include "reader/orphan_messages.h"

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

#include "reader/block_access.h"
#include "reader/btree_walk.h"
#include "reader/encoding.h"
#include "reader/heap.h"
#include "reader/property_list.h"

namespace palvara {
namespace {

constexpr std::uint32_t kMessageType = 0x04;
constexpr std::uint32_t kContentsTableType = 0x0E;
constexpr std::uint32_t kFolderType = 0x02;
constexpr std::uint16_t kRowIdTag = 0x67F2;
constexpr std::uint16_t kMessageClassTag = 0x001A;
constexpr std::uint16_t kSubjectTag = 0x0037;
constexpr std::uint16_t kMessageFlagsTag = 0x0E07;
constexpr std::uint16_t kContentCountTag = 0x3602;
constexpr std::uint16_t kDisplayNameTag = 0x3001;
constexpr std::uint32_t kHasAttachment = 0x10;
constexpr std::uint32_t kAssociated = 0x40;  // a folder's view, rule or form: not an item
constexpr std::uint32_t kAttachmentTableNid = 0x671;
constexpr std::uint32_t kRecipientTableNid = 0x692;
constexpr std::uint16_t kDisplayToTag = 0x0E04;
constexpr std::uint16_t kRecipientTypeTag = 0x0C15;
// The columns a row and a message must agree on (where both have them): subject, delivery,
// creation and modification times, size, flags.
constexpr std::uint16_t kMatchTags[] = {kSubjectTag, 0x0E06, 0x3007,
                                        0x3008,      0x0E08, kMessageFlagsTag};
// A data tree is two levels deep, a subnode tree nests through bidSub: bounds against cycles.
constexpr int kMaxDepth = 16;
// Subnode blocks tried per message, on either side of its own block id.
constexpr std::size_t kSubnodeNeighbours = 8;

// The free subnode blocks nearest block id `id` (writers allocate an object's blocks
// together), at most kSubnodeNeighbours on either side.
std::pair<std::size_t, std::size_t> NearestSubnodeBlocks(const FreeBlocks& free, std::uint64_t id) {
  const auto& blocks = free.subnodeBlocks;
  const auto at = std::lower_bound(blocks.begin(), blocks.end(), id,
                                   [](const BlockEntry* b, std::uint64_t v) { return b->id < v; });
  const auto mid = static_cast<std::size_t>(at - blocks.begin());
  return {mid > kSubnodeNeighbours ? mid - kSubnodeNeighbours : 0,
          std::min(blocks.size(), mid + kSubnodeNeighbours)};
}

bool HasRowOfType(const PropertyList* rows, std::uint32_t type) {
  for (const PropertyList* row = rows; row != nullptr; row = row->next.get()) {
    if ((RowNid(*row) & 0x1F) == type) return true;
  }
  return false;
}

std::uint32_t Flags(const PropertyList& message) {
  const PropertyEntry* flags = message.FindTag(kMessageFlagsTag);
  return flags != nullptr && flags->value ? LoadLe32(*flags->value, 0).value_or(0) : 0;
}

struct Row {
  std::uint32_t nid = 0;
  std::uint32_t folder = 0;
  const PropertyList* row = nullptr;  // kept alive by the finder's tables
  bool taken = false;
};

class FreeBlockSorter {
 public:
  FreeBlockSorter(StoreFile& store, std::size_t trustedBlocks,
                  const std::function<bool(std::uint64_t)>& allocated)
      : s_(store), trustedBlocks_(trustedBlocks), allocated_(allocated) {}

  FreeBlocks Run() {
    CollectReferenced();
    Sort();
    return std::move(free_);
  }

 private:
  // Every block a node refers to: data and subnode blocks, the children of data trees and of
  // subnode blocks, at every level. Kept as a bit for each entry of the index.
  void CollectReferenced() {
    referenced_.assign(s_.blocks.Size(), false);
    auto addNode = [this](const StoreNode& n) {
      MarkAt(n.dataBlock.Position(), referenced_);
      MarkAt(n.subnodeBlock.Position(), referenced_);
    };
    s_.nodes.ForEachPreorder([&addNode](const StoreNode& n, int) { addNode(n); });
    // Nodes waiting for a parent, with everything below them.
    std::vector<const StoreNode*> pending = s_.nodes.Orphans();
    while (!pending.empty()) {
      const StoreNode* n = pending.back();
      pending.pop_back();
      addNode(*n);
      for (const StoreNode* c = n->firstChild; c != nullptr; c = c->nextSibling)
        pending.push_back(c);
    }
  }

  // Marks in `marks` the index entry at `position` (a node's block) and the entry of every
  // block it lists, at every level.
  void MarkAt(std::uint32_t position, std::vector<bool>& marks) {
    if (position == FirstPositionIndex::kNone || marks[position]) return;
    marks[position] = true;
    const std::uint64_t id = s_.blocks.At(position).id;
    if ((id & 0x2) == 0) return;
    work_ = ChildIds(id);
    Drain(marks, SIZE_MAX);
  }

  // Marks the blocks waiting in work_ and every block they list, taking at most `steps`. Ids
  // the index does not have list nothing.
  void Drain(std::vector<bool>& marks, std::size_t steps) {
    for (std::size_t step = 0; !work_.empty() && step < steps; ++step) {
      const std::uint64_t id = work_.back() & ~std::uint64_t{1};
      work_.pop_back();
      const std::uint32_t position = s_.blocks.FindPosition(id);
      if (position == FirstPositionIndex::kNone || marks[position]) continue;
      marks[position] = true;
      if ((id & 0x2) == 0) continue;
      for (std::uint64_t child : ChildIds(id)) work_.push_back(child);
    }
    work_.clear();
  }

  // The block ids an internal block lists: a data tree's children, or a subnode block's
  // data, subnode and child block ids.
  std::vector<std::uint64_t> ChildIds(std::uint64_t id) {
    std::vector<std::uint64_t> ids;
    const std::optional<Bytes> block = ReadBlock(s_, id);
    if (!block || block->size() < 8) return ids;
    const ByteSpan b(*block);
    const std::size_t w = s_.IsAnsi() ? 4 : 8;
    const std::uint8_t type = ByteAt(b, 0);
    const std::uint8_t level = ByteAt(b, 1);
    const std::size_t count = LoadLe16(b, 2).value_or(0);
    if (type == 0x01) {
      for (std::size_t i = 0; i < count && 8 + w * (i + 1) <= b.size(); ++i) {
        const std::uint64_t child = LoadLeN(b, 8 + w * i, w).value_or(0);
        // Tolerant: a child listed again at once is one to mark (a damaged tree repeats one).
        if (ids.empty() || ids.back() != child) ids.push_back(child);
      }
    } else if (type == 0x02) {
      const std::size_t first = s_.IsAnsi() ? 4 : 8;
      const std::size_t entry = level == 0 ? 3 * w : 2 * w;
      for (std::size_t i = 0; i < count && first + entry * (i + 1) <= b.size(); ++i) {
        for (std::size_t k = 1; k < entry / w; ++k) {
          ids.push_back(LoadLeN(b, first + entry * i + w * k, w).value_or(0));
        }
      }
    }
    return ids;
  }

  // The client signature of the heap a node with data `entry` would hold; 0 when none.
  std::uint8_t HeapClient(const BlockEntry* entry, int depth = 0) {
    if (entry == nullptr || depth > kMaxDepth) return 0;
    if (entry->IsInternal()) {
      const Bytes head = ReadBlockHead(s_, *entry, 16, std::nullopt);
      if (ByteAt(head, 0) != 0x01 || LoadLe16(head, 2).value_or(0) == 0) return 0;
      const std::size_t w = s_.IsAnsi() ? 4 : 8;
      return HeapClient(FindBlock(s_, LoadLeN(head, 8, w).value_or(0)), depth + 1);
    }
    const Bytes head = ReadBlockHead(s_, *entry, 16, s_.encoding);
    return ByteAt(head, 2) == kHeapSignature ? ByteAt(head, 3) : 0;
  }

  // Property contexts, table contexts and subnode blocks no node refers to.
  void Sort() {
    const BlockIndex& entries = s_.blocks;
    // What the free data trees and subnode blocks hold (attachments, recipient tables, the
    // later blocks of a large heap) is not a message of its own.
    std::vector<bool> inside(entries.Size(), false);
    for (std::size_t i = 0; i < entries.Size(); ++i) {
      const BlockEntry& e = entries.At(i);
      if (!e.IsInternal()) continue;
      const std::uint32_t first = entries.FirstPositionOf(i);
      if (first == FirstPositionIndex::kNone || referenced_[first]) continue;
      work_ = ChildIds(e.id);
      Drain(inside, 4096);
    }
    for (std::size_t i = 0; i < entries.Size(); ++i) {
      const BlockEntry& e = entries.At(i);
      // The marks are on the first entry of an id (an index may list one twice).
      const std::uint32_t first = entries.FirstPositionOf(i);
      if (first == FirstPositionIndex::kNone || referenced_[first] || inside[first]) continue;
      if (e.IsInternal()) {
        // Subnode blocks are kept aside for pairing; data trees may hold a large message.
        const Bytes head = ReadBlockHead(s_, e, 2, std::nullopt);
        if (ByteAt(head, 0) == 0x02) {
          free_.subnodeBlocks.push_back(&e);
          continue;
        }
      }
      const std::uint8_t client = HeapClient(&e);
      if (client == kClientTableContext) free_.tables.push_back(&e);
      if (client != kClientPropertyContext || i >= FirstPositionIndex::kNone) continue;
      const bool listed = i < trustedBlocks_;
      const bool trusted = listed || (allocated_ && allocated_(e.offset));
      free_.contexts.push_back({static_cast<std::uint32_t>(i), listed, trusted});
    }
    const BlockIndex& index = s_.blocks;
    std::stable_sort(free_.contexts.begin(), free_.contexts.end(),
                     [&index](const FreeBlocks::Context& a, const FreeBlocks::Context& b) {
                       return std::make_pair(a.trusted, std::uint64_t{index.At(a.position).id}) >
                              std::make_pair(b.trusted, std::uint64_t{index.At(b.position).id});
                     });
    std::sort(free_.subnodeBlocks.begin(), free_.subnodeBlocks.end(),
              [](const BlockEntry* a, const BlockEntry* b) { return a->id < b->id; });
    std::sort(free_.tables.begin(), free_.tables.end(),
              [](const BlockEntry* a, const BlockEntry* b) { return a->id > b->id; });
  }

  StoreFile& s_;
  std::size_t trustedBlocks_;
  const std::function<bool(std::uint64_t)>& allocated_;
  std::vector<bool> referenced_;  // by index position
  std::vector<std::uint64_t> work_;
  FreeBlocks free_;
};

class OrphanFinder {
 public:
  OrphanFinder(StoreFile& store, const FreeBlocks& free, bool fileUnmatched,
               const std::vector<TableOwner>& lostTables)
      : s_(store), free_(free), fileUnmatched_(fileUnmatched), lostTables_(lostTables) {}

  OrphanMessages Run() {
    ReadRows();
    if (rows_.empty() && !fileUnmatched_ && lostTables_.empty()) return {};
    ReadFreeTables();
    OrphanMessages result;
    // The rows each message took (by its place among the free contexts), and the trusted
    // messages no row names, to be filed when `fileUnmatched_`.
    std::map<std::size_t, std::vector<std::size_t>> rowsOf;
    std::vector<std::size_t> unmatched;
    const std::vector<FreeBlocks::Context>& contexts = free_.contexts;
    // One row per message first; then a block several nodes share (copies of one message)
    // serves as many of the rows left as it has references. Each message is read when it is
    // tried and let go after: an untrusted one only when rows may name it.
    for (std::size_t m = 0; m < contexts.size(); ++m) {
      const FreeBlocks::Context& c = contexts[m];
      const bool fileable = fileUnmatched_ && c.trusted;
      if (rows_.empty() && !fileable) continue;
      const std::unique_ptr<PropertyList> message = ReadFreeMessage(s_, c);
      if (!message) continue;
      if (Row* row = rows_.empty() ? nullptr : MatchingRow(*message)) {
        row->taken = true;
        rowsOf[m].push_back(result.matched.size());
        result.matched.push_back(NodeEntry{row->nid, Data(c)->id, 0, row->folder});
      } else if (fileable && (Flags(*message) & kAssociated) == 0) {
        unmatched.push_back(m);
      }
    }
    for (auto& [m, rows] : rowsOf) {
      const BlockEntry* data = Data(contexts[m]);
      const auto uses = static_cast<std::size_t>(std::max<std::int32_t>(1, data->referenceCount));
      if (rows.size() >= uses) continue;
      const std::unique_ptr<PropertyList> message = ReadFreeMessage(s_, contexts[m]);
      while (message && rows.size() < uses) {
        Row* row = MatchingRow(*message);
        if (row == nullptr) break;
        row->taken = true;
        rows.push_back(result.matched.size());
        result.matched.push_back(NodeEntry{row->nid, data->id, 0, row->folder});
      }
    }
    // The kept messages in the contexts' order, with the indexes of their entries.
    std::vector<std::size_t> kept;
    std::vector<std::vector<NodeEntry*>> entries;
    auto next = rowsOf.begin();
    for (std::size_t u = 0; next != rowsOf.end() || u < unmatched.size();) {
      if (next != rowsOf.end() && (u == unmatched.size() || next->first < unmatched[u])) {
        kept.push_back(next->first);
        entries.emplace_back();
        for (std::size_t i : next->second) entries.back().push_back(&result.matched[i]);
        ++next;
        continue;
      }
      kept.push_back(unmatched[u++]);
      result.unmatched.push_back(NodeEntry{0, Data(contexts[kept.back()])->id, 0, 0});
      entries.emplace_back();
    }
    // The unmatched entries are in place now: point at them.
    for (std::size_t k = 0, u = 0; k < kept.size(); ++k) {
      if (entries[k].empty()) entries[k].push_back(&result.unmatched[u++]);
    }
    PairSubnodes(kept, entries);
    MatchSharedBlocks(result);
    return result;
  }

  const BlockEntry* Data(const FreeBlocks::Context& c) const { return &s_.blocks.At(c.position); }

  // Rows still untaken may name copies of a message the tree still has: nodes that share one
  // data block (and subnode block), counted by the block's references.
  void MatchSharedBlocks(OrphanMessages& result) {
    if (std::none_of(rows_.begin(), rows_.end(), [](const Row& r) { return !r.taken; })) return;
    struct Use {
      const StoreNode* node = nullptr;
      std::int32_t count = 0;
    };
    std::map<std::uint64_t, Use> uses;
    s_.nodes.ForEachPreorder([&uses](const StoreNode& n, int) {
      if (n.NidType() != kMessageType || n.dataBlock == nullptr || n.dataBlock->referenceCount < 2)
        return;
      Use& use = uses[n.dataBlock->id];
      use.node = &n;
      ++use.count;
    });
    for (const auto& [id, use] : uses) {
      const std::unique_ptr<PropertyList> properties =
          ReadPropertyList(s_, use.node->dataBlock, {});
      if (!properties) continue;
      for (std::int32_t left = use.node->dataBlock->referenceCount - use.count; left > 0; --left) {
        Row* row = MatchingRow(*properties);
        if (row == nullptr) break;
        row->taken = true;
        result.matched.push_back(NodeEntry{row->nid, id, use.node->BidSub(), row->folder});
      }
    }
  }

  // Rows of the contents tables the tree reaches that name a message the tree does not have.
  void ReadRows() {
    std::vector<const StoreNode*> tables;
    s_.nodes.ForEachPreorder([&tables](const StoreNode& n, int) {
      if (n.NidType() == kContentsTableType && n.dataBlock != nullptr) tables.push_back(&n);
    });
    for (const StoreNode* table : tables) {
      const std::uint32_t folder = (table->nid & ~0x1Fu) | kFolderType;
      if (FindNode(s_, folder) == nullptr) continue;
      SubnodeList subnodes;
      if (table->subnodeBlock != nullptr) ReadSubnodes(s_, table->subnodeBlock, subnodes);
      AddRows(ReadPropertyList(s_, table->dataBlock, subnodes), folder);
    }
  }

  // The message rows of a table that name a message the tree does not have, for `folder`.
  void AddRows(std::shared_ptr<PropertyList> rows, std::uint32_t folder) {
    for (const PropertyList* row = rows.get(); row != nullptr; row = row->next.get()) {
      const std::uint32_t nid = RowNid(*row);
      if ((nid & 0x1F) != kMessageType || FindNode(s_, nid) != nullptr) continue;
      // A message two tables list keeps the first (the tree's own tables come first).
      if (!rowNids_.insert(nid).second) continue;
      rows_.push_back(Row{nid, folder, row, false});
      IndexRow(rows_.back());
    }
    tables_.push_back(std::move(rows));
  }

  // Contents tables among the free blocks, for folders whose own table the tree lacks, newest
  // first: the folder of the messages they list that the tree still has, else the one folder
  // whose row gives as many items.
  void ReadFreeTables() {
    std::unordered_set<std::uint32_t> claimed;
    for (const BlockEntry* block : free_.tables) {
      std::shared_ptr<PropertyList> rows = ReadFreeTable(s_, free_, block, kMessageType);
      const RowOwner named = CommonParentOfRows(s_, rows.get(), kMessageType);
      if (named.rows == 0) continue;
      std::uint32_t folder = named.commonParent;
      if (folder == 0) {
        for (const TableOwner& owner : lostTables_) {
          if (owner.contentCount != named.rows || claimed.count(owner.folder) != 0) continue;
          // Two folders of that size: the table could be either's.
          folder = folder == 0 ? owner.folder : UINT32_MAX;
        }
      }
      if (folder == 0 || folder == UINT32_MAX || (folder & 0x1F) != kFolderType) continue;
      const bool listed = std::any_of(lostTables_.begin(), lostTables_.end(),
                                      [folder](const TableOwner& o) { return o.folder == folder; });
      if (!listed && FindNode(s_, (folder & ~0x1Fu) | kContentsTableType) != nullptr) continue;
      if (!claimed.insert(folder).second) continue;
      AddRows(std::move(rows), folder);
    }
  }

  // The first row not yet taken that agrees with the message on every column both have, and
  // has at least its subject or one of its times.
  Row* MatchingRow(const PropertyList& message) {
    const PropertyEntry* subject = message.FindTag(kSubjectTag);
    if (subject == nullptr || !subject->value) {
      for (Row& row : rows_) {
        if (!row.taken && Agrees(*row.row, message)) return &row;
      }
      return nullptr;
    }
    auto bucket = bySubject_.find(SubjectKey(*subject->value));
    if (bucket != bySubject_.end()) {
      if (Row* row = FirstAgreeing(bucket->second, message)) return row;
    }
    return FirstAgreeing(withoutSubject_, message);
  }

  // Rows of one subject, in table order, with the first not yet taken.
  struct Bucket {
    std::vector<Row*> rows;
    std::size_t firstOpen = 0;
  };

  static std::string SubjectKey(const Bytes& value) {
    return std::string(reinterpret_cast<const char*>(value.data()), value.size());
  }

  void IndexRow(Row& row) {
    const PropertyEntry* subject = row.row->FindTag(kSubjectTag);
    Bucket& bucket = subject != nullptr && subject->value ? bySubject_[SubjectKey(*subject->value)]
                                                          : withoutSubject_;
    bucket.rows.push_back(&row);
  }

  static Row* FirstAgreeing(Bucket& bucket, const PropertyList& message) {
    while (bucket.firstOpen < bucket.rows.size() && bucket.rows[bucket.firstOpen]->taken) {
      ++bucket.firstOpen;
    }
    for (std::size_t i = bucket.firstOpen; i < bucket.rows.size(); ++i) {
      Row* row = bucket.rows[i];
      if (!row->taken && Agrees(*row->row, message)) return row;
    }
    return nullptr;
  }

  // Whether a row and a message agree on every column both have, and share at least the
  // subject or one of the times.
  static bool Agrees(const PropertyList& row, const PropertyList& message) {
    int agreed = 0;
    for (std::uint16_t tag : kMatchTags) {
      const PropertyEntry* a = row.FindTag(tag);
      const PropertyEntry* b = message.FindTag(tag);
      if (a == nullptr || b == nullptr || !a->value || !b->value) continue;
      if (*a->value != *b->value) return false;
      agreed += tag == 0x0E08 || tag == kMessageFlagsTag ? 0 : 1;
    }
    return agreed > 0;
  }

  // Whether the subnode block `block` fits `message`: it lists every subnode the message's
  // properties name and an attachment table exactly when the message says it has attachments
  // (whether or not their own blocks survive), and holds as many "to" recipients as the
  // message's display list names.
  bool Fits(const BlockEntry* block, const PropertyList& message) {
    const PropertyEntry* displayTo = message.FindTag(kDisplayToTag);
    SubnodeList list;
    if (!ReadSubnodes(s_, block, list)) return false;
    const std::unordered_set<std::uint32_t> listed = ListedSubnodes(block);
    for (const PropertyEntry& e : message.entries) {
      if (!e.value && e.reference != 0 && (e.reference & 0x1F) != 0 &&
          listed.count(e.reference) == 0)
        return false;
    }
    if (((Flags(message) & kHasAttachment) != 0) != (listed.count(kAttachmentTableNid) != 0))
      return false;
    // Tolerant: older writers leave the display list out, and a recipient table whose block is
    // lost gives no count; the other checks decide alone then.
    const std::optional<std::size_t> to = ToRecipients(list, listed);
    return displayTo == nullptr || !displayTo->value || !to ||
           *to == NamesIn(displayTo->type, *displayTo->value);
  }

  // The node ids a subnode block lists at its own level (through one intermediate level).
  std::unordered_set<std::uint32_t> ListedSubnodes(const BlockEntry* block, int depth = 0) {
    std::unordered_set<std::uint32_t> nids;
    const std::optional<Bytes> bytes = block != nullptr ? ReadBlock(s_, block->id) : std::nullopt;
    if (!bytes || bytes->size() < 8 || depth > 1 || ByteAt(*bytes, 0) != 0x02) return nids;
    const ByteSpan b(*bytes);
    const std::size_t w = s_.IsAnsi() ? 4 : 8;
    const bool leaf = ByteAt(b, 1) == 0;
    const std::size_t entry = leaf ? 3 * w : 2 * w;
    const std::size_t count = LoadLe16(b, 2).value_or(0);
    for (std::size_t i = 0, at = w; i < count && at + entry <= b.size(); ++i, at += entry) {
      if (leaf) {
        nids.insert(static_cast<std::uint32_t>(LoadLeN(b, at, w).value_or(0)));
      } else {
        nids.merge(ListedSubnodes(FindBlock(s_, LoadLeN(b, at + w, w).value_or(0)), depth + 1));
      }
    }
    return nids;
  }

  // The recipients of type "to" in the recipient table of a subnode list: none when the block
  // lists no table, nullopt when it lists one whose block is lost or holds no heap.
  std::optional<std::size_t> ToRecipients(const SubnodeList& list,
                                          const std::unordered_set<std::uint32_t>& listed) {
    const SubnodeEntry* table = FindSubnodeEntry(list, kRecipientTableNid);
    if (table == nullptr) {
      return listed.count(kRecipientTableNid) != 0 ? std::nullopt : std::optional<std::size_t>(0);
    }
    SubnodeList own;
    const std::unique_ptr<PropertyList> rows = ReadSubnodePropertyList(s_, *table, own);
    if (!rows) {
      const std::optional<Bytes> head =
          table->data->IsInternal() ? std::nullopt : ReadDecodedBlock(s_, table->data->id);
      if (!head || ByteAt(*head, 2) != kHeapSignature) return std::nullopt;
    }
    std::size_t count = 0;
    for (const PropertyList* row = rows.get(); row != nullptr; row = row->next.get()) {
      const PropertyEntry* type = row->FindTag(kRecipientTypeTag);
      count += type != nullptr && type->value && LoadLe32(*type->value, 0).value_or(0) == 1 ? 1 : 0;
    }
    return count;
  }

  // The names in a display list ("Ann; Bob"): UTF-16 or 8-bit, by the property type.
  static std::size_t NamesIn(std::uint16_t type, const Bytes& value) {
    const std::size_t width = type == 0x001F ? 2 : 1;
    std::size_t names = 0;
    bool any = false;
    for (std::size_t i = 0; i + width <= value.size(); i += width) {
      const auto c = std::to_integer<std::uint8_t>(value[i]);
      const bool wide = width == 2 && value[i + 1] != std::byte{0};
      if (!wide && c == 0) break;
      any = true;
      if (!wide && c == ';') ++names;
    }
    return any ? names + 1 : 0;
  }

  // Each kept message takes the free subnode block nearest its own block id that fits it
  // (writers allocate a message's blocks together), nearest pairs first. `kept` holds places
  // among the free contexts.
  void PairSubnodes(const std::vector<std::size_t>& kept,
                    const std::vector<std::vector<NodeEntry*>>& entries) {
    if (free_.subnodeBlocks.empty()) return;
    struct Pair {
      std::uint64_t distance;
      std::size_t message;
      std::size_t block;
    };
    std::vector<Pair> pairs;
    for (std::size_t m = 0; m < kept.size(); ++m) {
      const std::uint64_t id = Data(free_.contexts[kept[m]])->id;
      const auto [from, to] = NearestSubnodeBlocks(free_, id);
      for (std::size_t k = from; k < to; ++k) {
        const std::uint64_t other = free_.subnodeBlocks[k]->id;
        pairs.push_back(Pair{other > id ? other - id : id - other, m, k});
      }
    }
    std::sort(pairs.begin(), pairs.end(), [](const Pair& a, const Pair& b) {
      return std::tie(a.distance, a.message, a.block) < std::tie(b.distance, b.message, b.block);
    });
    // The messages' properties, read when a pair first needs them.
    std::vector<std::unique_ptr<PropertyList>> messages(kept.size());
    auto message = [this, &kept, &messages](std::size_t m) -> const PropertyList* {
      if (!messages[m]) messages[m] = ReadFreeMessage(s_, free_.contexts[kept[m]]);
      return messages[m].get();
    };
    std::vector<bool> messageDone(kept.size()), blockUsed(free_.subnodeBlocks.size());
    for (const Pair& p : pairs) {
      if (messageDone[p.message] || blockUsed[p.block]) continue;
      const PropertyList* properties = message(p.message);
      if (properties == nullptr || !Fits(free_.subnodeBlocks[p.block], *properties)) continue;
      messageDone[p.message] = true;
      blockUsed[p.block] = true;
      for (NodeEntry* e : entries[p.message]) e->bidSub = free_.subnodeBlocks[p.block]->id;
    }
    for (std::size_t m = 0; m < kept.size(); ++m) {
      if (messageDone[m]) continue;
      const PropertyList* properties = message(m);
      if (properties == nullptr || !NeedsSubnodes(*properties)) continue;
      if (const BlockEntry* shared = SubnodesOfCopy(*properties)) {
        for (NodeEntry* e : entries[m]) e->bidSub = shared->id;
      }
      messages[m].reset();
    }
  }

  static bool NeedsSubnodes(const PropertyList& message) {
    if ((Flags(message) & kHasAttachment) != 0) return true;
    return std::any_of(message.entries.begin(), message.entries.end(), [](const PropertyEntry& e) {
      return !e.value && e.reference != 0 && (e.reference & 0x1F) != 0;
    });
  }

  // The subnode block of a message of the tree that `message` is a copy of (equal subject,
  // delivery and creation times and size; flags and modification time change with reading),
  // when it fits. A copy shares its subnode block with the message it was made from, so that
  // block is no free one. nullptr when the tree has no such message.
  const BlockEntry* SubnodesOfCopy(const PropertyList& message) {
    if (!copiesIndexed_) IndexTreeMessages();
    const PropertyEntry* subject = message.FindTag(kSubjectTag);
    if (subject == nullptr || !subject->value) return nullptr;
    auto range = treeMessages_.equal_range(SubjectKey(*subject->value));
    for (auto it = range.first; it != range.second; ++it) {
      const auto& [node, properties] = it->second;
      if (SameMessage(*properties, message) && Fits(node->subnodeBlock, message)) {
        return node->subnodeBlock;
      }
    }
    return nullptr;
  }

  static bool SameMessage(const PropertyList& a, const PropertyList& b) {
    int times = 0;
    for (std::uint16_t tag :
         {std::uint16_t{0x0E06}, std::uint16_t{0x3007}, std::uint16_t{0x0E08}}) {
      const PropertyEntry* x = a.FindTag(tag);
      const PropertyEntry* y = b.FindTag(tag);
      if ((x == nullptr) != (y == nullptr)) return false;
      if (x == nullptr) continue;
      if (!x->value || !y->value || *x->value != *y->value) return false;
      times += tag != 0x0E08 ? 1 : 0;
    }
    return times > 0;
  }

  // The messages of the tree with a subnode block, by subject.
  void IndexTreeMessages() {
    copiesIndexed_ = true;
    s_.nodes.ForEachPreorder([this](const StoreNode& n, int) {
      if (n.NidType() != kMessageType || n.dataBlock == nullptr || n.subnodeBlock == nullptr)
        return;
      std::shared_ptr<PropertyList> properties = ReadPropertyList(s_, n.dataBlock, {});
      const PropertyEntry* subject = properties ? properties->FindTag(kSubjectTag) : nullptr;
      if (subject == nullptr || !subject->value) return;
      treeMessages_.emplace(SubjectKey(*subject->value), std::make_pair(&n, std::move(properties)));
    });
  }

  StoreFile& s_;
  const FreeBlocks& free_;
  bool fileUnmatched_;
  const std::vector<TableOwner>& lostTables_;
  std::vector<std::shared_ptr<PropertyList>> tables_;
  std::deque<Row> rows_;  // a deque: the buckets point into it
  std::unordered_set<std::uint32_t> rowNids_;
  std::unordered_map<std::string, Bucket> bySubject_;
  Bucket withoutSubject_;
  bool copiesIndexed_ = false;
  std::unordered_multimap<std::string, std::pair<const StoreNode*, std::shared_ptr<PropertyList>>>
      treeMessages_;
};

}  // namespace

std::uint32_t RowNid(const PropertyList& row) {
  const PropertyEntry* id = row.FindTag(kRowIdTag);
  return id != nullptr && id->value ? LoadLe32(*id->value, 0).value_or(0) : 0;
}

RowOwner CommonParentOfRows(const StoreFile& store, const PropertyList* rows,
                            std::uint32_t rowType) {
  RowOwner owner;
  std::map<std::uint32_t, int> parents;
  for (const PropertyList* row = rows; row != nullptr; row = row->next.get()) {
    const std::uint32_t nid = RowNid(*row);
    if ((nid & 0x1F) != rowType) continue;
    ++owner.rows;
    const StoreNode* known = FindNode(store, nid);
    if (known != nullptr && known->parent != nullptr) ++parents[known->parent->nid];
  }
  if (!parents.empty()) {
    owner.commonParent =
        std::max_element(parents.begin(), parents.end(), [](const auto& a, const auto& b) {
          return a.second < b.second;
        })->first;
  }
  return owner;
}

std::unique_ptr<PropertyList> ReadFreeTable(StoreFile& store, const FreeBlocks& free,
                                            const BlockEntry* table, std::uint32_t rowType) {
  std::unique_ptr<PropertyList> rows = ReadPropertyList(store, table, {});
  if (HasRowOfType(rows.get(), rowType)) return rows;
  const auto [from, to] = NearestSubnodeBlocks(free, table->id);
  for (std::size_t k = from; k < to; ++k) {
    SubnodeList subnodes;
    if (!ReadSubnodes(store, free.subnodeBlocks[k], subnodes)) continue;
    rows = ReadPropertyList(store, table, subnodes);
    if (HasRowOfType(rows.get(), rowType)) return rows;
  }
  return nullptr;
}

std::vector<NodeEntry> FindLostCopies(const StoreFile& store) {
  struct Use {
    const StoreNode* message = nullptr;  // the first message node using the block
    std::int32_t users = 0;              // nodes of any kind using it
  };
  std::map<std::uint64_t, Use> uses;
  auto count = [&uses](const StoreNode& n) {
    // A block counted once for its user and once beyond gives no copy: only blocks with more
    // references are counted, so that the map stays small.
    if (n.dataBlock == nullptr || n.dataBlock->referenceCount <= 2) return;
    Use& use = uses[n.dataBlock->id];
    ++use.users;
    if (use.message == nullptr && n.NidType() == kMessageType) use.message = &n;
  };
  store.nodes.ForEachPreorder([&count](const StoreNode& n, int) { count(n); });
  std::vector<const StoreNode*> pending = store.nodes.Orphans();
  while (!pending.empty()) {
    const StoreNode* n = pending.back();
    pending.pop_back();
    count(*n);
    for (const StoreNode* c = n->firstChild; c != nullptr; c = c->nextSibling) pending.push_back(c);
  }
  // Tolerant of counts a damaged index inflates: a store holds at most one node per 16 bytes
  // of node B-tree leaf entries, so no more copies than that are made.
  const std::uint64_t most = store.file ? store.file->Size() / 16 : 0;
  std::vector<NodeEntry> copies;
  for (const auto& [id, use] : uses) {
    if (use.message == nullptr) continue;
    const std::int32_t missing = use.message->dataBlock->referenceCount - 1 - use.users;
    for (std::int32_t i = 0; i < missing && copies.size() < most; ++i) {
      copies.push_back(NodeEntry{0, id, use.message->BidSub(), 0});
    }
  }
  return copies;
}

std::unique_ptr<PropertyList> ReadFreeMessage(StoreFile& store,
                                              const FreeBlocks::Context& context) {
  if (context.position >= store.blocks.Size()) return nullptr;
  std::unique_ptr<PropertyList> properties =
      ReadPropertyList(store, &store.blocks.At(context.position), {});
  if (!properties || properties->FindTag(kContentCountTag) != nullptr ||
      properties->FindTag(kMessageClassTag) == nullptr) {
    return nullptr;
  }
  return properties;
}

std::vector<FreeFolder> ReadFreeFolders(StoreFile& store, const FreeBlocks& free) {
  std::vector<FreeFolder> folders;
  for (const FreeBlocks::Context& c : free.contexts) {
    if (!c.listed || c.position >= store.blocks.Size()) continue;
    const BlockEntry* data = &store.blocks.At(c.position);
    const std::unique_ptr<PropertyList> properties = ReadPropertyList(store, data, {});
    const PropertyEntry* count = properties ? properties->FindTag(kContentCountTag) : nullptr;
    if (count == nullptr || !count->value || properties->FindTag(kDisplayNameTag) == nullptr) {
      continue;
    }
    folders.push_back({data, LoadLe32(*count->value, 0).value_or(0)});
  }
  return folders;
}

FreeBlocks FindFreeBlocks(StoreFile& store, std::size_t trustedBlocks,
                          const std::function<bool(std::uint64_t offset)>& allocated) {
  return FreeBlockSorter(store, trustedBlocks, allocated).Run();
}

OrphanMessages FindOrphanMessages(StoreFile& store, const FreeBlocks& free, bool fileUnmatched,
                                  const std::vector<TableOwner>& lostTables) {
  return OrphanFinder(store, free, fileUnmatched, lostTables).Run();
}

}  // namespace palvara
