#include "writer/ltp_writer.h"

#include <algorithm>

#include "writer/row_spill.h"

namespace palvara {
namespace {

constexpr std::size_t kMaxItemsPerPage = 2047;  // hidIndex has 11 bits
constexpr std::uint32_t kRowIdTag = 0x67F20003;
constexpr std::uint32_t kRowVerTag = 0x67F30003;
constexpr std::uint32_t kAbsentCell = 0xFFFFFFFF;  // the length of a cell without a value

bool IsBitmapPage(std::size_t page) { return page >= 8 && (page - 8) % 128 == 0; }

// Fill level of a page from its free bytes ([MS-PST] 2.3.1.2).
std::uint8_t FillLevel(std::size_t freeBytes) {
  static constexpr std::size_t kAtLeast[] = {3584, 2560, 2048, 1792, 1536, 1280, 1024, 768,
                                             512,  256,  128,  64,   32,   16,   8};
  for (std::uint8_t level = 0; level < 15; ++level) {
    if (freeBytes >= kAtLeast[level]) return level;
  }
  return 15;
}

// A variable-size value: empty is HNID 0, small goes to the heap, large to a subnode, which
// refers to the value unless `copy`.
std::uint32_t StoreValue(ByteSpan value, HeapWriter& heap, NodeContent& content, SubnodeIds& ids,
                         bool copy) {
  if (value.empty()) return 0;
  if (value.size() <= kMaxHeapItem) return heap.Allocate(value);
  const std::uint32_t nid = ids.Next();
  NodeContent::Subnode& sub = content.subnodes.emplace_back();
  sub.nid = nid;
  if (copy) {
    sub.owned.assign(value.begin(), value.end());
  } else {
    sub.view = value;
  }
  return nid;
}

}  // namespace

bool IsInlineType(std::uint16_t type) {
  return type == 0x0002 || type == 0x0003 || type == 0x0004 || type == 0x000A || type == 0x000B;
}

std::size_t CellSize(std::uint16_t type) {
  switch (type) {
    case 0x0014: case 0x0005: case 0x0006: case 0x0007: case 0x0040: return 8;
    case 0x0002: return 2;
    case 0x000B: return 1;
    default: return 4;
  }
}

std::size_t HeapWriter::HeaderSize(std::size_t page) {
  if (page == 0) return 12;
  return IsBitmapPage(page) ? 66 : 2;
}

std::uint32_t HeapWriter::Place(std::size_t size) {
  // A page's block: its bytes, padded to even, then the page map of (items + 1) offsets.
  auto blockSize = [](const Page& page, std::size_t extra) {
    const std::size_t bytes = page.bytes.size() + extra;
    return bytes + bytes % 2 + 4 + 2 * (page.ends.size() + 2);
  };
  if (pages_.empty() || blockSize(pages_.back(), size) > kMaxBlockData ||
      pages_.back().ends.size() >= kMaxItemsPerPage) {
    if (!pages_.empty()) Close(pages_.size() - 1);
    Page& page = pages_.emplace_back();
    page.bytes.reserve(kMaxBlockData);
    page.bytes.resize(HeaderSize(pages_.size() - 1));
  }
  Page& page = pages_.back();
  page.bytes.resize(page.bytes.size() + size);
  page.ends.push_back(static_cast<std::uint16_t>(page.bytes.size()));
  return static_cast<std::uint32_t>(((pages_.size() - 1) << blockShift_) | (page.ends.size() << 5));
}

std::uint32_t HeapWriter::Allocate(ByteSpan item) {
  const std::uint32_t hid = Place(item.size());
  Bytes& bytes = pages_.back().bytes;
  std::copy(item.begin(), item.end(), bytes.end() - static_cast<std::ptrdiff_t>(item.size()));
  return hid;
}

std::uint32_t HeapWriter::Reserve(std::size_t size) {
  const std::uint32_t hid = Place(size);
  lastReserved_ = pages_.size() - 1;
  return hid;
}

void HeapWriter::Set(std::uint32_t hid, ByteSpan item) {
  Page& page = pages_[hid >> blockShift_];
  const std::size_t index = ((hid >> 5) & 0x7FF) - 1;
  if (index >= page.ends.size()) return;  // a page written already
  const std::size_t start = index == 0 ? HeaderSize(hid >> blockShift_) : page.ends[index - 1];
  std::copy_n(item.begin(), std::min<std::size_t>(item.size(), page.ends[index] - start),
              page.bytes.begin() + static_cast<std::ptrdiff_t>(start));
}

namespace {

// The size of a page holding `bytes` of header and items and `items` items, with its map.
std::size_t SealedSize(std::size_t bytes, std::size_t items) {
  return bytes + bytes % 2 + 4 + 2 * (items + 1);
}

}  // namespace

bool HeapWriter::Waits(std::size_t p) const {
  return p == 0 || IsBitmapPage(p) || p <= lastReserved_;
}

void HeapWriter::Close(std::size_t p) {
  Page& page = pages_[p];
  const std::size_t size = SealedSize(page.bytes.size(), page.ends.size());
  levels_.push_back(FillLevel(kMaxBlockData - size));
  if (out_ == nullptr) return;
  page.slot = out_->ReserveBlock(size);
  if (Waits(p)) return;
  out_->FillBlock(page.slot, Seal(p));
}

Bytes HeapWriter::Seal(std::size_t p) {
  Bytes page = std::move(pages_[p].bytes);
  const std::vector<std::uint16_t> ends = std::move(pages_[p].ends);
  pages_[p].bytes = {};
  pages_[p].ends = {};
  if (page.size() % 2 != 0) page.push_back(std::byte{0});
  const std::size_t ibHnpm = page.size();
  page.resize(ibHnpm + 4 + 2 * (ends.size() + 1));
  StoreLe(page, ibHnpm, ends.size(), 2);
  StoreLe(page, ibHnpm + 4, HeaderSize(p), 2);
  for (std::size_t i = 0; i < ends.size(); ++i) StoreLe(page, ibHnpm + 6 + 2 * i, ends[i], 2);
  StoreLe(page, 0, ibHnpm, 2);
  // The first page carries the heap header with the fill levels of pages 0..7; every 128th
  // page from page 8 carries those of the next 128.
  auto putLevels = [this, &page](std::size_t at, std::size_t first, std::size_t count) {
    for (std::size_t k = 0; k < count && first + k < levels_.size(); ++k) {
      const std::uint8_t level = levels_[first + k];
      page[at + k / 2] |= static_cast<std::byte>(k % 2 == 0 ? level : level << 4);
    }
  };
  if (p == 0) {
    StoreLe(page, 2, 0xEC, 1);
    StoreLe(page, 3, client_, 1);
    StoreLe(page, 4, userRoot_, 4);
    putLevels(8, 0, 8);
  } else if (IsBitmapPage(p)) {
    putLevels(2, p, 128);
  }
  return page;
}

std::vector<Bytes> HeapWriter::Finish() {
  if (pages_.empty()) {
    pages_.emplace_back();
    pages_.back().bytes.resize(HeaderSize(0));
  }
  Close(pages_.size() - 1);
  std::vector<Bytes> out;
  for (std::size_t p = 0; p < pages_.size(); ++p) out.push_back(Seal(p));
  pages_.clear();
  levels_.clear();
  return out;
}

std::uint64_t HeapWriter::FinishStreamed() {
  if (pages_.empty()) {
    pages_.emplace_back();
    pages_.back().bytes.resize(HeaderSize(0));
  }
  Close(pages_.size() - 1);
  std::vector<std::uint64_t> leaves;
  std::vector<std::uint32_t> sizes;
  for (std::size_t p = 0; p < pages_.size(); ++p) {
    if (Waits(p)) out_->FillBlock(pages_[p].slot, Seal(p));
    leaves.push_back(pages_[p].slot.bid);
    sizes.push_back(static_cast<std::uint32_t>(pages_[p].slot.size));
  }
  pages_.clear();
  levels_.clear();
  if (leaves.size() == 1) return leaves.front();
  return out_->WriteTree(leaves, sizes);
}

BthReservation ReserveBth(HeapWriter& heap, std::uint8_t cbKey, std::uint8_t cbEnt,
                          std::size_t records) {
  // One header, then leaves; index levels only when one leaf is not enough (rare: 447 records
  // of a property context fit one leaf).
  BthReservation r;
  r.perLeaf = kMaxHeapItem / (cbKey + cbEnt);
  r.header = heap.Reserve(8);
  for (std::size_t i = 0; i < records; i += r.perLeaf) {
    r.leaves.push_back(heap.Reserve(std::min(r.perLeaf, records - i) * (cbKey + cbEnt)));
  }
  return r;
}

void FillBth(HeapWriter& heap, const BthReservation& r, std::uint8_t cbKey, std::uint8_t cbEnt,
             ByteSpan records) {
  const std::size_t cbRecord = std::size_t{cbKey} + cbEnt;
  const std::size_t count = records.size() / cbRecord;
  std::vector<std::pair<Bytes, std::uint32_t>> level;
  for (std::size_t i = 0, leaf = 0; i < count; i += r.perLeaf, ++leaf) {
    const std::size_t n = std::min(count - i, r.perLeaf);
    heap.Set(r.leaves[leaf], records.subspan(i * cbRecord, n * cbRecord));
    const ByteSpan key = records.subspan(i * cbRecord, cbKey);
    level.emplace_back(Bytes(key.begin(), key.end()), r.leaves[leaf]);
  }
  std::uint8_t levels = 0;
  const std::size_t perIndex = kMaxHeapItem / (cbKey + 4u);
  while (level.size() > 1) {
    std::vector<std::pair<Bytes, std::uint32_t>> up;
    for (std::size_t i = 0; i < level.size(); i += perIndex) {
      Bytes index;
      for (std::size_t k = i; k < std::min(level.size(), i + perIndex); ++k) {
        index.insert(index.end(), level[k].first.begin(), level[k].first.end());
        Bytes hid(4);
        StoreLe(hid, 0, level[k].second, 4);
        index.insert(index.end(), hid.begin(), hid.end());
      }
      up.emplace_back(level[i].first, heap.Allocate(index));
    }
    level = std::move(up);
    ++levels;
  }
  Bytes header(8);
  StoreLe(header, 0, 0xB5, 1);
  StoreLe(header, 1, cbKey, 1);
  StoreLe(header, 2, cbEnt, 1);
  StoreLe(header, 3, levels, 1);
  StoreLe(header, 4, level.empty() ? 0 : level.front().second, 4);
  heap.Set(r.header, header);
}

NodeContent BuildPropertyContext(const std::vector<PropertyValue>& properties, SubnodeIds& ids,
                                 unsigned hidBlockShift) {
  std::vector<PropertyView> views;
  views.reserve(properties.size());
  for (const PropertyValue& p : properties) views.push_back({p.id, p.type, p.value});
  return BuildPropertyContext(views, ids, hidBlockShift);
}

NodeContent BuildPropertyContext(std::span<const PropertyView> properties, SubnodeIds& ids,
                                 unsigned hidBlockShift) {
  std::vector<const PropertyView*> sorted;
  sorted.reserve(properties.size());
  for (const PropertyView& p : properties) sorted.push_back(&p);
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const PropertyView* a, const PropertyView* b) { return a->id < b->id; });
  NodeContent content;
  HeapWriter heap(0xBC, nullptr, hidBlockShift);
  // The BTH header and leaves first, as Outlook lays them out; the values after them.
  const BthReservation bth = ReserveBth(heap, 2, 6, sorted.size());
  heap.SetUserRoot(bth.header);
  Bytes records(8 * sorted.size());
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    const PropertyView& p = *sorted[i];
    std::uint32_t word = 0;
    if (IsInlineType(p.type)) {
      for (std::size_t k = 0; k < std::min<std::size_t>(4, p.value.size()); ++k) {
        word |= std::to_integer<std::uint32_t>(p.value[k]) << (8 * k);
      }
    } else {
      word = StoreValue(p.value, heap, content, ids, false);
    }
    StoreLe(records, 8 * i, p.id, 2);
    StoreLe(records, 8 * i + 2, p.type, 2);
    StoreLe(records, 8 * i + 4, word, 4);
  }
  FillBth(heap, bth, 2, 6, records);
  content.heap = heap.Finish();
  return content;
}

