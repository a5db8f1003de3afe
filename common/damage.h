// Damage reports: what a reader skipped or repaired while reading a damaged store. The reader
// records one report per damaged structure and goes on; callers decide how to show them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace palvara {

// What was wrong with a damaged structure, as far as the reader can tell.
enum class DamageKind : std::uint8_t {
  kBadCrc,        // a page or block whose trailer's CRC does not match its bytes
  kUnreadable,    // not the page or block it should be: wrong type, signature or trailer
  kZeroed,        // nothing but zero bytes where a page or block should be
  kCutOff,        // lies past the end of the file, whole or in part
  kBadReference,  // an id or offset that names nothing (a missing block or node)
  kCycle,         // a structure that leads back to itself
  kInflate,       // a compressed block that does not inflate
  kInconsistent,  // counts or sizes out of range, keys out of order, values that disagree
};
inline constexpr std::size_t kDamageKindCount = 8;

// "bad-crc", "unreadable", "zeroed", "cut-off", "bad-reference", "cycle", "inflate",
// "inconsistent": the names of machine-readable output.
const char* DamageKindName(DamageKind kind);
// "bad CRC", "unreadable", "zeroed", "cut off", ...: the words of logs and windows.
const char* DamageKindLabel(DamageKind kind);

struct DamageReport {
  DamageKind kind = DamageKind::kInconsistent;
  std::string structure;     // e.g. "BTPAGE", "XBLOCK", "SLBLOCK"
  std::uint64_t offset = 0;  // where the structure lies in the file; 0 when not known
  std::uint32_t size = 0;    // the bytes it takes there (a page, a block); 0 when not known
  std::uint32_t nodeId = 0;  // the node the structure is part of or speaks for; 0 when not known
  std::string text;          // what was wrong and what was done about it

  // "BTPAGE at 0x4A200: ...", "NBT node 0x21: ..." (or "NBT: ..." with neither known).
  std::string ToString() const;
};

// Reports set apart from their log: reads done on several threads at once capture what each
// one reports, and the reports are added to the log in the order of the reads, not of the
// threads.
struct CapturedDamage {
  std::vector<DamageReport> reports;  // up to the log's cap
  std::size_t dropped = 0;
};

// Collects reports up to a cap, so that a file full of garbage cannot exhaust memory;
// reports past the cap are only counted. Every member may be called from several threads at
// once (readers sharing one store report into its log): Reports() hands out a copy taken
// under the log's lock.
class DamageLog {
 public:
  static constexpr std::size_t kMaxKept = 10000;

  DamageLog() = default;
  DamageLog(const DamageLog&) = delete;
  DamageLog& operator=(const DamageLog&) = delete;

  // Goes into the capture of this log on the calling thread, when there is one (see
  // DamageCapture).
  void Report(DamageKind kind, std::string structure, std::uint64_t offset, std::string text);
  void Report(DamageReport report);
  // Adds reports captured earlier, in their order.
  void Add(CapturedDamage captured);

  std::vector<DamageReport> Reports() const;
  std::size_t Count() const;
  std::size_t Dropped() const;
  bool Empty() const { return Count() == 0; }

 private:
  mutable std::mutex mutex_;
  std::vector<DamageReport> reports_;
  std::size_t dropped_ = 0;
};

// While it lives, what this thread reports to `log` goes into `into` instead.
class DamageCapture {
 public:
  DamageCapture(const DamageLog& log, CapturedDamage& into);
  ~DamageCapture();
  DamageCapture(const DamageCapture&) = delete;
  DamageCapture& operator=(const DamageCapture&) = delete;

 private:
  const DamageLog* log_;  // the capture this one stands in front of
  CapturedDamage* into_;
};

// "0x4A200" style hexadecimal text for reports and listings.
std::string Hex(std::uint64_t value);

}  // namespace palvara
