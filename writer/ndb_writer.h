// The node database of a new Unicode store ([MS-PST] 2.2): blocks with trailers, data trees,
// subnode trees, the two B-trees, the allocation maps and the header. Blocks are written as
// they come, gathered into large sequential writes; the index entries wait until Finish lays
// out the B-trees and maps. What grows with the store (block and node entries, the allocation
// state of the intervals the writer has moved past, a B-tree's levels) waits in unnamed files
// beside it and comes back in order, so that memory stays at a fixed budget. A
// block is laid out in the write buffer as it comes; its encoding, CRC and trailer are finished
// when the buffer goes to the file, on the writer's own thread. As in a store that grew over
// time, the B-tree pages lie among the blocks: room for them is set aside in runs of eight
// pages as the entries grow, and Finish fills it.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "common/byte_view.h"
#include "common/status.h"
#include "reader/encoding.h"
#include "reader/geometry.h"

namespace palvara {

class RowSpill;

// The most data the writer puts in one block, whatever the layout: the Unicode layout's largest
// block, which every reader of the 4 KiB layout reads too.
inline constexpr std::size_t kMaxBlockData = kUnicodeGeometry.maxBlockData;
// Bytes gathered before they go to the file in one write.
inline constexpr std::size_t kDefaultWriteBuffer = std::size_t{2} << 20;

// How a new store is laid out: its layout (Unicode, or the 4 KiB pages of an OST), whether its
// data blocks are stored zlib-compressed where that is shorter (4 KiB pages only), and its
// client signature ("SM" for a PST, "SO" for an OST).
struct NdbLayout {
  const Geometry* geometry = &kUnicodeGeometry;
  bool compress = false;
  std::uint16_t client = 0x4D53;
  // Where the first block or page may go: past a hole of zeros the file does not store (a
  // large store in little room, for tests). 0: right after the first allocation map.
  std::uint64_t firstOffset = 0;
};
inline constexpr std::uint16_t kClientPst = 0x4D53;  // "SM"
inline constexpr std::uint16_t kClientOst = 0x4F53;  // "SO"

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
                                           std::size_t writeBuffer = kDefaultWriteBuffer,
                                           NdbLayout layout = {});

  const Geometry& layout() const { return g_; }
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

  // A block's place, handed out before its bytes are known: ReserveBlock gives the next bid and
  // offset, just as writing a block of `size` bytes would; FillBlock writes those bytes (the same
  // size) there later. Blocks reserved and filled come out as if written in reservation order.
  struct BlockSlot {
    std::uint64_t bid = 0;
    std::uint64_t offset = 0;
    std::size_t size = 0;
  };
  BlockSlot ReserveBlock(std::size_t size, bool internal = false);
  void FillBlock(const BlockSlot& slot, ByteSpan data, bool internal = false);

  // XBLOCKs over data blocks written before (1,021 each), and an XXBLOCK over those when there
  // are several; `sizes` are the blocks' data sizes. Returns the tree's bid.
  std::uint64_t WriteTree(const std::vector<std::uint64_t>& leaves,
                          const std::vector<std::uint32_t>& sizes);

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
  // How many writes went to the file so far: a buffer each, or bytes that went on their own.
  std::uint64_t FileWrites() const { return fileWrites_.load(); }
  // What Finish will add at the end for the B-trees, beyond the room set aside among the
  // blocks, with a margin.
  std::uint64_t IndexBytes() const;

 private:
  // One block B-tree entry in 12 bytes: a store's offsets in 64-byte units fit 31 bits
  // (128 GiB), and its bid follows from the entry's place (bids are handed out in steps of 4
  // from 4, one per entry, in order).
  struct BlockRecord {
    std::uint32_t unitAndInternal;  // ib / 64, and bit 31 for an internal block
    std::uint16_t cb;               // stored bytes
    std::uint16_t inflated;         // the data's bytes (cb unless compressed)
    std::int16_t cRef;
  };
  // One node B-tree entry in 16 bytes: the bids of a store below 2 GB fit 32 bits.
  struct NodeRecord {
    std::uint32_t nid;
    std::uint32_t bidData, bidSub;
    std::uint32_t nidParent;
  };
  static constexpr std::uint32_t kInternalBit = std::uint32_t{1} << 31;
  // A block in the write buffer whose encoding and trailer are still to be done: at `at` bytes
  // into the buffer, `cb` bytes of data.
  struct PendingBlock {
    std::uint64_t bid;
    std::uint32_t at;
    std::uint16_t cb;
    std::uint16_t inflated;
    bool internal;
  };
  struct PageRef {
    std::uint64_t key, bid, ib;
  };
  // The page slots set aside for one B-tree, in runs of eight in file order; Finish takes them
  // from the front.
  struct PageSlots {
    std::size_t pageSize = kSmallPageSize;
    std::vector<std::uint64_t> runs;  // where each run starts
    std::size_t taken = 0;
    std::size_t size() const { return runs.size() * kPagesPerRun; }
    std::uint64_t at(std::size_t i) const {
      return runs[i / kPagesPerRun] + pageSize * (i % kPagesPerRun);
    }
  };
  // Outlook takes B-tree pages from its page map eight at a time, as the store grows.
  static constexpr std::size_t kPagesPerRun = 8;
  static std::uint64_t BidOf(std::size_t at, const BlockRecord& b) {
    return ((at + 1) << 2) | ((b.unitAndInternal & kInternalBit) != 0 ? 2 : 0);
  }
  // Block entry `at` for laying out the block B-tree, read in order (runs come back from the
  // file one at a time).
  const BlockRecord& RecordAt(std::size_t at);
  // Node entry `at` in nid order for laying out the node B-tree, read in order: the sorted runs
  // come back from the file a little at a time and are merged.
  const NodeRecord& NodeAt(std::size_t at);
  void SpillNodes();

  NdbWriter(int fd, std::filesystem::path path, EncodingMethod encoding, std::size_t writeBuffer,
            NdbLayout layout);

  std::uint64_t WriteBlock(ByteSpan data, bool internal);
  // A block of `size` stored bytes holding `inflated` bytes of data.
  BlockSlot ReserveStoredBlock(std::size_t size, std::size_t inflated, bool internal);
  void FillStoredBlock(const BlockSlot& slot, ByteSpan data, std::size_t inflated, bool internal);
  // Encodes a block's data (unless internal) and fills its trailer; `block` starts at `offset`
  // in the file.
  void FinishBlock(std::span<std::byte> block, std::uint64_t offset, std::uint64_t bid,
                   std::size_t cb, std::size_t inflated, bool internal) const;
  // Where the layout's allocation map intervals and their map pages lie.
  std::uint64_t IntervalOf(std::uint64_t offset) const;
  std::uint64_t IntervalStart(std::uint64_t n) const;
  std::uint64_t ReservedBytes(std::uint64_t n) const;
  std::size_t TreePages(std::size_t entries, std::size_t leafCapacity) const;
  // Finishes the blocks laid out in `buffer`, which goes to the file at `start`.
  void FinishBlocks(Bytes& buffer, std::uint64_t start, std::vector<PendingBlock>& pending) const;
  std::uint64_t Allocate(std::size_t size, std::size_t alignment);
  void MarkUsed(std::uint64_t offset, std::size_t size, bool used = true);
  // The allocation bits of one interval: 3,968 units of 64 bytes, or 32,576 of 512 bytes in the
  // 4 KiB layout (its AMap page's 4,072 bytes).
  using MapWords = std::array<std::uint64_t, 509>;
  // Marks units [first, end) of interval n.
  void MarkUnits(std::uint64_t n, std::size_t first, std::size_t end, bool used);
  // The maps of the intervals before n are final (but for room Finish gives back): they go to
  // the file beside.
  void SettleMaps(std::uint64_t n);
  // Finish: the allocation bits of interval n.
  void LoadMap(std::uint64_t n, MapWords& words);
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
  // Lays out a B-tree over `count` entries in key order: `keyAt(i)` is the key of entry i,
  // `serialize(page, at, i)` writes it into a leaf page.
  template <typename KeyAt, typename Serialize>
  PageRef WriteBTree(std::size_t count, std::size_t leafCapacity, std::size_t leafSize,
                     std::uint8_t ptype, PageSlots& slots, KeyAt keyAt, Serialize serialize);

  int fd_;
  std::filesystem::path path_;
  const Geometry& g_;
  NdbLayout options_;
  std::size_t unitsPerMap_, mapBytes_;  // the layout's map units per interval, and their bytes
  std::size_t blockLeafEntries_, nodeLeafEntries_, intermediateEntries_;
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
  // The block entries in bid order. Full runs of kRecordRun go to an unnamed file beside the
  // store (where it can be made) until Finish; the newest run stays here. References added
  // to an entry already in the file wait in laterRefs_ (by bid).
  static constexpr std::size_t kRecordRun = 8192;
  std::unique_ptr<RowSpill> spill_;  // run k at k * kRecordRun entries
  std::size_t spilledRuns_ = 0;
  std::deque<BlockRecord> recent_;
  std::size_t blockCount_ = 0;
  std::unordered_map<std::uint64_t, std::int16_t> laterRefs_;
  std::vector<BlockRecord> readRun_;  // Finish: the run RecordAt read last
  std::size_t readRunAt_ = SIZE_MAX;
  // The node entries: runs of kNodeRun, each sorted by nid, go to an unnamed file beside the
  // store (run k at k * kNodeRun entries); the newest run stays here until it is full.
  static constexpr std::size_t kNodeRun = 4096;
  std::unique_ptr<RowSpill> nodeSpill_;
  std::vector<NodeRecord> recentNodes_;
  std::size_t nodeCount_ = 0;
  struct NodeMerge;
  std::unique_ptr<NodeMerge> nodeMerge_;  // Finish: the runs being merged
  PageSlots blockTreePages_, nodeTreePages_;
  // The allocation state, one bit per 64-byte unit. The interval being filled is here; the ones
  // before it go to an unnamed file beside the store (interval k at k * mapBytes_). Room given
  // back in those at the end is in lateMarks_.
  std::unique_ptr<RowSpill> mapSpill_;
  MapWords map_{};
  std::uint64_t mapInterval_ = 0;
  struct LateMark {
    std::uint64_t interval;
    std::uint32_t first, end;
    bool used;
  };
  std::vector<LateMark> lateMarks_;
  std::filesystem::path spillFolder_;
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
  std::atomic<std::uint64_t> fileWrites_ = 0;
  std::thread writeBehind_;
};

}  // namespace palvara
