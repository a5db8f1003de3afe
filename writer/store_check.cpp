#include "writer/store_check.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "common/byte_view.h"
#include "common/damage.h"
#include "common/regular_file.h"
#include "reader/block_access.h"
#include "reader/btree_walk.h"
#include "reader/property_list.h"
#include "reader/crc.h"

namespace palvara {
namespace {

constexpr std::uint64_t kFirstAMap = 0x4400;
constexpr std::uint64_t kAMapInterval = 0x3E000;
constexpr std::size_t kMaxFindingsPerRule = 20;
// Pages, blocks or nodes read between two releases of a mapped file's pages. Each read maps
// at most some 64 KiB (the kernel maps neighbouring pages along), so about 16 MiB at a time.
constexpr std::uint64_t kReleaseEvery = 256;

class Checker {
 public:
  // `release` is called every so many pages, blocks or nodes read, so that a mapped file's
  // pages can be dropped: a check's memory stays bounded whatever the file's size.
  explicit Checker(ByteSpan file, std::function<void()> release = {})
      : f_(file), release_(std::move(release)) {}

  CheckReport Run() {
    report_.opened = true;
    if (!Header()) return std::move(report_);
    Tree(*LoadLe64(f_, 240), *LoadLe64(f_, 232), false, 0);
    leafLevel_ = -1;
    Tree(*LoadLe64(f_, 224), *LoadLe64(f_, 216), true, 0);
    Blocks();
    References();
    Maps();
    Counters();
    Folders();
    Heaps();
    StoreObject();
    NameMap();
    report_.pages = pages_;
    report_.blocks = blocks_.size();
    report_.nodes = nodes_.size();
    return std::move(report_);
  }

 private:
  struct Block {
    std::uint64_t ib;
    std::uint16_t cb;
    std::int16_t cRef;
  };
  struct Node {
    std::uint64_t bidData, bidSub;
    std::uint32_t parent;
  };

  void Touched() {
    if (release_ && ++touched_ % kReleaseEvery == 0) release_();
  }

  void Find(bool error, const std::string& rule, const std::string& text) {
    if (++perRule_[rule] > kMaxFindingsPerRule) return;
    report_.findings.push_back({error, rule, text});
  }

  bool Header() {
    if (f_.size() < 564) {
      Find(true, "header-size", "the file is shorter than a header");
      return false;
    }
    if (LoadLe32(f_, 0) != 0x4E444221u) Find(true, "header-magic", "dwMagic is not \"!BDN\"");
    if (LoadLe16(f_, 10) != 23) {
      Find(true, "header-version", "wVer " + std::to_string(*LoadLe16(f_, 10)) +
                                       ": only Unicode stores (23) are checked");
      return false;
    }
    if (ComputeCrc(f_.subspan(8, 471)) != *LoadLe32(f_, 4)) Find(true, "header-crc", "dwCRCPartial is wrong");
    if (ComputeCrc(f_.subspan(8, 516)) != *LoadLe32(f_, 524)) Find(true, "header-crc", "dwCRCFull is wrong");
    if (LoadLe64(f_, 184) != f_.size()) {
      Find(true, "file-size", "ibFileEof " + Hex(*LoadLe64(f_, 184)) + " but the file has " +
                                  Hex(f_.size()) + " bytes");
    }
    if ((f_.size() - std::min<std::uint64_t>(f_.size(), kFirstAMap)) % kAMapInterval != 0) {
      Find(true, "file-size", "the file does not end on an allocation-map interval");
    }
    if (ByteAt(f_, 248) != 0x02) Find(false, "amap-valid", "fAMapValid is not 2");
    if (ByteAt(f_, 513) > 2) Find(true, "crypt-method", "unknown bCryptMethod");
    return true;
  }

