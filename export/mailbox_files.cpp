#include "export/mailbox_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "export/components.h"

namespace palvara {
namespace {

// At most this many collection files stay open; the others are opened again when needed.
constexpr std::size_t kOpenLimit = 48;

std::filesystem::path PartName(const std::filesystem::path& path) {
  return path.string() + ".part";
}

bool WriteAll(std::FILE* file, std::string_view content) {
  return content.empty() || std::fwrite(content.data(), 1, content.size(), file) == content.size();
}

}  // namespace

void ThrowFileError(const std::filesystem::path& path, int error) {
  // A full or read-only disk ends the run; a name the file system refuses loses one item.
  const bool fatal = error == ENOSPC || error == EFBIG || error == EROFS || error == EDQUOT || error == EIO ||
                     error == EACCES || error == EPERM;
  throw ComponentError(path.string() + ": " + std::strerror(error), fatal);
}

void WriteFileVia(const std::filesystem::path& temporary, const std::filesystem::path& path,
                  std::string_view content) {
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) ThrowFileError(path, errno);
  const bool written = WriteAll(file, content) && std::fflush(file) == 0;
  const int error = errno;
  if (std::fclose(file) != 0 || !written) {
    std::remove(temporary.c_str());
    ThrowFileError(path, written ? errno : error);
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    const int renameError = errno;
    std::remove(temporary.c_str());
    ThrowFileError(path, renameError);
  }
}

void WriteWholeFile(const std::filesystem::path& path, std::string_view content) {
  WriteFileVia(PartName(path), path, content);
}

CollectionFiles::~CollectionFiles() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (writer_.joinable()) writer_.join();
  for (auto& [path, entry] : files_) {
    if (entry.fd >= 0) ::close(entry.fd);
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

void CollectionFiles::Open(const std::filesystem::path& path, Entry& entry) {
  if (entry.fd >= 0) return;
  if (openCount_ >= kOpenLimit) CloseAll();
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (entry.begun ? O_APPEND : O_TRUNC);
  entry.fd = ::open(PartName(path).c_str(), flags, 0666);
  if (entry.fd < 0) ThrowFileError(path, errno);
  ++openCount_;
}

void CollectionFiles::Flush() {
  if (buffered_ == files_.end()) return;
  Wait();
  Entry& entry = buffered_->second;
  {
    const std::lock_guard lock(mutex_);
    piece_.bytes.swap(buffer_);
    piece_.fd = entry.fd;
    piece_.sizeBefore = entry.size;
    piece_.path = buffered_->first;
    piece_.pending = true;
    entry.size += piece_.bytes.size();
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
  if (piece_.error != 0) {
    throw ComponentError(piece_.path.string() + ": " + std::strerror(piece_.error), true);
  }
}

void CollectionFiles::WriteLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return piece_.pending || stopping_; });
    if (!piece_.pending) return;
    // The piece is this thread's until `pending` is cleared.
    const std::string& bytes = piece_.bytes;
    const int fd = piece_.fd;
    const std::uint64_t sizeBefore = piece_.sizeBefore;
    lock.unlock();
    std::size_t done = 0;
    int error = 0;
    while (done < bytes.size() && error == 0) {
      const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else if (n < 0 && errno != EINTR) {
        error = errno;
      } else if (n == 0) {
        error = EIO;
      }
    }
    // Tolerant: what did reach the file is cut off again.
    if (error != 0 && ::ftruncate(fd, static_cast<off_t>(sizeBefore)) == 0) ::lseek(fd, 0, SEEK_END);
    lock.lock();
    piece_.error = error;
    piece_.pending = false;
    changed_.notify_all();
  }
}

std::string& CollectionFiles::Begin(const std::filesystem::path& path, std::string_view header) {
  const auto it = files_.try_emplace(path).first;
  if (buffered_ != it) Flush();
  Entry& entry = it->second;
  Open(path, entry);
  buffered_ = it;
  if (!entry.begun) buffer_.append(header);
  entry.begun = true;
  return buffer_;
}

void CollectionFiles::Append(const std::filesystem::path& path, std::string_view content,
                             std::string_view header) {
  Begin(path, header).append(content);
  if (buffer_.size() >= kBufferBytes) Flush();
}

void CollectionFiles::Finish(const std::map<std::string, std::string>& footerByExtension) {
  for (auto it = files_.begin(); it != files_.end(); ++it) {
    const std::filesystem::path& path = it->first;
    const auto footer = footerByExtension.find(path.extension().string());
    if (footer != footerByExtension.end()) Append(path, footer->second);
    if (buffered_ == it) Flush();
    Wait();
    Entry& entry = it->second;
    if (entry.fd >= 0) {
      const bool closed = ::close(entry.fd) == 0;
      entry.fd = -1;
      if (!closed) ThrowFileError(path, errno);
    }
    if (std::rename(PartName(path).c_str(), path.c_str()) != 0) ThrowFileError(path, errno);
    finished_.push_back(path);
  }
  files_.clear();
  buffered_ = files_.end();
  openCount_ = 0;
}

std::vector<std::filesystem::path> CollectionFiles::Files() const {
  std::vector<std::filesystem::path> out = finished_;
  for (const auto& [path, entry] : files_) out.push_back(path);
  return out;
}

}  // namespace palvara
