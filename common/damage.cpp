#include "common/damage.h"

#include <cstdio>
#include <utility>

namespace palvara {

std::string DamageReport::ToString() const {
  return structure + " at " + Hex(offset) + ": " + text;
}

namespace {

// The capture of the calling thread, and the log it is for.
struct ThreadCapture {
  const DamageLog* log = nullptr;
  CapturedDamage* into = nullptr;
};
thread_local ThreadCapture tCapture;

}  // namespace

DamageCapture::DamageCapture(const DamageLog& log, CapturedDamage& into)
    : log_(tCapture.log), into_(tCapture.into) {
  tCapture = {&log, &into};
}

DamageCapture::~DamageCapture() { tCapture = {log_, into_}; }

void DamageLog::Report(std::string structure, std::uint64_t offset, std::string text) {
  if (tCapture.log == this) {
    CapturedDamage& into = *tCapture.into;
    if (into.reports.size() >= kMaxKept) {
      ++into.dropped;
    } else {
      into.reports.push_back(DamageReport{std::move(structure), offset, std::move(text)});
    }
    return;
  }
  const std::lock_guard lock(mutex_);
  if (reports_.size() >= kMaxKept) {
    ++dropped_;
    return;
  }
  reports_.push_back(DamageReport{std::move(structure), offset, std::move(text)});
}

void DamageLog::Add(CapturedDamage captured) {
  if (captured.reports.empty() && captured.dropped == 0) return;
  const std::lock_guard lock(mutex_);
  for (DamageReport& report : captured.reports) {
    if (reports_.size() >= kMaxKept) {
      ++dropped_;
    } else {
      reports_.push_back(std::move(report));
    }
  }
  dropped_ += captured.dropped;
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
