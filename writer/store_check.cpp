// The store check's node database part ([MS-PST] 2.2): header, B-tree pages, blocks, the
// references between them, and the allocation maps; then the parts above it.
#include "writer/store_check.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <unordered_map>
#include <unordered_set>

#include "common/byte_view.h"
#include "common/damage.h"
#include "common/regular_file.h"
#include "reader/crc.h"
#include "reader/geometry.h"
#include "reader/inflate.h"
#include "writer/check_findings.h"
#include "writer/messaging_check.h"

namespace palvara {
namespace {

constexpr std::size_t kMaxFindingsPerRule = 20;
// Pages, blocks or nodes read between two releases of a mapped file's pages. Each read maps
// at most some 64 KiB (the kernel maps neighbouring pages along), so about 16 MiB at a time.
constexpr std::uint64_t kReleaseEvery = 256;

constexpr auto kError = CheckLevel::kError;
constexpr auto kViolation = CheckLevel::kViolation;
constexpr auto kWarning = CheckLevel::kWarning;

// Whether the page at `ib` is an allocation map page (AMap, PMap or FMap) of layout `g`.
bool IsMapPage(const Geometry& g, std::uint64_t ib) {
  if (ib < g.firstAMap) return false;
  const std::uint64_t n = (ib - g.firstAMap) / g.amapInterval, at = (ib - g.firstAMap) % g.amapInterval;
  const std::uint64_t page = g.pageSize;
  return at < page || (g.HasPMap(n) && at < 2 * page) ||
         (g.HasFMap(n) && at >= 2 * page && at < 3 * page);
}

class NdbChecker {
 public:
  NdbChecker(ByteSpan file, const Geometry& g, CheckFindings& findings,
             std::function<void()> release)
      : f_(file), g_(g), findings_(findings), release_(std::move(release)) {}

  void Run() {
    const std::uint64_t bbt = Id(g_.brefBbt), bbtAt = Id(g_.brefBbt + g_.idWidth);
    const std::uint64_t nbt = Id(g_.brefNbt), nbtAt = Id(g_.brefNbt + g_.idWidth);
    Tree(bbtAt, bbt, false, 0);
    leafLevel_ = -1;
    Tree(nbtAt, nbt, true, 0);
    Blocks();
    References();
    Maps();
    Counters();
  }

  const CheckedNodes& nodes() const { return nodes_; }
  std::size_t pages() const { return pages_; }
  std::size_t blocks() const { return blocks_.size(); }

  void Touched() {
    if (release_ && ++touched_ % kReleaseEvery == 0) release_();
  }

 private:
  struct Block {
    std::uint64_t ib;
    std::uint16_t cb;
    std::int16_t cRef;
    std::uint16_t inflated;  // the data's bytes: cb, or what a compressed block inflates to
  };

  std::uint64_t Id(std::uint64_t at) const { return LoadLeN(f_, at, g_.idWidth).value_or(0); }
  std::uint64_t Id(ByteSpan bytes, std::size_t at) const {
    return LoadLeN(bytes, at, g_.idWidth).value_or(0);
  }

  void Find(CheckLevel level, const std::string& rule, const std::string& section,
            const std::string& text) {
    findings_.Add(level, rule, section, text);
  }

