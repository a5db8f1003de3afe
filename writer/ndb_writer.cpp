#include "writer/ndb_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <queue>

#include "reader/crc.h"
#include "reader/inflate.h"
#include "writer/row_spill.h"
#include "writer/trailers.h"

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

// Data trees and subnode trees are laid out for the Unicode layout's blocks, whatever the layout
// (every reader of the 4 KiB layout reads them): 1,021 ids an XBLOCK, 340 and 510 entries a
// SLBLOCK and SIBLOCK.
constexpr std::size_t kXBlockFanout = kUnicodeGeometry.XBlockFanout();
constexpr std::size_t kSlEntries = kUnicodeGeometry.SlFanout();
constexpr std::size_t kSiEntries = kUnicodeGeometry.SiFanout();
static_assert(kXBlockFanout == 1021 && kSlEntries == 340 && kSiEntries == 510);
// Past 8,192 AMaps (about 2 GB) FPMap pages would be due; a store of the small-page layouts
// stays below that. The 4 KiB layout's maps have no such pages: its stores may grow to what the
// writer's entries hold (128 GiB).
constexpr std::uint64_t kMaxAMaps = 8192;
constexpr std::uint64_t kMaxStoreBytes = std::uint64_t{128} << 30;
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

}  // namespace

std::uint64_t NdbWriter::IntervalOf(std::uint64_t offset) const {
  return (offset - g_.firstAMap) / g_.amapInterval;
}
std::uint64_t NdbWriter::IntervalStart(std::uint64_t n) const {
  return g_.firstAMap + n * g_.amapInterval;
}
// Map pages at the start of interval n: its AMap, then a PMap and an FMap where due.
std::uint64_t NdbWriter::ReservedBytes(std::uint64_t n) const {
  return g_.pageSize * (1 + (g_.HasPMap(n) ? 1 : 0) + (g_.HasFMap(n) ? 1 : 0));
}

// The pages of a B-tree over `entries` entries: its leaves and every level above them.
std::size_t NdbWriter::TreePages(std::size_t entries, std::size_t leafCapacity) const {
  std::size_t level = std::max<std::size_t>(1, (entries + leafCapacity - 1) / leafCapacity);
  std::size_t pages = level;
  while (level > 1) {
    level = (level + intermediateEntries_ - 1) / intermediateEntries_;
    pages += level;
  }
  return pages;
}

std::filesystem::path NdbWriter::UnfinishedPath(const std::filesystem::path& path) {
  std::filesystem::path unfinished = path;
  unfinished += ".partial";
  return unfinished;
}

std::unique_ptr<NdbWriter> NdbWriter::Create(const std::filesystem::path& path,
                                             EncodingMethod encoding, Status* error,
                                             std::size_t writeBuffer, NdbLayout layout) {
  const std::filesystem::path unfinished = UnfinishedPath(path);
  const int fd = ::open(unfinished.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = Status::Error("Cannot create \"" + unfinished.string() + "\": " + std::strerror(errno));
    return nullptr;
  }
  *error = Status::Ok();
  return std::unique_ptr<NdbWriter>(new NdbWriter(fd, path, encoding, writeBuffer, layout));
}

NdbWriter::NdbWriter(int fd, std::filesystem::path path, EncodingMethod encoding,
                     std::size_t writeBuffer, NdbLayout layout)
    : fd_(fd),
      path_(std::move(path)),
      g_(*layout.geometry),
      options_(layout),
      unitsPerMap_(g_.AMapBits()),
      mapBytes_(g_.AMapBits() / 8),
      blockLeafEntries_(g_.entryArea / g_.blockLeafEntry),
      nodeLeafEntries_(g_.entryArea / g_.nodeLeafEntry),
      intermediateEntries_(g_.entryArea / g_.intermediateEntry),
      bufferLimit_(writeBuffer),
      encoding_(encoding),
      cursor_(std::max<std::uint64_t>(g_.firstAMap, layout.firstOffset)) {
  blockTreePages_.pageSize = nodeTreePages_.pageSize = g_.pageSize;
  buffer_.reserve(bufferLimit_);
  spillFolder_ = path_.has_parent_path() ? path_.parent_path() : ".";
  spill_ = std::make_unique<RowSpill>(spillFolder_, kRecordRun * sizeof(BlockRecord));
  if (!spill_->Spilling()) spill_.reset();
  // Where no file can be made beside the store, these keep what they are given in memory.
  nodeSpill_ = std::make_unique<RowSpill>(spillFolder_, kNodeRun * sizeof(NodeRecord));
  mapSpill_ = std::make_unique<RowSpill>(spillFolder_, 128 * mapBytes_);
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
  const std::uint64_t u = g_.amapUnit;
  std::uint64_t unit = (offset - g_.firstAMap) / u;
  const std::uint64_t last = (offset - g_.firstAMap + size + u - 1) / u;
  while (unit < last) {
    const std::uint64_t n = unit / unitsPerMap_;
    const std::uint64_t end = std::min<std::uint64_t>(last, (n + 1) * unitsPerMap_);
    MarkUnits(n, static_cast<std::size_t>(unit - n * unitsPerMap_),
              static_cast<std::size_t>(end - n * unitsPerMap_), used);
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
    mapSpill_->AddBytes(std::as_bytes(std::span(map_)).first(mapBytes_));
    map_.fill(0);
    ++mapInterval_;
  }
}