  // Checks a page trailer; true when the page can be read. `severe`: a reader needs the page
  // (the DList is rebuilt by Outlook and read by no reader).
  bool Page(std::uint64_t ib, std::uint64_t bid, std::uint8_t ptype, bool signature,
            bool severe = true) {
    if (ib % 512 != 0 || !InBounds(f_.size(), ib, 512)) {
      Find(true, "page-offset", "page " + Hex(bid) + " at " + Hex(ib) + " is misplaced");
      return false;
    }
    ++pages_;
    Touched();
    MarkUsed(ib, 512);
    const ByteSpan page = f_.subspan(ib, 512);
    if (ByteAt(page, 496) != ptype || ByteAt(page, 497) != ptype) {
      Find(severe, "page-type", "page at " + Hex(ib) + " has type " + Hex(ByteAt(page, 496)) +
                                  " where " + Hex(ptype) + " is due");
    }
    if (ComputeCrc(page.first(496)) != *LoadLe32(page, 500)) {
      Find(severe, "page-crc", "page at " + Hex(ib) + ": CRC is wrong");
    }
    const std::uint16_t sig = signature ? ComputeSig(ib, bid) : 0;
    if (*LoadLe16(page, 498) != sig) Find(severe, "page-signature", "page at " + Hex(ib) + ": wSig is wrong");
    if (*LoadLe64(page, 504) != bid) {
      Find(severe, "page-bid", "page at " + Hex(ib) + " carries bid " + Hex(*LoadLe64(page, 504)) +
                                 " where " + Hex(bid) + " points to it");
    }
    return true;
  }

  // Walks one B-tree; returns its first key.
  std::optional<std::uint64_t> Tree(std::uint64_t ib, std::uint64_t bid, bool nodeTree,
                                    int depth) {
    if (depth > 16 || !visited_.insert(ib).second) {
      Find(true, "btree-shape", "page at " + Hex(ib) + " is reached twice or too deep");
      return std::nullopt;
    }
    if (!Page(ib, bid, nodeTree ? 0x81 : 0x80, true)) return std::nullopt;
    maxPageBid_ = std::max(maxPageBid_, bid);
    const ByteSpan page = f_.subspan(ib, 512);
    const std::uint8_t cEnt = ByteAt(page, 488), cEntMax = ByteAt(page, 489),
                       cbEnt = ByteAt(page, 490), cLevel = ByteAt(page, 491);
    const std::size_t size = cLevel > 0 ? 24 : (nodeTree ? 32 : 24);
    if (cbEnt != size || cEnt > cEntMax || cEntMax > 488 / size) {
      Find(true, "btree-page", "page at " + Hex(ib) + ": cEnt/cEntMax/cbEnt inconsistent");
      return std::nullopt;
    }
    if (leafLevel_ < 0 && cLevel == 0) leafLevel_ = depth;
    if (cLevel == 0 && depth != leafLevel_) Find(true, "btree-shape", "leaves at different depths");
    std::optional<std::uint64_t> first;
    for (std::size_t i = 0; i < cEnt; ++i) {
      const std::size_t at = i * size;
      const std::uint64_t key = *LoadLe64(page, at);
      if (i == 0) first = key;
      std::uint64_t& last = nodeTree ? lastNodeKey_ : lastBlockKey_;
      if (cLevel == 0) {
        if (key <= last && !(last == 0 && key == 0)) {
          Find(true, "btree-order", (nodeTree ? "NBT" : "BBT") + std::string(" key ") + Hex(key) +
                                         " after " + Hex(last));
        }
        last = key;
        if (nodeTree) {
          nodes_[static_cast<std::uint32_t>(key)] = {*LoadLe64(page, at + 8), *LoadLe64(page, at + 16),
                                                     *LoadLe32(page, at + 24)};
        } else {
          blocks_[key] = {*LoadLe64(page, at + 8), *LoadLe16(page, at + 16),
                          static_cast<std::int16_t>(*LoadLe16(page, at + 18))};
        }
      } else {
        const auto childFirst = Tree(*LoadLe64(page, at + 16), *LoadLe64(page, at + 8), nodeTree,
                                     depth + 1);
        if (childFirst && *childFirst != key) {
          Find(true, "btree-key", "intermediate key " + Hex(key) + " but its child starts with " +
                                      Hex(*childFirst));
        }
      }
    }
    return first;
  }

  void MarkUsed(std::uint64_t ib, std::uint64_t size) {
    if (ib < kFirstAMap || ib >= f_.size()) return;
    const std::uint64_t end = std::min<std::uint64_t>((ib - kFirstAMap + size + 63) / 64,
                                                      (f_.size() - kFirstAMap + 63) / 64);
    if (used_.size() < end) used_.resize(end, false);
    for (std::uint64_t u = (ib - kFirstAMap) / 64; u < end; ++u) used_[u] = true;
  }

