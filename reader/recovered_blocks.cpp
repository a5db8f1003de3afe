#include "reader/recovered_blocks.h"

#include <algorithm>
#include <cstring>

#include "common/text.h"
#include "reader/encoding.h"

namespace palvara {
namespace {

constexpr std::size_t kMaxProperties = 200;
constexpr std::uint16_t kTypeInt32 = 0x0003;
constexpr std::uint16_t kTypeBoolean = 0x000B;
constexpr std::uint16_t kTypeUnicode = 0x001F;

bool IsInline(std::uint16_t type) {
  return type == 0x0002 || type == kTypeInt32 || type == 0x0004 || type == 0x000A ||
         type == kTypeBoolean;
}

void Put16(Bytes& out, std::size_t at, std::uint16_t v) { StoreLe(out, at, v, 2); }
void Put32(Bytes& out, std::size_t at, std::uint32_t v) { StoreLe(out, at, v, 4); }

Bytes Utf16(const std::string& ascii) { return Utf8ToUtf16Le(ascii); }

MadeUpProperty Int32(std::uint16_t id, std::uint16_t type, std::uint32_t value) {
  MadeUpProperty p{id, type, Bytes(4)};
  Put32(p.value, 0, value);
  return p;
}

}  // namespace

Bytes BuildPropertyContext(std::vector<MadeUpProperty> properties) {
  if (properties.size() > kMaxProperties) properties.resize(kMaxProperties);
  std::sort(properties.begin(), properties.end(),
            [](const MadeUpProperty& a, const MadeUpProperty& b) { return a.id < b.id; });
  // Heap items: 1 the BTH header, 2 its records, then one per value that is not inline.
  std::vector<Bytes> items(2);
  items[0] = Bytes(8);
  items[0][0] = std::byte{0xB5};
  items[0][1] = std::byte{2};
  items[0][2] = std::byte{6};
  Put32(items[0], 4, 2u << 5);
  items[1] = Bytes(8 * properties.size());
  for (std::size_t i = 0; i < properties.size(); ++i) {
    const MadeUpProperty& p = properties[i];
    Put16(items[1], 8 * i, p.id);
    Put16(items[1], 8 * i + 2, p.type);
    std::uint32_t hnid = 0;
    if (IsInline(p.type)) {
      Bytes v = p.value;
      v.resize(4);
      hnid = *LoadLe32(v, 0);
    } else if (!p.value.empty()) {
      items.push_back(p.value);
      hnid = static_cast<std::uint32_t>(items.size()) << 5;
    }
    Put32(items[1], 8 * i + 4, hnid);
  }
  Bytes heap(12);
  std::vector<std::uint16_t> starts;
  for (const Bytes& item : items) {
    starts.push_back(static_cast<std::uint16_t>(heap.size()));
    heap.insert(heap.end(), item.begin(), item.end());
    if (heap.size() % 2 != 0) heap.push_back(std::byte{0});
  }
  const std::size_t ibHnpm = heap.size();
  heap.resize(ibHnpm + 4 + 2 * (items.size() + 1));
  Put16(heap, 0, static_cast<std::uint16_t>(ibHnpm));
  heap[2] = std::byte{0xEC};
  heap[3] = std::byte{0xBC};
  Put32(heap, 4, 1u << 5);
  Put16(heap, ibHnpm, static_cast<std::uint16_t>(items.size()));
  for (std::size_t i = 0; i < items.size(); ++i) Put16(heap, ibHnpm + 4 + 2 * i, starts[i]);
  Put16(heap, ibHnpm + 4 + 2 * items.size(), static_cast<std::uint16_t>(ibHnpm));
  return heap;
}

std::vector<MadeUpProperty> FolderProperties(const std::string& name, const std::string& cls,
                                             std::uint32_t contentCount, bool hasSubfolders) {
  std::vector<MadeUpProperty> properties;
  properties.push_back({0x3001, kTypeUnicode, Utf16(name)});
  if (!cls.empty()) properties.push_back({0x3613, kTypeUnicode, Utf16(cls)});
  properties.push_back(Int32(0x3602, kTypeInt32, contentCount));
  properties.push_back(Int32(0x3603, kTypeInt32, 0));
  properties.push_back(Int32(0x360A, kTypeBoolean, hasSubfolders ? 1 : 0));
  return properties;
}

std::size_t AppendedByteSource::ReadAt(std::uint64_t offset, std::span<std::byte> out) {
  std::size_t got = 0;
  if (offset < baseSize_) {
    got = base_->ReadAt(offset, out.first(static_cast<std::size_t>(
                                    std::min<std::uint64_t>(out.size(), baseSize_ - offset))));
    if (offset + got < baseSize_) return got;  // the file itself ended early
  }
  const std::uint64_t at = offset + got - baseSize_;
  if (at >= tail_.size() || got == out.size()) return got;
  const std::size_t n = std::min<std::size_t>(out.size() - got, tail_.size() - at);
  std::memcpy(out.data() + got, tail_.data() + at, n);
  return got + n;
}

std::uint64_t AppendedByteSource::Append(ByteSpan bytes) {
  // Keep the base's end and each block on 64-byte boundaries relative to the file.
  while ((baseSize_ + tail_.size()) % 64 != 0) tail_.push_back(std::byte{0});
  const std::uint64_t offset = baseSize_ + tail_.size();
  tail_.insert(tail_.end(), bytes.begin(), bytes.end());
  return offset;
}

const BlockEntry* AddMadeUpBlock(StoreFile& store, ByteSpan heap) {
  if (store.Layout() == nullptr || heap.size() > store.Layout()->maxBlockData || !store.file) {
    return nullptr;
  }
  auto* appended = dynamic_cast<AppendedByteSource*>(store.file.get());
  if (appended == nullptr) {
    auto wrapper = std::make_unique<AppendedByteSource>(std::move(store.file));
    appended = wrapper.get();
    store.file = std::move(wrapper);
  }
  // A block id above every id the index holds; bit 1 clear (a data block).
  std::uint64_t highest = 0;
  for (const BlockEntry& e : store.blocks) highest = std::max<std::uint64_t>(highest, e.id);
  const std::uint64_t id = (highest | 0x3) + 1;
  Bytes data(heap.begin(), heap.end());
  if (store.encoding == EncodingMethod::kPermute) EncodePermute(data);
  if (store.encoding == EncodingMethod::kCyclic) CodeCyclic(data, static_cast<std::uint32_t>(id));
  const BlockEntry entry(id, appended->Append(data), static_cast<std::uint16_t>(data.size()), 1);
  store.fileSize = appended->Size();
  store.blocks.Append(entry);
  return store.blocks.Find(id);
}

}  // namespace palvara