void NdbWriter::LoadMap(std::uint64_t n, MapWords& words) {
  words.fill(0);
  if (n == mapInterval_) words = map_;
  if (n < mapInterval_ &&
      !mapSpill_->ReadAt(n * mapBytes_, std::as_writable_bytes(std::span(words)).first(mapBytes_)) &&
      status_.ok()) {
    status_ = Status::Error("the allocation maps of the new store could not be read back");
  }
  // The interval's own map pages, and the room given back since it was left.
  MarkBits(words, 0, ReservedBytes(n) / g_.amapUnit, true);
  for (const LateMark& mark : lateMarks_) {
    if (mark.interval == n) MarkBits(words, mark.first, mark.end, mark.used);
  }
}

// Sets aside a run of pages at the current end once the tree over `entries` entries needs
// more pages than are set aside. Nothing is written there until Finish.
void NdbWriter::SetAsidePages(PageSlots& slots, std::size_t entries, std::size_t leafCapacity) {
  if (slots.size() >= TreePages(entries, leafCapacity) || !status_.ok()) return;
  slots.runs.push_back(Allocate(kPagesPerRun * g_.pageSize, g_.pageSize));
}

// The next page slot set aside for a tree, else a new page at the end.
std::uint64_t NdbWriter::TakePage(PageSlots& slots) {
  if (slots.taken < slots.size()) return slots.at(slots.taken++);
  return Allocate(g_.pageSize, g_.pageSize);
}

std::uint64_t NdbWriter::IndexBytes() const {
  auto beyond = [this](const PageSlots& slots, std::size_t entries, std::size_t leafCapacity) {
    const std::size_t pages = TreePages(entries, leafCapacity);
    return pages > slots.size() ? pages - slots.size() : 0;
  };
  return (beyond(blockTreePages_, blockCount_, blockLeafEntries_) +
          beyond(nodeTreePages_, nodeCount_, nodeLeafEntries_) + 2) *
         g_.pageSize;
}

std::uint64_t NdbWriter::Allocate(std::size_t size, std::size_t alignment) {
  size = AlignUp(size, g_.blockAlign);
  for (;;) {
    std::uint64_t offset = AlignUp(cursor_, alignment);
    const std::uint64_t n = IntervalOf(offset);
    const std::uint64_t start = IntervalStart(n);
    if (offset < start + ReservedBytes(n)) {
      // The interval's map pages come first; they are in use from the start.
      MarkUsed(start, ReservedBytes(n));
      offset = AlignUp(start + ReservedBytes(n), alignment);
    }
    if ((g_.pageMaps && n >= kMaxAMaps) || offset + size > kMaxStoreBytes) {
      if (status_.ok()) status_ = Status::Error("the store would grow past its size limit: split the output");
      return IntervalStart(0) + 2 * g_.pageSize;  // Tolerant: writes are skipped once the status failed
    }
    if (offset + size > start + g_.amapInterval) {  // a block never straddles two AMaps
      cursor_ = start + g_.amapInterval;
      continue;
    }
    MarkUsed(offset, size);
    cursor_ = offset + size;
    return offset;
  }
}

NdbWriter::BlockSlot NdbWriter::ReserveBlock(std::size_t size, bool internal) {
  return ReserveStoredBlock(size, size, internal);
}

NdbWriter::BlockSlot NdbWriter::ReserveStoredBlock(std::size_t size, std::size_t inflated,
                                                   bool internal) {
  const std::uint64_t bid = bidNextB_ | (internal ? 2 : 0);
  bidNextB_ += 4;
  const std::uint64_t offset = Allocate(g_.BlockSize(size), g_.blockAlign);
  recent_.push_back(BlockRecord{static_cast<std::uint32_t>(offset / 64) | (internal ? kInternalBit : 0),
                                static_cast<std::uint16_t>(size), static_cast<std::uint16_t>(inflated), 2});
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
  SetAsidePages(blockTreePages_, blockCount_, blockLeafEntries_);
  return BlockSlot{bid, offset, size};
}

