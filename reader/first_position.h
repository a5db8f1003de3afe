// A compact keyed lookup over an append-only sequence: for each key, the position of the first
// entry that had it. Open addressing with linear probing over 32-bit positions, at most half
// full, so it costs 4 to 16 bytes an entry (a node-based hash map costs about 50) and a lookup
// reads one or two slots. The keys live in the sequence itself and are read back through a
// `keyAt(position)` callable, so nothing is stored twice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace palvara {

class FirstPositionTable {
 public:
  static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

  // The position recorded for `key`, or kNone.
  template <typename KeyAt>
  std::uint32_t Find(std::uint64_t key, const KeyAt& keyAt) const {
    if (slots_.empty()) return kNone;
    for (std::size_t i = SlotOf(key);; i = (i + 1) & (slots_.size() - 1)) {
      const std::uint32_t position = slots_[i];
      if (position == kNone || keyAt(position) == key) return position;
    }
  }

  // Records `position` for `key` unless a position is recorded for it already (the first one
  // keeps winning). Returns whether it was recorded. `position` must not be kNone.
  template <typename KeyAt>
  bool Insert(std::uint64_t key, std::uint32_t position, const KeyAt& keyAt) {
    if ((used_ + 1) * 2 > slots_.size()) Grow(keyAt);
    for (std::size_t i = SlotOf(key);; i = (i + 1) & (slots_.size() - 1)) {
      const std::uint32_t held = slots_[i];
      if (held == kNone) {
        slots_[i] = position;
        ++used_;
        return true;
      }
      if (keyAt(held) == key) return false;
    }
  }

  void Clear() {
    slots_.clear();
    slots_.shrink_to_fit();
    used_ = 0;
  }

  // Keys recorded.
  std::size_t Size() const { return used_; }
  // Bytes the table holds.
  std::size_t Footprint() const { return slots_.capacity() * sizeof(std::uint32_t); }

 private:
  std::size_t SlotOf(std::uint64_t key) const {
    // Fibonacci hashing: ids that differ in their low bits only spread over the whole table.
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
  }

  template <typename KeyAt>
  void Grow(const KeyAt& keyAt) {
    const std::size_t size = slots_.empty() ? 64 : slots_.size() * 2;
    std::vector<std::uint32_t> old(size, kNone);
    old.swap(slots_);
    shift_ = 64;
    for (std::size_t s = size; s > 1; s >>= 1) --shift_;
    for (const std::uint32_t position : old) {
      if (position == kNone) continue;
      std::size_t i = SlotOf(keyAt(position));
      while (slots_[i] != kNone) i = (i + 1) & (slots_.size() - 1);
      slots_[i] = position;
    }
  }

  std::vector<std::uint32_t> slots_;  // kNone: empty; a power of two in size
  std::size_t used_ = 0;
  int shift_ = 64;
};

}  // namespace palvara
