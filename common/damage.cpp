#include "common/damage.h"

#include <cstdio>
#include <utility>

namespace palvara {

std::string DamageReport::ToString() const {
  return structure + " at " + Hex(offset) + ": " + text;
}

void DamageLog::Report(std::string structure, std::uint64_t offset, std::string text) {
  const std::lock_guard lock(mutex_);
  if (reports_.size() >= kMaxKept) {
    ++dropped_;
    return;
  }
  reports_.push_back(DamageReport{std::move(structure), offset, std::move(text)});
}

std::vector<DamageReport> DamageLog::Reports() const {
  const std::lock_guard lock(mutex_);
  return reports_;
}

std::size_t DamageLog::Count() const {
  const std::lock_guard lock(mutex_);
  return reports_.size() + dropped_;
}

std::size_t DamageLog::Dropped() const {
  const std::lock_guard lock(mutex_);
  return dropped_;
}

std::string Hex(std::uint64_t value) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "0x%llX", static_cast<unsigned long long>(value));
  return buffer;
}

}  // namespace palvara