void NdbWriter::FillBlock(const BlockSlot& slot, ByteSpan data, bool internal) {
  FillStoredBlock(slot, data, slot.size, internal);
}

void NdbWriter::FillStoredBlock(const BlockSlot& slot, ByteSpan data, std::size_t inflated,
                                bool internal) {
  data = data.first(std::min(data.size(), slot.size));
  const std::size_t total = g_.BlockSize(slot.size);
  // The block is laid out where it will wait for the file, in the write buffer when it follows
  // what the buffer holds, and finished there when the buffer goes; else on its own at once.
  std::span<std::byte> block = BufferSpan(slot.offset, total);
  if (!block.empty()) {
    std::copy(data.begin(), data.end(), block.begin());
    pending_.push_back(PendingBlock{slot.bid, static_cast<std::uint32_t>(slot.offset - bufferStart_),
                                    static_cast<std::uint16_t>(slot.size),
                                    static_cast<std::uint16_t>(inflated), internal});
  } else {
    Bytes own(total);
    std::copy(data.begin(), data.end(), own.begin());
    FinishBlock(own, slot.offset, slot.bid, slot.size, inflated, internal);
    WriteAt(slot.offset, own);
  }
}

std::uint64_t NdbWriter::WriteBlock(ByteSpan data, bool internal) {
  // In the 4 KiB layout a data block is stored as one zlib stream when that is shorter.
  if (options_.compress && g_.compressed && !internal && data.size() > 64) {
    const Bytes packed = Deflate(data);
    if (!packed.empty() && packed.size() < data.size()) {
      const BlockSlot slot = ReserveStoredBlock(packed.size(), data.size(), internal);
      FillStoredBlock(slot, packed, data.size(), internal);
      return slot.bid;
    }
  }
  const BlockSlot slot = ReserveBlock(data.size(), internal);
  FillBlock(slot, data, internal);
  return slot.bid;
}

void NdbWriter::FinishBlock(std::span<std::byte> block, std::uint64_t offset, std::uint64_t bid,
                            std::size_t cb, std::size_t inflated, bool internal) const {
  FinishBlockBytes(g_, block, offset, bid, cb, inflated, internal, encoding_);
}