  // Checks a page trailer; true when the page can be read. `severe`: a reader needs the page
  // (the DList is rebuilt by Outlook, read by no reader, and left zeroed in Outlook's own files).
  bool Page(std::uint64_t ib, std::uint64_t bid, std::uint8_t ptype, bool signature,
            bool severe = true) {
    if (ib % g_.pageSize != 0 || !InBounds(f_.size(), ib, g_.pageSize)) {
      Find(kError, "page-offset", "2.2.2.7",
           "page " + Hex(bid) + " at " + Hex(ib) + " is misplaced");
      return false;
    }
    ++pages_;
    Touched();
    if (MarkUsed(ib, g_.pageSize)) {
      Find(kViolation, "overlap", "2.2.2.7",
           "page at " + Hex(ib) + " overlaps another page or block");
    }
    const CheckLevel level = severe ? kError : kWarning;
    const ByteSpan page = f_.subspan(ib, g_.pageSize);
    const std::size_t t = g_.pageData;
    if (ByteAt(page, t) != ptype || ByteAt(page, t + 1) != ptype) {
      Find(level, "page-type", "2.2.2.7.1",
           "page at " + Hex(ib) + " has type " + Hex(ByteAt(page, t)) + " where " + Hex(ptype) +
               " is due");
    }
    if (ComputeCrc(page.first(g_.pageData)) != *LoadLe32(page, t + g_.pageTrailerCrc)) {
      Find(level, "page-crc", "2.2.2.7.1", "page at " + Hex(ib) + ": CRC is wrong");
    }
    const std::uint16_t sig = signature ? ComputeSig(ib, bid) : 0;
    if (*LoadLe16(page, t + 2) != sig) {
      Find(level, "page-signature", "2.2.2.7.1", "page at " + Hex(ib) + ": wSig is wrong");
    }
    if (Id(page, t + g_.pageTrailerBid) != bid) {
      Find(level, "page-bid", "2.2.2.7.1",
           "page at " + Hex(ib) + " carries bid " + Hex(Id(page, t + g_.pageTrailerBid)) +
               " where " + Hex(bid) + " points to it");
    }
    return true;
  }

  // Walks one B-tree; returns its first key.
  std::optional<std::uint64_t> Tree(std::uint64_t ib, std::uint64_t bid, bool nodeTree, int depth) {
    if (depth > 16 || !visited_.insert(ib).second) {
      Find(kError, "btree-shape", "2.2.2.7.7",
           "page at " + Hex(ib) + " is reached twice or too deep");
      return std::nullopt;
    }
    if (!Page(ib, bid, nodeTree ? 0x81 : 0x80, true)) return std::nullopt;
    maxPageBid_ = std::max(maxPageBid_, bid);
    const ByteSpan page = f_.subspan(ib, g_.pageSize);
    const std::size_t cEnt = LoadLeN(page, g_.entryArea, g_.countWidth).value_or(0);
    const std::size_t cEntMax = LoadLeN(page, g_.CEntMaxAt(), g_.countWidth).value_or(0);
    const std::uint8_t cbEnt = ByteAt(page, g_.CbEntAt()), cLevel = ByteAt(page, g_.CLevelAt());
    const std::size_t size =
        cLevel > 0 ? g_.intermediateEntry : (nodeTree ? g_.nodeLeafEntry : g_.blockLeafEntry);
    if (cbEnt != size || cEnt > cEntMax || cEntMax > g_.entryArea / size) {
      Find(kError, "btree-page", "2.2.2.7.7.1",
           "page at " + Hex(ib) + ": cEnt/cEntMax/cbEnt inconsistent");
      return std::nullopt;
    }
    if (leafLevel_ < 0 && cLevel == 0) leafLevel_ = depth;
    if (cLevel == 0 && depth != leafLevel_) {
      Find(kError, "btree-shape", "2.2.2.7.7.1", "leaves at different depths");
    }
    if (expectedLevel_.count(ib) && expectedLevel_[ib] != cLevel) {
      Find(kViolation, "btree-level", "2.2.2.7.7.1",
           "page at " + Hex(ib) + " has cLevel " + std::to_string(cLevel) +
               " below a page of level " + std::to_string(expectedLevel_[ib] + 1));
    }
    std::optional<std::uint64_t> first;
    for (std::size_t i = 0; i < cEnt; ++i) {
      const std::size_t at = i * size;
      const std::uint64_t key = Id(page, at);
      if (i == 0) first = key;
      if (cLevel == 0) {
        Leaf(page, at, key, nodeTree);
        continue;
      }
      const std::uint64_t childBid = Id(page, at + g_.idWidth);
      const std::uint64_t childIb = Id(page, at + 2 * g_.idWidth);
      expectedLevel_[childIb] = static_cast<std::uint8_t>(cLevel - 1);
      const auto childFirst = Tree(childIb, childBid, nodeTree, depth + 1);
      if (childFirst && *childFirst != key) {
        Find(kError, "btree-key", "2.2.2.7.7.2",
             "intermediate key " + Hex(key) + " but its child starts with " + Hex(*childFirst));
      }
    }
    return first;
  }

