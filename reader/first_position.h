// Compact keyed lookups over an append-only sequence: for each key, the position of the first
// entry that had it. The keys live in the sequence itself and are read back through a
// `keyAt(position)` callable, so nothing is stored twice.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace palvara {

// Open addressing with linear probing over 32-bit positions, at most half full, so it costs 4 to
// 16 bytes an entry (a node-based hash map costs about 50) and a lookup reads one or two slots.
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

// The latest position recorded for a 32-bit key: open addressing as above, with the key kept in
// its slot (8 bytes a slot, at most three quarters full: a damaged store may leave millions of
// nodes waiting), so that a later position can replace it.
class LastPositionTable {
 public:
  static constexpr std::uint32_t kNone = FirstPositionTable::kNone;

  std::uint32_t Find(std::uint32_t key) const {
    if (slots_.empty()) return kNone;
    for (std::size_t i = SlotOf(key);; i = (i + 1) & (slots_.size() - 1)) {
      if (slots_[i].position == kNone || slots_[i].key == key) return slots_[i].position;
    }
  }

  // Records `position` (not kNone) for `key`; returns the position it replaces, or kNone.
  std::uint32_t Set(std::uint32_t key, std::uint32_t position) {
    if ((used_ + 1) * 4 > slots_.size() * 3) Grow();
    for (std::size_t i = SlotOf(key);; i = (i + 1) & (slots_.size() - 1)) {
      Slot& slot = slots_[i];
      if (slot.position == kNone) {
        slot = Slot{key, position};
        ++used_;
        return kNone;
      }
      if (slot.key == key) {
        const std::uint32_t replaced = slot.position;
        slot.position = position;
        return replaced;
      }
    }
  }

  void Clear() {
    slots_.clear();
    slots_.shrink_to_fit();
    used_ = 0;
  }

 private:
  struct Slot {
    std::uint32_t key = 0;
    std::uint32_t position = kNone;  // kNone: empty
  };

  std::size_t SlotOf(std::uint32_t key) const {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
  }

  void Grow() {
    const std::size_t size = slots_.empty() ? 64 : slots_.size() * 2;
    std::vector<Slot> old(size);
    old.swap(slots_);
    shift_ = 64;
    for (std::size_t s = size; s > 1; s >>= 1) --shift_;
    for (const Slot& slot : old) {
      if (slot.position == kNone) continue;
      std::size_t i = SlotOf(slot.key);
      while (slots_[i].position != kNone) i = (i + 1) & (slots_.size() - 1);
      slots_[i] = slot;
    }
  }

  std::vector<Slot> slots_;
  std::size_t used_ = 0;
  int shift_ = 64;
};

// The same lookup for sequences that arrive mostly in key order (the leaves of a B-tree, met
// left to right): the leading run of non-decreasing keys is searched in place, through every
// 64th key kept aside, and costs an eighth of a byte an entry; only the entries after the first
// one out of order go into a FirstPositionTable. Within the run the first of equal keys is the
// earliest, and every entry of the run precedes every later one, so the first entry for a key
// keeps winning exactly as with the table alone.
class FirstPositionIndex {
 public:
  static constexpr std::uint32_t kNone = FirstPositionTable::kNone;

  // The position recorded for `key`, or kNone.
  template <typename KeyAt>
  std::uint32_t Find(std::uint64_t key, const KeyAt& keyAt) const {
    const std::uint32_t inRun = FindInRun(key, keyAt);
    if (inRun != kNone || rest_.Size() == 0) return inRun;
    return rest_.Find(key, keyAt);
  }

  // Records `key` for `position`, which must be the number of positions recorded before it (the
  // sequence only grows) and not kNone. Returns whether it is the first position of the key.
  template <typename KeyAt>
  bool Insert(std::uint64_t key, std::uint32_t position, const KeyAt& keyAt) {
    if (runOpen_ && (runEnd_ == 0 || key >= lastKey_)) {
      const bool first = runEnd_ == 0 || key != lastKey_;
      if (runEnd_ % kSampleEvery == 0) samples_.push_back(key);
      lastKey_ = key;
      runEnd_ = position + 1;
      return first;
    }
    runOpen_ = false;
    if (FindInRun(key, keyAt) != kNone) return false;
    return rest_.Insert(key, position, keyAt);
  }

  void Clear() {
    samples_.clear();
    samples_.shrink_to_fit();
    rest_.Clear();
    runEnd_ = 0;
    lastKey_ = 0;
    runOpen_ = true;
  }

  // Positions in the leading ordered run.
  std::size_t RunLength() const { return runEnd_; }
  // Bytes the lookup holds besides the sequence.
  std::size_t Footprint() const {
    return samples_.capacity() * sizeof(std::uint64_t) + rest_.Footprint();
  }

 private:
  static constexpr std::uint32_t kSampleEvery = 64;

  template <typename KeyAt>
  std::uint32_t FindInRun(std::uint64_t key, const KeyAt& keyAt) const {
    if (runEnd_ == 0 || key > lastKey_) return kNone;
    // samples_[i] is the key at i * kSampleEvery; the first entry with `key` lies after the last
    // sample below it and no later than the first sample at or above it.
    const std::size_t above = static_cast<std::size_t>(
        std::lower_bound(samples_.begin(), samples_.end(), key) - samples_.begin());
    std::uint32_t low = above == 0 ? 0 : static_cast<std::uint32_t>((above - 1) * kSampleEvery);
    std::uint32_t high =
        static_cast<std::uint32_t>(std::min<std::size_t>(above * kSampleEvery + 1, runEnd_));
    while (low < high) {
      const std::uint32_t middle = low + (high - low) / 2;
      if (keyAt(middle) < key) {
        low = middle + 1;
      } else {
        high = middle;
      }
    }
    return low < runEnd_ && keyAt(low) == key ? low : kNone;
  }

  std::vector<std::uint64_t> samples_;  // every kSampleEvery-th key of the run
  FirstPositionTable rest_;             // the entries after the run
  std::uint32_t runEnd_ = 0;
  std::uint64_t lastKey_ = 0;
  bool runOpen_ = true;
};

}  // namespace palvara
