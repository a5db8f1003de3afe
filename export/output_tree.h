// The folder an open-format export writes into and everything the export makes below it,
// reached only through directory descriptors: every entry below the target is made relative to
// a directory opened O_NOFOLLOW, with O_EXCL or O_TMPFILE, so that a link planted under one of
// our names is never followed and no entry is ever replaced. Whole files are written unnamed
// and linked in when complete; files that grow take an unpredictable hidden name and are
// renamed when done. Directories are opened one level at a time (the length of a deep tree's
// paths does not matter), and only a few stay open at once.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace palvara {

// The error an export reports for `path` and errno `error`: ComponentError, fatal when the
// disk is full or cannot be written (the run ends), else the item alone is lost.
[[noreturn]] void ThrowFileError(const std::filesystem::path& path, int error);

// "stem.ext" for n = 1, "stem (n).ext" after: the names a file takes when its own is taken.
std::string NumberedName(std::string_view stem, std::string_view extension, int n);

// What tells one file from another that later took its name: the device and inode, and the
// time it was made where the file system keeps it (an inode number is handed out again).
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t bornSeconds = 0;
  std::uint32_t bornNanoseconds = 0;
  bool operator==(const FileIdentity&) const = default;
};

class OutputTree {
 public:
  using Dir = std::uint32_t;  // a directory of the tree; kTop is the target itself
  static constexpr Dir kTop = 0;
  // The name to try on attempt n (1, 2, ...) after the names before it were taken.
  using NameFor = std::function<std::string(int attempt)>;
  // Directories kept open besides the top one; the others are opened again when needed.
  static constexpr std::size_t kOpenDirectories = 32;

  // Opens `top`, made with its parents when missing. Links on the way to it are followed: the
  // user named it. ComponentError (fatal) naming it when it cannot be made or opened.
  explicit OutputTree(std::filesystem::path top);
  ~OutputTree();
  OutputTree(const OutputTree&) = delete;
  OutputTree& operator=(const OutputTree&) = delete;

  // Proves that files can be made in the top directory; nothing is left. ComponentError if not.
  void ProbeWritable();
  // Writes whole files through named temporaries from now on, as where the file system has no
  // unnamed files.
  void UseNamedTemporaries() { unnamedFiles_ = false; }

  // A directory in `parent` under the first usable name of nameFor(1), nameFor(2), ...: made,
  // or reused when it is a real directory owned by the effective user. A name taken by
  // anything else (a link, another user's directory, a file) is passed over and noted.
  // ComponentError naming the directory when it cannot be made.
  Dir MakeDirectory(Dir parent, const NameFor& nameFor);

  // Writes `content` as a new file of `dir` under the first free name of nameFor(1), ...,
  // and returns that name; "" (and no file) when `nameFor` gives "" before a free name. The
  // file appears whole or not at all: nothing is left when it fails (ComponentError naming
  // nameFor(1)).
  std::string WriteNewFile(Dir dir, const NameFor& nameFor, std::string_view content);

  // A new file of `dir` under a hidden name no one can foresee ("." `hint` "." random
  // ".part"), made O_EXCL and mode 0600, open for writing (around the page cache when
  // `direct` and the file system allows: `direct` says whether it does).
  struct Temporary {
    std::string name;
    std::string hint;  // the name it is meant to have, for messages
    int fd = -1;
    FileIdentity identity;
    bool direct = false;
  };
  Temporary CreateTemporary(Dir dir, std::string_view hint, bool direct);
  // Opens a temporary again, for appending; ComponentError when another file stands under its
  // name now. `direct` as above.
  int ReopenTemporary(Dir dir, const Temporary& temporary, bool& direct);
  // Gives a temporary its final name, the first free of nameFor(1), ... (never replacing an
  // entry), and returns that name. ComponentError when it cannot be renamed.
  std::string PublishTemporary(Dir dir, const std::string& temporaryName, const NameFor& nameFor);
  // Removes a temporary that will not be published (when what stands under its name is it).
  void RemoveTemporary(Dir dir, const Temporary& temporary) noexcept;

  // The name `dir` got in its parent.
  const std::string& NameOf(Dir dir) const { return nodes_[dir].name; }
  // The mode a finished file gets (0666 less the umask).
  mode_t FileMode() const { return fileMode_; }
  // `dir` as a path, for messages and reports (never opened by that path).
  std::filesystem::path PathOf(Dir dir) const;
  // What was passed over since the last call: each link or foreign entry, and the name used
  // instead.
  std::vector<std::string> TakeNotices();

 private:
  struct Node {
    Dir parent = kTop;
    std::string name;
    FileIdentity identity;
  };
  struct Open {
    Dir dir = kTop;
    int fd = -1;
    std::uint64_t used = 0;
  };
  // `dir` opened; the descriptor stays valid until the next call that opens a directory.
  int Fd(Dir dir);
  void Keep(Dir dir, int fd);
  // Notes why `name` of `parentFd` was passed over, and what was taken instead.
  std::string Describe(int parentFd, Dir parent, const std::string& name) const;
  std::string WriteUnnamed(int dirFd, Dir dir, const NameFor& nameFor, std::string_view content,
                           bool& unsupported);
  std::string WriteViaTemporary(Dir dir, const NameFor& nameFor, std::string_view content);
  // Links `fd` (an unnamed file) or renames `temporaryName` to the first free name.
  std::string Place(int dirFd, Dir dir, int fd, const std::string& temporaryName,
                    const NameFor& nameFor);

  std::filesystem::path top_;
  int topFd_ = -1;
  std::vector<Node> nodes_;                          // nodes_[kTop] is the top
  std::set<std::pair<Dir, std::string>> handedOut_;  // parent and name of each of nodes_
  std::vector<Open> open_;
  std::uint64_t clock_ = 0;
  mode_t fileMode_ = 0644;
  uid_t owner_ = 0;
  bool unnamedFiles_ = true;  // O_TMPFILE works here, as far as we know
  std::vector<std::string> notices_;
};

}  // namespace palvara
