// Builds heap-on-node data for tests: heap pages with their page maps, property contexts and
// table contexts, field by field.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/byte_view.h"

namespace palvara::testing {

class HeapBuilder {
 public:
  explicit HeapBuilder(std::uint8_t clientSignature);

  // Adds an item to page `page` (pages are added as needed) and returns its heap id.
  std::uint32_t Add(ByteSpan item, std::size_t page = 0);
  void SetUserRoot(std::uint32_t hid) { userRoot_ = hid; }

  // One buffer per page: the first with the heap header, the others with a page header.
  std::vector<Bytes> Finish() const;

 private:
  std::uint8_t client_;
  std::uint32_t userRoot_ = 0;
  std::vector<std::vector<Bytes>> pages_;
};

// One property of a property context: an inline 4-byte value, or a value stored as a heap
// item, or a reference to a subnode (or any raw value word).
struct PcProperty {
  std::uint16_t id;
  std::uint16_t type;
  std::optional<Bytes> heapValue;  // stored in the heap; the record points at it
  std::uint32_t valueWord = 0;     // used when heapValue is absent
  std::size_t page = 0;            // heap page for heapValue
};

// A property context heap; records are sorted by id as a BTH requires.
std::vector<Bytes> MakePropertyContext(std::vector<PcProperty> properties);

struct TcColumn {
  std::uint16_t id;
  std::uint16_t type;
  std::uint8_t cbData;  // 1, 2, 4 or 8
};

// A cell: absent (existence bit clear) or its raw bytes (cbData bytes; shorter is zero-padded).
using TcCell = std::optional<Bytes>;

struct TcSpec {
  bool ansi = false;
  std::vector<TcColumn> columns;
  std::vector<std::vector<TcCell>> rows;
  // Heap items referenced by cells are added by the caller through `extraItems`; their hids
  // are returned in order by MakeTableContext.
  std::vector<Bytes> extraItems;
  // Where the row matrix goes: 0 = a heap item; otherwise this subnode id (the caller stores
  // the returned matrix bytes there).
  std::uint32_t rowMatrixSubnode = 0;
  // The row index leaf as raw bytes (default: one TCROWID record per row).
  std::optional<Bytes> rowIndexLeaf;
};

struct BuiltTable {
  std::vector<Bytes> heap;
  std::vector<std::uint32_t> extraHids;
  Bytes rowMatrix;  // the matrix bytes (also inside the heap when it is a heap item)
  std::size_t rowSize = 0;
};

BuiltTable MakeTableContext(const TcSpec& spec);

// Pre-computes the hids that MakeTableContext gives `extraItems` (they are added first).
std::uint32_t ExtraItemHid(std::size_t index);

}  // namespace palvara::testing
