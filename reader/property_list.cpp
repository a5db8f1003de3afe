#include "reader/property_list.h"

#include <algorithm>

#include "reader/heap.h"
#include "reader/named_properties.h"

namespace palvara {
namespace {

enum class Handling { kInline4, kThroughHnid, kNotTaken };

Handling HandlingOf(std::uint16_t type) {
  switch (type) {
    case 0x0002:  // 16-bit integer
    case 0x0003:  // 32-bit integer
    case 0x0004:  // float
    case 0x000A:  // error code
    case 0x000B:  // boolean
      return Handling::kInline4;
    case 0x0005: case 0x0006: case 0x0007: case 0x000D: case 0x0014: case 0x001E:
    case 0x001F: case 0x0040: case 0x0048: case 0x0102: case 0x1003: case 0x1014:
    case 0x101E: case 0x1102:
      return Handling::kThroughHnid;
    default:
      return Handling::kNotTaken;
  }
}

bool IsEightByteFixed(std::uint16_t type) {
  return type == 0x0005 || type == 0x0006 || type == 0x0007 || type == 0x0014 || type == 0x0040;
}

// Everything an entry needs besides its record: the heap, the subnodes and the name map.
struct EntryContext {
  StoreFile& store;
  const HeapOnNode& heap;
  const SubnodeList& subnodes;
  SubnodeValues values = SubnodeValues::kRead;
};

Bytes LittleEndian(std::uint64_t value, std::size_t width) {
  Bytes bytes(width);
  StoreLe(bytes, 0, value, width);
  return bytes;
}

// Returns false when the entry is to be dropped: its value was only checked.
bool ReadFromSubnode(EntryContext& c, std::uint32_t nid, PropertyEntry& entry) {
  if (c.values == SubnodeValues::kCheck) {
    if (const BlockEntry* data = FindSubnode(c.subnodes, nid)) CheckNodeData(c.store, data);
    return false;
  }
  entry.value = ReadSubnodeValue(c.store, nid, c.subnodes);
  if (!entry.value) entry.reference = nid;
  return true;
}

// A new entry for a record: its id (through the name map), type, and nothing else yet.
PropertyEntry NewEntry(const EntryContext& c, std::uint16_t wPropId, std::uint16_t wPropType) {
  PropertyEntry entry;
  entry.id = wPropId;
  entry.type = wPropType;
  entry.tag = wPropId;
  if (const NamedPropertyMapping* named = c.store.namedProperties.Find(wPropId)) {
    entry.named = named;
    if (named->kind == 1) {
      entry.id = named->numericName;
    } else {
      entry.id = 2;
      entry.name = named->name ? &*named->name : nullptr;
    }
  }
  return entry;
}

// Fills the value of an entry from its 4-byte value word (inline value, heap id or subnode
// id). Returns false when the entry is to be dropped (a zero or unresolvable reference).
bool FillValue(EntryContext& c, std::uint32_t dwValueHnid, PropertyEntry& entry) {
  switch (HandlingOf(entry.type)) {
    case Handling::kInline4:
      entry.value = LittleEndian(dwValueHnid, 4);
      entry.reference = entry.type;
      return true;
    case Handling::kNotTaken:
      return true;
    case Handling::kThroughHnid:
      break;
  }
  entry.reference = entry.type;
  if ((dwValueHnid & 0xF) == 0xF) return ReadFromSubnode(c, dwValueHnid, entry);  // a subnode id
  if (dwValueHnid == 0) return false;
  const std::optional<ByteSpan> item = c.heap.Item(dwValueHnid);
  if (!item) return false;
  if (entry.type == 0x000D) {
    // An embedded object: the heap item names the subnode that holds it, which the reference
    // keeps.
    const std::uint32_t nid = LoadLe32(*item, 0).value_or(0);
    entry.reference = nid;
    return ReadFromSubnode(c, nid, entry);
  }
  entry.value = Bytes(item->begin(), item->end());
  return true;
}

// A value of zero length: stored as a zero reference.
bool IsEmptyValue(std::uint32_t dwValueHnid, std::uint16_t type) {
  return dwValueHnid == 0 && HandlingOf(type) == Handling::kThroughHnid && type != 0x000D;
}

// Adds an entry to the list, or one with an empty value to its empty values.
void AddEntry(EntryContext& c, std::uint32_t dwValueHnid, PropertyEntry entry, PropertyList& list) {
  if (IsEmptyValue(dwValueHnid, entry.type)) {
    entry.value = Bytes();
    entry.reference = entry.type;
    list.emptyValues.push_back(std::move(entry));
  } else if (FillValue(c, dwValueHnid, entry)) {
    list.entries.push_back(std::move(entry));
  }
}

std::unique_ptr<PropertyList> ReadPropertyContext(EntryContext& c) {
  const std::optional<BthHeader> bth = ReadBthHeader(c.heap, c.heap.UserRoot());
  if (!bth || bth->bType != kBthType || bth->cbKey != 2) return nullptr;
  if (!c.heap.Item(bth->hidRoot)) return nullptr;
  auto list = std::make_unique<PropertyList>();
  const std::vector<ByteSpan> records = BthLeafRecords(c.heap, *bth, 8);
  list->entries.reserve(records.size());
  for (ByteSpan record : records) {
    AddEntry(c, *LoadLe32(record, 4), NewEntry(c, *LoadLe16(record, 0), *LoadLe16(record, 2)), *list);
  }
  return list;
}

struct Column {
  std::uint16_t id;
  std::uint16_t type;
  std::uint16_t ibData;
  std::uint8_t cbData;
  std::uint8_t iBit;
};

// The row matrix as a list of blocks: one heap item, or a subnode's data (rows never straddle
// a block). `offset`: where the subnode's data lies in the file, for damage reports.
std::vector<Bytes> RowMatrixBlocks(EntryContext& c, std::uint32_t hnidRows, std::uint64_t* offset) {
  if (hnidRows == 0) return {};
  if ((hnidRows & 0x1F) == 0) {
    const std::optional<ByteSpan> item = c.heap.Item(hnidRows);
    if (!item) return {};
    return {Bytes(item->begin(), item->end())};
  }
  const SubnodeEntry* sub = FindSubnodeEntry(c.subnodes, hnidRows);
  if (sub == nullptr) return {};
  if (sub->data != nullptr) *offset = sub->data->offset;
  return ReadNodeBlocks(c.store, sub->data);
}

// The block size the rows of a table's row matrix fill: the layout's largest block. The 4 KiB
// layout says nothing of it (writers fill 8,176 or 65,512 bytes): there the first of several
// blocks tells.
std::size_t RowBlockSize(const StoreFile& store, const std::vector<Bytes>& matrix) {
  const PageLayout* layout = store.Layout();
  if (layout == nullptr) return kUnicodeGeometry.maxBlockData;
  if (layout->pageSize != kSmallPageSize && matrix.size() > 1) return matrix.front().size();
  return layout->maxBlockData;
}

// Where each row lies: row N in block N / perBlock at (N % perBlock) * rowSize, with as many
// rows to a block as fit the largest block ([MS-PST] 2.3.4.4). A block shorter than the rows
// due in it is damage: those rows are read as empty, and the rows of the blocks after it are
// still found where the format puts them.
class RowLocator {
 public:
  RowLocator(const std::vector<Bytes>& matrix, std::size_t rowSize, std::size_t maxBlockData)
      : matrix_(matrix),
        rowSize_(rowSize),
        perBlock_(std::max<std::size_t>(1, maxBlockData / rowSize)) {}

