#include "writer/ltp_check.h"

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "common/damage.h"
#include "reader/heap.h"
#include "writer/ltp_writer.h"

namespace palvara {
namespace {

constexpr auto kError = CheckLevel::kError;
constexpr auto kViolation = CheckLevel::kViolation;
constexpr int kMaxNesting = 8;  // attachments holding messages holding attachments ...
constexpr std::uint32_t kRowIdTag = 0x67F20003, kRowVerTag = 0x67F30003;

bool IsBitmapBlock(std::size_t index) { return index >= 8 && (index - 8) % 128 == 0; }

bool KnownClient(std::uint8_t client) {
  for (std::uint8_t c : {0x6C, 0x7C, 0x8C, 0x9C, 0xA5, 0xAC, 0xB5, 0xBC, 0xCC}) {
    if (client == c) return true;
  }
  return false;
}

// The size a value of a fixed-size type has (its elements', for a multi-valued one); 0 for a
// variable size.
std::size_t FixedSize(std::uint16_t type) {
  const auto single = static_cast<std::uint16_t>(type & 0x0FFF);
  if (single == 0x0048) return 16;
  if (single == 0x000B || !(IsInlineType(single) || CellSize(single) == 8)) return 0;
  return CellSize(single);
}

// Keys of a BTH compare as unsigned little-endian numbers of cbKey bytes.
bool KeyLess(ByteSpan a, ByteSpan b) {
  return std::lexicographical_compare(a.rbegin(), a.rend(), b.rbegin(), b.rend(),
                                      [](std::byte x, std::byte y) { return x < y; });
}

std::string Prop(std::uint32_t tag) { return "property " + Hex(tag); }

struct TcColumn {
  std::uint32_t tag;
  std::uint16_t ibData;
  std::uint8_t cbData, iBit;
};

}  // namespace

std::string HeapBlockFault(ByteSpan block, std::size_t index) {
  const std::size_t header = index == 0 ? 12 : (IsBitmapBlock(index) ? 66 : 2);
  if (block.size() < header + 4) return "too short";
  if (index == 0 && ByteAt(block, 2) != kHeapSignature) return "bSig is not 0xEC";
  const std::size_t map = *LoadLe16(block, 0);
  if (map < header || map + 4 > block.size()) return "page map outside the block";
  const std::size_t count = *LoadLe16(block, map);
  if (map + 4 + 2 * (count + 1) > block.size()) return "page map runs past the block";
  std::size_t previous = *LoadLe16(block, map + 4);
  if (previous != header) return "first allocation does not follow the header";
  for (std::size_t k = 1; k <= count; ++k) {
    const std::size_t next = *LoadLe16(block, map + 4 + 2 * k);
    if (next < previous) return "allocations out of order";
    if (next - previous > kMaxHeapItem) return "an allocation above 3,580 bytes";
    previous = next;
  }
  if (previous > map) return "allocations overlap the page map";
  return "";
}

std::optional<std::vector<std::uint32_t>> TableColumns(StoreFile& store, const BlockEntry* data) {
  const std::optional<HeapOnNode> heap = HeapOnNode::Open(ReadNodeBlocks(store, data), store.Layout()->hidBlockShift);
  if (!heap || heap->ClientSignature() != kClientTableContext) return std::nullopt;
  const std::optional<ByteSpan> info = heap->Item(heap->UserRoot());
  if (!info || info->size() < 22) return std::nullopt;
  std::vector<std::uint32_t> tags;
  for (std::size_t at = 22; at + 8 <= info->size() && tags.size() < ByteAt(*info, 1); at += 8) {
    tags.push_back(*LoadLe32(*info, at));
  }
  return tags;
}

// A node or subnode being checked: how findings name it, and the subnodes its values may name
// (its own, then those of the node it belongs to).
struct LtpChecker::Place {
  std::string where;
  const SubnodeList& own;
  const SubnodeList* outer = nullptr;