  void Leaf(ByteSpan page, std::size_t at, std::uint64_t key, bool nodeTree) {
    std::uint64_t& last = nodeTree ? lastNodeKey_ : lastBlockKey_;
    if (key <= last && !(last == 0 && key == 0)) {
      Find(kError, "btree-order", "2.2.2.7.7.1",
           (nodeTree ? "NBT" : "BBT") + std::string(" key ") + Hex(key) + " after " + Hex(last));
    }
    last = key;
    const std::size_t w = g_.idWidth;
    if (nodeTree) {
      // The nid is 32 bits; in the Unicode layout the key's upper half is padding.
      nodes_[static_cast<std::uint32_t>(key)] = {Id(page, at + w), Id(page, at + 2 * w),
                                                 *LoadLe32(page, at + 3 * w)};
    } else {
      const std::uint16_t cb = *LoadLe16(page, at + 2 * w);
      blocks_[key & ~1ull] = {
          Id(page, at + w), cb, static_cast<std::int16_t>(*LoadLe16(page, at + g_.blockLeafRefCount)),
          g_.blockLeafInflated != 0 ? *LoadLe16(page, at + g_.blockLeafInflated) : cb};
    }
  }

  // Marks the map units of [ib, ib + size) in use; true when one of them was already.
  bool MarkUsed(std::uint64_t ib, std::uint64_t size) {
    const std::uint64_t first = g_.firstAMap, unit = g_.amapUnit;
    if (ib < first || ib >= f_.size()) return false;
    const std::uint64_t end = std::min<std::uint64_t>((ib - first + size + unit - 1) / unit,
                                                      (f_.size() - first + unit - 1) / unit);
    if (used_.size() < end) used_.resize(end, false);
    bool overlap = false;
    for (std::uint64_t u = (ib - first) / unit; u < end; ++u) {
      overlap = overlap || used_[u];
      used_[u] = true;
    }
    return overlap;
  }

  void Blocks() {
    for (const auto& [bid, b] : blocks_) {
      Touched();
      const std::uint64_t total = g_.BlockSize(b.cb);
      if (b.ib % g_.blockAlign != 0 || !InBounds(f_.size(), b.ib, total) || b.ib < g_.firstAMap) {
        Find(kError, "block-offset", "2.2.2.8", "block " + Hex(bid) + " lies outside the file");
        continue;
      }
      if (b.cb > g_.maxBlockData) {
        Find(kError, "block-size", "2.2.2.8",
             "block " + Hex(bid) + " holds " + std::to_string(b.cb) +
                 " bytes, more than a block can");
      }
      if ((b.ib - g_.firstAMap) / g_.amapInterval != (b.ib + total - 1 - g_.firstAMap) / g_.amapInterval) {
        Find(kError, "block-offset", "2.2.2.8",
             "block " + Hex(bid) + " straddles two allocation maps");
      }
      for (std::uint64_t u = b.ib / g_.pageSize * g_.pageSize; u < b.ib + total; u += g_.pageSize) {
        if (IsMapPage(g_, u)) {
          Find(kViolation, "overlap", "2.2.2.7.2",
               "block " + Hex(bid) + " covers an allocation map page");
          break;
        }
      }
      if (MarkUsed(b.ib, total)) {
        Find(kViolation, "overlap", "2.2.2.8",
             "block " + Hex(bid) + " overlaps another block or page");
      }
      const std::uint64_t t = b.ib + total - g_.blockTrailer;
      if (*LoadLe16(f_, t) != b.cb)
        Find(kError, "block-trailer", "2.2.2.8.1", "block " + Hex(bid) + ": cb differs");
      if (*LoadLe16(f_, t + 2) != ComputeSig(b.ib, bid)) {
        Find(kError, "block-signature", "2.2.2.8.1", "block " + Hex(bid) + ": wSig is wrong");
      }
      if (*LoadLe32(f_, t + g_.blockTrailerCrc) != ComputeCrc(f_.subspan(b.ib, b.cb))) {
        Find(kError, "block-crc", "2.2.2.8.1", "block " + Hex(bid) + ": CRC is wrong");
      }
      if ((Id(t + g_.blockTrailerBid) & ~1ull) != bid) {
        Find(kError, "block-trailer", "2.2.2.8.1", "block " + Hex(bid) + ": bid differs");
      }
      if (g_.blockTrailerInflated != 0) Compressed(bid, b, t);
    }
  }

