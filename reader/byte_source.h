// Random-access byte sources behind a store: a file on disk (pread, 64-bit offsets) or a
// buffer in memory (fuzzing, tests). Reads past the end return fewer bytes, never fail hard.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

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

class FileByteSource final : public ByteSource {
 public:
  // Opens a regular file for reading; anything else is refused. On failure `error` says why.
  static std::unique_ptr<FileByteSource> Open(const std::filesystem::path& path, Status* error);
  ~FileByteSource() override;
  FileByteSource(const FileByteSource&) = delete;
  FileByteSource& operator=(const FileByteSource&) = delete;

  std::uint64_t Size() const override { return size_; }
  std::size_t ReadAt(std::uint64_t offset, std::span<std::byte> out) override;

 private:
  FileByteSource(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  int fd_;
  std::uint64_t size_;
};

}  // namespace palvara
