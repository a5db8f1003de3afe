// Lists and removes a folder tree one level at a time (openat), so that trees whose paths are
// longer than PATH_MAX can be checked and cleaned up; links are listed, never followed.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>

namespace palvara::testing {

struct TreeEntry {
  char type = '?';      // 'f' file, 'd' directory, 'l' link
  std::string content;  // a file's bytes, a link's target
  uid_t owner = 0;
};

namespace detail {

template <typename Visit>
void VisitTree(int dirFd, const std::string& prefix, Visit& visit) {
  const int listFd = ::dup(dirFd);
  DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
  if (dir == nullptr) {
    if (listFd >= 0) ::close(listFd);
    return;
  }
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    const std::string path = prefix.empty() ? name : prefix + "/" + name;
    TreeEntry entry;
    entry.owner = st.st_uid;
    if (S_ISDIR(st.st_mode)) {
      entry.type = 'd';
      const int sub =
          ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub >= 0) {
        VisitTree(sub, path, visit);
        ::close(sub);
      }
    } else if (S_ISLNK(st.st_mode)) {
      entry.type = 'l';
      char target[4096];
      const ssize_t n = ::readlinkat(dirFd, name.c_str(), target, sizeof target);
      if (n > 0) entry.content.assign(target, static_cast<std::size_t>(n));
    } else {
      entry.type = 'f';
      const int fd = ::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
      char buffer[65536];
      for (ssize_t n; fd >= 0 && (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
        entry.content.append(buffer, static_cast<std::size_t>(n));
      }
      if (fd >= 0) ::close(fd);
    }
    visit(dirFd, name, path, entry);
  }
  ::closedir(dir);
}

}  // namespace detail

// Every entry below `top` by its path relative to it ("Inbox/mbox"); links are not followed.
inline std::map<std::string, TreeEntry> ListTree(const std::filesystem::path& top) {
  std::map<std::string, TreeEntry> out;
  const int fd = ::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return out;
  auto visit = [&](int, const std::string&, const std::string& path, const TreeEntry& e) {
    out[path] = e;
  };
  detail::VisitTree(fd, "", visit);
  ::close(fd);
  return out;
}

// Removes `top` and everything below it, however deep.
inline void RemoveTree(const std::filesystem::path& top) {
  const int fd = ::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) {
    // Children are visited before their parent is handed to the visitor.
    auto visit = [](int dirFd, const std::string& name, const std::string&, const TreeEntry& e) {
      ::unlinkat(dirFd, name.c_str(), e.type == 'd' ? AT_REMOVEDIR : 0);
    };
    detail::VisitTree(fd, "", visit);
    ::close(fd);
  }
  std::error_code ec;
  std::filesystem::remove(top, ec);
}

}  // namespace palvara::testing
