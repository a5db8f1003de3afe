// The files an open-format export writes, so that no file under its final name is ever
// half-written: a whole file goes to a temporary name in the same folder and is renamed when
// complete; a collection (an mbox, a vCard or iCalendar file) grows under a temporary name,
// a failed write is cut off again, and the file is renamed when the run finishes. Failures
// throw ComponentError with the file's name and the system's reason (fatal when the disk is
// full or not writable, so the run ends).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace palvara {

// Writes `content` to `path` through "<path>.part"; throws on failure (nothing is left).
void WriteWholeFile(const std::filesystem::path& path, std::string_view content);
// Writes through `temporary` (which must be on the same file system) and renames to `path`.
void WriteFileVia(const std::filesystem::path& temporary, const std::filesystem::path& path,
                  std::string_view content);

// Files that grow by appending, each under "<final>.part" until Finish. Appends gather in one
// buffer of about a megabyte, handed to a thread of the object's own when it is full or another
// file is appended to, so that a folder's mbox is written in large pieces while the next ones
// are gathered; the pieces reach the files in the order of the appends. Where the file system
// allows, whole blocks go to the disk around the page cache (copying hundreds of megabytes into
// the cache costs more than writing them), and the last part of a block waits in memory for the
// next piece or for Finish. A failed write cuts the file back to what it held and ends the run
// (the error is fatal): it is thrown by the next Append or by Finish, and the appends after the
// failed piece are lost with it.
class CollectionFiles {
 public:
  CollectionFiles() = default;
  // Waits for the piece being written, then closes; unfinished files stay under their
  // temporary names.
  ~CollectionFiles();
  CollectionFiles(const CollectionFiles&) = delete;
  CollectionFiles& operator=(const CollectionFiles&) = delete;

  // Appends `content` to the file that will be `path`; `header` first when the file is new.
  void Append(const std::filesystem::path& path, std::string_view content,
              std::string_view header = {});
  // Appends what `render` appends to the string it is given (which holds other bytes before
  // them: `render` only appends, or rewrites what it appended); `header` first when the file
  // is new. When `render` throws, nothing of it is kept.
  template <typename Render>
  void AppendRendered(const std::filesystem::path& path, std::string_view header, Render render) {
    std::string& out = Begin(path, header);
    const std::size_t mark = out.size();
    try {
      render(out);
    } catch (...) {
      out.resize(mark);
      throw;
    }
    if (out.size() >= kBufferBytes) Flush();
  }
  // Adds `footer` to every file, closes and renames them. Throws on the first failure.
  void Finish(const std::map<std::string, std::string>& footerByExtension = {});
  // Final names of the files begun so far.
  std::vector<std::filesystem::path> Files() const;

  // Buffered bytes past which they are written.
  static constexpr std::size_t kBufferBytes = 1u << 20;
  // The size and alignment of what is written around the page cache.
  static constexpr std::size_t kDiskBlock = 4096;

 private:
  struct Entry {
    int fd = -1;
    std::uint64_t size = 0;  // bytes the file holds (not counting `tail`)
    bool begun = false;
    bool direct = true;  // written around the page cache, in whole blocks
    std::string tail;    // appended bytes past the last whole block, not yet written
  };
  // The buffer, ready to take bytes for `path` (its header given when the file is new).
  std::string& Begin(const std::filesystem::path& path, std::string_view header);
  void Open(const std::filesystem::path& path, Entry& entry);
  void CloseAll();
  // Hands the buffer to the writing thread (after the piece before it is written).
  void Flush();
  // Waits until the piece handed over is written; throws when its write failed.
  void Wait();
  // The writing thread: writes each piece handed over.
  void WriteLoop();

  std::map<std::filesystem::path, Entry> files_;
  std::vector<std::filesystem::path> finished_;
  std::size_t openCount_ = 0;
  std::string buffer_;
  std::map<std::filesystem::path, Entry>::iterator buffered_ = files_.end();  // whose bytes

  // The piece being written, shared with the writing thread under `mutex_`.
  struct Piece {
    std::string head;   // the file's tail from before, written first
    std::string bytes;
    int fd = -1;
    bool direct = false;  // in whole blocks; cleared when the file system refuses them
    std::uint64_t sizeBefore = 0;  // what the file held before it, kept when its write fails
    std::filesystem::path path;
    Entry* entry = nullptr;  // takes the outcome once the piece is written
    bool pending = false;  // handed over and not yet written
    int error = 0;         // errno of a failed write; stays set
    std::uint64_t written = 0;  // bytes that reached the file
    std::string tail;           // what is left past the last whole block
  };
  // Writes one piece (on the writing thread).
  static void WritePiece(Piece& piece, std::string& staging);
  std::mutex mutex_;
  std::condition_variable changed_;
  Piece piece_;
  bool stopping_ = false;
  std::thread writer_;  // started with the first piece
};

// The error an export reports for `path` and errno `error`.
[[noreturn]] void ThrowFileError(const std::filesystem::path& path, int error);

}  // namespace palvara