  // The 4 KiB layout, which no [MS-PST] section describes: the inflated size the trailer records
  // is the BBT entry's, and a block stored compressed is a zlib stream that inflates to it.
  void Compressed(std::uint64_t bid, const Block& b, std::uint64_t t) {
    const std::uint16_t inflated = *LoadLe16(f_, t + g_.blockTrailerInflated);
    if (inflated != b.inflated) {
      Find(kViolation, "block-inflated", "",
           "block " + Hex(bid) + ": its trailer records " + std::to_string(inflated) +
               " inflated bytes, its BBT entry " + std::to_string(b.inflated));
    }
    if (b.inflated == b.cb || b.inflated == 0) return;
    std::string why;
    if (!Inflate(f_.subspan(b.ib, b.cb), b.inflated, &why)) {
      Find(kError, "block-inflate", "", "block " + Hex(bid) + " does not inflate: " + why);
    }
  }

  // Every referenced block exists; internal blocks are well formed; cRef is the number of
  // references plus one. Bit 0 of a referenced bid is reserved: Outlook sets it in some files.
  void References() {
    std::unordered_map<std::uint64_t, int> refs;
    std::vector<std::uint64_t> work;
    auto refer = [&](std::uint64_t bid, const std::string& from) {
      bid &= ~1ull;
      if (bid == 0) return;
      if (!blocks_.count(bid)) {
        Find(kError, "missing-block", "2.2.2.7.7.3",
             from + " references block " + Hex(bid) + ", which is not in the BBT");
        return;
      }
      if (++refs[bid] == 1 && (bid & 2) != 0) work.push_back(bid);
    };
    for (const auto& [nid, n] : nodes_) {
      refer(n.bidData, "node " + Hex(nid));
      refer(n.bidSub, "node " + Hex(nid));
    }
    while (!work.empty()) {
      const std::uint64_t bid = work.back();
      work.pop_back();
      const Block& b = blocks_.at(bid);
      if (!InBounds(f_.size(), b.ib, b.cb)) continue;  // reported by Blocks()
      InternalBlock(bid, f_.subspan(b.ib, b.cb), refer);
    }
    for (const auto& [bid, b] : blocks_) {
      if (b.cRef != refs[bid] + 1) {
        Find(kWarning, "reference-count", "2.2.2.7.7.3",
             "block " + Hex(bid) + ": cRef " + std::to_string(b.cRef) + ", referenced " +
                 std::to_string(refs[bid]) + " times");
      }
    }
  }

