#include "export/unfinished_output.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "export/components.h"

namespace palvara {
namespace {

constexpr std::string_view kFolderMark = ".partial-";
constexpr std::string_view kFileMark = ".partial";

// "name.pst" -> "name (n).pst".
std::filesystem::path Numbered(const std::filesystem::path& wanted, int n) {
  if (n < 2) return wanted;
  return wanted.parent_path() /
         (wanted.stem().string() + " (" + std::to_string(n) + ")" + wanted.extension().string());
}

// The folder `path` opened and locked without waiting; -1 when it cannot be, or another run
// holds it.
int LockFolder(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return -1;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Whether a folder name is one Reserve makes: "<name>.partial-" and mkdtemp's six characters.
bool IsPrivateFolderName(const std::string& name) {
  const std::size_t at = name.rfind(kFolderMark);
  if (at == std::string::npos || at == 0 || name.size() != at + kFolderMark.size() + 6)
    return false;
  for (std::size_t i = at + kFolderMark.size(); i < name.size(); ++i) {
    const char c = name[i];
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

}  // namespace

UnfinishedOutput::~UnfinishedOutput() { Discard(); }

void UnfinishedOutput::Discard() {
  if (!temporary_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(temporary_.parent_path(), ec);
    temporary_.clear();
  }
  if (lock_ >= 0) ::close(lock_);
  lock_ = -1;
}

void UnfinishedOutput::Reserve(const std::filesystem::path& wanted) {
  Discard();
  std::filesystem::path output = wanted;
  struct stat st {};
  for (int n = 2; ::lstat(output.c_str(), &st) == 0; ++n) output = Numbered(wanted, n);
  std::string folder = output.string() + std::string(kFolderMark) + "XXXXXX";
  if (::mkdtemp(folder.data()) == nullptr) {
    const int error = errno;
    throw ComponentError("Cannot create \"" + output.string() + "\": " + std::strerror(error),
                         true);
  }
  lock_ = LockFolder(folder);
  final_ = output;
  temporary_ =
      std::filesystem::path(folder) / (output.filename().string() + std::string(kFileMark));
}

std::filesystem::path UnfinishedOutput::Publish() {
  for (int n = 1;; ++n) {
    const std::filesystem::path target = Numbered(final_, n);
    bool done =
        ::renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0;
    if (!done && (errno == EINVAL || errno == ENOSYS)) {
      // A file system without no-replace renames: a hard link is just as exclusive.
      done = ::link(temporary_.c_str(), target.c_str()) == 0;
      if (done) ::unlink(temporary_.c_str());
    }
    if (done) {
      final_ = target;
      Discard();  // the folder is empty now
      return final_;
    }
    if (errno == EEXIST) continue;
    const int error = errno;
    throw ComponentError("Cannot rename \"" + temporary_.string() + "\" to \"" + target.string() +
                             "\": " + std::strerror(error),
                         true);
  }
}

int RemoveStaleOutputs(const std::filesystem::path& folder) {
  std::error_code ec;
  std::vector<std::filesystem::path> candidates;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
       it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec) &&
        IsPrivateFolderName(it->path().filename().string())) {
      candidates.push_back(it->path());
    }
  }
  int removed = 0;
  for (const std::filesystem::path& candidate : candidates) {
    const int lock = LockFolder(candidate);
    if (lock < 0) continue;  // a run is writing there
    // Ours only when it holds nothing but unfinished files.
    std::vector<std::filesystem::path> files;
    bool ours = true;
    for (std::filesystem::directory_iterator it(candidate, ec), end; !ec && it != end;
         it.increment(ec)) {
      ours = ours && it->is_regular_file(ec) && !it->is_symlink(ec) &&
             it->path().filename().string().ends_with(kFileMark);
      files.push_back(it->path());
    }
    if (ours && !ec) {
      for (const std::filesystem::path& f : files) std::filesystem::remove(f, ec);
      if (std::filesystem::remove(candidate, ec)) ++removed;
    }
    ::close(lock);
  }
  return removed;
}

}  // namespace palvara