void NdbWriter::FinishBlocks(Bytes& buffer, std::uint64_t start,
                             std::vector<PendingBlock>& pending) const {
  for (const PendingBlock& b : pending) {
    FinishBlock(std::span(buffer).subspan(b.at, g_.BlockSize(b.cb)), start + b.at, b.bid, b.cb,
                b.inflated, b.internal);
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
  SetAsidePages(nodeTreePages_, nodeCount_, nodeLeafEntries_);
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
  FinishPageBytes(g_, page, offset, ptype, bid, signed_);
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
    Bytes page(g_.pageSize);
    for (std::size_t k = 0; k < n; ++k) serialize(page, leafSize * k, i + k);
    StoreLe(page, g_.entryArea, n, g_.countWidth);
    StoreLe(page, g_.CEntMaxAt(), leafCapacity, g_.countWidth);
    StoreLe(page, g_.CbEntAt(), leafSize, 1);
    StoreLe(page, g_.CLevelAt(), 0, 1);
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
    for (std::size_t i = 0; i < size; i += intermediateEntries_) {
      const std::size_t n = std::min(intermediateEntries_, size - i);
      Bytes page(g_.pageSize);
      std::uint64_t firstKey = 0;
      for (std::size_t k = 0; k < n; ++k) {
        const PageRef ref = below(start, i + k);
        if (k == 0) firstKey = ref.key;
        StoreLe(page, 24 * k, ref.key, 8);
        StoreLe(page, 24 * k + 8, ref.bid, 8);
        StoreLe(page, 24 * k + 16, ref.ib, 8);
      }
      StoreLe(page, g_.entryArea, n, g_.countWidth);
      StoreLe(page, g_.CEntMaxAt(), intermediateEntries_, g_.countWidth);
      StoreLe(page, g_.CbEntAt(), 24, 1);
      StoreLe(page, g_.CLevelAt(), static_cast<std::uint64_t>(cLevel), 1);
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
      blockCount_, blockLeafEntries_, 24, kPtypeBbt, blockTreePages_,
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
        if (g_.blockLeafInflated != 0) StoreLe(page, at + g_.blockLeafInflated, b.inflated, 2);
        StoreLe(page, at + g_.blockLeafRefCount, static_cast<std::uint16_t>(cRef), 2);
      });
  const PageRef nbt = WriteBTree(
      nodeCount_, nodeLeafEntries_, 32, kPtypeNbt, nodeTreePages_,
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
    for (std::size_t i = slots->taken; i < slots->size(); ++i) MarkUsed(slots->at(i), g_.pageSize, false);
  }

  // The file ends at the end of its last AMap interval; in the 4 KiB layout (intervals of
  // 16 MiB) after its last page or block.
  const std::uint64_t amaps = IntervalOf(std::max<std::uint64_t>(cursor_, g_.firstAMap + 1) - 1) + 1;
  const std::uint64_t eof = g_.pageMaps ? IntervalStart(amaps) : AlignUp(cursor_, g_.pageSize);
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
    Bytes page(g_.pageSize);
    std::size_t run = 0;
    // A word all used, or all free past the longest run a map can tell, at once: most are.
    for (std::size_t w = 0; w < unitsPerMap_ / 64; ++w) {
      if (words[w] == ~std::uint64_t{0}) {
        std::fill_n(page.begin() + static_cast<std::ptrdiff_t>(g_.mapBits + 8 * w), 8, std::byte{0xFF});
        run = 0;
      } else if (words[w] == 0 && run >= 255) {
        freeUnits += 64;
      } else {
        for (std::size_t i = 64 * w; i < 64 * (w + 1); ++i) {
          if (((words[w] >> (i % 64)) & 1) != 0) {
            page[g_.mapBits + i / 8] |= static_cast<std::byte>(0x80 >> (i % 8));
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
    if (g_.HasPMap(n)) {
      Bytes pmap(g_.pageSize, std::byte{0xFF});
      WritePage(IntervalStart(n) + g_.pageSize, pmap, kPtypePMap, IntervalStart(n) + g_.pageSize, false);
    }
    if (g_.HasFMap(n)) {
      Bytes fmap(g_.pageSize);
      for (std::size_t k = 0; k < Geometry::kFMapPageEntries && n + k < amaps; ++k)
        fmap[k] = std::byte{longestFree[n + k]};
      WritePage(IntervalStart(n) + 2 * g_.pageSize, fmap, kPtypeFMap, IntervalStart(n) + 2 * g_.pageSize,
                false);
    }
  }
  Bytes dlist(g_.pageSize);  // empty: Outlook rebuilds it
  WritePage(g_.dlistOffset, dlist, kPtypeDList, bidNextP_, true);

  Bytes header(g_.headerSize);
  const char magic[] = {'!', 'B', 'D', 'N'};
  for (int i = 0; i < 4; ++i) header[static_cast<std::size_t>(i)] = static_cast<std::byte>(magic[i]);
  StoreLe(header, 8, options_.client, 2);
  StoreLe(header, 10, g_.wVer, 2);
  StoreLe(header, 12, 19, 2);
  StoreLe(header, 14, 1, 1);
  StoreLe(header, 15, 1, 1);
  StoreLe(header, g_.bidNextP, bidNextP_, g_.idWidth);
  StoreLe(header, 40, 1, 4);
  for (std::size_t i = 0; i < 32; ++i) StoreLe(header, g_.rgnid + 4 * i, rgnid_[i], 4);
  StoreLe(header, g_.ibFileEof, eof, g_.idWidth);
  StoreLe(header, g_.ibAMapLast, IntervalStart(amaps - 1), g_.idWidth);
  StoreLe(header, g_.cbAMapFree, g_.amapUnit * freeUnits, g_.idWidth);
  StoreLe(header, g_.brefNbt, nbt.bid, g_.idWidth);
  StoreLe(header, g_.brefNbt + g_.idWidth, nbt.ib, g_.idWidth);
  StoreLe(header, g_.brefBbt, bbt.bid, g_.idWidth);
  StoreLe(header, g_.brefBbt + g_.idWidth, bbt.ib, g_.idWidth);
  StoreLe(header, g_.fAMapValid, 0x02, 1);
  std::fill(header.begin() + 256, header.begin() + 512, std::byte{0xFF});
  StoreLe(header, g_.bSentinel, 0x80, 1);
  StoreLe(header, g_.bCryptMethod, static_cast<std::uint8_t>(encoding_), 1);
  StoreLe(header, g_.bidNextB, bidNextB_, g_.idWidth);
  StoreLe(header, 4, ComputeCrc(ByteSpan(header).subspan(8, 471)), 4);
  StoreLe(header, g_.dwCRCFull, ComputeCrc(ByteSpan(header).subspan(8, 516)), 4);
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
