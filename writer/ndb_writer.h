// The node database of a new Unicode store ([MS-PST] 2.2): blocks with trailers, data trees,
// subnode trees, the two B-trees, the allocation maps and the header. Blocks are written as
// they come, gathered into large sequential writes; only the index entries stay in memory
// until Finish lays out the B-trees and maps. A block is laid out in the write buffer as it
// comes; its encoding, CRC and trailer are finished when the buffer goes to the file, on the
// writer's own thread. As in a store that grew over time, the B-tree
// pages lie among the blocks: room for them is set aside in runs of eight pages as the entries
// grow, and Finish fills it.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/byte_view.h"
#include "common/status.h"
#include "reader/encoding.h"

namespace palvara {

inline constexpr std::size_t kMaxBlockData = 8176;
// Bytes gathered before they go to the file in one write.
inline constexpr std::size_t kDefaultWriteBuffer = std::size_t{2} << 20;

struct SubnodeRecord {
  std::uint32_t nid = 0;
  std::uint64_t bidData = 0;
  std::uint64_t bidSub = 0;
};

class NdbWriter {
 public:
  // Creates (or truncates) the unfinished file of `path`. On failure returns nullptr with the
  // reason in `error`. Writes are gathered in a buffer of `writeBuffer` bytes (0: each goes to
  // the file at once); the file's bytes are the same either way. A full buffer goes to the file
  // on a thread of the writer's own while the next one fills.
  static std::unique_ptr<NdbWriter> Create(const std::filesystem::path& path,
                                           EncodingMethod encoding, Status* error,
                                           std::size_t writeBuffer = kDefaultWriteBuffer);
  // A writer destroyed before a successful Finish removes its partial file.
  ~NdbWriter();

  // Where the store is written until Finish renames it to its own name: `path` + ".partial",
  // so that an unfinished store never carries a store file's name.
  static std::filesystem::path UnfinishedPath(const std::filesystem::path& path);
  NdbWriter(const NdbWriter&) = delete;
  NdbWriter& operator=(const NdbWriter&) = delete;

  // Writes a node's data stream: one block up to `blockSize` (at most 8,176) bytes, else a data
  // tree of blocks of `blockSize` bytes (XBLOCK, or XXBLOCK past 1,021 blocks). Returns the bid
  // that references it (0 for none).
  std::uint64_t WriteData(ByteSpan data, std::size_t blockSize = kMaxBlockData);

  // Writes data whose blocks must stay as given (the pages of a heap), under a data tree when
  // there are several. Each block holds at most 8,176 bytes.
  std::uint64_t WriteBlocks(const std::vector<Bytes>& blocks);

  // Writes a subnode tree (SLBLOCK, or SIBLOCK over SLBLOCKs past 340 entries); returns its
  // bid, 0 for no subnodes.
  std::uint64_t WriteSubnodes(std::vector<SubnodeRecord> records);

  // Counts one more reference to a block written before (a subnode listed in two places).
  void AddReference(std::uint64_t bid);

  // Adds a node B-tree entry.
  void AddNode(std::uint32_t nid, std::uint64_t bidData, std::uint64_t bidSub,
               std::uint32_t nidParent);

  // The header's rgnid: the last nid index allocated per nid type.
  void SetNidCounters(const std::array<std::uint32_t, 32>& rgnid) { rgnid_ = rgnid; }

  // Writes the B-trees, the maps and the header. The writer is done afterwards.
  Status Finish();

  // The first write error, if any (later writes are then skipped). A failed write is seen
  // when its buffer goes to the file: at the latest by Finish.
  const Status& status() const { return status_; }
  std::uint64_t BytesWritten() const { return cursor_; }
  // What Finish will add at the end for the B-trees, beyond the room set aside among the
  // blocks, with a margin.
  std::uint64_t IndexBytes() const;

