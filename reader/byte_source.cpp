#include "reader/byte_source.h"

#include "common/regular_file.h"

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
  const int fd = OpenRegularFile(path, error);
  if (fd < 0) return nullptr;
  struct stat st {};
  ::fstat(fd, &st);
  return std::unique_ptr<FileByteSource>(
      new FileByteSource(fd, static_cast<std::uint64_t>(std::max<off_t>(st.st_size, 0))));
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
