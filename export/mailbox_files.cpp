#include "export/mailbox_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

#include "export/components.h"

namespace palvara {
namespace {

// At most this many collection files stay open; the others are opened again when needed.
constexpr std::size_t kOpenLimit = 48;

}  // namespace

CollectionFiles::~CollectionFiles() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (writer_.joinable()) writer_.join();
  for (auto& [file, entry] : files_) {
    if (entry.fd >= 0) ::close(entry.fd);
    // Not finished: nothing of it stays.
    if (!entry.temporary.name.empty()) tree_.RemoveTemporary(file.dir, entry.temporary);
  }
}

void CollectionFiles::CloseAll() {
  Flush();
  Wait();
  for (auto& [p, e] : files_) {
    if (e.fd >= 0) ::close(e.fd);
    e.fd = -1;
  }
  openCount_ = 0;
}

void CollectionFiles::Open(const CollectionFile& file, Entry& entry) {
  if (entry.fd >= 0) return;
  if (openCount_ >= kOpenLimit) CloseAll();
  if (entry.temporary.name.empty()) {
    entry.temporary = tree_.CreateTemporary(file.dir, file.name, entry.direct);
    entry.direct = entry.temporary.direct;
    entry.fd = entry.temporary.fd;
  } else {
    // Only the file made for it: another entry under its name is refused.
    entry.fd = tree_.ReopenTemporary(file.dir, entry.temporary, entry.direct);
  }
  ++openCount_;
}

void CollectionFiles::Flush() {
  if (buffered_ == files_.end()) return;
  Wait();
  Entry& entry = buffered_->second;
  {
    const std::lock_guard lock(mutex_);
    piece_.bytes.swap(buffer_);
    piece_.head.swap(entry.tail);
    entry.tail.clear();
    piece_.fd = entry.fd;
    piece_.direct = entry.direct;
    piece_.sizeBefore = entry.size;
    piece_.path = entry.shown;
    piece_.entry = &entry;
    piece_.pending = true;
  }
  if (!writer_.joinable()) writer_ = std::thread([this] { WriteLoop(); });
  changed_.notify_all();
  buffered_ = files_.end();
  // The bytes of the piece written before; one very large message does not keep its memory
  // for the rest of the run.
  if (buffer_.capacity() > 4 * kBufferBytes) std::string().swap(buffer_);
  buffer_.clear();
}

void CollectionFiles::Wait() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !piece_.pending; });
  if (Entry* entry = std::exchange(piece_.entry, nullptr)) {
    entry->size = piece_.sizeBefore + piece_.written;
    entry->tail.swap(piece_.tail);
    entry->direct = piece_.direct;
  }
  if (piece_.error != 0) {
    throw ComponentError(piece_.path.string() + ": " + std::strerror(piece_.error), true);
  }
}

namespace {

// Writes `size` bytes; 0 or the errno of the failure. A write around the page cache that the
// file system refuses (EINVAL: a size or offset that is not whole blocks) goes through it.
int WriteFully(int fd, const char* data, std::size_t size, bool& direct, std::uint64_t& written) {
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      written += static_cast<std::uint64_t>(n);
    } else if (n < 0 && errno == EINVAL && direct) {
      direct = false;
      const int flags = ::fcntl(fd, F_GETFL);
      if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_DIRECT) != 0) return EINVAL;
    } else if (n < 0 && errno != EINTR) {
      return errno;
    } else if (n == 0) {
      return EIO;
    }
  }
  return 0;
}

}  // namespace

