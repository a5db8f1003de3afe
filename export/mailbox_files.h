// The files an open-format export writes, so that no file under its final name is ever
// half-written: a whole file goes to a temporary name in the same folder and is renamed when
// complete; a collection (an mbox, a vCard or iCalendar file) grows under a temporary name,
// a failed write is cut off again, and the file is renamed when the run finishes. Failures
// throw ComponentError with the file's name and the system's reason (fatal when the disk is
// full or not writable, so the run ends).
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace palvara {

// Writes `content` to `path` through "<path>.part"; throws on failure (nothing is left).
void WriteWholeFile(const std::filesystem::path& path, std::string_view content);
// Writes through `temporary` (which must be on the same file system) and renames to `path`.
void WriteFileVia(const std::filesystem::path& temporary, const std::filesystem::path& path,
                  std::string_view content);

// Files that grow by appending, each under "<final>.part" until Finish. Appends gather in one
// buffer of about a megabyte, written when it is full or another file is appended to, so that
// a folder's mbox is written in large pieces. A failed write cuts the file back to what it
// held and ends the run (the error is fatal): the appends still in the buffer are lost with it.
class CollectionFiles {
 public:
  CollectionFiles() = default;
  ~CollectionFiles();  // closes; unfinished files stay under their temporary names
  CollectionFiles(const CollectionFiles&) = delete;
  CollectionFiles& operator=(const CollectionFiles&) = delete;

  // Appends `content` to the file that will be `path`; `header` first when the file is new.
  void Append(const std::filesystem::path& path, std::string_view content,
              std::string_view header = {});
  // Adds `footer` to every file, closes and renames them. Throws on the first failure.
  void Finish(const std::map<std::string, std::string>& footerByExtension = {});
  // Final names of the files begun so far.
  std::vector<std::filesystem::path> Files() const;

  // Buffered bytes past which they are written.
  static constexpr std::size_t kBufferBytes = 1u << 20;

 private:
  struct Entry {
    int fd = -1;
    std::uint64_t size = 0;  // bytes the file holds
    bool begun = false;
  };
  void Open(const std::filesystem::path& path, Entry& entry);
  void CloseAll();
  // Writes the buffer to its file.
  void Flush();
  std::map<std::filesystem::path, Entry> files_;
  std::vector<std::filesystem::path> finished_;
  std::size_t openCount_ = 0;
  std::string buffer_;
  std::map<std::filesystem::path, Entry>::iterator buffered_ = files_.end();  // whose bytes
};

// The error an export reports for `path` and errno `error`.
[[noreturn]] void ThrowFileError(const std::filesystem::path& path, int error);

}  // namespace palvara
