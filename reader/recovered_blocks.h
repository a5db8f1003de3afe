// Blocks the recovery pass makes up for folders whose own data is lost: a small property
// context ([MS-PST] 2.3.1 heap-on-node, 2.3.2 BTH, 2.3.3 PC) per folder, held in memory past
// the file's last byte and listed in the block index like any block, so that every reader of
// the store (analysis, saving, listings) sees an ordinary folder.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/byte_view.h"
#include "reader/byte_source.h"
#include "reader/store_file.h"

namespace palvara {

// One property of a made-up property context: an inline value (4 bytes at most) or a heap
// item (strings, binary).
struct MadeUpProperty {
  std::uint16_t id = 0;
  std::uint16_t type = 0;
  Bytes value;
};

// A folder property context holding `properties` (at most 200, values under 6 KiB in all).
// The bytes are as the heap is read, before any block encoding.
Bytes BuildPropertyContext(std::vector<MadeUpProperty> properties);

// The properties of a folder named `name` (UTF-16 string) with container class `cls` (none
// when empty) and the given counts.
std::vector<MadeUpProperty> FolderProperties(const std::string& name, const std::string& cls,
                                             std::uint32_t contentCount, bool hasSubfolders);

// A byte source that serves a store file and, past its end, blocks added in memory.
class AppendedByteSource final : public ByteSource {
 public:
  explicit AppendedByteSource(std::unique_ptr<ByteSource> base)
      : base_(std::move(base)), baseSize_(base_->Size()) {}
  std::uint64_t Size() const override { return baseSize_ + tail_.size(); }
  std::size_t ReadAt(std::uint64_t offset, std::span<std::byte> out) override;

  // Appends `bytes` on a 64-byte boundary; returns their offset.
  std::uint64_t Append(ByteSpan bytes);

 private:
  std::unique_ptr<ByteSource> base_;
  std::uint64_t baseSize_;
  Bytes tail_;
};

// Adds a block holding `heap` (encoded with the store's method) to the store, in memory, under
// a block id no block of the file uses; returns its index entry (nullptr when the heap is too
// large for one block).
const BlockEntry* AddMadeUpBlock(StoreFile& store, ByteSpan heap);

}  // namespace palvara