 private:
  struct BlockRecord {
    std::uint64_t bid, ib;
    std::uint16_t cb;
    std::int16_t cRef;
  };
  struct NodeRecord {
    std::uint32_t nid;
    std::uint64_t bidData, bidSub;
    std::uint32_t nidParent;
  };
  // A block in the write buffer whose encoding and trailer are still to be done: at `at` bytes
  // into the buffer, `cb` bytes of data.
  struct PendingBlock {
    std::uint64_t bid;
    std::uint32_t at;
    std::uint16_t cb;
    bool internal;
  };
  struct PageRef {
    std::uint64_t key, bid, ib;
  };
  // The page slots set aside for one B-tree, in file order; Finish takes them from the front.
  struct PageSlots {
    std::vector<std::uint64_t> offsets;
    std::size_t taken = 0;
  };
  static std::uint64_t KeyOf(const BlockRecord& b) { return b.bid; }
  static std::uint64_t KeyOf(const NodeRecord& n) { return n.nid; }

  NdbWriter(int fd, std::filesystem::path path, EncodingMethod encoding, std::size_t writeBuffer);

  std::uint64_t WriteBlock(ByteSpan data, bool internal);
  // Encodes a block's data (unless internal) and fills its trailer; `block` starts at `offset`
  // in the file.
  void FinishBlock(std::span<std::byte> block, std::uint64_t offset, std::uint64_t bid,
                   std::size_t cb, bool internal) const;
  // Finishes the blocks laid out in `buffer`, which goes to the file at `start`.
  void FinishBlocks(Bytes& buffer, std::uint64_t start, std::vector<PendingBlock>& pending) const;
  std::uint64_t WriteTree(const std::vector<std::uint64_t>& leaves,
                          const std::vector<std::uint32_t>& sizes);
  std::uint64_t Allocate(std::size_t size, std::size_t alignment);
  void MarkUsed(std::uint64_t offset, std::size_t size, bool used = true);
  void SetAsidePages(PageSlots& slots, std::size_t entries, std::size_t leafCapacity);
  std::uint64_t TakePage(PageSlots& slots);
  void WriteAt(std::uint64_t offset, ByteSpan bytes);
  // Room in the write buffer for bytes [offset, offset + size), zero-filled, when they follow
  // what it holds (or it is empty) and fit; empty otherwise. Valid until the next write.
  std::span<std::byte> BufferSpan(std::uint64_t offset, std::size_t size);
  // Writes at once, after the buffer on its way to the file.
  void WriteToFile(std::uint64_t offset, ByteSpan bytes);
  // Hands the buffer to the writing thread.
  void Flush();
  // Waits until the buffer handed over last is in the file; its error becomes status_.
  void Drain();
  // The writing thread's loop.
  void WriteBehind();
  void WritePage(std::uint64_t offset, Bytes& page, std::uint8_t ptype, std::uint64_t bid,
                 bool signed_);
  template <typename Entry, typename Serialize>
  PageRef WriteBTree(const std::vector<Entry>& entries, std::size_t leafCapacity,
                     std::size_t leafSize,
                     std::uint8_t ptype, PageSlots& slots, Serialize serialize);

  int fd_;
  std::filesystem::path path_;
  // Bytes not yet in the file, for offsets [bufferStart_, bufferStart_ + buffer_.size()).
  Bytes buffer_;
  std::vector<PendingBlock> pending_;  // the blocks of buffer_ not yet finished
  std::uint64_t bufferStart_ = 0;
  std::size_t bufferLimit_;
  std::uint64_t writtenEnd_ = 0;  // the end of the furthest write so far
  EncodingMethod encoding_;
  Status status_ = Status::Ok();
  bool finished_ = false;
  std::uint64_t cursor_;
  std::uint64_t bidNextB_ = 4;
  std::uint64_t bidNextP_ = 0;
  std::vector<BlockRecord> blocks_;
  std::vector<NodeRecord> nodes_;
  PageSlots blockTreePages_, nodeTreePages_;
  std::vector<bool> used_;  // one flag per 64-byte unit from 0x4400
  std::array<std::uint32_t, 32> rgnid_{};
  // The buffer the writing thread has (or had last), for [handedStart_, + its size).
  std::mutex handMutex_;
  std::condition_variable handChanged_;
  Bytes handed_;
  std::vector<PendingBlock> handedPending_;
  std::uint64_t handedStart_ = 0;
  bool handing_ = false;   // handed_ waits for the file
  bool stopping_ = false;  // the writer is going away
  bool behind_ = false;    // full buffers go to the writing thread (until Finish)
  Status handedStatus_ = Status::Ok();
  std::thread writeBehind_;
};

}  // namespace palvara