  const SubnodeEntry* Subnode(std::uint32_t nid) const {
    const SubnodeEntry* entry = FindSubnodeEntry(own, nid);
    return entry != nullptr || outer == nullptr ? entry : FindSubnodeEntry(*outer, nid);
  }
};

namespace {

// The checks of one heap's structures, reporting through the checker's Find.
class HeapCheck {
 public:
  using Report =
      std::function<void(CheckLevel, const std::string&, const std::string&, const std::string&)>;
  HeapCheck(StoreFile& store, const HeapOnNode& heap, const LtpChecker::Place& place,
            std::size_t maxBlockData, Report report)
      : store_(store),
        heap_(heap),
        place_(place),
        maxBlockData_(maxBlockData),
        report_(std::move(report)) {}

  // The leaf records of the BTH at `hid`, checked ([MS-PST] 2.3.2); nullopt when its header
  // is unusable. `cbKey`/`cbEnt`: what the BTH's user requires (0: anything).
  std::optional<std::vector<ByteSpan>> Bth(std::uint32_t hid, std::size_t cbKey, std::size_t cbEnt,
                                           const std::string& what) {
    const std::optional<ByteSpan> header = heap_.Item(hid);
    if (!header || header->size() != 8) {
      report_(kViolation, "bth", "2.3.2.1",
              what + ": BTH header at " + Hex(hid) + " is not an 8-byte heap item");
      return std::nullopt;
    }
    const std::uint8_t bType = ByteAt(*header, 0), key = ByteAt(*header, 1),
                       ent = ByteAt(*header, 2), levels = ByteAt(*header, 3);
    const std::uint32_t root = *LoadLe32(*header, 4);
    if (bType != kBthType || (key != 2 && key != 4 && key != 8 && key != 16) || ent == 0 ||
        ent > 32) {
      report_(kViolation, "bth", "2.3.2.1",
              what + ": BTH header has bType " + Hex(bType) + ", cbKey " + std::to_string(key) +
                  ", cbEnt " + std::to_string(ent));
      return std::nullopt;
    }
    if ((cbKey != 0 && key != cbKey) || (cbEnt != 0 && ent != cbEnt)) {
      report_(kViolation, "bth", "2.3.2.1",
              what + ": BTH has keys of " + std::to_string(key) + " and data of " +
                  std::to_string(ent) + " bytes where " + std::to_string(cbKey) + " and " +
                  std::to_string(cbEnt) + " are due");
      return std::nullopt;
    }
    std::vector<ByteSpan> records;
    if (root != 0) Level(root, levels, key, ent, what, records, 0);
    for (std::size_t i = 1; i < records.size(); ++i) {
      if (!KeyLess(records[i - 1].first(key), records[i].first(key))) {
        report_(kViolation, "bth-order", "2.3.2.2", what + ": BTH keys are not strictly ascending");
        break;
      }
    }
    return records;
  }

  // A property or cell value of `type` stored as `hnid` ([MS-PST] 2.3.3.2, 2.3.3.3).
  void Value(std::uint16_t type, std::uint32_t hnid, const std::string& what) {
    if (IsInlineType(type) || hnid == 0) return;  // inline, or an empty value
    std::optional<Bytes> held;
    std::uint64_t size = 0;
    if ((hnid & 0x1F) == 0) {
      const std::optional<ByteSpan> item = heap_.Item(hnid);
      if (!item) {
        report_(kViolation, "hnid", "2.3.3.2",
                what + " names heap item " + Hex(hnid) + ", which does not exist");
        return;
      }
      size = item->size();
      held = Bytes(item->begin(), item->end());
    } else {
      const SubnodeEntry* sub = place_.Subnode(hnid);
      if (sub == nullptr || sub->data == nullptr) {
        report_(kViolation, "hnid", "2.3.3.2",
                what + " names subnode " + Hex(hnid) + ", which the node does not have");
        return;
      }
      if (type == 0x000D) {
        report_(kViolation, "hnid", "2.3.3.5",
                what + ": an object's value is a heap item, not a subnode");
        return;
      }
      size = CheckNodeData(store_, sub->data);
      if ((type & 0x1000) != 0 && FixedSize(type) == 0) held = ReadNodeBytes(store_, sub->data);
    }
    Sized(type, size, held, what);
  }

