// Random-access byte sources behind a store: a file on disk (pread, 64-bit offsets, a bounded
// cache of large aligned reads) or a buffer in memory (fuzzing, tests). Reads past the end
// return fewer bytes, never fail hard; a sequential reader walks a source front to back in
// large windows.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/byte_view.h"
#include "common/status.h"

namespace palvara {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::uint64_t Size() const = 0;
  // Copies up to out.size() bytes from `offset`; returns how many were copied (0 past the end
  // or on a read error).
  virtual std::size_t ReadAt(std::uint64_t offset, std::span<std::byte> out) = 0;
};

class MemoryByteSource final : public ByteSource {
 public:
  explicit MemoryByteSource(Bytes data) : data_(std::move(data)) {}
  std::uint64_t Size() const override { return data_.size(); }
  std::size_t ReadAt(std::uint64_t offset, std::span<std::byte> out) override;

 private:
  Bytes data_;
};

// Bytes owned elsewhere; they must outlive the source.
class ViewByteSource final : public ByteSource {
 public:
  explicit ViewByteSource(ByteSpan data) : data_(data) {}
  std::uint64_t Size() const override { return data_.size(); }
  std::size_t ReadAt(std::uint64_t offset, std::span<std::byte> out) override;

 private:
  ByteSpan data_;
};

// How a file source caches: `chunks` buffers of `chunkSize` bytes (a power of two), each
// holding the file's bytes at a multiple of chunkSize. Reads of at least chunkSize bytes, and
// every read when `chunks` is 0, go to the file directly; cached reads end at the size the
// file had when it was opened.
struct FileCacheOptions {
  std::size_t chunkSize = std::size_t{4} << 10;
  std::size_t chunks = 2048;  // 8 MiB
};

// A file read with pread, never mapped: a file that shrinks while it is open (a store on a
// removable disk, one another program is still writing) yields short reads, which every
// reader above handles as the end of the file, where a mapping would raise SIGBUS. Small
// reads are served from a bounded cache of large aligned reads; the cache keeps what it read
// even if the file changes later. ReadAt may be called from several threads at once.
class FileByteSource final : public ByteSource {
 public:
  // Opens a regular file for reading; anything else is refused. On failure `error` says why.
  static std::unique_ptr<FileByteSource> Open(const std::filesystem::path& path, Status* error,
                                              FileCacheOptions cache = {});
  ~FileByteSource() override;
  FileByteSource(const FileByteSource&) = delete;
  FileByteSource& operator=(const FileByteSource&) = delete;

  std::uint64_t Size() const override { return size_; }
  std::size_t ReadAt(std::uint64_t offset, std::span<std::byte> out) override;

  // How many read calls went to the file so far.
  std::uint64_t FileReads() const;

 private:
  static constexpr std::size_t kNoSlot = static_cast<std::size_t>(-1);
  struct Chunk {
    std::uint64_t index = 0;
    std::size_t length = 0;  // bytes the file supplied (fewer at its end)
    Bytes bytes;
    // Neighbours in the order of use (slots in `chunks`).
    std::size_t newer = kNoSlot;
    std::size_t older = kNoSlot;
  };
  // A part of the cache with a lock of its own: threads reading at once mostly find their
  // chunks in different parts. A chunk's part is its index modulo the number of parts.
  struct Part {
    std::mutex mutex;
    std::size_t capacity = 0;
    std::vector<Chunk> chunks;
    std::unordered_map<std::uint64_t, std::size_t> positions;  // chunk index -> slot in chunks
    std::size_t newest = kNoSlot;  // the chunk used last
    std::size_t oldest = kNoSlot;  // the next to make room

    void Unlink(std::size_t slot);
    void LinkNewest(std::size_t slot);
    void LinkOldest(std::size_t slot);
  };
  // A cache of at least this many chunks per part is split into parts.
  static constexpr std::size_t kChunksPerPart = 64;
  static constexpr std::size_t kMostParts = 16;

  FileByteSource(int fd, std::uint64_t size, FileCacheOptions cache);
  std::size_t ReadDirect(std::uint64_t offset, std::span<std::byte> out);
  std::size_t ChunkAt(Part& part, std::uint64_t index, std::unique_lock<std::mutex>& lock);

  int fd_;
  std::uint64_t size_;
  FileCacheOptions options_;
  std::vector<std::unique_ptr<Part>> parts_;
  std::atomic<std::uint64_t> fileReads_ = 0;
};

// One front-to-back pass over bytes [begin, end) of a source in large reads that bypass any
// cache. Consecutive windows overlap by `overlap` bytes, so that a structure up to that size
// starting in one window lies whole in that window or the next.
class SequentialReader {
 public:
  struct Window {
    std::uint64_t offset = 0;  // file offset of bytes[0]
    ByteSpan bytes;            // valid until the next call of Next
  };

  // windowSize is raised to at least twice the overlap, and lowered to the range's size.
  SequentialReader(ByteSource& source, std::uint64_t begin, std::uint64_t end,
                   std::size_t windowSize = std::size_t{4} << 20, std::size_t overlap = 0);

  // The next window; nullopt once `end` is reached or the source supplies nothing more (a
  // file that ended early). The last window may be shorter than windowSize.
  std::optional<Window> Next();

 private:
  ByteSource& source_;
  std::uint64_t next_;  // the first byte not read yet
  std::uint64_t end_;
  std::size_t overlap_;
  Bytes buffer_;
  std::size_t last_ = 0;  // length of the window handed out last
  std::size_t kept_ = 0;  // bytes of it kept at the front of buffer_
  bool done_ = false;
};

}  // namespace palvara
