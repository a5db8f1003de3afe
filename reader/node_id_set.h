// A set of node ids in open addressing (4 bytes a slot, at most three quarters full, where a
// node-based set takes about 40 bytes an id): the nodes a recovery pass brings back may be
// millions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

namespace palvara {

class NodeIdSet {
 public:
  // Adds `nid`; true when it was not in yet.
  bool insert(std::uint32_t nid) {
    if (nid == 0) {
      const bool added = !hasZero_;
      hasZero_ = true;
      return added;
    }
    if ((used_ + 1) * 4 > slots_.size() * 3) Grow();
    std::size_t i = SlotOf(nid);
    for (; slots_[i] != 0; i = (i + 1) & (slots_.size() - 1)) {
      if (slots_[i] == nid) return false;
    }
    slots_[i] = nid;
    ++used_;
    return true;
  }

  std::size_t count(std::uint32_t nid) const {
    if (nid == 0) return hasZero_ ? 1 : 0;
    if (slots_.empty()) return 0;
    for (std::size_t i = SlotOf(nid); slots_[i] != 0; i = (i + 1) & (slots_.size() - 1)) {
      if (slots_[i] == nid) return 1;
    }
    return 0;
  }

  // Room for `n` ids in all without growing.
  void reserve(std::size_t n) {
    while (n * 4 > slots_.size() * 3) Grow();
  }

  std::size_t size() const { return used_ + (hasZero_ ? 1 : 0); }
  bool empty() const { return size() == 0; }
  void clear() {
    slots_.clear();
    slots_.shrink_to_fit();
    used_ = 0;
    hasZero_ = false;
  }

  // The ids in no particular order.
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::uint32_t;
    using difference_type = std::ptrdiff_t;
    using pointer = const std::uint32_t*;
    using reference = std::uint32_t;

    const_iterator() = default;
    const_iterator(const NodeIdSet* set, std::size_t at) : set_(set), at_(at) { Skip(); }
    std::uint32_t operator*() const { return at_ < set_->slots_.size() ? set_->slots_[at_] : 0; }
    const_iterator& operator++() {
      ++at_;
      Skip();
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator before = *this;
      ++*this;
      return before;
    }
    bool operator==(const const_iterator& other) const { return at_ == other.at_; }

   private:
    // Slots in order, then the id 0 when the set holds it (at slots_.size()).
    void Skip() {
      const std::size_t n = set_->slots_.size();
      while (at_ < n && set_->slots_[at_] == 0) ++at_;
      if (at_ == n && !set_->hasZero_) ++at_;
    }
    const NodeIdSet* set_ = nullptr;
    std::size_t at_ = 0;
  };
  const_iterator begin() const { return const_iterator(this, 0); }
  const_iterator end() const { return const_iterator(this, slots_.size() + 1); }

 private:
  std::size_t SlotOf(std::uint32_t nid) const {
    return static_cast<std::size_t>((nid * 0x9E3779B97F4A7C15ull) >> shift_);
  }

  void Grow() {
    std::vector<std::uint32_t> old(slots_.empty() ? 64 : slots_.size() * 2);
    old.swap(slots_);
    shift_ = 64;
    for (std::size_t s = slots_.size(); s > 1; s >>= 1) --shift_;
    for (const std::uint32_t nid : old) {
      if (nid == 0) continue;
      std::size_t i = SlotOf(nid);
      while (slots_[i] != 0) i = (i + 1) & (slots_.size() - 1);
      slots_[i] = nid;
    }
  }

  std::vector<std::uint32_t> slots_;  // 0: empty; a power of two in size
  std::size_t used_ = 0;
  bool hasZero_ = false;
  int shift_ = 64;
};

}  // namespace palvara
