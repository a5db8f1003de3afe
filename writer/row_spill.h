// Table rows parked outside memory until their table is written: a new store's contents tables
// grow with every message, so their rows go to an unnamed temporary file beside the new store
// (it vanishes when closed, even after a crash) and come back one by one when the table is
// built. Where no such file can be made, or writing it fails, the rows stay in memory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "common/byte_view.h"
#include "writer/ltp_writer.h"

namespace palvara {

class RowSpill {
 public:
  // Where one row lies; 16 bytes.
  struct Ref {
    std::uint64_t offset = 0;
    std::uint32_t size = 0;
    std::uint32_t rowId = 0;
  };

  // Spills into an unnamed file in `directory`; an empty path keeps every row in memory.
  explicit RowSpill(const std::filesystem::path& directory, std::size_t bufferLimit = kBuffer);
  ~RowSpill();
  RowSpill(const RowSpill&) = delete;
  RowSpill& operator=(const RowSpill&) = delete;

  Ref Add(const TableRow& row);
  // The row `ref` stands for; nullopt when the file cannot be read back.
  std::optional<TableRow> Read(const Ref& ref) const;

  // The same for any bytes (a Ref with row id 0): parked, and seen again through a view that
  // stays valid until the next Add or read.
  Ref AddBytes(ByteSpan bytes);
  std::optional<ByteSpan> View(const Ref& ref) const;
  // Copies the bytes at `offset` into `out`, whether in the file or still pending, without
  // touching the stretch View keeps; false when not all of them are there.
  bool ReadAt(std::uint64_t offset, std::span<std::byte> out) const;
  // Bytes added so far: where the next ones go.
  std::uint64_t Size() const { return written_ + pending_.size(); }

  // Whether rows go to a file (false: kept in memory).
  bool Spilling() const { return fd_ >= 0 && !inMemory_; }
  // Bytes held in memory for rows (pending writes, rows that could not be spilled, the stretch
  // last read back).
  std::size_t MemoryBytes() const { return pending_.capacity() + window_.capacity(); }

  static constexpr std::size_t kBuffer = std::size_t{1} << 20;

  // A list of refs that grows with the rows it stands for: full chunks of them are parked in a
  // spill (the rows' own), and only the newest chunk and the chunks' places stay in memory.
  class RefList {
   public:
    void Add(RowSpill& spill, const Ref& ref);
    std::size_t size() const { return parked_.size() * kChunk + tail_.size(); }

    // Reads the list back, a chunk at a time; in order, each chunk is read once.
    class Cursor {
     public:
      Cursor(const RefList& list, const RowSpill& spill) : list_(list), spill_(spill) {}
      // Ref `i`; nullopt past the end or when its chunk cannot be read back.
      std::optional<Ref> At(std::size_t i);

     private:
      const RefList& list_;
      const RowSpill& spill_;
      std::vector<Ref> chunk_;
      std::size_t chunkAt_ = SIZE_MAX;
    };

   private:
    static constexpr std::size_t kChunk = 256;
    std::vector<std::uint64_t> parked_;  // where each full chunk lies in the spill
    std::vector<Ref> tail_;
  };

 private:
  void Flush();

  int fd_ = -1;
  std::size_t bufferLimit_;
  bool inMemory_ = false;     // a write failed: from then on rows stay in `pending_`
  std::uint64_t written_ = 0;  // bytes in the file; pending_ holds the ones after them
  Bytes pending_;
  // The last stretch read back: a folder's rows lie mostly one after the other.
  mutable Bytes window_;
  mutable std::uint64_t windowStart_ = 0;
};

}  // namespace palvara
