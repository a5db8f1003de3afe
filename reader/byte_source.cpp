#include "reader/byte_source.h"

#include "common/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace palvara {
namespace {

std::size_t CopyFrom(ByteSpan data, std::uint64_t offset, std::span<std::byte> out) {
  if (offset >= data.size() || out.empty()) return 0;
  const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), data.size() - offset));
  std::memcpy(out.data(), data.data() + offset, n);
  return n;
}

bool IsPowerOfTwo(std::size_t n) { return n != 0 && (n & (n - 1)) == 0; }

}  // namespace

std::size_t MemoryByteSource::ReadAt(std::uint64_t offset, std::span<std::byte> out) {
  return CopyFrom(data_, offset, out);
}

std::size_t ViewByteSource::ReadAt(std::uint64_t offset, std::span<std::byte> out) {
  return CopyFrom(data_, offset, out);
}

std::unique_ptr<FileByteSource> FileByteSource::Open(const std::filesystem::path& path,
                                                     Status* error, FileCacheOptions cache) {
  const int fd = OpenRegularFile(path, error);
  if (fd < 0) return nullptr;
  struct stat st {};
  ::fstat(fd, &st);
  if (!IsPowerOfTwo(cache.chunkSize)) cache.chunks = 0;
  return std::unique_ptr<FileByteSource>(new FileByteSource(
      fd, static_cast<std::uint64_t>(std::max<off_t>(st.st_size, 0)), cache));
}

FileByteSource::FileByteSource(int fd, std::uint64_t size, FileCacheOptions cache)
    : fd_(fd), size_(size), options_(cache) {
  if (options_.chunks == 0) return;
  const std::size_t parts =
      std::clamp<std::size_t>(options_.chunks / kChunksPerPart, 1, kMostParts);
  for (std::size_t i = 0; i < parts; ++i) {
    parts_.push_back(std::make_unique<Part>());
    // The bound is kept whole: the first parts take what does not divide evenly.
    parts_.back()->capacity = options_.chunks / parts + (i < options_.chunks % parts ? 1 : 0);
  }
}

FileByteSource::~FileByteSource() { ::close(fd_); }

std::uint64_t FileByteSource::FileReads() const { return fileReads_.load(); }

