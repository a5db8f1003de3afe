#include "export/output_tree.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <random>

#include "export/components.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;

// Names tried before a directory or file is given up: only a planted entry for each of them
// could exhaust them.
constexpr int kMaxAttempts = 10000;
constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

mode_t CurrentUmask() {
  // Read, not set: umask() would change it for the other threads meanwhile.
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Umask:", 0) != 0) continue;
    try {
      return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8) & 0777);
    } catch (const std::exception&) {
      break;
    }
  }
  return 022;
}

std::string RandomHex() {
  std::uint64_t value = 0;
  if (::getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value)) {
    std::random_device device;
    value = (std::uint64_t{device()} << 32) ^ device();
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

// 0, or the errno of the write that failed.
int WriteAll(int fd, std::string_view content) {
  for (std::size_t done = 0; done < content.size();) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n == 0) {
      return EIO;
    } else if (errno != EINTR) {
      return errno;
    }
  }
  return 0;
}

// The identity of `name` in `dirFd` (not followed), or of `dirFd` itself when `name` is empty;
// nullopt when it cannot be read.
std::optional<FileIdentity> IdentityOf(int dirFd, const char* name = "") {
  struct statx st {};
  const int flags = *name == '\0' ? AT_EMPTY_PATH : AT_SYMLINK_NOFOLLOW;
  if (::statx(dirFd, name, flags, STATX_INO | STATX_BTIME, &st) != 0) return std::nullopt;
  FileIdentity id;
  id.device = (std::uint64_t{st.stx_dev_major} << 32) | st.stx_dev_minor;
  id.inode = st.stx_ino;
  if ((st.stx_mask & STATX_BTIME) != 0) {
    id.bornSeconds = st.stx_btime.tv_sec;
    id.bornNanoseconds = st.stx_btime.tv_nsec;
  }
  return id;
}

bool Unsupported(int error) { return error == EOPNOTSUPP || error == EISDIR || error == EINVAL; }

// Sets or clears O_DIRECT; false when the file system refuses it.
bool SetDirect(int fd, bool direct) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  return ::fcntl(fd, F_SETFL, direct ? flags | O_DIRECT : flags & ~O_DIRECT) == 0;
}

// The first name of `nameFor` that `place` takes (it returns 0, EEXIST when the name is
// taken, or another errno); `error` is set when it fails otherwise (EEXIST when every name was
// taken). Empty with no error when `nameFor` has no more names. Links met under the names
// tried go into `links`.
template <typename Place>
std::string FirstFree(int dirFd, const OutputTree::NameFor& nameFor, Place place, int& error,
                      std::vector<std::string>& links) {
  error = 0;
  for (int attempt = 1; attempt <= kMaxAttempts; ++attempt) {
    std::string name = nameFor(attempt);
    if (name.empty()) {
      error = 0;
      return {};
    }
    error = place(name);
    if (error == 0) return name;
    if (error != EEXIST) return {};
    struct stat st {};
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
      links.push_back(std::move(name));
    }
  }
  return {};
}

}  // namespace

void ThrowFileError(const fs::path& path, int error) {
  // A full or read-only disk ends the run; a name the file system refuses loses one item.
  const bool fatal = error == ENOSPC || error == EFBIG || error == EROFS || error == EDQUOT ||
                     error == EIO || error == EACCES || error == EPERM;
  throw ComponentError(path.string() + ": " + std::strerror(error), fatal);
}

std::string NumberedName(std::string_view stem, std::string_view extension, int n) {
  std::string out(stem);
  if (n >= 2) out += " (" + std::to_string(n) + ")";
  return out.append(extension);
}

