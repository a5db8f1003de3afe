#include "reader/byte_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace palvara {

std::size_t MemoryByteSource::ReadAt(std::uint64_t offset, std::span<std::byte> out) {
  if (offset >= data_.size() || out.empty()) return 0;
  std::size_t n = static_cast<std::size_t>(
      std::min<std::uint64_t>(out.size(), data_.size() - offset));
  std::memcpy(out.data(), data_.data() + offset, n);
  return n;
}

std::size_t ViewByteSource::ReadAt(std::uint64_t offset, std::span<std::byte> out) {
  if (offset >= data_.size() || out.empty()) return 0;
  const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), data_.size() - offset));
  std::memcpy(out.data(), data_.data() + offset, n);
  return n;
}

std::unique_ptr<FileByteSource> FileByteSource::Open(const std::filesystem::path& path,
                                                     Status* error) {
  const std::string name = path.string();
  int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = Status::Error("Cannot open \"" + name + "\": " + std::strerror(errno));
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    *error = Status::Error("Cannot read \"" + name + "\": " + std::strerror(errno));
    ::close(fd);
    return nullptr;
  }
  std::uint64_t size = 0;
  if (S_ISREG(st.st_mode)) {
    size = static_cast<std::uint64_t>(st.st_size);
  } else if (S_ISBLK(st.st_mode)) {
    off_t end = ::lseek(fd, 0, SEEK_END);
    size = end > 0 ? static_cast<std::uint64_t>(end) : 0;
  } else {
    *error = Status::Error("Cannot open \"" + name + "\": " +
                           (S_ISDIR(st.st_mode) ? "it is a directory" : "not a regular file"));
    ::close(fd);
    return nullptr;
  }
  *error = Status::Ok();
  return std::unique_ptr<FileByteSource>(new FileByteSource(fd, size));
}

FileByteSource::~FileByteSource() { ::close(fd_); }

std::size_t FileByteSource::ReadAt(std::uint64_t offset, std::span<std::byte> out) {
  std::size_t done = 0;
  while (done < out.size()) {  // never entered for an empty span (data() may be null)
    if (offset + done > static_cast<std::uint64_t>(INT64_MAX)) break;
    ssize_t n = ::pread(fd_, out.data() + done, out.size() - done,
                        static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

}  // namespace palvara