  void Blocks() {
    for (const auto& [bid, b] : blocks_) {
      Touched();
      const std::uint64_t total = (b.cb + 16 + 63) / 64 * 64;
      if (b.ib % 64 != 0 || !InBounds(f_.size(), b.ib, total) || b.ib < kFirstAMap) {
        Find(true, "block-offset", "block " + Hex(bid) + " lies outside the file");
        continue;
      }
      if ((b.ib - kFirstAMap) / kAMapInterval != (b.ib + total - 1 - kFirstAMap) / kAMapInterval) {
        Find(true, "block-offset", "block " + Hex(bid) + " straddles two allocation maps");
      }
      MarkUsed(b.ib, total);
      const std::uint64_t t = b.ib + total - 16;
      if (*LoadLe16(f_, t) != b.cb) Find(true, "block-trailer", "block " + Hex(bid) + ": cb differs");
      if (*LoadLe16(f_, t + 2) != ComputeSig(b.ib, bid)) {
        Find(true, "block-signature", "block " + Hex(bid) + ": wSig is wrong");
      }
      if (*LoadLe32(f_, t + 4) != ComputeCrc(f_.subspan(b.ib, b.cb))) {
        Find(true, "block-crc", "block " + Hex(bid) + ": CRC is wrong");
      }
      if (*LoadLe64(f_, t + 8) != bid) Find(true, "block-trailer", "block " + Hex(bid) + ": bid differs");
    }
  }

