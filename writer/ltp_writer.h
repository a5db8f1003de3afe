// Builders for the lists-tables-properties layer ([MS-PST] 2.3): heap-on-node pages, BTHs,
// property contexts and table contexts, ready to be written as a node by the NdbWriter.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "common/byte_view.h"
#include "writer/ndb_writer.h"

namespace palvara {

inline constexpr std::size_t kMaxHeapItem = 3580;

// Whether a property of `type` is stored in its record's value word rather than through an
// HNID ([MS-PST] 2.3.3.3): the types of 4 bytes or less.
bool IsInlineType(std::uint16_t type);
// The width of a table cell for a column of `type` ([MS-PST] 2.3.4.2): 8 for 8-byte values,
// 2 and 1 for 16-bit integers and booleans, 4 for the rest (values of 4 bytes, HNIDs).
std::size_t CellSize(std::uint16_t type);

// A heap-on-node being filled: items are packed page by page; each page holds at most 8,176
// bytes with its header and page map. A page is kept as the bytes it will have (header room,
// then its items one after the other) and the end of each item: 2 bytes an item beyond its own.
//
// A heap made with a writer to stream to gives each page its block as soon as the page is full,
// in page order, and writes it there at once unless it must wait: the first page (it carries
// the heap header), the pages that carry fill levels of later pages, and every page up to the
// last one holding a reserved item (Set fills those, and only those, later). FinishStreamed
// writes what waited and the data tree over the pages: the same bytes as writing Finish's
// pages with NdbWriter::WriteBlocks, when the writer writes nothing else in between.
class HeapWriter {
 public:
  // Heap ids name their page from bit `blockShift` up: 16, or 19 in the 4 KiB-page layout
  // (when streaming, the writer's layout decides).
  explicit HeapWriter(std::uint8_t clientSignature, NdbWriter* streamTo = nullptr,
                      unsigned blockShift = 16)
      : client_(clientSignature),
        out_(streamTo),
        blockShift_(streamTo != nullptr ? streamTo->layout().hidBlockShift : blockShift) {}
  // Adds an item (at most 3,580 bytes) and returns its heap id.
  std::uint32_t Allocate(ByteSpan item);
  // Reserves an item of `size` bytes (zeros) to be filled later with Set.
  std::uint32_t Reserve(std::size_t size);
  // Overwrites an item from its start; bytes past the item's size are dropped.
  void Set(std::uint32_t hid, ByteSpan item);
  void SetUserRoot(std::uint32_t hid) { userRoot_ = hid; }
  // The pages, each a block of the node's data (without a writer to stream to). The heap is
  // empty afterwards.
  std::vector<Bytes> Finish();
  // With a writer to stream to: writes the pages still waiting and, over several pages, their
  // data tree; returns the bid of the heap's data.
  std::uint64_t FinishStreamed();

 private:
  struct Page {
    Bytes bytes;                      // header room, then the items; emptied once written
    std::vector<std::uint16_t> ends;  // where each item ends in `bytes`
    NdbWriter::BlockSlot slot;        // streaming: the page's block
  };
  static std::size_t HeaderSize(std::size_t page);
  // Room for an item of `size` bytes at the end of the last page (a new page when it is full).
  std::uint32_t Place(std::size_t size);
  // Page `p` is full: notes its fill level and, streaming, gives it its block.
  void Close(std::size_t p);
  // Page `p` as its block holds it (the fill levels of pages closed so far included).
  Bytes Seal(std::size_t p);
  bool Waits(std::size_t p) const;

  std::uint8_t client_;
  NdbWriter* out_;
  unsigned blockShift_;
  std::uint32_t userRoot_ = 0;
  std::vector<Page> pages_;
  std::vector<std::uint8_t> levels_;  // fill level of each closed page
  std::size_t lastReserved_ = 0;      // the page of the last reserved item
};

// A BTH (records: key then data, sorted by key) in two steps, for records known only after
// their heap items. Reserve places the header and the leaf allocations first (readers expect
// the structure at the start of the heap); Fill writes the records and any index levels.
struct BthReservation {
  std::uint32_t header = 0;
  std::vector<std::uint32_t> leaves;
  std::size_t perLeaf = 0;
};
BthReservation ReserveBth(HeapWriter& heap, std::uint8_t cbKey, std::uint8_t cbEnt,
                          std::size_t records);
// `records`: the records one after another, sorted by key.
void FillBth(HeapWriter& heap, const BthReservation& reservation, std::uint8_t cbKey,
             std::uint8_t cbEnt, ByteSpan records);

// A node's content: its heap pages and the subnodes that hold values too large for the heap.
struct NodeContent {
  // A subnode's data, written in blocks of `blockSize` bytes. It is either owned or a view of
  // a value given to the builder, which must then outlive the content.
  struct Subnode {
    std::uint32_t nid = 0;
    Bytes owned;
    ByteSpan view;
    std::size_t blockSize = kMaxBlockData;
    ByteSpan Data() const { return owned.empty() ? view : ByteSpan(owned); }
  };
  std::vector<Bytes> heap;
  std::vector<Subnode> subnodes;
};

// Hands out subnode ids of type 0x1F, unique within one node.
class SubnodeIds {
 public:
  std::uint32_t Next() { return (++index_ << 5) | 0x1F; }

