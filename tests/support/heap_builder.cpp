#include "tests/support/heap_builder.h"

#include <algorithm>

namespace palvara::testing {

HeapBuilder::HeapBuilder(std::uint8_t clientSignature) : client_(clientSignature), pages_(1) {}

std::uint32_t HeapBuilder::Add(ByteSpan item, std::size_t page) {
  if (pages_.size() <= page) pages_.resize(page + 1);
  pages_[page].emplace_back(item.begin(), item.end());
  return static_cast<std::uint32_t>((page << 16) | (pages_[page].size() << 5));
}

std::vector<Bytes> HeapBuilder::Finish() const {
  std::vector<Bytes> out;
  for (std::size_t p = 0; p < pages_.size(); ++p) {
    const std::size_t header = p == 0 ? 12 : 2;
    Bytes page(header);
    std::vector<std::uint16_t> offsets{static_cast<std::uint16_t>(header)};
    for (const Bytes& item : pages_[p]) {
      page.insert(page.end(), item.begin(), item.end());
      offsets.push_back(static_cast<std::uint16_t>(page.size()));
    }
    if (page.size() % 2 != 0) page.push_back(std::byte{0});
    const std::size_t ibHnpm = page.size();
    page.resize(ibHnpm + 4 + 2 * offsets.size());
    StoreLe(page, ibHnpm, pages_[p].size(), 2);
    for (std::size_t i = 0; i < offsets.size(); ++i) StoreLe(page, ibHnpm + 4 + 2 * i, offsets[i], 2);
    StoreLe(page, 0, ibHnpm, 2);
    if (p == 0) {
      StoreLe(page, 2, 0xEC, 1);
      StoreLe(page, 3, client_, 1);
      StoreLe(page, 4, userRoot_, 4);
    }
    out.push_back(std::move(page));
  }
  return out;
}

std::vector<Bytes> MakePropertyContext(std::vector<PcProperty> properties) {
  std::sort(properties.begin(), properties.end(),
            [](const PcProperty& a, const PcProperty& b) { return a.id < b.id; });
  HeapBuilder heap(0xBC);
  Bytes records;
  for (const PcProperty& p : properties) {
    const std::uint32_t word = p.heapValue ? heap.Add(*p.heapValue, p.page) : p.valueWord;
    Bytes record(8);
    StoreLe(record, 0, p.id, 2);
    StoreLe(record, 2, p.type, 2);
    StoreLe(record, 4, word, 4);
    records.insert(records.end(), record.begin(), record.end());
  }
  const std::uint32_t leaves = records.empty() ? 0 : heap.Add(records);
  Bytes bth(8);
  StoreLe(bth, 0, 0xB5, 1);
  StoreLe(bth, 1, 2, 1);
  StoreLe(bth, 2, 6, 1);
  StoreLe(bth, 4, leaves, 4);
  heap.SetUserRoot(heap.Add(bth));
  return heap.Finish();
}

std::uint32_t ExtraItemHid(std::size_t index) {
  return static_cast<std::uint32_t>((index + 1) << 5);
}

BuiltTable MakeTableContext(const TcSpec& spec) {
  BuiltTable built;
  HeapBuilder heap(0x7C);
  for (const Bytes& item : spec.extraItems) built.extraHids.push_back(heap.Add(item));

  // Cell offsets: 8- and 4-byte cells first, then 2-byte, then 1-byte, then the bitmap.
  std::vector<std::uint16_t> ibData(spec.columns.size());
  std::size_t at = 0;
  std::uint16_t rgib[4] = {};
  for (std::size_t width : {8u, 4u, 2u, 1u}) {
    for (std::size_t i = 0; i < spec.columns.size(); ++i) {
      if (spec.columns[i].cbData != width) continue;
      ibData[i] = static_cast<std::uint16_t>(at);
      at += width;
    }
    if (width == 4) rgib[0] = static_cast<std::uint16_t>(at);
    if (width == 2) rgib[1] = static_cast<std::uint16_t>(at);
    if (width == 1) rgib[2] = static_cast<std::uint16_t>(at);
  }
  rgib[3] = static_cast<std::uint16_t>(at + (spec.columns.size() + 7) / 8);
  built.rowSize = rgib[3];

  for (const auto& row : spec.rows) {
    Bytes bytes(built.rowSize);
    for (std::size_t i = 0; i < spec.columns.size() && i < row.size(); ++i) {
      if (!row[i]) continue;
      std::copy_n(row[i]->begin(), std::min<std::size_t>(row[i]->size(), spec.columns[i].cbData),
                  bytes.begin() + ibData[i]);
      bytes[rgib[2] + i / 8] |= static_cast<std::byte>(0x80 >> (i % 8));
    }
    built.rowMatrix.insert(built.rowMatrix.end(), bytes.begin(), bytes.end());
  }

  const std::size_t indexEntry = spec.ansi ? 2 : 4;
  Bytes rowIndex;
  for (std::size_t r = 0; r < spec.rows.size(); ++r) {
    Bytes record(4 + indexEntry);
    StoreLe(record, 0, 0x100 + r, 4);
    StoreLe(record, 4, r, indexEntry);
    rowIndex.insert(rowIndex.end(), record.begin(), record.end());
  }
  const std::uint32_t rowIndexLeaves = heap.Add(spec.rowIndexLeaf.value_or(rowIndex));
  Bytes bth(8);
  StoreLe(bth, 0, 0xB5, 1);
  StoreLe(bth, 1, 4, 1);
  StoreLe(bth, 2, indexEntry, 1);
  StoreLe(bth, 4, rowIndexLeaves, 4);
  const std::uint32_t hidRowIndex = heap.Add(bth);
  const std::uint32_t hnidRows =
      spec.rowMatrixSubnode != 0 ? spec.rowMatrixSubnode : heap.Add(built.rowMatrix);

  Bytes info(22 + 8 * spec.columns.size());
  StoreLe(info, 0, 0x7C, 1);
  StoreLe(info, 1, spec.columns.size(), 1);
  for (int i = 0; i < 4; ++i) StoreLe(info, 2 + 2 * i, rgib[i], 2);
  StoreLe(info, 10, hidRowIndex, 4);
  StoreLe(info, 14, hnidRows, 4);
  for (std::size_t i = 0; i < spec.columns.size(); ++i) {
    const std::size_t c = 22 + 8 * i;
    StoreLe(info, c, (std::uint32_t{spec.columns[i].id} << 16) | spec.columns[i].type, 4);
    StoreLe(info, c + 4, ibData[i], 2);
    StoreLe(info, c + 6, spec.columns[i].cbData, 1);
    StoreLe(info, c + 7, i, 1);
  }
  heap.SetUserRoot(heap.Add(info));
  built.heap = heap.Finish();
  return built;
}

}  // namespace palvara::testing