OutputTree::OutputTree(fs::path top) : top_(std::move(top)) {
  std::error_code ec;
  fs::create_directories(top_, ec);
  if (ec) throw ComponentError(top_.string() + ": " + ec.message(), true);
  topFd_ = ::open(top_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (topFd_ < 0) {
    const int error = errno;
    throw ComponentError(top_.string() + ": " + std::strerror(error), true);
  }
  nodes_.push_back({kTop, {}, IdentityOf(topFd_).value_or(FileIdentity{})});
  owner_ = ::geteuid();
  fileMode_ = 0666 & ~CurrentUmask();
}

OutputTree::~OutputTree() {
  for (const Open& o : open_) ::close(o.fd);
  if (topFd_ >= 0) ::close(topFd_);
}

fs::path OutputTree::PathOf(Dir dir) const {
  std::vector<const std::string*> names;
  for (Dir d = dir; d != kTop && d < nodes_.size(); d = nodes_[d].parent) {
    names.push_back(&nodes_[d].name);
  }
  fs::path out = top_;
  for (auto it = names.rbegin(); it != names.rend(); ++it) out /= **it;
  return out;
}

std::vector<std::string> OutputTree::TakeNotices() { return std::exchange(notices_, {}); }

void OutputTree::Keep(Dir dir, int fd) {
  if (open_.size() >= kOpenDirectories) {
    const auto oldest = std::min_element(
        open_.begin(), open_.end(), [](const Open& a, const Open& b) { return a.used < b.used; });
    ::close(oldest->fd);
    open_.erase(oldest);
  }
  open_.push_back({dir, fd, ++clock_});
}

int OutputTree::Fd(Dir dir) {
  if (dir == kTop) return topFd_;
  // The chain down from the nearest directory still open, one level at a time.
  std::vector<Dir> chain;
  int from = topFd_;
  for (Dir d = dir; d != kTop; d = nodes_[d].parent) {
    const auto open =
        std::find_if(open_.begin(), open_.end(), [d](const Open& o) { return o.dir == d; });
    if (open != open_.end()) {
      if (d == dir) {
        open->used = ++clock_;
        return open->fd;
      }
      from = open->fd;
      break;
    }
    chain.push_back(d);
  }
  // Each level opened stays open: its siblings' files are usually wanted next (a deep tree's
  // collection files are finished one after another).
  int fd = from;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    const Node& node = nodes_[*it];
    const int next = ::openat(fd, node.name.c_str(), kDirectoryFlags);
    if (next < 0) {
      const int error = errno;
      ThrowFileError(PathOf(*it), error);
    }
    if (IdentityOf(next) != node.identity) {
      ::close(next);
      throw ComponentError(PathOf(*it).string() + ": replaced by another entry during the export");
    }
    Keep(*it, next);
    fd = next;
  }
  return fd;
}