  template <typename Refer>
  void InternalBlock(std::uint64_t bid, ByteSpan data, Refer& refer) {
    const std::uint8_t type = ByteAt(data, 0), level = ByteAt(data, 1);
    const std::size_t count = LoadLe16(data, 2).value_or(0), w = g_.idWidth;
    const std::string where = (type == 1 ? "data tree " : "subnode block ") + Hex(bid);
    if (type == 1) {
      // XBLOCK (level 1) or XXBLOCK (level 2): lcbTotal, then the bids of the level below.
      std::uint64_t total = 0;
      for (std::size_t i = 0; i < count && 8 + (i + 1) * w <= data.size(); ++i) {
        const std::uint64_t child = Id(data, 8 + i * w) & ~1ull;
        if (((child & 2) != 0) != (level == 2)) {
          Find(kViolation, "data-tree", "2.2.2.8.3.2",
               where + ": entry " + std::to_string(i) + " is not a block of the level below");
        }
        if (const auto it = blocks_.find(child); it != blocks_.end()) {
          total += level == 1 ? it->second.inflated : LoadLe32(f_, it->second.ib + 4).value_or(0);
        }
        refer(child, where);
      }
      if (level < 1 || level > 2 || 8 + count * w > data.size()) {
        Find(kError, "data-tree", "2.2.2.8.3.2", where + ": level or entry count is wrong");
      } else if (LoadLe32(data, 4) != total) {
        Find(kViolation, "data-tree", "2.2.2.8.3.2",
             where + ": lcbTotal " + std::to_string(*LoadLe32(data, 4)) +
                 " where its blocks hold " + std::to_string(total));
      }
      return;
    }
    if (type != 2 || level > 1) {
      Find(kError, "subnode-block", "2.2.2.8.3.3", where + ": btype or cLevel is wrong");
      return;
    }
    const std::size_t size = level == 0 ? g_.slEntry : g_.siEntry, header = g_.subnodeHeader;
    for (std::size_t i = 0; i < count && header + (i + 1) * size <= data.size(); ++i) {
      const std::size_t at = header + i * size;
      // A nid is 32 bits; in the Unicode layout the entry's upper half is padding.
      if (i > 0 && *LoadLe32(data, at) <= *LoadLe32(data, at - size)) {
        Find(kError, "subnode-order", "2.2.2.8.3.3",
             "subnode block " + Hex(bid) + ": ids not ascending");
      }
      refer(Id(data, at + w), where);
      if (level == 0) refer(Id(data, at + 2 * w), where);
    }
  }

  void Maps() {
    const std::uint64_t amaps =
        f_.size() > g_.firstAMap ? (f_.size() - g_.firstAMap + g_.amapInterval - 1) / g_.amapInterval : 0;
    for (std::uint64_t n = 0; n < amaps; ++n) {
      const std::uint64_t amap = g_.firstAMap + n * g_.amapInterval;
      Page(amap, amap, 0x84, false);
      if (!g_.pageMaps) continue;
      const std::uint64_t pmap = amap + g_.pageSize, fmap = amap + 2 * g_.pageSize;
      if (g_.HasPMap(n)) Page(pmap, pmap, 0x83, false);
      if (g_.HasFMap(n)) Page(fmap, fmap, 0x82, false);
    }
    if (f_.size() >= g_.firstAMap) Page(g_.dlistOffset, Id(g_.bidNextP), 0x86, true, false);
    // Maps that the header says are not valid are rebuilt by whoever opens the store next.
    if (ByteAt(f_, g_.fAMapValid) != 0x02) return;
    std::uint64_t zeros = 0;
    for (std::uint64_t n = 0; n < amaps; ++n) {
      const std::uint64_t amap = g_.firstAMap + n * g_.amapInterval;
      Touched();
      std::size_t unmarked = 0, unused = 0;
      const std::size_t bits = g_.AMapBits();
      for (std::size_t i = 0; i < bits; ++i) {
        const bool bit = (ByteAt(f_, amap + g_.mapBits + i / 8) & (0x80 >> (i % 8))) != 0;
        const std::uint64_t unit = n * bits + i;
        const bool isUsed = unit < used_.size() && used_[unit];
        zeros += bit ? 0 : 1;
        if (isUsed && !bit) ++unmarked;
        if (!isUsed && bit) ++unused;
      }
      if (unmarked > 0) {
        Find(kError, "amap", "2.2.2.7.2",
             "allocation map " + std::to_string(n) + ": " + std::to_string(unmarked) +
                 " units in use are marked free");
      }
      if (unused > 0) {
        Find(kWarning, "amap", "2.2.2.7.2",
             "allocation map " + std::to_string(n) + ": " + std::to_string(unused) +
                 " units marked in use hold nothing");
      }
    }
    if (Id(g_.cbAMapFree) != g_.amapUnit * zeros) {
      Find(kWarning, "amap-free", "2.2.2.5", "cbAMapFree does not match the maps");
    }
  }

