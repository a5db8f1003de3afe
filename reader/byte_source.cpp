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
    : fd_(fd), size_(size), options_(cache) {}

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

void FileByteSource::Unlink(std::size_t slot) {
  Chunk& c = chunks_[slot];
  (c.newer != kNoSlot ? chunks_[c.newer].older : newest_) = c.older;
  (c.older != kNoSlot ? chunks_[c.older].newer : oldest_) = c.newer;
  c.newer = c.older = kNoSlot;
}

void FileByteSource::LinkNewest(std::size_t slot) {
  chunks_[slot].older = newest_;
  (newest_ != kNoSlot ? chunks_[newest_].newer : oldest_) = slot;
  newest_ = slot;
}

void FileByteSource::LinkOldest(std::size_t slot) {
  chunks_[slot].newer = oldest_;
  (oldest_ != kNoSlot ? chunks_[oldest_].older : newest_) = slot;
  oldest_ = slot;
}

// Called with mutex_ held. The least recently used chunk makes room for a new one.
const FileByteSource::Chunk& FileByteSource::ChunkAt(std::uint64_t index) {
  if (auto it = slots_.find(index); it != slots_.end()) {
    if (it->second != newest_) {
      Unlink(it->second);
      LinkNewest(it->second);
    }
    return chunks_[it->second];
  }
  std::size_t slot = chunks_.size();
  if (chunks_.size() < options_.chunks) {
    chunks_.emplace_back();
  } else {
    slot = oldest_;
    Unlink(slot);
    if (chunks_[slot].length > 0) slots_.erase(chunks_[slot].index);
  }
  Chunk& chunk = chunks_[slot];
  chunk.bytes.resize(options_.chunkSize);
  chunk.index = index;
  // Read with the lock held: threads that miss the same chunk together read it once.
  chunk.length = ReadDirect(index * options_.chunkSize, chunk.bytes);
  // A chunk the file supplied nothing for (past its end, a read error) is not kept: a later
  // read tries again, and the slot is the first to be reused.
  if (chunk.length > 0) {
    slots_[index] = slot;
    LinkNewest(slot);
  } else {
    LinkOldest(slot);
  }
  return chunk;
}

std::size_t FileByteSource::ReadAt(std::uint64_t offset, std::span<std::byte> out) {
  const std::size_t chunkSize = options_.chunkSize;
  if (options_.chunks == 0 || out.size() >= chunkSize) return ReadDirect(offset, out);
  std::lock_guard lock(mutex_);
  std::size_t done = 0;
  while (done < out.size()) {
    const std::uint64_t at = offset + done;
    // Nothing past the size seen at opening is cached: a read there would find nothing.
    if (at >= size_ || at > static_cast<std::uint64_t>(INT64_MAX) - chunkSize) break;
    const Chunk& chunk = ChunkAt(at / chunkSize);
    const std::size_t within = static_cast<std::size_t>(at % chunkSize);
    if (within >= chunk.length) break;
    const std::size_t n = std::min(out.size() - done, chunk.length - within);
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