std::string OutputTree::Describe(int parentFd, Dir parent, const std::string& name) const {
  const std::string path = "\"" + (PathOf(parent) / name).string() + "\"";
  struct stat st {};
  if (::fstatat(parentFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return path + " could not be used";
  if (S_ISLNK(st.st_mode)) {
    char target[4096];
    const ssize_t n = ::readlinkat(parentFd, name.c_str(), target, sizeof target);
    for (ssize_t i = 0; i < n; ++i) {
      if (static_cast<unsigned char>(target[i]) < 0x20 || target[i] == 0x7F) target[i] = '?';
    }
    return path + " is a symbolic link" +
           (n >= 0 ? " to \"" + std::string(target, static_cast<std::size_t>(n)) + "\"" : "") +
           " and was not followed";
  }
  if (!S_ISDIR(st.st_mode)) return path + " is not a folder and was left as it is";
  return path + " belongs to another user and was left as it is";
}

OutputTree::Dir OutputTree::MakeDirectory(Dir parent, const NameFor& nameFor) {
  std::vector<std::string> passed;
  for (int attempt = 1; attempt <= kMaxAttempts; ++attempt) {
    const std::string name = nameFor(attempt);
    // A directory handed out before in this run is another folder's.
    if (handedOut_.count({parent, name}) != 0) continue;
    const int parentFd = Fd(parent);
    if (::mkdirat(parentFd, name.c_str(), 0777) != 0 && errno != EEXIST) {
      const int error = errno;
      ThrowFileError(PathOf(parent) / name, error);
    }
    // Made just now or there before: used only when it is a real directory of ours (a link
    // is not opened; one that replaced ours meanwhile is not ours).
    const int fd = ::openat(parentFd, name.c_str(), kDirectoryFlags);
    const int error = errno;
    struct stat st {};
    if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == owner_) {
      nodes_.push_back({parent, name, IdentityOf(fd).value_or(FileIdentity{})});
      handedOut_.insert({parent, name});
      const Dir dir = static_cast<Dir>(nodes_.size() - 1);
      Keep(dir, fd);
      for (const std::string& what : passed) {
        notices_.push_back(what + "; the folder was written to \"" + PathOf(dir).string() +
                           "\" instead");
      }
      return dir;
    }
    if (fd >= 0) {
      ::close(fd);
    } else if (error != ELOOP && error != ENOTDIR && error != EACCES && error != ENOENT) {
      ThrowFileError(PathOf(parent) / name, error);
    }
    passed.push_back(Describe(parentFd, parent, name));
  }
  throw ComponentError((PathOf(parent) / nameFor(1)).string() + ": no name for it is free");
}

std::string OutputTree::WriteNewFile(Dir dir, const NameFor& nameFor, std::string_view content) {
  if (unnamedFiles_) {
    bool unsupported = false;
    std::string name = WriteUnnamed(Fd(dir), dir, nameFor, content, unsupported);
    if (!unsupported) return name;
    // This file system has no unnamed files (or they cannot be linked): named temporaries
    // from now on.
    unnamedFiles_ = false;
  }
  return WriteViaTemporary(dir, nameFor, content);
}

std::string OutputTree::WriteUnnamed(int dirFd, Dir dir, const NameFor& nameFor,
                                     std::string_view content, bool& unsupported) {
  const int fd = ::openat(dirFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd < 0) {
    const int error = errno;
    if (Unsupported(error)) {
      unsupported = true;
      return {};
    }
    ThrowFileError(PathOf(dir) / nameFor(1), error);
  }
  if (const int error = WriteAll(fd, content)) {
    ::close(fd);  // the file goes with its descriptor
    ThrowFileError(PathOf(dir) / nameFor(1), error);
  }
  const std::string proc = "/proc/self/fd/" + std::to_string(fd);
  int error = 0;
  std::vector<std::string> links;
  std::string name = FirstFree(
      dirFd, nameFor,
      [&](const std::string& candidate) {
        if (::linkat(AT_FDCWD, proc.c_str(), dirFd, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0)
          return 0;
        if (errno != ENOENT) return errno;
        // Without /proc: linked by its descriptor, which needs a privilege before Linux 6.10.
        return ::linkat(fd, "", dirFd, candidate.c_str(), AT_EMPTY_PATH) == 0 ? 0 : errno;
      },
      error, links);
  ::close(fd);
  if (error == ENOENT || error == EPERM) {
    unsupported = true;
    return {};
  }
  if (error != 0) ThrowFileError(PathOf(dir) / nameFor(1), error);
  for (const std::string& link : links) {
    notices_.push_back(Describe(dirFd, dir, link) + "; the file was written as \"" + name +
                       "\" instead");
  }
  return name;
}

std::string OutputTree::WriteViaTemporary(Dir dir, const NameFor& nameFor,
                                          std::string_view content) {
  Temporary t = CreateTemporary(dir, "palvara", false);
  const int dirFd = Fd(dir);
  int error = WriteAll(t.fd, content);
  if (error == 0 && ::fchmod(t.fd, fileMode_) != 0) error = errno;
  if (::close(t.fd) != 0 && error == 0) error = errno;
  std::vector<std::string> links;
  std::string name;
  if (error == 0) {
    name = FirstFree(
        dirFd, nameFor,
        [&](const std::string& candidate) {
          if (::renameat2(dirFd, t.name.c_str(), dirFd, candidate.c_str(), RENAME_NOREPLACE) == 0)
            return 0;
          if (errno != EINVAL && errno != ENOSYS) return errno;
          // No renames that refuse to replace here: a hard link is just as exclusive.
          if (::linkat(dirFd, t.name.c_str(), dirFd, candidate.c_str(), 0) != 0) return errno;
          ::unlinkat(dirFd, t.name.c_str(), 0);
          return 0;
        },
        error, links);
  }
  if (error != 0 || name.empty()) {
    ::unlinkat(dirFd, t.name.c_str(), 0);
    if (error != 0) ThrowFileError(PathOf(dir) / nameFor(1), error);
    return {};
  }
  for (const std::string& link : links) {
    notices_.push_back(Describe(dirFd, dir, link) + "; the file was written as \"" + name +
                       "\" instead");
  }
  return name;
}

OutputTree::Temporary OutputTree::CreateTemporary(Dir dir, std::string_view hint, bool direct) {
  const int dirFd = Fd(dir);
  for (int attempt = 0; attempt < 100; ++attempt) {
    Temporary t;
    t.hint = hint;
    t.name = "." + std::string(hint.substr(0, 200)) + "." + RandomHex() + ".part";
    t.fd =
        ::openat(dirFd, t.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (t.fd < 0 && errno == EEXIST) continue;
    if (t.fd < 0) {
      const int error = errno;
      ThrowFileError(PathOf(dir) / hint, error);
    }
    t.identity = IdentityOf(t.fd).value_or(FileIdentity{});
    t.direct = direct && SetDirect(t.fd, true);
    return t;
  }
  ThrowFileError(PathOf(dir) / hint, EEXIST);
}

int OutputTree::ReopenTemporary(Dir dir, const Temporary& temporary, bool& direct) {
  const int fd =
      ::openat(Fd(dir), temporary.name.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    ThrowFileError(PathOf(dir) / temporary.hint, error);
  }
  if (IdentityOf(fd) != temporary.identity) {
    ::close(fd);
    throw ComponentError((PathOf(dir) / temporary.hint).string() + ": its unfinished file " +
                             temporary.name + " was replaced by another entry during the export",
                         true);
  }
  direct = direct && SetDirect(fd, true);
  return fd;
}

std::string OutputTree::PublishTemporary(Dir dir, const std::string& temporaryName,
                                         const NameFor& nameFor) {
  const int dirFd = Fd(dir);
  int error = 0;
  std::vector<std::string> links;
  const std::string name = FirstFree(
      dirFd, nameFor,
      [&](const std::string& candidate) {
        if (::renameat2(dirFd, temporaryName.c_str(), dirFd, candidate.c_str(), RENAME_NOREPLACE) ==
            0)
          return 0;
        if (errno != EINVAL && errno != ENOSYS) return errno;
        if (::linkat(dirFd, temporaryName.c_str(), dirFd, candidate.c_str(), 0) != 0) return errno;
        ::unlinkat(dirFd, temporaryName.c_str(), 0);
        return 0;
      },
      error, links);
  if (error != 0) ThrowFileError(PathOf(dir) / nameFor(1), error);
  if (name.empty())
    throw ComponentError((PathOf(dir) / nameFor(1)).string() + ": no name for it is free");
  for (const std::string& link : links) {
    notices_.push_back(Describe(dirFd, dir, link) + "; the file was written as \"" + name +
                       "\" instead");
  }
  return name;
}

void OutputTree::RemoveTemporary(Dir dir, const Temporary& temporary) noexcept {
  try {
    const int dirFd = Fd(dir);
    if (IdentityOf(dirFd, temporary.name.c_str()) == temporary.identity) {
      ::unlinkat(dirFd, temporary.name.c_str(), 0);
    }
  } catch (const std::exception&) {
    // Its directory is gone or was replaced: nothing of ours is left to remove.
  }
}

void OutputTree::ProbeWritable() {
  const int fd = ::openat(topFd_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd >= 0) {
    ::close(fd);
    return;
  }
  if (const int error = errno; !Unsupported(error)) ThrowFileError(top_, error);
  const Temporary t = CreateTemporary(kTop, "palvara-write-test", false);
  ::close(t.fd);
  ::unlinkat(topFd_, t.name.c_str(), 0);
}

}  // namespace palvara