void CollectionFiles::WritePiece(Piece& piece, std::string& staging) {
  piece.written = 0;
  piece.tail.clear();
  if (!piece.direct && piece.head.empty()) {
    piece.error = WriteFully(piece.fd, piece.bytes.data(), piece.bytes.size(), piece.direct, piece.written);
  } else {
    // One run of bytes, the tail held back before and then the piece, copied a buffer at a
    // time into memory aligned for the disk; whole blocks are written, the rest held back.
    if (staging.size() < kBufferBytes + kDiskBlock) staging.resize(kBufferBytes + kDiskBlock);
    char* const aligned =
        staging.data() + (kDiskBlock - reinterpret_cast<std::uintptr_t>(staging.data()) % kDiskBlock) % kDiskBlock;
    const std::size_t total = piece.head.size() + piece.bytes.size();
    piece.error = 0;
    for (std::size_t done = 0; done < total && piece.error == 0;) {
      const std::size_t n = std::min(kBufferBytes, total - done);
      for (std::size_t k = 0; k < n;) {
        const std::size_t at = done + k;
        const bool inHead = at < piece.head.size();
        const std::string& from = inHead ? piece.head : piece.bytes;
        const std::size_t offset = inHead ? at : at - piece.head.size();
        const std::size_t count = std::min(n - k, from.size() - offset);
        std::memcpy(aligned + k, from.data() + offset, count);
        k += count;
      }
      done += n;
      const std::size_t whole = done == total && piece.direct ? n - n % kDiskBlock : n;
      piece.error = WriteFully(piece.fd, aligned, whole, piece.direct, piece.written);
      if (piece.error == 0 && whole < n) {
        // Through the page cache after all: nothing is held back.
        if (!piece.direct) {
          piece.error = WriteFully(piece.fd, aligned + whole, n - whole, piece.direct, piece.written);
        } else {
          piece.tail.assign(aligned + whole, n - whole);
        }
      }
    }
  }
  if (piece.error != 0) {
    // Tolerant: what did reach the file is cut off again.
    if (::ftruncate(piece.fd, static_cast<off_t>(piece.sizeBefore)) == 0) ::lseek(piece.fd, 0, SEEK_END);
    piece.written = 0;
    piece.tail.clear();
  }
}

void CollectionFiles::WriteLoop() {
  std::string staging;
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return piece_.pending || stopping_; });
    if (!piece_.pending) return;
    // The piece is this thread's until `pending` is cleared.
    lock.unlock();
    WritePiece(piece_, staging);
    lock.lock();
    piece_.pending = false;
    changed_.notify_all();
  }
}

std::string& CollectionFiles::Begin(const CollectionFile& file, std::string_view header) {
  const auto [it, added] = files_.try_emplace(file);
  if (added) it->second.shown = tree_.PathOf(file.dir) / file.name;
  if (buffered_ != it) Flush();
  Entry& entry = it->second;
  Open(file, entry);
  buffered_ = it;
  if (!entry.begun) buffer_.append(header);
  entry.begun = true;
  return buffer_;
}

void CollectionFiles::Append(const CollectionFile& file, std::string_view content,
                             std::string_view header) {
  Begin(file, header).append(content);
  if (buffer_.size() >= kBufferBytes) Flush();
}

void CollectionFiles::Complete(const CollectionFile& file, Entry& entry) {
  Open(file, entry);
  if (!entry.tail.empty()) {
    // The last part of a block: written through the page cache.
    const int flags = ::fcntl(entry.fd, F_GETFL);
    if (flags >= 0 && (flags & O_DIRECT) != 0) ::fcntl(entry.fd, F_SETFL, flags & ~O_DIRECT);
    bool direct = false;
    std::uint64_t written = 0;
    if (const int error = WriteFully(entry.fd, entry.tail.data(), entry.tail.size(), direct, written)) {
      if (::ftruncate(entry.fd, static_cast<off_t>(entry.size)) == 0) ::lseek(entry.fd, 0, SEEK_END);
      throw ComponentError(entry.shown.string() + ": " + std::strerror(error), true);
    }
    entry.size += written;
    entry.tail.clear();
  }
  // Made private while it grew; the mode of any new file once it is whole.
  int error = ::fchmod(entry.fd, tree_.FileMode()) == 0 ? 0 : errno;
  if (::close(entry.fd) != 0 && error == 0) error = errno;
  entry.fd = -1;
  --openCount_;
  if (error != 0) ThrowFileError(entry.shown, error);
  const std::size_t dot = file.name.rfind('.');
  const std::string stem = dot == std::string::npos || dot == 0 ? file.name : file.name.substr(0, dot);
  const std::string extension = file.name.substr(stem.size());
  std::string name = tree_.PublishTemporary(file.dir, entry.temporary.name,
                                            [&](int n) { return NumberedName(stem, extension, n); });
  entry.temporary.name.clear();
  finished_.push_back({file, std::move(name)});
}

void CollectionFiles::Finish(const std::map<std::string, std::string>& footerByExtension) {
  for (auto it = files_.begin(); it != files_.end(); ++it) {
    const std::string& name = it->first.name;
    const std::size_t dot = name.rfind('.');
    const auto footer = footerByExtension.find(dot == std::string::npos ? "" : name.substr(dot));
    if (footer != footerByExtension.end()) Append(it->first, footer->second);
    if (buffered_ == it) Flush();
    Wait();
    // A file that could not even be made lost only its own items.
    if (!it->second.begun) continue;
    Complete(it->first, it->second);
  }
  files_.clear();
  buffered_ = files_.end();
  openCount_ = 0;
}

}  // namespace palvara
