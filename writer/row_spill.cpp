#include "writer/row_spill.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

namespace palvara {
namespace {

// An unnamed file in `directory`: O_TMPFILE where the file system has it, else a named one
// removed at once. -1 when neither can be made.
int OpenUnnamedFile(const std::filesystem::path& directory) {
  if (directory.empty()) return -1;
  int fd = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  std::string name = (directory / ".palvara-rows-XXXXXX").string();
  fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd >= 0) ::unlink(name.c_str());
  return fd;
}

bool WriteWhole(int fd, std::uint64_t offset, ByteSpan bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(n));
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

std::size_t ReadSome(int fd, std::uint64_t offset, std::span<std::byte> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::pread(fd, out.data() + done, out.size() - done,
                              static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

}  // namespace

RowSpill::RowSpill(const std::filesystem::path& directory, std::size_t bufferLimit)
    : fd_(OpenUnnamedFile(directory)), bufferLimit_(bufferLimit) {}

RowSpill::~RowSpill() {
  if (fd_ >= 0) ::close(fd_);
}

RowSpill::Ref RowSpill::Add(const TableRow& row) {
  Ref ref = AddBytes(row.Packed());
  ref.rowId = row.rowId;
  return ref;
}

RowSpill::Ref RowSpill::AddBytes(ByteSpan bytes) {
  const Ref ref{written_ + pending_.size(), static_cast<std::uint32_t>(bytes.size()), 0};
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());
  if (pending_.size() >= bufferLimit_) Flush();
  return ref;
}

void RowSpill::Flush() {
  if (fd_ < 0 || inMemory_ || pending_.empty()) return;
  if (!WriteWhole(fd_, written_, pending_)) {
    // Tolerant: a full or failing disk keeps the rows in memory, as without a file.
    inMemory_ = true;
    return;
  }
  written_ += pending_.size();
  pending_.clear();
}

std::optional<TableRow> RowSpill::Read(const Ref& ref) const {
  const std::optional<ByteSpan> packed = View(ref);
  if (!packed) return std::nullopt;
  return TableRow::FromPacked(ref.rowId, *packed);
}

std::optional<ByteSpan> RowSpill::View(const Ref& ref) const {
  const std::uint64_t end = ref.offset + ref.size;
  if (ref.offset >= written_) {
    const std::uint64_t at = ref.offset - written_;
    if (end - written_ > pending_.size()) return std::nullopt;
    return ByteSpan(pending_).subspan(at, ref.size);
  }
  if (end > written_) return std::nullopt;  // rows never straddle a flush
  if (ref.offset < windowStart_ || end > windowStart_ + window_.size()) {
    window_.resize(std::max<std::size_t>(bufferLimit_, ref.size));
    window_.resize(ReadSome(fd_, ref.offset, window_));
    windowStart_ = ref.offset;
    if (end > windowStart_ + window_.size()) return std::nullopt;
  }
  return ByteSpan(window_).subspan(ref.offset - windowStart_, ref.size);
}

bool RowSpill::ReadAt(std::uint64_t offset, std::span<std::byte> out) const {
  const std::uint64_t end = offset + out.size();
  if (end > Size()) return false;
  // The part in the file, then the part still pending.
  const std::size_t fromFile =
      offset < written_ ? static_cast<std::size_t>(std::min(end, written_) - offset) : 0;
  if (fromFile > 0 && ReadSome(fd_, offset, out.first(fromFile)) != fromFile) return false;
  if (fromFile < out.size()) {
    const auto at = static_cast<std::size_t>(offset + fromFile - written_);
    std::copy_n(pending_.begin() + static_cast<std::ptrdiff_t>(at), out.size() - fromFile,
                out.begin() + static_cast<std::ptrdiff_t>(fromFile));
  }
  return true;
}

void RowSpill::RefList::Add(RowSpill& spill, const Ref& ref) {
  tail_.push_back(ref);
  if (tail_.size() < kChunk) return;
  parked_.push_back(spill.AddBytes(std::as_bytes(std::span(tail_))).offset);
  tail_.clear();
}

std::optional<RowSpill::Ref> RowSpill::RefList::Cursor::At(std::size_t i) {
  const std::size_t chunk = i / kChunk;
  if (chunk >= list_.parked_.size()) {
    const std::size_t inTail = i - list_.parked_.size() * kChunk;
    if (inTail >= list_.tail_.size()) return std::nullopt;
    return list_.tail_[inTail];
  }
  if (chunkAt_ != chunk) {
    chunk_.resize(kChunk);
    chunkAt_ = chunk;
    if (!spill_.ReadAt(list_.parked_[chunk], std::as_writable_bytes(std::span(chunk_)))) {
      chunkAt_ = SIZE_MAX;
      return std::nullopt;
    }
  }
  return chunk_[i % kChunk];
}

}  // namespace palvara