std::size_t FileByteSource::ReadDirect(std::uint64_t offset, std::span<std::byte> out) {
  std::size_t done = 0;
  while (done < out.size()) {  // never entered for an empty span (data() may be null)
    if (offset + done > static_cast<std::uint64_t>(INT64_MAX)) break;
    ssize_t n = ::pread(fd_, out.data() + done, out.size() - done,
                        static_cast<off_t>(offset + done));
    ++fileReads_;
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

void FileByteSource::Part::Unlink(std::size_t slot) {
  Chunk& c = chunks[slot];
  (c.newer != kNoSlot ? chunks[c.newer].older : newest) = c.older;
  (c.older != kNoSlot ? chunks[c.older].newer : oldest) = c.newer;
  c.newer = c.older = kNoSlot;
}

void FileByteSource::Part::LinkNewest(std::size_t slot) {
  chunks[slot].older = newest;
  (newest != kNoSlot ? chunks[newest].newer : oldest) = slot;
  newest = slot;
}

void FileByteSource::Part::LinkOldest(std::size_t slot) {
  chunks[slot].newer = oldest;
  (oldest != kNoSlot ? chunks[oldest].older : newest) = slot;
  oldest = slot;
}

// Called with `lock` (of `part`) held, which is released while the file is read: threads
// reading other chunks meanwhile do not wait for it. The least recently used chunk of the part
// makes room for a new one. kNoSlot when every slot is being filled by other threads.
std::size_t FileByteSource::ChunkAt(Part& part, std::uint64_t index,
                                    std::unique_lock<std::mutex>& lock) {
  if (auto it = part.positions.find(index); it != part.positions.end()) {
    if (it->second != part.newest) {
      part.Unlink(it->second);
      part.LinkNewest(it->second);
    }
    return it->second;
  }
  std::size_t slot = part.chunks.size();
  if (part.chunks.size() < part.capacity) {
    part.chunks.emplace_back();
  } else {
    slot = part.oldest;
    if (slot == kNoSlot) return kNoSlot;
    part.Unlink(slot);
    const auto held = part.positions.find(part.chunks[slot].index);
    if (held != part.positions.end() && held->second == slot) part.positions.erase(held);
  }
  // Unlinked and unlisted while it is filled, so that no other thread takes or finds it.
  Chunk& chunk = part.chunks[slot];
  chunk.bytes.resize(options_.chunkSize);
  chunk.index = index;
  chunk.length = 0;
  const std::span<std::byte> buffer(chunk.bytes);  // its storage stays put when chunks grows
  lock.unlock();
  const std::size_t length = ReadDirect(index * options_.chunkSize, buffer);
  lock.lock();
  part.chunks[slot].length = length;
  // A chunk the file supplied nothing for (past its end, a read error) is not kept: a later
  // read tries again, and the slot is the first to be reused. Nor is a second copy of one
  // another thread read meanwhile.
  if (length > 0 && part.positions.try_emplace(index, slot).second) {
    part.LinkNewest(slot);
  } else {
    part.LinkOldest(slot);
  }
  return slot;
}

std::size_t FileByteSource::ReadAt(std::uint64_t offset, std::span<std::byte> out) {
  const std::size_t chunkSize = options_.chunkSize;
  if (parts_.empty() || out.size() >= chunkSize) return ReadDirect(offset, out);
  std::size_t done = 0;
  while (done < out.size()) {
    const std::uint64_t at = offset + done;
    // Nothing past the size seen at opening is cached: a read there would find nothing.
    if (at >= size_ || at > static_cast<std::uint64_t>(INT64_MAX) - chunkSize) break;
    const std::uint64_t index = at / chunkSize;
    const std::size_t within = static_cast<std::size_t>(at % chunkSize);
    const std::size_t piece = std::min(out.size() - done, chunkSize - within);
    Part& part = *parts_[index % parts_.size()];
    std::unique_lock lock(part.mutex);
    const std::size_t slot = ChunkAt(part, index, lock);
    if (slot == kNoSlot) {
      // Every slot of the part is being filled: this piece is read from the file as it is.
      lock.unlock();
      const std::size_t n = ReadDirect(at, out.subspan(done, piece));
      done += n;
      if (n < piece) break;
      continue;
    }
    const Chunk& chunk = part.chunks[slot];
    if (within >= chunk.length) break;
    const std::size_t n = std::min(piece, chunk.length - within);
    std::memcpy(out.data() + done, chunk.bytes.data() + within, n);
    done += n;
    if (chunk.length < chunkSize) break;  // the file ends inside this chunk
  }
  return done;
}

SequentialReader::SequentialReader(ByteSource& source, std::uint64_t begin, std::uint64_t end,
                                   std::size_t windowSize, std::size_t overlap)
    : source_(source),
      next_(begin),
      end_(std::min(end, source.Size())),
      overlap_(overlap),
      // No larger than the range: a small file is read whole without a window's worth of zeros.
      buffer_(static_cast<std::size_t>(std::max<std::uint64_t>(
          std::min<std::uint64_t>(std::max(windowSize, 2 * overlap), end_ > begin ? end_ - begin : 0),
          1))) {}

std::optional<SequentialReader::Window> SequentialReader::Next() {
  if (done_ || next_ >= end_) return std::nullopt;
  // The tail of the previous window starts this one.
  kept_ = std::min(overlap_, last_);
  if (kept_ > 0) std::memmove(buffer_.data(), buffer_.data() + last_ - kept_, kept_);
  const std::size_t want = static_cast<std::size_t>(
      std::min<std::uint64_t>(buffer_.size() - kept_, end_ - next_));
  const std::size_t got = source_.ReadAt(next_, std::span(buffer_).subspan(kept_, want));
  if (got == 0) {
    done_ = true;
    return std::nullopt;
  }
  const Window window{next_ - kept_, ByteSpan(buffer_.data(), kept_ + got)};
  next_ += got;
  last_ = window.bytes.size();
  if (got < want) done_ = true;  // the source ended early
  return window;
}

}  // namespace palvara