  // The row matrix's blocks as the format places rows in them ([MS-PST] 2.3.4.4), as Outlook
  // fills them: every block but the last holds as many rows as fit the largest block and is
  // filled to it; the last holds the rest. One heap item when the matrix is that small.
  void RowMatrix(const std::vector<Bytes>& blocks, bool inHeap, std::size_t rows,
                 std::size_t rowSize, const std::string& what) {
    const std::size_t perBlock = std::max<std::size_t>(1, maxBlockData_ / rowSize);
    const std::size_t needed = rows == 0 ? 0 : (rows - 1) / perBlock + 1;
    if (inHeap) {
      if (blocks.size() != 1 || blocks[0].size() != rows * rowSize) {
        report_(kViolation, "row-matrix", "2.3.4.4",
                what + ": the row matrix holds " +
                    std::to_string(blocks.empty() ? 0 : blocks[0].size()) + " bytes for " +
                    std::to_string(rows) + " rows of " + std::to_string(rowSize));
      }
      return;
    }
    if (blocks.size() != needed) {
      report_(kViolation, "row-matrix", "2.3.4.4",
              what + ": the row matrix has " + std::to_string(blocks.size()) + " blocks where " +
                  std::to_string(rows) + " rows of " + std::to_string(rowSize) + " bytes need " +
                  std::to_string(needed));
    }
    for (std::size_t b = 0; b < std::min(blocks.size(), needed); ++b) {
      const bool last = b + 1 == needed;
      const std::size_t due = last ? (rows - b * perBlock) * rowSize : maxBlockData_;
      if (blocks[b].size() != due) {
        report_(kViolation, "row-matrix", "2.3.4.4",
                what + ": row matrix block " + std::to_string(b) + " holds " +
                    std::to_string(blocks[b].size()) + " bytes where " + std::to_string(due) +
                    (last ? " (its rows)"
                          : " (a full block of " + std::to_string(perBlock) + " rows)") +
                    " are due");
      }
    }
  }

