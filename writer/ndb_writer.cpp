#include "writer/ndb_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <queue>

#include "reader/crc.h"
#include "writer/row_spill.h"

namespace palvara {
namespace {

// The most one pwrite hands the kernel. Larger writes let it fill the page cache with large
// folios, whose allocation can cost several times the copy itself (seen on a virtual machine
// whose free memory goes back to its host: 2 MiB writes took nine times the system time of
// 128 KiB ones for the same file).
constexpr std::size_t kWritePiece = std::size_t{128} << 10;

// pwrite until every byte is written.
Status WriteAll(int fd, const std::filesystem::path& path, std::uint64_t offset, ByteSpan bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pwrite(fd, bytes.data() + done, std::min(bytes.size() - done, kWritePiece),
                               static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Status::Error("Cannot write \"" + path.string() + "\": " + std::strerror(errno));
    done += static_cast<std::size_t>(n);
  }
  return Status::Ok();
}

constexpr std::uint64_t kFirstAMap = 0x4400;
constexpr std::uint64_t kAMapInterval = 0x3E000;  // 3,968 units of 64 bytes
constexpr std::uint64_t kDListOffset = 0x4200;
constexpr std::size_t kUnitsPerAMap = 3968;
constexpr std::size_t kXBlockFanout = 1021;   // (8176 - 8) / 8
constexpr std::size_t kSlEntries = 340;       // (8176 - 8) / 24
constexpr std::size_t kSiEntries = 510;       // (8176 - 8) / 16
// Past 8,192 AMaps (about 2 GB) FPMap pages would be due; a store stays below that.
constexpr std::uint64_t kMaxAMaps = 8192;
constexpr std::size_t kBlockLeafEntries = 20;  // 488 / 24
constexpr std::size_t kNodeLeafEntries = 15;   // 488 / 32
constexpr std::size_t kIntermediateEntries = 20;
// The allocation bits of one interval, as its AMap page holds them.
constexpr std::size_t kMapBytes = kUnitsPerAMap / 8;
constexpr std::uint8_t kPtypeBbt = 0x80, kPtypeNbt = 0x81, kPtypeFMap = 0x82, kPtypePMap = 0x83,
                       kPtypeAMap = 0x84, kPtypeDList = 0x86;

std::uint64_t AlignUp(std::uint64_t value, std::uint64_t to) { return (value + to - 1) / to * to; }

// Sets (or clears) bits [first, end) of an interval's allocation bits.
template <typename Words>
void MarkBits(Words& words, std::size_t first, std::size_t end, bool used) {
  // A word at a time: the bits of [first, end) that fall in it.
  while (first < end) {
    const std::size_t bit = first % 64;
    const std::size_t n = std::min<std::size_t>(64 - bit, end - first);
    const std::uint64_t mask = (n == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1) << bit;
    std::uint64_t& word = words[first / 64];
    word = used ? word | mask : word & ~mask;
    first += n;
  }
}

std::uint64_t IntervalOf(std::uint64_t offset) { return (offset - kFirstAMap) / kAMapInterval; }
std::uint64_t IntervalStart(std::uint64_t n) { return kFirstAMap + n * kAMapInterval; }
bool HasPMap(std::uint64_t n) { return n % 8 == 0; }
bool HasFMap(std::uint64_t n) { return n >= 128 && (n - 128) % 496 == 0; }
// Map pages at the start of interval n: its AMap, then a PMap and an FMap where due.
std::uint64_t ReservedBytes(std::uint64_t n) {
  return 512 + (HasPMap(n) ? 512 : 0) + (HasFMap(n) ? 512 : 0);
}

// The pages of a B-tree over `entries` entries: its leaves and every level above them.
std::size_t TreePages(std::size_t entries, std::size_t leafCapacity) {
  std::size_t level = std::max<std::size_t>(1, (entries + leafCapacity - 1) / leafCapacity);
  std::size_t pages = level;
  while (level > 1) {
    level = (level + kIntermediateEntries - 1) / kIntermediateEntries;
    pages += level;
  }
  return pages;
}

}  // namespace

std::filesystem::path NdbWriter::UnfinishedPath(const std::filesystem::path& path) {
  std::filesystem::path unfinished = path;
  unfinished += ".partial";
  return unfinished;
}

std::unique_ptr<NdbWriter> NdbWriter::Create(const std::filesystem::path& path,
                                             EncodingMethod encoding, Status* error,
                                             std::size_t writeBuffer) {
  const std::filesystem::path unfinished = UnfinishedPath(path);
  const int fd = ::open(unfinished.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = Status::Error("Cannot create \"" + unfinished.string() + "\": " + std::strerror(errno));
    return nullptr;
  }
  *error = Status::Ok();
  return std::unique_ptr<NdbWriter>(new NdbWriter(fd, path, encoding, writeBuffer));
}

NdbWriter::NdbWriter(int fd, std::filesystem::path path, EncodingMethod encoding,
                     std::size_t writeBuffer)
    : fd_(fd),
      path_(std::move(path)),
      bufferLimit_(writeBuffer),
      encoding_(encoding),
      cursor_(kFirstAMap) {
  buffer_.reserve(bufferLimit_);
  spillFolder_ = path_.has_parent_path() ? path_.parent_path() : ".";
  spill_ = std::make_unique<RowSpill>(spillFolder_, kRecordRun * sizeof(BlockRecord));
  if (!spill_->Spilling()) spill_.reset();
  // Where no file can be made beside the store, these keep what they are given in memory.
  nodeSpill_ = std::make_unique<RowSpill>(spillFolder_, kNodeRun * sizeof(NodeRecord));
  mapSpill_ = std::make_unique<RowSpill>(spillFolder_, 128 * kMapBytes);
  if (bufferLimit_ > 0) {
    behind_ = true;
    writeBehind_ = std::thread([this] { WriteBehind(); });
  }
  rgnid_.fill(0x400);
  rgnid_[3] = 0x4000;
  rgnid_[4] = 0x10000;
  rgnid_[8] = 0x8000;
}

NdbWriter::~NdbWriter() {
  if (writeBehind_.joinable()) {
    {
      const std::lock_guard lock(handMutex_);
      stopping_ = true;
    }
    handChanged_.notify_all();
    writeBehind_.join();
  }
  ::close(fd_);
  if (!finished_) {
    std::error_code ec;
    std::filesystem::remove(UnfinishedPath(path_), ec);
  }
}

// Blocks and pages mostly follow one another; the few gaps between them (map pages that
// Finish writes, alignment) are filled with zeros in the buffer when nothing was written past
// them yet, which is what the file holds there until Finish writes them. Bytes that follow
// the buffer's end directly join it wherever it lies (the B-tree pages Finish writes into the
// runs set aside for them).
void NdbWriter::WriteAt(std::uint64_t offset, ByteSpan bytes) {
  if (!status_.ok()) return;
  const std::uint64_t end = bufferStart_ + buffer_.size();
  const bool empty = buffer_.empty();
  const bool inside = !empty && offset >= bufferStart_ && offset + bytes.size() <= end;
  const bool extends = !empty && offset >= end && (offset == end || end == writtenEnd_) &&
                       offset + bytes.size() - bufferStart_ <= bufferLimit_;
  writtenEnd_ = std::max<std::uint64_t>(writtenEnd_, offset + bytes.size());
  if (inside) {
    std::copy(bytes.begin(), bytes.end(),
              buffer_.begin() + static_cast<std::ptrdiff_t>(offset - bufferStart_));
    return;
  }
  if (!extends) {
    Flush();
    if (bytes.size() >= bufferLimit_) {
      WriteToFile(offset, bytes);
      return;
    }
    bufferStart_ = offset;
  }
  buffer_.resize(static_cast<std::size_t>(offset - bufferStart_));
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

std::span<std::byte> NdbWriter::BufferSpan(std::uint64_t offset, std::size_t size) {
  if (!status_.ok() || size >= bufferLimit_) return {};
  const std::uint64_t end = bufferStart_ + buffer_.size();
  const bool extends = !buffer_.empty() && offset >= end && end == writtenEnd_ &&
                       offset + size - bufferStart_ <= bufferLimit_;
  if (!extends) {
    Flush();
    bufferStart_ = offset;
  }
  writtenEnd_ = std::max<std::uint64_t>(writtenEnd_, offset + size);
  const auto at = static_cast<std::size_t>(offset - bufferStart_);
  buffer_.resize(at + size);  // zeros, as a block's padding must be
  return std::span(buffer_).subspan(at, size);
}

void NdbWriter::Flush() {
  if (buffer_.empty()) return;
  if (!behind_) {
    FinishBlocks(buffer_, bufferStart_, pending_);
    WriteToFile(bufferStart_, buffer_);
    buffer_.clear();
    return;
  }
  Drain();
  if (status_.ok()) {
    {
      const std::lock_guard lock(handMutex_);
      // The buffer the thread wrote last comes back to be filled next.
      std::swap(buffer_, handed_);
      std::swap(pending_, handedPending_);
      handedStart_ = bufferStart_;
      handing_ = true;
    }
    handChanged_.notify_all();
  }
  buffer_.clear();
  pending_.clear();
}

void NdbWriter::Drain() {
  if (!writeBehind_.joinable()) return;
  std::unique_lock lock(handMutex_);
  handChanged_.wait(lock, [this] { return !handing_; });
  if (status_.ok() && !handedStatus_.ok()) status_ = handedStatus_;
}

void NdbWriter::WriteBehind() {
  std::unique_lock lock(handMutex_);
  for (;;) {
    handChanged_.wait(lock, [this] { return handing_ || stopping_; });
    if (!handing_) return;
    // Until handing_ is cleared the main thread touches neither the buffer nor these bytes of
    // the file.
    lock.unlock();
    FinishBlocks(handed_, handedStart_, handedPending_);
    Status written = WriteAll(fd_, path_, handedStart_, handed_);
    ++fileWrites_;
    // Start writing these bytes to the disk now, so that the closing fsync has little left to
    // wait for. A hint only: its failure changes nothing.
    if (written.ok()) {
      ::sync_file_range(fd_, static_cast<off_t>(handedStart_), static_cast<off_t>(handed_.size()),
                        SYNC_FILE_RANGE_WRITE);
    }
    lock.lock();
    if (handedStatus_.ok()) handedStatus_ = std::move(written);
    handing_ = false;
    handChanged_.notify_all();
  }
}

void NdbWriter::WriteToFile(std::uint64_t offset, ByteSpan bytes) {
  // After the buffer handed over, which may cover the same bytes.
  Drain();
  if (!status_.ok()) return;
  status_ = WriteAll(fd_, path_, offset, bytes);
  ++fileWrites_;
}

void NdbWriter::MarkUsed(std::uint64_t offset, std::size_t size, bool used) {
  std::uint64_t unit = (offset - kFirstAMap) / 64;
  const std::uint64_t last = (offset - kFirstAMap + size + 63) / 64;
  while (unit < last) {
    const std::uint64_t n = unit / kUnitsPerAMap;
    const std::uint64_t end = std::min<std::uint64_t>(last, (n + 1) * kUnitsPerAMap);
    MarkUnits(n, static_cast<std::size_t>(unit - n * kUnitsPerAMap),
              static_cast<std::size_t>(end - n * kUnitsPerAMap), used);
    unit = end;
  }
}

void NdbWriter::MarkUnits(std::uint64_t n, std::size_t first, std::size_t end, bool used) {
  if (n < mapInterval_) {
    // Only Finish goes back, to give back room set aside: a few pages.
    lateMarks_.push_back(
        LateMark{n, static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(end), used});
    return;
  }
  SettleMaps(n);
  MarkBits(map_, first, end, used);
}

void NdbWriter::SettleMaps(std::uint64_t n) {
  while (mapInterval_ < n) {
    mapSpill_->AddBytes(std::as_bytes(std::span(map_)));
    map_.fill(0);
    ++mapInterval_;
  }
}

void NdbWriter::LoadMap(std::uint64_t n, MapWords& words) {
  static_assert(sizeof(MapWords) == kMapBytes);
  words.fill(0);
  if (n == mapInterval_) words = map_;
  if (n < mapInterval_ &&
      !mapSpill_->ReadAt(n * kMapBytes, std::as_writable_bytes(std::span(words))) && status_.ok()) {
    status_ = Status::Error("the allocation maps of the new store could not be read back");
  }
  // The interval's own map pages, and the room given back since it was left.
  MarkBits(words, 0, ReservedBytes(n) / 64, true);
  for (const LateMark& mark : lateMarks_) {
    if (mark.interval == n) MarkBits(words, mark.first, mark.end, mark.used);
  }
}

// Sets aside a run of pages at the current end once the tree over `entries` entries needs
// more pages than are set aside. Nothing is written there until Finish.
void NdbWriter::SetAsidePages(PageSlots& slots, std::size_t entries, std::size_t leafCapacity) {
  if (slots.size() >= TreePages(entries, leafCapacity) || !status_.ok()) return;
  slots.runs.push_back(Allocate(kPagesPerRun * 512, 512));
}

// The next page slot set aside for a tree, else a new page at the end.
std::uint64_t NdbWriter::TakePage(PageSlots& slots) {
  if (slots.taken < slots.size()) return slots.at(slots.taken++);
  return Allocate(512, 512);
}

std::uint64_t NdbWriter::IndexBytes() const {
  auto beyond = [](const PageSlots& slots, std::size_t entries, std::size_t leafCapacity) {
    const std::size_t pages = TreePages(entries, leafCapacity);
    return pages > slots.size() ? pages - slots.size() : 0;
  };
  return (beyond(blockTreePages_, blockCount_, kBlockLeafEntries) +
          beyond(nodeTreePages_, nodeCount_, kNodeLeafEntries) + 2) *
         512;
}

std::uint64_t NdbWriter::Allocate(std::size_t size, std::size_t alignment) {
  size = AlignUp(size, 64);
  for (;;) {
    std::uint64_t offset = AlignUp(cursor_, alignment);
    const std::uint64_t n = IntervalOf(offset);
    const std::uint64_t start = IntervalStart(n);
    if (offset < start + ReservedBytes(n)) {
      // The interval's map pages come first; they are in use from the start.
      MarkUsed(start, ReservedBytes(n));
      offset = AlignUp(start + ReservedBytes(n), alignment);
    }
    if (n >= kMaxAMaps) {
      if (status_.ok()) status_ = Status::Error("the store would grow past 2 GB: split the output");
      return IntervalStart(0) + 1024;  // Tolerant: writes are skipped once the status failed
    }
    if (offset + size > start + kAMapInterval) {  // a block never straddles two AMaps
      cursor_ = start + kAMapInterval;
      continue;
    }
    MarkUsed(offset, size);
    cursor_ = offset + size;
    return offset;
  }
}

NdbWriter::BlockSlot NdbWriter::ReserveBlock(std::size_t size, bool internal) {
  const std::uint64_t bid = bidNextB_ | (internal ? 2 : 0);
  bidNextB_ += 4;
  const std::uint64_t offset = Allocate(AlignUp(size + 16, 64), 64);
  recent_.push_back(BlockRecord{static_cast<std::uint32_t>(offset / 64) | (internal ? kInternalBit : 0),
                                static_cast<std::uint16_t>(size), 2});
  ++blockCount_;
  if (recent_.size() == kRecordRun && spill_ != nullptr) {
    Bytes run(kRecordRun * sizeof(BlockRecord));
    for (std::size_t k = 0; k < kRecordRun; ++k) {
      std::memcpy(run.data() + k * sizeof(BlockRecord), &recent_[k], sizeof(BlockRecord));
    }
    spill_->AddBytes(run);
    ++spilledRuns_;
    recent_.clear();
  }
  SetAsidePages(blockTreePages_, blockCount_, kBlockLeafEntries);
  return BlockSlot{bid, offset, size};
}

void NdbWriter::FillBlock(const BlockSlot& slot, ByteSpan data, bool internal) {
  data = data.first(std::min(data.size(), slot.size));
  const std::size_t total = AlignUp(slot.size + 16, 64);
  // The block is laid out where it will wait for the file, in the write buffer when it follows
  // what the buffer holds, and finished there when the buffer goes; else on its own at once.
  std::span<std::byte> block = BufferSpan(slot.offset, total);
  if (!block.empty()) {
    std::copy(data.begin(), data.end(), block.begin());
    pending_.push_back(PendingBlock{slot.bid, static_cast<std::uint32_t>(slot.offset - bufferStart_),
                                    static_cast<std::uint16_t>(slot.size), internal});
  } else {
    Bytes own(total);
    std::copy(data.begin(), data.end(), own.begin());
    FinishBlock(own, slot.offset, slot.bid, slot.size, internal);
    WriteAt(slot.offset, own);
  }
}

std::uint64_t NdbWriter::WriteBlock(ByteSpan data, bool internal) {
  const BlockSlot slot = ReserveBlock(data.size(), internal);
  FillBlock(slot, data, internal);
  return slot.bid;
}

void NdbWriter::FinishBlock(std::span<std::byte> block, std::uint64_t offset, std::uint64_t bid,
                            std::size_t cb, bool internal) const {
  const std::span<std::byte> stored = block.first(cb);
  if (!internal) {
    if (encoding_ == EncodingMethod::kPermute) EncodePermute(stored);
    if (encoding_ == EncodingMethod::kCyclic) CodeCyclic(stored, static_cast<std::uint32_t>(bid));
  }
  const std::size_t trailer = block.size() - 16;
  StoreLe(block, trailer, cb, 2);
  StoreLe(block, trailer + 2, ComputeSig(offset, bid), 2);
  StoreLe(block, trailer + 4, ComputeCrc(stored), 4);
  StoreLe(block, trailer + 8, bid, 8);
}

void NdbWriter::FinishBlocks(Bytes& buffer, std::uint64_t start,
                             std::vector<PendingBlock>& pending) const {
  for (const PendingBlock& b : pending) {
    const std::size_t total = AlignUp(b.cb + 16u, 64);
    FinishBlock(std::span(buffer).subspan(b.at, total), start + b.at, b.bid, b.cb, b.internal);
  }
  pending.clear();
}

// XBLOCKs over the leaves (1,021 each), and an XXBLOCK over those when there are several.
std::uint64_t NdbWriter::WriteTree(const std::vector<std::uint64_t>& leaves,
                                   const std::vector<std::uint32_t>& sizes) {
  auto xblock = [this](int level, std::span<const std::uint64_t> children, std::uint32_t total) {
    Bytes block(8 + 8 * children.size());
    StoreLe(block, 0, 0x01, 1);
    StoreLe(block, 1, static_cast<std::uint64_t>(level), 1);
    StoreLe(block, 2, children.size(), 2);
    StoreLe(block, 4, total, 4);
    for (std::size_t i = 0; i < children.size(); ++i) StoreLe(block, 8 + 8 * i, children[i], 8);
    return WriteBlock(block, true);
  };
  std::vector<std::uint64_t> xblocks;
  std::uint64_t grandTotal = 0;
  for (std::size_t i = 0; i < leaves.size(); i += kXBlockFanout) {
    const std::size_t n = std::min(kXBlockFanout, leaves.size() - i);
    std::uint64_t total = 0;
    for (std::size_t k = i; k < i + n; ++k) total += sizes[k];
    grandTotal += total;
    xblocks.push_back(
        xblock(1, std::span(leaves).subspan(i, n), static_cast<std::uint32_t>(total)));
  }
  if (xblocks.size() == 1) return xblocks[0];
  return xblock(2, std::span(xblocks).first(std::min(xblocks.size(), kXBlockFanout)),
                static_cast<std::uint32_t>(grandTotal));
}

std::uint64_t NdbWriter::WriteData(ByteSpan data, std::size_t blockSize) {
  if (data.empty()) return 0;
  blockSize = std::clamp<std::size_t>(blockSize, 1, kMaxBlockData);
  if (data.size() <= blockSize) return WriteBlock(data, false);
  std::vector<std::uint64_t> leaves;
  std::vector<std::uint32_t> sizes;
  for (std::size_t at = 0; at < data.size(); at += blockSize) {
    const std::size_t n = std::min(blockSize, data.size() - at);
    leaves.push_back(WriteBlock(data.subspan(at, n), false));
    sizes.push_back(static_cast<std::uint32_t>(n));
  }
  return WriteTree(leaves, sizes);
}

std::uint64_t NdbWriter::WriteBlocks(const std::vector<Bytes>& blocks) {
  if (blocks.empty()) return 0;
  if (blocks.size() == 1) return WriteBlock(blocks[0], false);
  std::vector<std::uint64_t> leaves;
  std::vector<std::uint32_t> sizes;
  for (const Bytes& block : blocks) {
    leaves.push_back(WriteBlock(ByteSpan(block).first(std::min(block.size(), kMaxBlockData)), false));
    sizes.push_back(static_cast<std::uint32_t>(std::min(block.size(), kMaxBlockData)));
  }
  return WriteTree(leaves, sizes);
}

std::uint64_t NdbWriter::WriteSubnodes(std::vector<SubnodeRecord> records) {
  if (records.empty()) return 0;
  std::sort(records.begin(), records.end(),
            [](const SubnodeRecord& a, const SubnodeRecord& b) { return a.nid < b.nid; });
  std::vector<std::pair<std::uint32_t, std::uint64_t>> leaves;  // first nid, bid
  for (std::size_t i = 0; i < records.size(); i += kSlEntries) {
    const std::size_t n = std::min(kSlEntries, records.size() - i);
    Bytes block(8 + 24 * n);
    StoreLe(block, 0, 0x02, 1);
    StoreLe(block, 2, n, 2);
    for (std::size_t k = 0; k < n; ++k) {
      const SubnodeRecord& r = records[i + k];
      StoreLe(block, 8 + 24 * k, r.nid, 8);
      StoreLe(block, 16 + 24 * k, r.bidData, 8);
      StoreLe(block, 24 + 24 * k, r.bidSub, 8);
    }
    leaves.emplace_back(records[i].nid, WriteBlock(block, true));
  }
  if (leaves.size() == 1) return leaves[0].second;
  const std::size_t n = std::min(kSiEntries, leaves.size());
  Bytes block(8 + 16 * n);
  StoreLe(block, 0, 0x02, 1);
  StoreLe(block, 1, 0x01, 1);
  StoreLe(block, 2, n, 2);
  for (std::size_t k = 0; k < n; ++k) {
    StoreLe(block, 8 + 16 * k, leaves[k].first, 8);
    StoreLe(block, 16 + 16 * k, leaves[k].second, 8);
  }
  return WriteBlock(block, true);
}

void NdbWriter::AddReference(std::uint64_t bid) {
  // Block ids are handed out in steps of 4 from 4, one per entry of blocks_, in order.
  const std::uint64_t at = (bid >> 2) - 1;
  if (bid < 4 || at >= blockCount_) return;
  const std::size_t firstRecent = spilledRuns_ * kRecordRun;
  if (at >= firstRecent) {
    BlockRecord& b = recent_[at - firstRecent];
    if (BidOf(at, b) == bid) ++b.cRef;
  } else {
    ++laterRefs_[bid];  // matched against the entry's own bid when the tree is laid out
  }
}

const NdbWriter::BlockRecord& NdbWriter::RecordAt(std::size_t at) {
  const std::size_t run = at / kRecordRun;
  if (run >= spilledRuns_) return recent_[at - spilledRuns_ * kRecordRun];
  if (readRunAt_ != run) {
    constexpr std::size_t kRunBytes = kRecordRun * sizeof(BlockRecord);
    const std::optional<ByteSpan> bytes =
        spill_->View(RowSpill::Ref{run * kRunBytes, static_cast<std::uint32_t>(kRunBytes), 0});
    readRun_.assign(kRecordRun, BlockRecord{});
    if (bytes && bytes->size() == kRunBytes) {
      std::memcpy(readRun_.data(), bytes->data(), kRunBytes);
    } else if (status_.ok()) {
      status_ = Status::Error("the block entries of the new store could not be read back");
    }
    readRunAt_ = run;
  }
  return readRun_[at % kRecordRun];
}

void NdbWriter::AddNode(std::uint32_t nid, std::uint64_t bidData, std::uint64_t bidSub,
                        std::uint32_t nidParent) {
  // Tolerant: a bid past 32 bits (never handed out by a store below 2 GB) is dropped.
  auto narrow = [](std::uint64_t bid) {
    return bid <= std::numeric_limits<std::uint32_t>::max() ? static_cast<std::uint32_t>(bid) : 0;
  };
  recentNodes_.push_back(NodeRecord{nid, narrow(bidData), narrow(bidSub), nidParent});
  ++nodeCount_;
  if (recentNodes_.size() == kNodeRun) SpillNodes();
  SetAsidePages(nodeTreePages_, nodeCount_, kNodeLeafEntries);
}

void NdbWriter::SpillNodes() {
  std::stable_sort(recentNodes_.begin(), recentNodes_.end(),
                   [](const NodeRecord& a, const NodeRecord& b) { return a.nid < b.nid; });
  nodeSpill_->AddBytes(std::as_bytes(std::span(recentNodes_)));
  recentNodes_.clear();
}

// The sorted runs of node entries, merged: each run is read a slice at a time, and the run
// whose next entry has the lowest nid (the earlier run among equal ones) gives the next entry.
struct NdbWriter::NodeMerge {
  static constexpr std::size_t kSlice = 256;
  struct Run {
    std::uint64_t next = 0;  // entries of the run not read yet, from here
    std::size_t left = 0;
    std::vector<NodeRecord> slice;
    std::size_t at = 0;
  };
  std::vector<Run> runs;
  using Head = std::pair<std::uint32_t, std::size_t>;  // nid, run
  std::priority_queue<Head, std::vector<Head>, std::greater<>> heads;
  NodeRecord current{};
  std::size_t given = 0;  // entries given so far

  // Reads the run's next slice; one that cannot be read back ends the run and sets `status`.
  static void Fill(const RowSpill& spill, Run& run, Status& status) {
    const std::size_t n = std::min(kSlice, run.left);
    run.slice.resize(n);
    run.at = 0;
    if (!spill.ReadAt(run.next * sizeof(NodeRecord),
                      std::as_writable_bytes(std::span(run.slice)))) {
      run.left = 0;
      run.slice.clear();
      if (status.ok()) {
        status = Status::Error("the node entries of the new store could not be read back");
      }
      return;
    }
    run.next += n;
    run.left -= n;
  }
};

const NdbWriter::NodeRecord& NdbWriter::NodeAt(std::size_t at) {
  NodeMerge& merge = *nodeMerge_;
  while (merge.given <= at && !merge.heads.empty()) {
    const std::size_t r = merge.heads.top().second;
    merge.heads.pop();
    NodeMerge::Run& run = merge.runs[r];
    merge.current = run.slice[run.at++];
    ++merge.given;
    if (run.at == run.slice.size() && run.left > 0) NodeMerge::Fill(*nodeSpill_, run, status_);
    if (run.at < run.slice.size()) merge.heads.emplace(run.slice[run.at].nid, r);
  }
  return merge.current;
}

void NdbWriter::WritePage(std::uint64_t offset, Bytes& page, std::uint8_t ptype, std::uint64_t bid,
                          bool signed_) {
  StoreLe(page, 496, ptype, 1);
  StoreLe(page, 497, ptype, 1);
  StoreLe(page, 498, signed_ ? ComputeSig(offset, bid) : 0, 2);
  StoreLe(page, 500, ComputeCrc(ByteSpan(page).first(496)), 4);
  StoreLe(page, 504, bid, 8);
  WriteAt(offset, page);
}

template <typename KeyAt, typename Serialize>
NdbWriter::PageRef NdbWriter::WriteBTree(std::size_t count, std::size_t leafCapacity,
                                         std::size_t leafSize, std::uint8_t ptype,
                                         PageSlots& slots, KeyAt keyAt, Serialize serialize) {
  // Each level's page references wait beside the store until the level above is laid out.
  RowSpill refs(spillFolder_, std::size_t{64} << 10);
  std::uint64_t levelStart = 0;
  std::size_t levelSize = 0;
  auto add = [&refs, &levelSize](const PageRef& ref) {
    refs.AddBytes(std::as_bytes(std::span(&ref, 1)));
    ++levelSize;
  };
  auto below = [this, &refs](std::uint64_t start, std::size_t i) {
    PageRef ref{};
    const std::optional<ByteSpan> bytes =
        refs.View(RowSpill::Ref{start + i * sizeof(PageRef), sizeof(PageRef), 0});
    if (bytes) {
      std::memcpy(&ref, bytes->data(), sizeof(PageRef));
    } else if (status_.ok()) {
      status_ = Status::Error("the B-tree pages of the new store could not be read back");
    }
    return ref;
  };
  // Leaves.
  for (std::size_t i = 0; i < count || (i == 0 && count == 0); i += leafCapacity) {
    const std::size_t n = std::min(leafCapacity, count - i);
    const std::uint64_t key = n > 0 ? keyAt(i) : 0;
    Bytes page(512);
    for (std::size_t k = 0; k < n; ++k) serialize(page, leafSize * k, i + k);
    StoreLe(page, 488, n, 1);
    StoreLe(page, 489, leafCapacity, 1);
    StoreLe(page, 490, leafSize, 1);
    StoreLe(page, 491, 0, 1);
    const std::uint64_t offset = TakePage(slots);
    const std::uint64_t bid = bidNextP_++;
    WritePage(offset, page, ptype, bid, true);
    add(PageRef{key, bid, offset});
    if (count == 0) break;
  }
  // Intermediate levels, until one page remains.
  for (int cLevel = 1; levelSize > 1; ++cLevel) {
    const std::uint64_t start = levelStart;
    const std::size_t size = levelSize;
    levelStart = refs.Size();
    levelSize = 0;
    for (std::size_t i = 0; i < size; i += kIntermediateEntries) {
      const std::size_t n = std::min(kIntermediateEntries, size - i);
      Bytes page(512);
      std::uint64_t firstKey = 0;
      for (std::size_t k = 0; k < n; ++k) {
        const PageRef ref = below(start, i + k);
        if (k == 0) firstKey = ref.key;
        StoreLe(page, 24 * k, ref.key, 8);
        StoreLe(page, 24 * k + 8, ref.bid, 8);
        StoreLe(page, 24 * k + 16, ref.ib, 8);
      }
      StoreLe(page, 488, n, 1);
      StoreLe(page, 489, kIntermediateEntries, 1);
      StoreLe(page, 490, 24, 1);
      StoreLe(page, 491, static_cast<std::uint64_t>(cLevel), 1);
      const std::uint64_t offset = TakePage(slots);
      const std::uint64_t bid = bidNextP_++;
      WritePage(offset, page, ptype, bid, true);
      add(PageRef{firstKey, bid, offset});
    }
  }
  return below(levelStart, 0);
}

Status NdbWriter::Finish() {
  if (finished_) return Status::Error("the store was already finished");
  // What Finish writes goes here and there in the file, a page at a time: written at once.
  Flush();
  Drain();
  behind_ = false;
  // Block B-tree and node B-tree, bottom-up from sorted entries. Page bids follow the blocks'.
  bidNextP_ = bidNextB_;
  // The block entries are in bid order as they were made; the node entries' runs are merged.
  if (!recentNodes_.empty()) SpillNodes();
  nodeMerge_ = std::make_unique<NodeMerge>();
  for (std::size_t first = 0; first < nodeCount_; first += kNodeRun) {
    NodeMerge::Run& run = nodeMerge_->runs.emplace_back();
    run.next = first;
    run.left = std::min(kNodeRun, nodeCount_ - first);
    NodeMerge::Fill(*nodeSpill_, run, status_);
    if (!run.slice.empty()) {
      nodeMerge_->heads.emplace(run.slice[0].nid, nodeMerge_->runs.size() - 1);
    }
  }
  const PageRef bbt = WriteBTree(
      blockCount_, kBlockLeafEntries, 24, kPtypeBbt, blockTreePages_,
      [this](std::size_t i) { return BidOf(i, RecordAt(i)); },
      [this](Bytes& page, std::size_t at, std::size_t i) {
        const BlockRecord& b = RecordAt(i);
        const std::uint64_t bid = BidOf(i, b);
        std::int16_t cRef = b.cRef;
        if (const auto later = laterRefs_.find(bid); later != laterRefs_.end()) {
          cRef = static_cast<std::int16_t>(cRef + later->second);
        }
        StoreLe(page, at, bid, 8);
        StoreLe(page, at + 8, std::uint64_t{b.unitAndInternal & ~kInternalBit} * 64, 8);
        StoreLe(page, at + 16, b.cb, 2);
        StoreLe(page, at + 18, static_cast<std::uint16_t>(cRef), 2);
      });
  const PageRef nbt = WriteBTree(
      nodeCount_, kNodeLeafEntries, 32, kPtypeNbt, nodeTreePages_,
      [this](std::size_t i) { return std::uint64_t{NodeAt(i).nid}; },
      [this](Bytes& page, std::size_t at, std::size_t i) {
        const NodeRecord& n = NodeAt(i);
        StoreLe(page, at, n.nid, 8);
        StoreLe(page, at + 8, n.bidData, 8);
        StoreLe(page, at + 16, n.bidSub, 8);
        StoreLe(page, at + 24, n.nidParent, 4);
      });
  nodeMerge_.reset();
  // Room set aside beyond what the trees took stays free (and zero).
  for (PageSlots* slots : {&blockTreePages_, &nodeTreePages_}) {
    for (std::size_t i = slots->taken; i < slots->size(); ++i) MarkUsed(slots->at(i), 512, false);
  }

  // The file ends at the end of its last AMap interval.
  const std::uint64_t amaps = IntervalOf(std::max<std::uint64_t>(cursor_, kFirstAMap + 1) - 1) + 1;
  const std::uint64_t eof = IntervalStart(amaps);
  Flush();
  Drain();
  if (status_.ok() && ::ftruncate(fd_, static_cast<off_t>(eof)) != 0) {
    status_ = Status::Error("Cannot extend \"" + path_.string() + "\": " + std::strerror(errno));
  }

  std::uint64_t freeUnits = 0;
  std::vector<std::uint8_t> longestFree(amaps, 0);
  MapWords words{};
  for (std::uint64_t n = 0; n < amaps; ++n) {
    LoadMap(n, words);
    Bytes page(512);
    std::size_t run = 0;
    // A word all used, or all free past the longest run a map can tell, at once: most are.
    for (std::size_t w = 0; w < words.size(); ++w) {
      if (words[w] == ~std::uint64_t{0}) {
        std::fill_n(page.begin() + static_cast<std::ptrdiff_t>(8 * w), 8, std::byte{0xFF});
        run = 0;
      } else if (words[w] == 0 && run >= 255) {
        freeUnits += 64;
      } else {
        for (std::size_t i = 64 * w; i < 64 * (w + 1); ++i) {
          if (((words[w] >> (i % 64)) & 1) != 0) {
            page[i / 8] |= static_cast<std::byte>(0x80 >> (i % 8));
            run = 0;
          } else {
            ++freeUnits;
            longestFree[n] = static_cast<std::uint8_t>(
                std::min<std::size_t>(255, std::max<std::size_t>(longestFree[n], ++run)));
          }
        }
      }
    }
    WritePage(IntervalStart(n), page, kPtypeAMap, IntervalStart(n), false);
    if (HasPMap(n)) {
      Bytes pmap(512, std::byte{0xFF});
      WritePage(IntervalStart(n) + 512, pmap, kPtypePMap, IntervalStart(n) + 512, false);
    }
    if (HasFMap(n)) {
      Bytes fmap(512);
      for (std::size_t k = 0; k < 496 && n + k < amaps; ++k) fmap[k] = std::byte{longestFree[n + k]};
      WritePage(IntervalStart(n) + 1024, fmap, kPtypeFMap, IntervalStart(n) + 1024, false);
    }
  }
  Bytes dlist(512);  // empty: Outlook rebuilds it
  WritePage(kDListOffset, dlist, kPtypeDList, bidNextP_, true);

  Bytes header(564);
  const char magic[] = {'!', 'B', 'D', 'N'};
  for (int i = 0; i < 4; ++i) header[static_cast<std::size_t>(i)] = static_cast<std::byte>(magic[i]);
  StoreLe(header, 8, 0x4D53, 2);
  StoreLe(header, 10, 23, 2);
  StoreLe(header, 12, 19, 2);
  StoreLe(header, 14, 1, 1);
  StoreLe(header, 15, 1, 1);
  StoreLe(header, 32, bidNextP_, 8);
  StoreLe(header, 40, 1, 4);
  for (std::size_t i = 0; i < 32; ++i) StoreLe(header, 44 + 4 * i, rgnid_[i], 4);
  StoreLe(header, 184, eof, 8);
  StoreLe(header, 192, IntervalStart(amaps - 1), 8);
  StoreLe(header, 200, 64 * freeUnits, 8);
  StoreLe(header, 216, nbt.bid, 8);
  StoreLe(header, 224, nbt.ib, 8);
  StoreLe(header, 232, bbt.bid, 8);
  StoreLe(header, 240, bbt.ib, 8);
  StoreLe(header, 248, 0x02, 1);
  std::fill(header.begin() + 256, header.begin() + 512, std::byte{0xFF});
  StoreLe(header, 512, 0x80, 1);
  StoreLe(header, 513, static_cast<std::uint8_t>(encoding_), 1);
  StoreLe(header, 516, bidNextB_, 8);
  StoreLe(header, 4, ComputeCrc(ByteSpan(header).subspan(8, 471)), 4);
  StoreLe(header, 524, ComputeCrc(ByteSpan(header).subspan(8, 516)), 4);
  WriteAt(0, header);
  Flush();
  Drain();
  if (status_.ok() && ::fsync(fd_) != 0) {
    status_ = Status::Error("Cannot write \"" + path_.string() + "\": " + std::strerror(errno));
  }
  // The store takes its final name only once it is whole.
  if (status_.ok() && ::rename(UnfinishedPath(path_).c_str(), path_.c_str()) != 0) {
    status_ = Status::Error("Cannot name \"" + path_.string() + "\": " + std::strerror(errno));
  }
  finished_ = status_.ok();
  return status_;
}

}  // namespace palvara
