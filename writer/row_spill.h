// Table rows parked outside memory until their table is written: a new store's contents tables
// grow with every message, so their rows go to an unnamed temporary file beside the new store
// (it vanishes when closed, even after a crash) and come back one by one when the table is
// built. Where no such file can be made, or writing it fails, the rows stay in memory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

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

  // Whether rows go to a file (false: kept in memory).
  bool Spilling() const { return fd_ >= 0 && !inMemory_; }
  // Bytes held in memory for rows (pending writes, rows that could not be spilled, the stretch
  // last read back).
  std::size_t MemoryBytes() const { return pending_.capacity() + window_.capacity(); }

  static constexpr std::size_t kBuffer = std::size_t{1} << 20;

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
