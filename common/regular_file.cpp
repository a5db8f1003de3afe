#include "common/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace palvara {
namespace {

const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  return nullptr;
}

// "Cannot open "x": it is a FIFO, not a regular file".
Status NotRegular(const std::string& name, mode_t mode) {
  const char* kind = KindOf(mode);
  return Status::Error("Cannot open \"" + name + "\": " +
                       (kind != nullptr ? std::string("it is ") + kind + ", " : std::string()) +
                       "not a regular file");
}

}  // namespace

int OpenRegularFile(const std::filesystem::path& path, Status* error) {
  const std::string name = path.string();
  // Told by its kind first: opening a socket fails with a reason that does not say so.
  struct stat st {};
  if (::stat(name.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    *error = NotRegular(name, st.st_mode);
    return -1;
  }
  // Non-blocking, so that a FIFO put in its place meanwhile cannot hold the open.
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    *error = Status::Error("Cannot open \"" + name + "\": " + std::strerror(errno));
    return -1;
  }
  if (::fstat(fd, &st) != 0) {
    *error = Status::Error("Cannot read \"" + name + "\": " + std::strerror(errno));
    ::close(fd);
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = NotRegular(name, st.st_mode);
    ::close(fd);
    return -1;
  }
  // Reads of a regular file never block; the flag is cleared all the same.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  *error = Status::Ok();
  return fd;
}

}  // namespace palvara
