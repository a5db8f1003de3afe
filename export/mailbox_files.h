// The files an open-format export grows by appending (an mbox, a vCard or iCalendar file), so
// that no file under its final name is ever half-written: each grows under an unpredictable
// hidden name in its directory (see OutputTree), a failed write is cut off again, and the file
// takes its final name when the run finishes, the next free numbered one ("mbox (2)") when the
// name is taken, never replacing what is there. Failures throw ComponentError with the file's
// name and the system's reason (fatal when the disk is full or not writable, so the run ends).
#pragma once

#include <compare>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "export/output_tree.h"

namespace palvara {

// A collection file: its directory and the name it is to have ("mbox", "contacts.vcf").
struct CollectionFile {
  OutputTree::Dir dir = OutputTree::kTop;
  std::string name;
  auto operator<=>(const CollectionFile&) const = default;
};

class CollectionFiles {
 public:
  // The files are made in `tree`, which must outlive the object.
  explicit CollectionFiles(OutputTree& tree) : tree_(tree) {}
  // Waits for the piece being written, then closes; the files not finished are removed.
  ~CollectionFiles();
  CollectionFiles(const CollectionFiles&) = delete;
  CollectionFiles& operator=(const CollectionFiles&) = delete;

  // Appends `content` to `file`; `header` first when the file is new.
  void Append(const CollectionFile& file, std::string_view content, std::string_view header = {});
  // Appends what `render` appends to the string it is given (which holds other bytes before
  // them: `render` only appends, or rewrites what it appended); `header` first when the file
  // is new. When `render` throws, nothing of it is kept.
  template <typename Render>
  void AppendRendered(const CollectionFile& file, std::string_view header, Render render) {
    std::string& out = Begin(file, header);
    const std::size_t mark = out.size();
    try {
      render(out);
    } catch (...) {
      out.resize(mark);
      throw;
    }
    if (out.size() >= kBufferBytes) Flush();
  }
  // Adds `footer` to every file, closes them and gives each its final name: its own, else
  // "stem (2).ext", ... Throws on the first failure (the files not renamed are removed with the
  // object).
  void Finish(const std::map<std::string, std::string>& footerByExtension = {});
  // The files finished: where each was meant to go, and the name it got there.
  struct Finished {
    CollectionFile file;
    std::string name;
  };
  const std::vector<Finished>& Files() const { return finished_; }

  // Buffered bytes past which they are written.
  static constexpr std::size_t kBufferBytes = 1u << 20;
  // The size and alignment of what is written around the page cache.
  static constexpr std::size_t kDiskBlock = 4096;

 private:
  struct Entry {
    OutputTree::Temporary temporary;  // its name is cleared once the file is finished
    std::filesystem::path shown;      // the final path, for messages
    int fd = -1;
    std::uint64_t size = 0;  // bytes the file holds (not counting `tail`)
    bool begun = false;
    bool direct = true;  // written around the page cache, in whole blocks
    std::string tail;    // appended bytes past the last whole block, not yet written
  };
  // The buffer, ready to take bytes for `file` (its header given when the file is new).
  std::string& Begin(const CollectionFile& file, std::string_view header);
  void Open(const CollectionFile& file, Entry& entry);
  // Writes what is left of the file, closes it and gives it its final name.
  void Complete(const CollectionFile& file, Entry& entry);
  void CloseAll();
  // Hands the buffer to the writing thread (after the piece before it is written).
  void Flush();
  // Waits until the piece handed over is written; throws when its write failed.
  void Wait();
  // The writing thread: writes each piece handed over.
  void WriteLoop();

  OutputTree& tree_;
  std::map<CollectionFile, Entry> files_;
  std::vector<Finished> finished_;
  std::size_t openCount_ = 0;
  std::string buffer_;
  std::map<CollectionFile, Entry>::iterator buffered_ = files_.end();  // whose bytes

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

}  // namespace palvara