TableRow::TableRow(std::uint32_t id, std::span<const std::optional<ByteSpan>> cells) : rowId(id) {
  std::size_t size = 0;
  for (const std::optional<ByteSpan>& cell : cells) size += 4 + (cell ? cell->size() : 0);
  packed_.reserve(size);
  for (const std::optional<ByteSpan>& cell : cells) AddCell(cell);
}

void TableRow::AddCell(std::optional<ByteSpan> value) {
  const std::size_t at = packed_.size();
  packed_.resize(at + 4 + (value ? value->size() : 0));
  StoreLe(packed_, at, value ? value->size() : kAbsentCell, 4);
  if (value) std::copy(value->begin(), value->end(), packed_.begin() + static_cast<std::ptrdiff_t>(at + 4));
}

std::vector<std::optional<ByteSpan>> TableRow::Cells() const {
  std::vector<std::optional<ByteSpan>> cells;
  for (std::size_t at = 0; at + 4 <= packed_.size();) {
    const std::uint32_t size = *LoadLe32(packed_, at);
    at += 4;
    if (size == kAbsentCell) {
      cells.emplace_back();
      continue;
    }
    cells.emplace_back(ByteSpan(packed_).subspan(at, size));
    at += size;
  }
  return cells;
}

TableRow TableRow::FromPacked(std::uint32_t id, ByteSpan packed) {
  TableRow row;
  row.rowId = id;
  row.packed_.assign(packed.begin(), packed.end());
  return row;
}