  // The counters a later writer continues from lie past everything in use.
  void Counters() {
    const std::uint64_t nextBlock = Id(g_.bidNextB), nextPage = Id(g_.bidNextP);
    if (!blocks_.empty() && (blocks_.rbegin()->first & ~3ull) >= nextBlock) {
      Find(kWarning, "counters", "2.2.2.6",
           "bidNextB " + Hex(nextBlock) + " is not past block " + Hex(blocks_.rbegin()->first));
    }
    if (maxPageBid_ >= nextPage) {
      Find(kWarning, "counters", "2.2.2.6",
           "bidNextP " + Hex(nextPage) + " is not past page " + Hex(maxPageBid_));
    }
    for (const auto& [nid, n] : nodes_) {
      const std::uint32_t type = nid & 0x1F, index = nid >> 5;
      if (type != 0x01 && index > *LoadLe32(f_, g_.rgnid + 4 * type)) {
        Find(kWarning, "counters", "2.2.2.6",
             "node " + Hex(nid) + " lies past rgnid[" + std::to_string(type) + "]");
      }
    }
  }

  ByteSpan f_;
  const Geometry& g_;
  CheckFindings& findings_;
  std::function<void()> release_;
  std::map<std::uint64_t, Block> blocks_;
  CheckedNodes nodes_;
  std::unordered_set<std::uint64_t> visited_;
  std::unordered_map<std::uint64_t, std::uint8_t> expectedLevel_;  // by page offset
  std::vector<bool> used_;  // one flag per map unit from the first AMap
  std::uint64_t touched_ = 0;
  std::uint64_t lastBlockKey_ = 0, lastNodeKey_ = 0, maxPageBid_ = 0;
  int leafLevel_ = -1;
  std::size_t pages_ = 0;
};

// The header's own fields; the layout, or nullptr when the rest cannot be checked.
const Geometry* CheckHeader(ByteSpan f, CheckFindings& findings) {
  if (f.size() < 24) {
    findings.Add(kError, "header-size", "2.2.2.6", "the file is shorter than a header");
    return nullptr;
  }
  const std::uint16_t wVer = *LoadLe16(f, 10);
  const Geometry* g = GeometryOfVersion(wVer);
  if (g == nullptr) {
    findings.Add(kError, "header-version", "2.2.2.6",
                 "wVer " + std::to_string(wVer) +
                     ": only ANSI (14, 15), Unicode (23) and 4 KiB-page (36) stores are checked");
    return nullptr;
  }
  if (f.size() < g->headerSize) {
    findings.Add(kError, "header-size", "2.2.2.6", "the file is shorter than a header");
    return nullptr;
  }
  if (LoadLe32(f, 0) != 0x4E444221u)
    findings.Add(kError, "header-magic", "2.2.2.6", "dwMagic is not \"!BDN\"");
  const std::uint16_t client = *LoadLe16(f, 8);
  if (client != 0x4D53 && client != 0x4F53) {
    findings.Add(kViolation, "header-magic", "2.2.2.6",
                 "wMagicClient is neither \"SM\" nor \"SO\"");
  }
  if (ComputeCrc(f.subspan(8, 471)) != *LoadLe32(f, 4)) {
    findings.Add(kError, "header-crc", "2.2.2.6", "dwCRCPartial is wrong");
  }
  if (g->dwCRCFull != 0 && ComputeCrc(f.subspan(8, 516)) != *LoadLe32(f, g->dwCRCFull)) {
    findings.Add(kError, "header-crc", "2.2.2.6", "dwCRCFull is wrong");
  }
  if (ByteAt(f, g->bSentinel) != 0x80) {
    findings.Add(kViolation, "header-sentinel", "2.2.2.6", "bSentinel is not 0x80");
  }
  const std::uint64_t eof = LoadLeN(f, g->ibFileEof, g->idWidth).value_or(0);
  if (eof != f.size()) {
    findings.Add(kError, "file-size", "2.2.2.5",
                 "ibFileEof " + Hex(eof) + " but the file has " + Hex(f.size()) + " bytes");
  }
  // A store grows by whole allocation map intervals; one whose maps are marked invalid (older
  // ANSI stores) is rebuilt, size and all, by whoever opens it next. The 4 KiB layout's
  // intervals are 16 MiB: its stores end where their last page or block does.
  if (ByteAt(f, g->fAMapValid) == 0x02 && g->pageMaps &&
      (f.size() - std::min<std::uint64_t>(f.size(), g->firstAMap)) % g->amapInterval != 0) {
    findings.Add(kError, "file-size", "2.6.1.1.2",
                 "the file does not end on an allocation-map interval");
  }
  if (ByteAt(f, g->fAMapValid) != 0x02)
    findings.Add(kWarning, "amap-valid", "2.2.2.5", "fAMapValid is not 2");
  if (ByteAt(f, g->bCryptMethod) > 2)
    findings.Add(kError, "crypt-method", "2.2.2.6", "unknown bCryptMethod");
  return g;
}

CheckReport Check(ByteSpan file, CheckOptions options, std::function<void()> release) {
  CheckReport report;
  report.opened = true;
  report.strict = options.strict;
  CheckFindings findings(report);
  const Geometry* g = CheckHeader(file, findings);
  if (g == nullptr) return report;
  NdbChecker ndb(file, *g, findings, release);
  ndb.Run();
  CheckMessaging(file, ndb.nodes(), findings, [&ndb] { ndb.Touched(); });
  report.pages = ndb.pages();
  report.blocks = ndb.blocks();
  report.nodes = ndb.nodes().size();
  return report;
}

}  // namespace

void CheckFindings::Add(CheckLevel level, const std::string& rule, const std::string& section,
                        const std::string& text) {
  if (++perRule_[rule] > kMaxFindingsPerRule) return;
  report_.findings.push_back(
      {level == CheckLevel::kError, level != CheckLevel::kWarning, rule, section, text});
}

std::size_t CheckReport::Errors() const {
  return static_cast<std::size_t>(std::count_if(findings.begin(), findings.end(),
                                                [](const CheckFinding& f) { return f.error; }));
}
std::size_t CheckReport::Warnings() const { return findings.size() - Errors(); }
std::size_t CheckReport::Violations() const {
  return static_cast<std::size_t>(std::count_if(findings.begin(), findings.end(),
                                                [](const CheckFinding& f) { return f.violation; }));
}

CheckReport CheckStore(const std::filesystem::path& path, CheckOptions options) {
  // The file is mapped, not read, and the pages read are dropped as the check goes on: a store
  // of any size is checked without holding it in memory.
  Status opened = Status::Ok();
  const int fd = OpenRegularFile(path, &opened);
  struct stat info {};
  if (fd < 0 || ::fstat(fd, &info) != 0) {
    if (fd >= 0) ::close(fd);
    CheckReport report;
    report.openError = opened.ok() ? "Cannot read \"" + path.string() + "\"" : opened.message();
    return report;
  }
  const auto size = static_cast<std::size_t>(info.st_size);
  void* mapped = size > 0 ? ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0) : nullptr;
  ::close(fd);
  if (mapped == MAP_FAILED) {
    CheckReport report;
    report.openError = "Cannot read \"" + path.string() + "\": " + std::strerror(errno);
    return report;
  }
  auto release = [mapped, size] {
    if (mapped != nullptr) ::madvise(mapped, size, MADV_DONTNEED);
  };
  CheckReport report =
      Check(ByteSpan(static_cast<const std::byte*>(mapped), size), options, release);
  if (mapped != nullptr) ::munmap(mapped, size);
  return report;
}

CheckReport CheckStoreBytes(ByteSpan bytes, CheckOptions options) {
  return Check(bytes, options, {});
}

}  // namespace palvara
