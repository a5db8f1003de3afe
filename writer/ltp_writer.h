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

// A heap-on-node being filled: items are packed page by page; each page holds at most 8,176
// bytes with its header and page map. A page is kept as the bytes it will have (header room,
// then its items one after the other) and the end of each item: 2 bytes an item beyond its own.
class HeapWriter {
 public:
  explicit HeapWriter(std::uint8_t clientSignature) : client_(clientSignature) {}
  // Adds an item (at most 3,580 bytes) and returns its heap id.
  std::uint32_t Allocate(ByteSpan item);
  // Reserves an item of `size` bytes to be filled later with Set (same size).
  std::uint32_t Reserve(std::size_t size);
  void Set(std::uint32_t hid, ByteSpan item);
  void SetUserRoot(std::uint32_t hid) { userRoot_ = hid; }
  // The pages, each a block of the node's data. The heap is empty afterwards.
  std::vector<Bytes> Finish();

 private:
  struct Page {
    Bytes bytes;                      // header room, then the items
    std::vector<std::uint16_t> ends;  // where each item ends in `bytes`
  };
  std::size_t HeaderSize(std::size_t page) const;
  // Room for an item of `size` bytes at the end of the last page (a new page when it is full).
  std::uint32_t Place(std::size_t size);

  std::uint8_t client_;
  std::uint32_t userRoot_ = 0;
  std::vector<Page> pages_;
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
// `records`: the records one after the other, cbKey + cbEnt bytes each.
void FillBth(HeapWriter& heap, const BthReservation& reservation, std::uint8_t cbKey,
             std::uint8_t cbEnt, ByteSpan records);

// A node's content: its heap pages and the subnodes that hold values too large for the heap.
struct NodeContent {
  struct Subnode {
    std::uint32_t nid;
    std::vector<Bytes> blocks;  // written block by block
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

// A property context of the given values (any order; sorted by id on the way).
NodeContent BuildPropertyContext(std::vector<PropertyValue> properties, SubnodeIds& ids);

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
                              const std::vector<TableRow>& rows, SubnodeIds& ids);
// The same with the rows handed over one at a time, in order: `rowAt(r)` for r from 0 to
// rowCount - 1, so that they need not all be held at once.
NodeContent BuildTableContext(const std::vector<std::uint32_t>& tags, std::size_t rowCount,
                              const std::function<const TableRow&(std::size_t)>& rowAt,
                              SubnodeIds& ids);

struct WrittenNode {
  std::uint64_t bidData = 0;
  std::uint64_t bidSub = 0;
  std::vector<SubnodeRecord> subnodes;  // the node's own subnodes, as written
};

// Writes a node's heap and subnodes (plus `extraSubnodes`, e.g. attachments) and returns the
// bids its node B-tree entry references.
WrittenNode WriteNodeContent(NdbWriter& writer, const NodeContent& content,
                             std::vector<SubnodeRecord> extraSubnodes = {});

}  // namespace palvara