  // A table context ([MS-PST] 2.3.4): its TCINFO and columns, its row index, the row matrix's
  // blocks, each row's id against the index, and each cell's value.
  void Table(std::uint32_t hid, bool ansi) {
    const std::optional<ByteSpan> info = heap_.Item(hid);
    if (!info || info->size() < 22 || ByteAt(*info, 0) != kClientTableContext) {
      report_(kError, "tc-info", "2.3.4.1",
              "TCINFO at " + Hex(hid) + " is missing or not a TCINFO");
      return;
    }
    const std::size_t cCols = ByteAt(*info, 1);
    const std::uint16_t tci4b = *LoadLe16(*info, 2), tci2b = *LoadLe16(*info, 4),
                        tci1b = *LoadLe16(*info, 6), rowSize = *LoadLe16(*info, 8);
    if (info->size() != 22 + 8 * cCols) {
      report_(kViolation, "tc-info", "2.3.4.1",
              "TCINFO of " + std::to_string(info->size()) + " bytes for " + std::to_string(cCols) +
                  " columns");
    }
    if (!(tci4b <= tci2b && tci2b <= tci1b && rowSize == tci1b + (cCols + 7) / 8)) {
      report_(kViolation, "tc-info", "2.3.4.1",
              "rgib " + std::to_string(tci4b) + "/" + std::to_string(tci2b) + "/" +
                  std::to_string(tci1b) + "/" + std::to_string(rowSize) +
                  " does not end its groups and the cell bitmap in order");
    }
    std::vector<TcColumn> columns;
    for (std::size_t c = 0; c < cCols && 22 + 8 * (c + 1) <= info->size(); ++c) {
      const std::size_t at = 22 + 8 * c;
      columns.push_back({*LoadLe32(*info, at), *LoadLe16(*info, at + 4), ByteAt(*info, at + 6),
                         ByteAt(*info, at + 7)});
    }
    Columns(columns, tci4b, tci2b, tci1b, cCols);
    // The row index maps row ids to row numbers of 4 bytes (2 in ANSI stores, where Outlook
    // also writes 4 in some of its template tables).
    const auto index = Bth(*LoadLe32(*info, 10), 4, 0, "row index");
    if (!index) return;
    const std::size_t cbEnt = index->empty() ? 4 : index->front().size() - 4;
    if (cbEnt != 4 && !(ansi && cbEnt == 2)) {
      report_(kViolation, "bth", "2.3.4.3",
              "row index records carry " + std::to_string(cbEnt) + " bytes of row number");
    }
    const std::size_t rows = index->size();
    std::vector<std::optional<std::uint32_t>> idOfRow(rows);
    for (const ByteSpan record : *index) {
      const std::uint64_t row = LoadLeN(record, 4, cbEnt).value_or(0);
      if (row >= rows || idOfRow[row]) {
        report_(kViolation, "tc-row-index", "2.3.4.3",
                "the row index names row " + std::to_string(row) + " of " + std::to_string(rows) +
                    " twice or past the end");
        return;
      }
      idOfRow[row] = *LoadLe32(record, 0);
    }
    const std::uint32_t hnidRows = *LoadLe32(*info, 14);
    if (rows == 0 || rowSize == 0) return;
    std::vector<Bytes> blocks;
    const bool inHeap = (hnidRows & 0x1F) == 0;
    if (inHeap) {
      if (const std::optional<ByteSpan> item = heap_.Item(hnidRows))
        blocks.emplace_back(item->begin(), item->end());
    } else if (const SubnodeEntry* sub = place_.Subnode(hnidRows)) {
      blocks = ReadNodeBlocks(store_, sub->data);
    }
    if (blocks.empty()) {
      report_(kViolation, "row-matrix", "2.3.4.1",
              "hnidRows " + Hex(hnidRows) + " names no row matrix for " + std::to_string(rows) +
                  " rows");
      return;
    }
    RowMatrix(blocks, inHeap, rows, rowSize, "table");
    const std::size_t perBlock = std::max<std::size_t>(1, maxBlockData_ / rowSize);
    for (std::size_t r = 0; r < rows; ++r) {
      const std::size_t b = r / perBlock, at = (r % perBlock) * rowSize;
      if (b >= blocks.size() || !InBounds(blocks[b].size(), at, rowSize)) break;  // reported above
      const ByteSpan row = ByteSpan(blocks[b]).subspan(at, rowSize);
      if (LoadLe32(row, 0) != idOfRow[r]) {
        report_(kViolation, "tc-row-index", "2.3.4.3",
                "row " + std::to_string(r) + " has id " + Hex(*LoadLe32(row, 0)) +
                    " where the row index names " + Hex(idOfRow[r].value_or(0)));
      }
      for (const TcColumn& c : columns) {
        const std::optional<std::uint8_t> ceb = LoadU8(row, tci1b + c.iBit / 8u);
        if (!ceb || (*ceb & (0x80 >> (c.iBit % 8))) == 0 || c.cbData != 4 ||
            !InBounds(row.size(), c.ibData, 4))
          continue;
        Value(static_cast<std::uint16_t>(c.tag), *LoadLe32(row, c.ibData),
              "row " + std::to_string(r) + ", column " + Hex(c.tag));
      }
    }
  }