 private:
  std::uint32_t index_ = 0x400;
};

struct PropertyValue {
  std::uint16_t id = 0;
  std::uint16_t type = 0;
  Bytes value;  // as stored: inline types hold their 1 to 4 bytes
};

// A property value whose bytes live elsewhere.
struct PropertyView {
  std::uint16_t id = 0;
  std::uint16_t type = 0;
  ByteSpan value;
};

// A property context of the given values (any order; sorted by id on the way). Values too
// large for the heap are referred to, not copied: they must outlive the content. Heap ids name
// their page from bit `hidBlockShift` up (19 in the 4 KiB-page layout).
NodeContent BuildPropertyContext(std::span<const PropertyView> properties, SubnodeIds& ids,
                                 unsigned hidBlockShift = 16);
NodeContent BuildPropertyContext(const std::vector<PropertyValue>& properties, SubnodeIds& ids,
                                 unsigned hidBlockShift = 16);

// A table row: its id and one cell per column tag given, each a value or absent. The cells are
// packed into one buffer, so that the rows of a large folder's contents table, kept until the
// store is finished, take little more than their values.
struct TableRow {
  std::uint32_t rowId = 0;

  TableRow() = default;
  TableRow(std::uint32_t id, std::span<const std::optional<ByteSpan>> cells);

  void AddCell(std::optional<ByteSpan> value);
  // The cells in order; the values point into the row.
  std::vector<std::optional<ByteSpan>> Cells() const;

  // The cells as one buffer, and a row made again from it.
  ByteSpan Packed() const { return packed_; }
  static TableRow FromPacked(std::uint32_t id, ByteSpan packed);

 private:
  Bytes packed_;  // per cell: its length in 4 bytes (0xFFFFFFFF: absent), then its value
};

// A table context with PidTagLtpRowId and PidTagLtpRowVer first and then `tags` (property
// tags, type in the low 16 bits); rows in order.
NodeContent BuildTableContext(const std::vector<std::uint32_t>& tags,
                              const std::vector<TableRow>& rows, SubnodeIds& ids,
                              unsigned hidBlockShift = 16);
// The same with the rows handed over one at a time, in order: `rowAt(r)` for r from 0 to
// rowCount - 1, so that they need not all be held at once.
NodeContent BuildTableContext(const std::vector<std::uint32_t>& tags, std::size_t rowCount,
                              const std::function<const TableRow&(std::size_t)>& rowAt,
                              SubnodeIds& ids, unsigned hidBlockShift = 16);

struct WrittenNode {
  std::uint64_t bidData = 0;
  std::uint64_t bidSub = 0;
  std::vector<SubnodeRecord> subnodes;  // the node's own subnodes, as written
};

class RowSpill;
// Writes the table context of BuildTableContext (the same bytes as WriteNodeContent of it)
// without holding it whole: its heap pages are written as they fill and its row matrix waits
// in `stash` until the heap is written, so that memory stays near the first heap pages (the row
// index) whatever the number of rows. `writer` must write nothing else meanwhile. A matrix
// block that cannot be read back from `stash` is written as zeros and sets `*lost`.
WrittenNode WriteTableContext(NdbWriter& writer, const std::vector<std::uint32_t>& tags,
                              std::size_t rowCount,
                              const std::function<const TableRow&(std::size_t)>& rowAt,
                              SubnodeIds& ids, RowSpill& stash, bool* lost);

// Writes a node's heap and subnodes (plus `extraSubnodes`, e.g. attachments) and returns the
// bids its node B-tree entry references.
WrittenNode WriteNodeContent(NdbWriter& writer, const NodeContent& content,
                             std::vector<SubnodeRecord> extraSubnodes = {});

}  // namespace palvara
