// Block access: raw reads by offset, block lookup by id, decoding, data trees
// (XBLOCK/XXBLOCK, [MS-PST] 2.2.2.8.3.2) delivered to a sink, and subnode lists
// (SLBLOCK/SIBLOCK, 2.2.2.8.3.3).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/byte_view.h"
#include "reader/store_file.h"

namespace palvara {

// Receives node data written to a stream.
class ByteWriter {
 public:
  virtual ~ByteWriter() = default;
  virtual void Write(ByteSpan bytes) = 0;
};

// Where node data goes: into `out` (a buffer the caller owns) when set, else into `blocks`
// (one buffer per block, for heaps whose blocks each carry a page map), else to `stream`.
// With `sizesOnly` it goes nowhere: only a data tree's own blocks are read (meeting the same
// damage a whole read meets) and each data block counts with the bytes the file holds of it.
// Mode 1 writes to the stream in multiples of 3 bytes, holding up to 2 bytes in `carry`
// between blocks; whatever is left in the carry after the last block is the caller's to flush.
struct DataSink {
  Bytes* out = nullptr;
  std::vector<Bytes>* blocks = nullptr;  // when set (and out is not): one buffer per data block
  ByteWriter* stream = nullptr;
  int mode = 0;
  std::array<std::byte, 2> carry{};
  int carryCount = 0;
  bool sizesOnly = false;
};

// Reads `count` bytes at `offset`, no decoding. The result holds the bytes actually read
// (fewer at the end of the file).
Bytes ReadBlockAt(StoreFile& store, std::uint64_t offset, std::size_t count);
// The same bytes appended to `out`; returns how many were appended.
std::size_t AppendBlockAt(StoreFile& store, std::uint64_t offset, std::size_t count, Bytes& out);

// The first index entry for `id` (bit 0 ignored); nullptr for 0 or when absent.
const BlockEntry* FindBlock(const StoreFile& store, std::uint64_t id);

// Reads a block's bytes as stored: nullopt when the id is not in the index, else the bytes
// actually read (fewer than the entry's size when the file ends early).
std::optional<Bytes> ReadBlock(StoreFile& store, std::uint64_t id);

// ReadBlock, then decoding with the store's encoding method.
std::optional<Bytes> ReadDecodedBlock(StoreFile& store, std::uint64_t id);

// Reads a node's (or subnode's) data: a data tree when the entry is an internal block, else one
// decoded block. Returns the number of data bytes delivered (0 for a null entry or when a data
// tree cannot be read whole; a buffer sink is then left empty).
std::uint64_t ReadNodeData(StoreFile& store, const BlockEntry* entry, DataSink& sink);

// Assembles the data tree rooted at block `id`; returns deliveredSoFar plus what this call
// delivered, or 0 when a block of the tree is missing.
std::uint64_t ReadDataTree(StoreFile& store, std::uint64_t id, DataSink& sink,
                           std::uint64_t deliveredSoFar);

// What ReadNodeBytes would return the size of, and the damage it would report, without reading
// or decoding the data blocks (a sink with `sizesOnly`).
std::uint64_t CheckNodeData(StoreFile& store, const BlockEntry* entry);

// Convenience: a node's whole data in one buffer (empty when unreadable).
Bytes ReadNodeBytes(StoreFile& store, const BlockEntry* entry);

// A node's data block by block, decoded (empty when unreadable).
std::vector<Bytes> ReadNodeBlocks(StoreFile& store, const BlockEntry* entry);

// One entry of a node's subnode list. The list is flat: a subnode's own subnodes follow it.
struct SubnodeEntry {
  std::uint32_t nid = 0;
  const BlockEntry* data = nullptr;
  const BlockEntry* subnodes = nullptr;  // the subnode's own subnode block, or null
  std::uint32_t level = 0;               // 0: the node's own subnode; n: nested n deep
};
using SubnodeList = std::vector<SubnodeEntry>;

// Appends the subnodes of the subnode block `block` (leaf or intermediate) to `list`.
// Returns false, leaving the list as it was, when the block is not a readable subnode block.
// Entries whose data block is not in the index are skipped with their nested subnodes.
bool ReadSubnodes(StoreFile& store, const BlockEntry* block, SubnodeList& list);

// The data block of the entry with `nid`; nullptr when none. Of several, the node's own
// subnode wins over a nested one (nested lists number their subnodes independently), then the
// first in list order.
const BlockEntry* FindSubnode(const SubnodeList& list, std::uint32_t nid);
// The entry FindSubnode picks; nullptr when none.
const SubnodeEntry* FindSubnodeEntry(const SubnodeList& list, std::uint32_t nid);

}  // namespace palvara