  // The bytes of row `r`; empty when its block does not hold it.
  ByteSpan Row(std::size_t r) const {
    const std::size_t block = r / perBlock_, at = (r % perBlock_) * rowSize_;
    if (block >= matrix_.size() || !InBounds(matrix_[block].size(), at, rowSize_)) return {};
    return ByteSpan(matrix_[block]).subspan(at, rowSize_);
  }

  // Reports every block that holds fewer bytes than its rows need, and rows past the blocks.
  void ReportShortBlocks(StoreFile& store, std::uint64_t offset, std::size_t rows) const {
    const std::size_t needed = (rows + perBlock_ - 1) / perBlock_;
    for (std::size_t b = 0; b < needed; ++b) {
      const std::size_t due = std::min(perBlock_, rows - b * perBlock_) * rowSize_;
      const std::size_t held = b < matrix_.size() ? matrix_[b].size() : 0;
      if (held >= due) continue;
      store.damage.Report(DamageKind::kInconsistent, "TC", offset,
                          "row matrix block " + std::to_string(b) + " holds " +
                              std::to_string(held) + " bytes where its rows need " +
                              std::to_string(due) + ": the rows it lacks are read as empty");
    }
  }

 private:
  const std::vector<Bytes>& matrix_;
  std::size_t rowSize_;
  std::size_t perBlock_;
};

std::unique_ptr<PropertyList> ReadTableContext(EntryContext& c) {
  const std::optional<ByteSpan> info = c.heap.Item(c.heap.UserRoot());
  if (!info || info->size() < 22 || ByteAt(*info, 0) != kClientTableContext) return nullptr;
  const std::uint8_t cCols = ByteAt(*info, 1);
  const std::uint16_t tci1b = *LoadLe16(*info, 6);
  const std::uint16_t rowSize = *LoadLe16(*info, 8);
  const std::uint32_t hidRowIndex = *LoadLe32(*info, 10);
  const std::uint32_t hnidRows = *LoadLe32(*info, 14);

  std::vector<Column> columns;
  for (std::size_t i = 0; i < cCols && 22 + 8 * (i + 1) <= info->size(); ++i) {
    const std::size_t at = 22 + 8 * i;
    const std::uint32_t tag = *LoadLe32(*info, at);
    columns.push_back(Column{static_cast<std::uint16_t>(tag >> 16),
                             static_cast<std::uint16_t>(tag & 0xFFFF), *LoadLe16(*info, at + 4),
                             ByteAt(*info, at + 6), ByteAt(*info, at + 7)});
  }

  const std::optional<BthHeader> index = ReadBthHeader(c.heap, hidRowIndex);
  if (!index || index->bType != kBthType || index->cbKey != 4 || index->hidRoot == 0) {
    return nullptr;
  }
  const std::size_t rowIdSize = c.store.IsAnsi() ? 6 : 8;
  const std::size_t rows = BthLeafRecords(c.heap, *index, rowIdSize).size();
  if (rows == 0 || rowSize == 0) return nullptr;
  std::uint64_t matrixOffset = 0;
  const std::vector<Bytes> matrix = RowMatrixBlocks(c, hnidRows, &matrixOffset);
  if (matrix.empty()) return nullptr;
  const RowLocator locate(matrix, rowSize, RowBlockSize(c.store, matrix));
  locate.ReportShortBlocks(c.store, matrixOffset, rows);

  std::unique_ptr<PropertyList> head;
  for (std::size_t r = 0; r < rows; ++r) {
    // Tolerant: rows missing from the matrix come out empty rather than ending the table.
    const ByteSpan row = locate.Row(r);

    auto list = std::make_unique<PropertyList>();
    list->rowCount = static_cast<std::int32_t>(rows);
    for (const Column& column : columns) {
      if (!InBounds(row.size(), column.ibData, column.cbData) || column.cbData == 0) continue;
      // Cell existence bitmap: a clear bit means the cell holds nothing.
      const std::optional<std::uint8_t> ceb = LoadU8(row, tci1b + column.iBit / 8u);
      if (ceb && (*ceb & (0x80 >> (column.iBit % 8))) == 0) continue;
      PropertyEntry entry = NewEntry(c, column.id, column.type);
      if (IsEightByteFixed(column.type) && column.cbData == 8) {
        // Eight-byte values sit in the row itself.
        entry.value = Bytes(row.begin() + column.ibData, row.begin() + column.ibData + 8);
        entry.reference = column.type;
      } else {
        const std::size_t width = std::min<std::size_t>(column.cbData, 4);
        const auto cell = static_cast<std::uint32_t>(LoadLeN(row, column.ibData, width).value_or(0));
        AddEntry(c, cell, std::move(entry), *list);
        continue;
      }
      list->entries.push_back(std::move(entry));
    }
    list->next = std::move(head);
    head = std::move(list);
  }
  return head;
}

}  // namespace

PropertyList::~PropertyList() {
  std::unique_ptr<PropertyList> rest = std::move(next);
  while (rest) rest = std::move(rest->next);
}

const PropertyEntry* PropertyList::Find(std::uint32_t id) const {
  const PropertyEntry* found = nullptr;
  for (const PropertyEntry& entry : entries) {
    if (entry.id == id) found = &entry;
  }
  return found;
}

const PropertyEntry* PropertyList::FindTag(std::uint16_t tag) const {
  const PropertyEntry* found = nullptr;
  for (const PropertyEntry& entry : entries) {
    if (entry.tag == tag) found = &entry;
  }
  return found;
}

std::optional<Bytes> ReadSubnodeValue(StoreFile& store, std::uint32_t nid,
                                      const SubnodeList& subnodes) {
  const BlockEntry* data = FindSubnode(subnodes, nid);
  if (data == nullptr) return std::nullopt;
  Bytes bytes = ReadNodeBytes(store, data);
  if (bytes.empty()) return std::nullopt;
  return bytes;
}

std::unique_ptr<PropertyList> ReadSubnodePropertyList(StoreFile& store, const SubnodeEntry& entry,
                                                      SubnodeList& own, SubnodeValues values) {
  if (entry.subnodes != nullptr) ReadSubnodes(store, entry.subnodes, own);
  return ReadPropertyList(store, entry.data, own, values);
}

std::unique_ptr<PropertyList> ReadPropertyList(StoreFile& store, const BlockEntry* data,
                                               const SubnodeList& subnodes, SubnodeValues values) {
  if (data == nullptr) return nullptr;
  std::optional<HeapOnNode> heap = HeapOnNode::Open(
      ReadNodeBlocks(store, data), store.Layout() != nullptr ? store.Layout()->hidBlockShift : 16);
  if (!heap) return nullptr;
  EntryContext context{store, *heap, subnodes, values};
  switch (heap->ClientSignature()) {
    case kClientPropertyContext: return ReadPropertyContext(context);
    case kClientTableContext: return ReadTableContext(context);
    default: return nullptr;
  }
}

}  // namespace palvara