 private:
  // The column descriptors ([MS-PST] 2.3.4.2): sorted by tag, each cell as wide as its type
  // and inside its group, one bit of the cell bitmap each, the row id and version first.
  void Columns(const std::vector<TcColumn>& columns, std::size_t tci4b, std::size_t tci2b,
               std::size_t tci1b, std::size_t cCols) {
    std::set<std::uint8_t> bits;
    bool rowId = false, rowVer = false;
    for (std::size_t c = 0; c < columns.size(); ++c) {
      const auto [tag, ibData, cbData, iBit] = columns[c];
      const std::string what = "column " + Hex(tag);
      if (c > 0 && columns[c - 1].tag >= tag) {
        report_(kViolation, "tc-columns", "2.3.4.1", what + ": columns are not sorted by tag");
      }
      const std::size_t width = CellSize(static_cast<std::uint16_t>(tag));
      const std::size_t from = width >= 4 ? 0 : (width == 2 ? tci4b : tci2b);
      const std::size_t to = width >= 4 ? tci4b : (width == 2 ? tci2b : tci1b);
      if (cbData != width || ibData < from || ibData + cbData > to) {
        report_(kViolation, "tc-columns", "2.3.4.2",
                what + ": a cell of " + std::to_string(cbData) + " bytes at " +
                    std::to_string(ibData) + " where its type takes " + std::to_string(width) +
                    " in [" + std::to_string(from) + ", " + std::to_string(to) + ")");
      }
      if (iBit >= (cCols + 7) / 8 * 8 || !bits.insert(iBit).second) {
        report_(
            kViolation, "tc-columns", "2.3.4.2",
            what + ": cell bitmap bit " + std::to_string(iBit) + " is taken or outside the bitmap");
      }
      rowId = rowId || (tag == kRowIdTag && ibData == 0 && iBit == 0);
      rowVer = rowVer || (tag == kRowVerTag && ibData == 4 && iBit == 1);
    }
    if (!rowId || !rowVer) {
      report_(kViolation, "tc-columns", "2.3.4.4.1",
              "the row id and version are not the first two cells");
    }
  }

  void Level(std::uint32_t hid, int level, std::size_t key, std::size_t ent,
             const std::string& what, std::vector<ByteSpan>& records, int depth) {
    const std::optional<ByteSpan> item = heap_.Item(hid);
    if (!item || depth > 8) {
      report_(kViolation, "bth", "2.3.2", what + ": BTH item " + Hex(hid) + " does not resolve");
      return;
    }
    const std::size_t size = level == 0 ? key + ent : key + 4;
    if (item->size() % size != 0 || item->empty()) {
      report_(kViolation, "bth", "2.3.2.2",
              what + ": BTH item " + Hex(hid) + " of " + std::to_string(item->size()) +
                  " bytes is not a run of " + std::to_string(size) + "-byte records");
    }
    for (std::size_t at = 0; at + size <= item->size(); at += size) {
      if (level == 0) {
        records.push_back(item->subspan(at, size));
        continue;
      }
      const std::size_t before = records.size();
      Level(*LoadLe32(*item, at + key), level - 1, key, ent, what, records, depth + 1);
      if (records.size() > before &&
          !std::equal(records[before].begin(),
                      records[before].begin() + static_cast<std::ptrdiff_t>(key),
                      item->begin() + static_cast<std::ptrdiff_t>(at))) {
        report_(kViolation, "bth", "2.3.2.3",
                what + ": an index key differs from the first key below it");
      }
    }
  }

  void Sized(std::uint16_t type, std::uint64_t size, const std::optional<Bytes>& held,
             const std::string& what) {
    const std::size_t fixed = FixedSize(type);
    const bool multi = (type & 0x1000) != 0;
    if (fixed != 0 && !multi && size != fixed && type != 0x000D) {
      report_(kViolation, "value-size", "2.3.3.3",
              what + ": " + std::to_string(size) + " bytes where " + std::to_string(fixed) +
                  " are due");
    } else if (fixed != 0 && multi && size % fixed != 0) {
      report_(kViolation, "value-size", "2.3.3.4.1",
              what + ": " + std::to_string(size) + " bytes are not a run of " +
                  std::to_string(fixed) + "-byte values");
    } else if ((type == 0x001F) && size % 2 != 0) {
      report_(kViolation, "value-size", "2.3.3.3", what + ": a UTF-16 string of odd length");
    } else if (type == 0x000D && size != 8) {
      report_(kViolation, "value-size", "2.3.3.5", what + ": an object's heap item is not 8 bytes");
    } else if (type == 0x000D && held && place_.Subnode(*LoadLe32(*held, 0)) == nullptr) {
      report_(kViolation, "hnid", "2.3.3.5",
              what + ": the object's subnode " + Hex(*LoadLe32(*held, 0)) + " does not exist");
    } else if (multi && fixed == 0 && held) {
      // ulCount, then that many offsets from the value's start, ascending, inside it.
      const std::uint64_t count = LoadLe32(*held, 0).value_or(0);
      bool sound = held->size() >= 4 && 4 + 4 * count <= held->size();
      for (std::uint64_t i = 0, last = 4 + 4 * count; sound && i < count; ++i) {
        const std::uint32_t offset = *LoadLe32(*held, 4 + 4 * i);
        sound = offset >= last && offset <= held->size();
        last = offset;
      }
      if (!sound)
        report_(kViolation, "value-size", "2.3.3.4.2",
                what + ": its count and offsets do not fit it");
    }
  }

