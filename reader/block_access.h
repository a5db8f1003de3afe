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

// Reads a block's bytes as stored, inflated when compressed: nullopt when the id is not in the
// index or the block does not inflate, else the bytes actually read (fewer than the entry's
// size when the file ends early).
std::optional<Bytes> ReadBlock(StoreFile& store, std::uint64_t id);

// ReadBlock, then decoding with the store's encoding method.
std::optional<Bytes> ReadDecodedBlock(StoreFile& store, std::uint64_t id);

// A block as the file stores it: its stored bytes (fewer where the file ends early) and, in a
// layout whose blocks may be compressed, the inflated size its trailer records (nullopt when
// the trailer cannot be read or names another block).
struct StoredBlock {
  Bytes bytes;
  std::optional<std::size_t> inflatedSize;
};
StoredBlock ReadStoredBlock(StoreFile& store, const BlockEntry& entry);

// The data a stored block holds: decoded with `method` when given, then, when the block is
// compressed (its trailer records another inflated size; with the trailer lost, when its bytes
// are a zlib stream), inflated and checked (the zlib header, the Adler-32, the inflated size).
// nullopt when a compressed block does not inflate, reported as damage when `report`.
std::optional<Bytes> BlockContent(StoreFile& store, const BlockEntry& entry, StoredBlock stored,
                                  std::optional<EncodingMethod> method, bool report = true);

// ReadStoredBlock, then BlockContent: decoded with the store's encoding when `decode`.
std::optional<Bytes> ReadBlockData(StoreFile& store, const BlockEntry& entry, bool decode);

// The first `count` bytes of a block's data (decoded with `method` when given): a short read
// where blocks are stored as they are, the whole block inflated where they may be compressed.
// Empty when the block does not read.
Bytes ReadBlockHead(StoreFile& store, const BlockEntry& entry, std::size_t count,
                    std::optional<EncodingMethod> method);

// The size ReadBlockData's result has, without reading the block's data (in a layout whose
// blocks may be compressed, the inflated size its trailer records).
std::uint64_t BlockDataSize(StoreFile& store, const BlockEntry& entry);

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
