#include "common/damage.h"

#include <cstdio>
#include <utility>

namespace palvara {

const char* DamageKindName(DamageKind kind) {
  switch (kind) {
    case DamageKind::kBadCrc:
      return "bad-crc";
    case DamageKind::kUnreadable:
      return "unreadable";
    case DamageKind::kZeroed:
      return "zeroed";
    case DamageKind::kCutOff:
      return "cut-off";
    case DamageKind::kBadReference:
      return "bad-reference";
    case DamageKind::kCycle:
      return "cycle";
    case DamageKind::kInflate:
      return "inflate";
    case DamageKind::kInconsistent:
      return "inconsistent";
  }
  return "inconsistent";
}

const char* DamageKindLabel(DamageKind kind) {
  switch (kind) {
    case DamageKind::kBadCrc:
      return "bad CRC";
    case DamageKind::kUnreadable:
      return "unreadable";
    case DamageKind::kZeroed:
      return "zeroed";
    case DamageKind::kCutOff:
      return "cut off";
    case DamageKind::kBadReference:
      return "bad reference";
    case DamageKind::kCycle:
      return "cycle";
    case DamageKind::kInflate:
      return "does not inflate";
    case DamageKind::kInconsistent:
      return "inconsistent";
  }
  return "inconsistent";
}

std::string DamageReport::ToString() const {
  if (offset != 0) return structure + " at " + Hex(offset) + ": " + text;
  if (nodeId != 0) return structure + " node " + Hex(nodeId) + ": " + text;
  return structure + ": " + text;
}

namespace {

// Keeps a report while fewer than the cap are kept, else counts it as dropped.
void KeepOrDrop(std::vector<DamageReport>& kept, std::size_t& dropped, DamageReport report) {
  if (kept.size() >= DamageLog::kMaxKept) {
    ++dropped;
  } else {
    kept.push_back(std::move(report));
  }
}

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

void DamageLog::Report(DamageKind kind, std::string structure, std::uint64_t offset,
                       std::string text) {
  Report(DamageReport{kind, std::move(structure), offset, 0, 0, std::move(text)});
}

void DamageLog::Report(DamageReport report) {
  if (tCapture.log == this) {
    KeepOrDrop(tCapture.into->reports, tCapture.into->dropped, std::move(report));
    return;
  }
  const std::lock_guard lock(mutex_);
  KeepOrDrop(reports_, dropped_, std::move(report));
}

void DamageLog::Add(CapturedDamage captured) {
  if (captured.reports.empty() && captured.dropped == 0) return;
  const std::lock_guard lock(mutex_);
  for (DamageReport& report : captured.reports) KeepOrDrop(reports_, dropped_, std::move(report));
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