  StoreFile& store_;
  const HeapOnNode& heap_;
  const LtpChecker::Place& place_;
  std::size_t maxBlockData_;
  Report report_;
};

}  // namespace

void LtpChecker::Find(CheckLevel level, const std::string& rule, const std::string& section,
                      const Place& place, const std::string& text) {
  findings_.Add(level, rule, section, place.where + ": " + text);
}

void LtpChecker::CheckNode(std::uint32_t nid, const BlockEntry* data,
                           const BlockEntry* subnodeBlock, bool mustBeHeap) {
  SubnodeList subnodes;
  if (subnodeBlock != nullptr && !ReadSubnodes(store_, subnodeBlock, subnodes)) {
    findings_.Add(kError, "subnode-block", "2.2.2.8.3.3",
                  "node " + Hex(nid) + ": its subnode block does not read");
  }
  const Place place{"node " + Hex(nid), subnodes};
  CheckHeapData(place, data, mustBeHeap, 0);
}

void LtpChecker::CheckHeapData(const Place& place, const BlockEntry* data, bool mustBeHeap,
                               int depth) {
  std::vector<Bytes> blocks = ReadNodeBlocks(store_, data);
  if (blocks.empty() || blocks[0].size() < 12 || ByteAt(blocks[0], 2) != kHeapSignature) {
    if (mustBeHeap)
      Find(kError, "heap", "2.3.1.2", place, "its data is not a heap (no 0xEC signature)");
    return;
  }
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    if (const std::string fault = HeapBlockFault(blocks[i], i); !fault.empty()) {
      Find(kError, "heap", "2.3.1", place, "heap block " + std::to_string(i) + ": " + fault);
      return;
    }
  }
  const std::uint8_t client = ByteAt(blocks[0], 3);
  if (!KnownClient(client))
    Find(kViolation, "heap", "2.3.1.2", place, "unknown bClientSig " + Hex(client));
  const std::optional<HeapOnNode> heap = HeapOnNode::Open(std::move(blocks), store_.Layout()->hidBlockShift);
  if (!heap) return;
  const PageLayout* layout = store_.Layout();
  HeapCheck check(store_, *heap, place, layout->maxBlockData,
                  [&](CheckLevel level, const std::string& rule, const std::string& section,
                      const std::string& text) { Find(level, rule, section, place, text); });
  const std::uint32_t root = heap->UserRoot();
  if (client == kClientPropertyContext) {
    const auto records = check.Bth(root, 2, 6, "property context");
    for (const ByteSpan record : records.value_or(std::vector<ByteSpan>{})) {
      const std::uint16_t id = *LoadLe16(record, 0), type = *LoadLe16(record, 2);
      check.Value(type, *LoadLe32(record, 4), Prop(std::uint32_t{id} << 16 | type));
    }
  } else if (client == kClientTableContext) {
    check.Table(root, layout->IsAnsi());
  } else if (client == kBthType) {
    check.Bth(root, 0, 0, "BTH");
  }
  if (depth >= kMaxNesting) return;
  // The subnodes that carry heaps of their own: attachments (0x05), attached messages (0x04),
  // attachment and recipient tables (0x11, 0x12).
  for (const SubnodeEntry& entry : place.own) {
    const std::uint32_t type = entry.nid & 0x1F;
    if (entry.level != 0 || (type != 0x04 && type != 0x05 && type != 0x11 && type != 0x12))
      continue;
    SubnodeList own;
    if (entry.subnodes != nullptr) ReadSubnodes(store_, entry.subnodes, own);
    const Place inner{place.where + ", subnode " + Hex(entry.nid), own, &place.own};
    CheckHeapData(inner, entry.data, true, depth + 1);
  }
}

}  // namespace palvara