  // Every referenced block exists; cRef is the number of references plus one.
  void References() {
    std::unordered_map<std::uint64_t, int> refs;
    std::vector<std::uint64_t> work;
    auto refer = [&](std::uint64_t bid, const std::string& from) {
      if (bid == 0) return;
      if (!blocks_.count(bid)) {
        Find(true, "missing-block", from + " references block " + Hex(bid) + ", which is not in the BBT");
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
      const ByteSpan data = f_.subspan(b.ib, b.cb);
      const std::uint8_t type = ByteAt(data, 0), level = ByteAt(data, 1);
      const std::size_t count = LoadLe16(data, 2).value_or(0);
      const std::size_t size = type == 1 ? 8 : (level == 0 ? 24 : 16);
      for (std::size_t i = 0; i < count && 8 + (i + 1) * size <= data.size(); ++i) {
        const std::size_t at = 8 + i * size;
        if (type == 2 && i > 0 && *LoadLe32(data, at) <= *LoadLe32(data, at - size)) {
          Find(true, "subnode-order", "subnode block " + Hex(bid) + ": ids not ascending");
        }
        if (type == 1) {
          refer(*LoadLe64(data, at), "data tree " + Hex(bid));
        } else if (level == 0) {
          refer(*LoadLe64(data, at + 8), "subnode block " + Hex(bid));
          refer(*LoadLe64(data, at + 16), "subnode block " + Hex(bid));
        } else {
          refer(*LoadLe64(data, at + 8), "subnode block " + Hex(bid));
        }
      }
    }
    for (const auto& [bid, b] : blocks_) {
      if (b.cRef != refs[bid] + 1) {
        Find(false, "reference-count", "block " + Hex(bid) + ": cRef " + std::to_string(b.cRef) +
                                           ", referenced " + std::to_string(refs[bid]) + " times");
      }
    }
  }

  void Maps() {
    const std::uint64_t amaps = f_.size() > kFirstAMap ? (f_.size() - kFirstAMap) / kAMapInterval : 0;
    std::uint64_t zeros = 0;
    for (std::uint64_t n = 0; n < amaps; ++n) {
      const std::uint64_t amap = kFirstAMap + n * kAMapInterval;
      Page(amap, amap, 0x84, false);
      if (n % 8 == 0) Page(amap + 512, amap + 512, 0x83, false);
      if (n >= 128 && (n - 128) % 496 == 0) Page(amap + 1024, amap + 1024, 0x82, false);
    }
    for (std::uint64_t n = 0; n < amaps; ++n) {
      const std::uint64_t amap = kFirstAMap + n * kAMapInterval;
      Touched();
      std::size_t unmarked = 0, unused = 0;
      for (std::size_t i = 0; i < 3968; ++i) {
        const bool bit = (ByteAt(f_, amap + i / 8) & (0x80 >> (i % 8))) != 0;
        const std::uint64_t unit = n * 3968 + i;
        const bool isUsed = unit < used_.size() && used_[unit];
        zeros += bit ? 0 : 1;
        if (isUsed && !bit) ++unmarked;
        if (!isUsed && bit) ++unused;
      }
      if (unmarked > 0) {
        Find(true, "amap", "allocation map " + std::to_string(n) + ": " + std::to_string(unmarked) +
                               " units in use are marked free");
      }
      if (unused > 0) {
        Find(false, "amap", "allocation map " + std::to_string(n) + ": " + std::to_string(unused) +
                                " units marked in use hold nothing");
      }
    }
    if (*LoadLe64(f_, 200) != 64 * zeros) Find(false, "amap-free", "cbAMapFree does not match the maps");
    if (f_.size() >= 0x4400) Page(0x4200, *LoadLe64(f_, 32), 0x86, true, false);
  }

  // The counters a later writer continues from lie past everything in use.
  void Counters() {
    const std::uint64_t nextBlock = *LoadLe64(f_, 516), nextPage = *LoadLe64(f_, 32);
    if (!blocks_.empty() && (blocks_.rbegin()->first & ~3ull) >= nextBlock) {
      Find(false, "counters", "bidNextB " + Hex(nextBlock) + " is not past block " +
                                  Hex(blocks_.rbegin()->first));
    }
    if (maxPageBid_ >= nextPage) {
      Find(false, "counters", "bidNextP " + Hex(nextPage) + " is not past page " + Hex(maxPageBid_));
    }
    for (const auto& [nid, n] : nodes_) {
      const std::uint32_t type = nid & 0x1F, index = nid >> 5;
      if (type != 0x01 && index > *LoadLe32(f_, 44 + 4 * type)) {
        Find(false, "counters", "node " + Hex(nid) + " lies past rgnid[" + std::to_string(type) + "]");
      }
    }
  }

  // The store object's entry ids carry its record key and name folders that exist.
  void StoreObject() {
    const StoreNode* node = store_ ? FindNode(*store_, 0x21) : nullptr;
    if (node == nullptr) {
      Find(true, "store", "the message store node 0x21 is missing");
      return;
    }
    SubnodeList none;
    const auto pc = ReadPropertyList(*store_, node->dataBlock, none);
    const PropertyEntry* key = pc ? pc->Find(0x0FF9) : nullptr;
    if (key == nullptr || !key->value || key->value->size() != 16) {
      Find(true, "store", "the message store has no 16-byte record key");
      return;
    }
    for (std::uint32_t id : {0x35E0u, 0x35E3u, 0x35E7u}) {
      const PropertyEntry* e = pc->Find(id);
      if (e == nullptr || !e->value || e->value->size() != 24) {
        Find(id == 0x35E0, "store", "entry id " + Hex(id) + " is missing or not 24 bytes");
        continue;
      }
      const ByteSpan v = *e->value;
      if (!std::equal(v.begin() + 4, v.begin() + 20, key->value->begin())) {
        Find(true, "store", "entry id " + Hex(id) + " does not carry the store's record key");
      }
      if (!nodes_.count(*LoadLe32(v, 20))) {
        Find(true, "store", "entry id " + Hex(id) + " names folder " + Hex(*LoadLe32(v, 20)) +
                                ", which does not exist");
      }
    }
  }

  // Name-to-id records are numbered in order, name known property sets, and sit in the hash
  // bucket of their name.
  void NameMap() {
    const StoreNode* node = store_ ? FindNode(*store_, 0x61) : nullptr;
    if (node == nullptr) return;
    SubnodeList subnodes;
    ReadSubnodes(*store_, node->subnodeBlock, subnodes);
    const auto pc = ReadPropertyList(*store_, node->dataBlock, subnodes);
    const PropertyEntry* guids = pc ? pc->Find(0x0002) : nullptr;
    const PropertyEntry* entries = pc ? pc->Find(0x0003) : nullptr;
    const PropertyEntry* buckets = pc ? pc->Find(0x0001) : nullptr;
    if (entries == nullptr || !entries->value || guids == nullptr || !guids->value) {
      Find(true, "name-map", "the name-to-id map lacks its entry or GUID stream");
      return;
    }
    const ByteSpan stream = *entries->value;
    const std::uint32_t guidCount = static_cast<std::uint32_t>(guids->value->size() / 16);
    const std::uint32_t bucketCount =
        buckets && buckets->value && buckets->value->size() >= 4 ? *LoadLe32(*buckets->value, 0) : 0;
    for (std::size_t k = 0; k + 8 <= stream.size(); k += 8) {
      const std::uint32_t name = *LoadLe32(stream, k);
      const std::uint16_t wGuid = *LoadLe16(stream, k + 4), index = *LoadLe16(stream, k + 6);
      if (index != k / 8) {
        Find(true, "name-map", "record " + std::to_string(k / 8) + " carries index " + std::to_string(index));
      }
      if ((wGuid >> 1) >= 3 + guidCount) {
        Find(true, "name-map", "record " + std::to_string(k / 8) + " names an unknown property set");
      }
      if (bucketCount == 0 || (wGuid & 1) != 0) continue;  // string names hash their text
      const PropertyEntry* bucket = pc->Find(0x1000 + (name ^ wGuid) % bucketCount);
      bool found = false;
      for (std::size_t b = 0; bucket && bucket->value && b + 8 <= bucket->value->size() && !found; b += 8) {
        found = std::equal(bucket->value->begin() + b, bucket->value->begin() + b + 8, stream.begin() + k);
      }
      if (!found) Find(false, "name-map", "record " + std::to_string(k / 8) + " is not in its hash bucket");
    }
  }

  // Folder counts against their tables, read with the tolerant reader.
  void Folders() {
    store_ = std::make_unique<StoreFile>();
    if (!OpenStore(*store_, std::make_unique<ViewByteSource>(f_), "check").ok()) {
      store_.reset();
      return;
    }
    StoreFile& store = *store_;
    IndexStore(store);
    LoadNamedPropertyMap(store);
    for (const auto& [nid, n] : nodes_) {
      Touched();
      const std::uint32_t type = nid & 0x1F;
      if (type == 0x04 || type == 0x08) {
        const auto parent = nodes_.find(n.parent);
        if (parent == nodes_.end() || (n.parent & 0x1F) != 0x02) {
          Find(true, "node-parent", "message " + Hex(nid) + " hangs below " + Hex(n.parent) +
                                        ", which is not a folder");
        }
        if (type == 0x04) children_[n.parent].messages.insert(nid);
        if (type == 0x04) Recipients(nid);
      } else if ((type == 0x02 || type == 0x03) && n.parent != nid) {
        children_[n.parent].folders.insert(nid);
      }
    }
    const auto root = nodes_.find(0x122);
    if (root == nodes_.end() || root->second.parent != 0x122) {
      Find(true, "node-parent", "the root folder 0x122 is missing or not its own parent");
    }
    for (const auto& [nid, n] : nodes_) {
      if ((nid & 0x1F) != 0x02 && nid != 0x122) continue;
      Touched();
      const StoreNode* node = FindNode(store, nid);
      if (node == nullptr) continue;
      SubnodeList none;
      const auto pc = ReadPropertyList(store, node->dataBlock, none);
      if (!pc) {
        Find(true, "folder", "folder " + Hex(nid) + " has no readable property context");
        continue;
      }
      // A table's row count, and the row ids it lists; -1 when the table is missing.
      auto rows = [&](std::uint32_t tableNid, std::set<std::uint32_t>* ids) {
        const StoreNode* table = FindNode(store, tableNid);
        if (table == nullptr) return -1;
        SubnodeList subnodes;
        ReadSubnodes(store, table->subnodeBlock, subnodes);
        const auto list = ReadPropertyList(store, table->dataBlock, subnodes);
        for (const PropertyList* row = list.get(); row != nullptr && ids != nullptr; row = row->next.get()) {
          const PropertyEntry* id = row->Find(0x67F2);
          if (id != nullptr && id->value && id->value->size() >= 4) ids->insert(*LoadLe32(*id->value, 0));
        }
        return list ? list->rowCount : 0;
      };
      const std::uint32_t base = nid & ~0x1Fu;
      std::set<std::uint32_t> contentRows, hierarchyRows;
      const int contents = rows(base | 0x0E, &contentRows), hierarchy = rows(base | 0x0D, &hierarchyRows);
      if (contents < 0 || hierarchy < 0 || rows(base | 0x0F, nullptr) < 0) {
        Find(true, "folder-tables", "folder " + Hex(nid) + " lacks one of its three tables");
        continue;
      }
      if (contentRows != children_[nid].messages || hierarchyRows != children_[nid].folders) {
        Find(false, "folder-rows", "folder " + Hex(nid) + ": its table rows and the nodes below it differ");
      }
      const PropertyEntry* count = pc->Find(0x3602);
      if (count == nullptr || !count->value || *LoadLe32(*count->value, 0) != static_cast<std::uint32_t>(contents)) {
        Find(true, "folder-count", "folder " + Hex(nid) + ": content count differs from its " +
                                       std::to_string(contents) + " contents rows");
      }
      const PropertyEntry* sub = pc->Find(0x360A);
      const bool hasSub = sub != nullptr && sub->value && (*LoadLe32(*sub->value, 0) & 0xFF) != 0;
      if (hasSub != (hierarchy > 0)) {
        Find(true, "folder-subfolders", "folder " + Hex(nid) + ": Subfolders flag disagrees with " +
                                            std::to_string(hierarchy) + " hierarchy rows");
      }
    }
  }

  // Every property or table node's heap: signature, page maps ascending inside their block,
  // no allocation above 3,580 bytes.
  void Heaps() {
    if (!store_) return;
    for (const auto& [nid, n] : nodes_) {
      const std::uint32_t type = nid & 0x1F;
      if ((type == 0x01 && nid != 0x21 && nid != 0x61) || type == 0x06 || n.bidData == 0) continue;
      Touched();
      const StoreNode* node = FindNode(*store_, nid);
      if (node == nullptr || node->dataBlock == nullptr) continue;
      const std::vector<Bytes> blocks = ReadNodeBlocks(*store_, node->dataBlock);
      for (std::size_t i = 0; i < blocks.size(); ++i) {
        if (const std::string fault = HeapBlockFault(blocks[i], i); !fault.empty()) {
          Find(true, "heap", "node " + Hex(nid) + ", heap block " + std::to_string(i) + ": " + fault);
          break;
        }
      }
    }
  }

  static std::string HeapBlockFault(ByteSpan block, std::size_t index) {
    const std::size_t header = index == 0 ? 12 : (index % 128 == 8 ? 66 : 2);
    if (block.size() < header + 4) return "too short";
    if (index == 0 && ByteAt(block, 2) != 0xEC) return "bSig is not 0xEC";
    const std::size_t map = *LoadLe16(block, 0);
    if (map < header || map + 4 > block.size()) return "page map outside the block";
    const std::size_t count = *LoadLe16(block, map);
    if (map + 4 + 2 * (count + 1) > block.size()) return "page map runs past the block";
    std::size_t previous = *LoadLe16(block, map + 4);
    if (previous != header) return "first allocation does not follow the header";
    for (std::size_t k = 1; k <= count; ++k) {
      const std::size_t next = *LoadLe16(block, map + 4 + 2 * k);
      if (next < previous) return "allocations out of order";
      if (next - previous > 3580) return "an allocation above 3,580 bytes";
      previous = next;
    }
    if (previous > map) return "allocations overlap the page map";
    return "";
  }

  // A message has its recipient table.
  void Recipients(std::uint32_t nid) {
    const StoreNode* node = FindNode(*store_, nid);
    SubnodeList subnodes;
    if (node != nullptr && node->subnodeBlock != nullptr) ReadSubnodes(*store_, node->subnodeBlock, subnodes);
    if (node != nullptr && FindSubnodeEntry(subnodes, 0x692) == nullptr) {
      Find(false, "message-recipients", "message " + Hex(nid) + " has no recipient table");
    }
  }

  struct Children {
    std::set<std::uint32_t> messages, folders;
  };

  ByteSpan f_;
  std::map<std::uint32_t, Children> children_;  // by folder nid
  std::unique_ptr<StoreFile> store_;  // the tolerant reader's view, once Folders() opened it
  CheckReport report_;
  std::map<std::string, std::size_t> perRule_;
  std::map<std::uint64_t, Block> blocks_;
  std::map<std::uint32_t, Node> nodes_;
  std::unordered_set<std::uint64_t> visited_;
  std::vector<bool> used_;  // one flag per 64-byte unit from 0x4400
  std::function<void()> release_;
  std::uint64_t touched_ = 0;
  std::uint64_t lastBlockKey_ = 0, lastNodeKey_ = 0, maxPageBid_ = 0;
  int leafLevel_ = -1;
  std::size_t pages_ = 0;
};

}  // namespace

std::size_t CheckReport::Errors() const {
  return static_cast<std::size_t>(std::count_if(findings.begin(), findings.end(),
                                                [](const CheckFinding& f) { return f.error; }));
}
std::size_t CheckReport::Warnings() const { return findings.size() - Errors(); }

CheckReport CheckStore(const std::filesystem::path& path) {
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
      Checker(ByteSpan(static_cast<const std::byte*>(mapped), size), release).Run();
  if (mapped != nullptr) ::munmap(mapped, size);
  return report;
}

CheckReport CheckStoreBytes(ByteSpan bytes) { return Checker(bytes).Run(); }

}  // namespace palvara