NodeContent BuildTableContext(const std::vector<std::uint32_t>& tags,
                              const std::vector<TableRow>& rows, SubnodeIds& ids,
                              unsigned hidBlockShift) {
  return BuildTableContext(
      tags, rows.size(), [&rows](std::size_t r) -> const TableRow& { return rows[r]; }, ids,
      hidBlockShift);
}

namespace {

// Where a table context goes as it is built: into its NodeContent (no writer), or streamed:
// heap pages into `out` as they fill, full row-matrix blocks parked in `stash` until the heap
// is written (`stashed`, in order).
struct TableSink {
  unsigned hidBlockShift = 16;    // in memory: the layout's heap id block shift
  NdbWriter* out = nullptr;
  RowSpill* stash = nullptr;
  std::vector<RowSpill::Ref> stashed;
  std::uint64_t heapBid = 0;      // streamed: the heap's data
  std::uint32_t hnidRows = 0;     // streamed: the subnode id of the stashed matrix
};

void BuildTable(const std::vector<std::uint32_t>& tags, std::size_t rowCount,
                const std::function<const TableRow&(std::size_t)>& rowAt, SubnodeIds& ids,
                NodeContent& content, TableSink& sink) {
  HeapWriter heap(0x7C, sink.out, sink.hidBlockShift);

  // Columns: the given tags sorted, plus the row id and version in the first two cells.
  struct Column {
    std::uint32_t tag;
    std::size_t source;  // index into a row's cells; SIZE_MAX for the row id and version
    std::uint16_t ibData = 0;
    std::uint8_t cbData = 0;
    std::uint8_t iBit = 0;
  };
  std::vector<Column> columns = {{kRowIdTag, SIZE_MAX}, {kRowVerTag, SIZE_MAX}};
  for (std::size_t i = 0; i < tags.size(); ++i) {
    if (tags[i] != kRowIdTag && tags[i] != kRowVerTag) columns.push_back({tags[i], i});
  }
  columns[0].ibData = 0;
  columns[0].cbData = 4;
  columns[0].iBit = 0;
  columns[1].ibData = 4;
  columns[1].cbData = 4;
  columns[1].iBit = 1;
  std::size_t at = 8;
  std::uint16_t rgib[4] = {};
  for (std::size_t width : {8u, 4u, 2u, 1u}) {
    for (std::size_t c = 2; c < columns.size(); ++c) {
      if (CellSize(static_cast<std::uint16_t>(columns[c].tag)) != width) continue;
      columns[c].ibData = static_cast<std::uint16_t>(at);
      columns[c].cbData = static_cast<std::uint8_t>(width);
      columns[c].iBit = static_cast<std::uint8_t>(c);
      at += width;
    }
    if (width == 4) rgib[0] = static_cast<std::uint16_t>(at);
    if (width == 2) rgib[1] = static_cast<std::uint16_t>(at);
    if (width == 1) rgib[2] = static_cast<std::uint16_t>(at);
  }
  const std::size_t rowSize = at + (columns.size() + 7) / 8;
  rgib[3] = static_cast<std::uint16_t>(rowSize);

  // The structure first (row index, table info, row matrix), as readers expect it in the
  // heap's first page; the cell values after it.
  const BthReservation rowIndex = ReserveBth(heap, 4, 4, rowCount);
  const std::uint32_t info = heap.Reserve(22 + 8 * columns.size());
  heap.SetUserRoot(info);
  const std::size_t matrixSize = rowCount * rowSize;
  const bool matrixInHeap = matrixSize > 0 && matrixSize <= kMaxHeapItem;
  const std::uint32_t matrixHid = matrixInHeap ? heap.Reserve(matrixSize) : 0;

  // The row matrix as it fills (one heap item when small). Larger, it is a data tree whose
  // blocks hold whole rows, every block but the last filled up to the largest block size with
  // zeros after its last row: readers find row N in block N / rowsPerBlock, and some of them
  // count its bytes as if the blocks were one stream. Streamed, each full block is parked in
  // the stash. The row index as (row id, row) pairs.
  const std::size_t rowsPerBlock = matrixInHeap ? rowCount : kMaxBlockData / rowSize;
  const bool stashMatrix = sink.stash != nullptr && !matrixInHeap;
  const std::size_t blocks = matrixInHeap || rowCount == 0 ? 1 : (rowCount - 1) / rowsPerBlock + 1;
  Bytes matrix;
  matrix.reserve(stashMatrix ? kMaxBlockData
                             : (matrixInHeap ? matrixSize : blocks * kMaxBlockData));
  std::vector<std::pair<std::uint32_t, std::uint32_t>> index;  // row id, row number
  index.reserve(rowCount);
  for (std::size_t r = 0; r < rowCount; ++r) {
    const TableRow& source = rowAt(r);
    if (!matrixInHeap && r > 0 && r % rowsPerBlock == 0) {
      matrix.resize(stashMatrix ? kMaxBlockData : r / rowsPerBlock * kMaxBlockData);
      if (stashMatrix) {
        sink.stashed.push_back(sink.stash->AddBytes(matrix));
        matrix.clear();
      }
    }
    matrix.resize(matrix.size() + rowSize);
    const std::span<std::byte> row = std::span(matrix).last(rowSize);
    const std::size_t ceb = rgib[2];
    auto present = [&row, ceb](std::uint8_t bit) {
      row[ceb + bit / 8] |= static_cast<std::byte>(0x80 >> (bit % 8));
    };
    const std::vector<std::optional<ByteSpan>> cells = source.Cells();
    StoreLe(row, 0, source.rowId, 4);
    StoreLe(row, 4, r + 1, 4);  // LtpRowVer: any non-zero value
    present(0);
    present(1);
    for (std::size_t c = 2; c < columns.size(); ++c) {
      const Column& col = columns[c];
      if (col.source >= cells.size() || !cells[col.source]) continue;
      const ByteSpan value = *cells[col.source];
      const auto type = static_cast<std::uint16_t>(col.tag);
      if (IsInlineType(type) || CellSize(type) == 8) {
        std::copy_n(value.begin(), std::min<std::size_t>(col.cbData, value.size()),
                    row.begin() + col.ibData);
      } else {
        // A row handed over may be gone by the next one: its long values are copied.
        StoreLe(row, col.ibData, StoreValue(value, heap, content, ids, true), 4);
      }
      present(col.iBit);
    }
    index.emplace_back(source.rowId, static_cast<std::uint32_t>(r));
  }
  std::sort(index.begin(), index.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  Bytes records(8 * index.size());
  for (std::size_t i = 0; i < index.size(); ++i) {
    StoreLe(records, 8 * i, index[i].first, 4);
    StoreLe(records, 8 * i + 4, index[i].second, 4);
  }
  index = {};
  FillBth(heap, rowIndex, 4, 4, records);

  std::uint32_t hnidRows = 0;
  if (matrixInHeap) {
    hnidRows = matrixHid;
    heap.Set(matrixHid, matrix);
  } else if (stashMatrix && !matrix.empty()) {
    sink.stashed.push_back(sink.stash->AddBytes(matrix));
    hnidRows = sink.hnidRows = ids.Next();
  } else if (!matrix.empty()) {
    hnidRows = ids.Next();
    NodeContent::Subnode& sub = content.subnodes.emplace_back();
    sub.nid = hnidRows;
    sub.owned = std::move(matrix);
    sub.blockSize = kMaxBlockData;
  }

  std::sort(columns.begin(), columns.end(),
            [](const Column& a, const Column& b) { return a.tag < b.tag; });
  Bytes tcinfo(22 + 8 * columns.size());
  StoreLe(tcinfo, 0, 0x7C, 1);
  StoreLe(tcinfo, 1, columns.size(), 1);
  for (int i = 0; i < 4; ++i) StoreLe(tcinfo, 2 + 2 * static_cast<std::size_t>(i), rgib[i], 2);
  StoreLe(tcinfo, 10, rowIndex.header, 4);
  StoreLe(tcinfo, 14, hnidRows, 4);
  for (std::size_t c = 0; c < columns.size(); ++c) {
    StoreLe(tcinfo, 22 + 8 * c, columns[c].tag, 4);
    StoreLe(tcinfo, 26 + 8 * c, columns[c].ibData, 2);
    StoreLe(tcinfo, 28 + 8 * c, columns[c].cbData, 1);
    StoreLe(tcinfo, 29 + 8 * c, columns[c].iBit, 1);
  }
  heap.Set(info, tcinfo);
  if (sink.out != nullptr) {
    sink.heapBid = heap.FinishStreamed();
  } else {
    content.heap = heap.Finish();
  }
}

}  // namespace

NodeContent BuildTableContext(const std::vector<std::uint32_t>& tags, std::size_t rowCount,
                              const std::function<const TableRow&(std::size_t)>& rowAt,
                              SubnodeIds& ids, unsigned hidBlockShift) {
  NodeContent content;
  TableSink inMemory;
  inMemory.hidBlockShift = hidBlockShift;
  BuildTable(tags, rowCount, rowAt, ids, content, inMemory);
  return content;
}

WrittenNode WriteTableContext(NdbWriter& writer, const std::vector<std::uint32_t>& tags,
                              std::size_t rowCount,
                              const std::function<const TableRow&(std::size_t)>& rowAt,
                              SubnodeIds& ids, RowSpill& stash, bool* lost) {
  NodeContent content;  // values too large for the heap
  TableSink sink;
  sink.out = &writer;
  sink.stash = &stash;
  BuildTable(tags, rowCount, rowAt, ids, content, sink);
  WrittenNode written;
  written.bidData = sink.heapBid;
  for (const NodeContent::Subnode& sub : content.subnodes) {
    written.subnodes.push_back({sub.nid, writer.WriteData(sub.Data(), sub.blockSize), 0});
  }
  if (!sink.stashed.empty()) {
    std::vector<std::uint64_t> leaves;
    std::vector<std::uint32_t> sizes;
    for (const RowSpill::Ref& ref : sink.stashed) {
      const std::optional<ByteSpan> block = stash.View(ref);
      if (!block) *lost = true;
      const Bytes zeros(block ? 0 : ref.size);
      leaves.push_back(writer.WriteData(block ? *block : ByteSpan(zeros)));
      sizes.push_back(ref.size);
    }
    const std::uint64_t bid = leaves.size() == 1 ? leaves.front() : writer.WriteTree(leaves, sizes);
    written.subnodes.push_back({sink.hnidRows, bid, 0});
  }
  written.bidSub = writer.WriteSubnodes(written.subnodes);
  return written;
}

WrittenNode WriteNodeContent(NdbWriter& writer, const NodeContent& content,
                             std::vector<SubnodeRecord> extraSubnodes) {
  WrittenNode written;
  written.bidData = writer.WriteBlocks(content.heap);
  for (const NodeContent::Subnode& sub : content.subnodes) {
    SubnodeRecord record{sub.nid, writer.WriteData(sub.Data(), sub.blockSize), 0};
    written.subnodes.push_back(record);
    extraSubnodes.push_back(record);
  }
  written.bidSub = writer.WriteSubnodes(std::move(extraSubnodes));
  return written;
}

}  // namespace palvara
