#include "reader/block_access.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "reader/inflate.h"
#include "reader/structure_damage.h"

namespace palvara {
namespace {

// Data trees are two levels deep in the format; anything deeper is damage.
constexpr int kMaxDataTreeDepth = 4;
// Subnode trees are an intermediate level over leaves, and leaves nest through bidSub.
constexpr int kMaxSubnodeDepth = 16;

// Whether the store's layout may keep blocks compressed.
bool Compresses(const StoreFile& store) {
  return store.Layout() != nullptr && store.Layout()->compressed;
}

// The bytes a read of `count` at `offset` gets from the file (fewer at its end).
std::size_t AvailableAt(const StoreFile& store, std::uint64_t offset, std::size_t count) {
  if (!store.file || offset >= store.fileSize) return 0;
  return static_cast<std::size_t>(std::min<std::uint64_t>(count, store.fileSize - offset));
}

void Deliver(DataSink& sink, ByteSpan bytes, std::uint64_t total) {
  if (sink.out != nullptr) {
    sink.out->resize(static_cast<std::size_t>(total) + bytes.size());
    if (!bytes.empty()) std::memcpy(sink.out->data() + total, bytes.data(), bytes.size());
  } else if (sink.blocks != nullptr) {
    sink.blocks->emplace_back(bytes.begin(), bytes.end());
  } else if (sink.stream != nullptr && sink.mode == 1) {
    Bytes joined(sink.carry.begin(), sink.carry.begin() + sink.carryCount);
    joined.insert(joined.end(), bytes.begin(), bytes.end());
    const std::size_t whole = joined.size() - joined.size() % 3;
    if (whole > 0) sink.stream->Write(ByteSpan(joined.data(), whole));
    sink.carryCount = static_cast<int>(joined.size() - whole);
    std::copy(joined.begin() + static_cast<std::ptrdiff_t>(whole), joined.end(),
              sink.carry.begin());
  } else if (sink.stream != nullptr) {
    sink.stream->Write(bytes);
  }
}

class DataTreeReader {
 public:
  DataTreeReader(StoreFile& store, DataSink& sink) : store_(store), sink_(sink) {}

  // nullopt when a block of the tree is missing or the tree is malformed beyond use.
  std::optional<std::uint64_t> Read(std::uint64_t id, std::uint64_t total, int depth) {
    const BlockEntry* entry = FindBlock(store_, id);
    if (entry == nullptr) {
      return Fail(DamageKind::kBadReference, id, "block " + Hex(id) + " of a data tree is missing");
    }
    if (depth > kMaxDataTreeDepth) {
      return Fail(DamageKind::kInconsistent, id, "data tree deeper than the format allows");
    }
    if (!seen_.insert(entry->id).second) {
      return Fail(DamageKind::kCycle, id, "block " + Hex(id) + " appears twice in one data tree");
    }
    std::optional<Bytes> block = ReadBlockData(store_, *entry, false);
    if (!block) {
      return Fail(DamageKind::kInflate, id, "block " + Hex(id) + " of a data tree does not read");
    }
    const ByteSpan b(*block);

    if (ByteAt(b, 0) != 0x01) {
      // Tolerant: an internal id whose block is not a data tree is delivered as plain data.
      if (sink_.sizesOnly) return total + block->size();
      block = ReadBlockData(store_, *entry, true);
      if (!block) {
        return Fail(DamageKind::kInflate, id, "block " + Hex(id) + " of a data tree does not read");
      }
      Deliver(sink_, *block, total);
      return total + block->size();
    }

    const std::uint8_t level = ByteAt(b, 1);
    const std::size_t width = store_.Layout()->idWidth;
    const std::size_t declared = LoadLe16(b, 2).value_or(0);
    const std::size_t present = b.size() >= 8 ? (b.size() - 8) / width : 0;
    if (declared > present) {
      ReportBlock(store_, "XBLOCK", *entry, DamageKind::kInconsistent,
                  "cEnt " + std::to_string(declared) +
                      " exceeds the block: " + std::to_string(present) + " children read");
    }
    const std::size_t count = std::min(declared, present);
    if (depth == 0 && level == 1 && sink_.out != nullptr) {
      // Room for the whole stream at once: lcbTotal, no more than the children can hold nor
      // the file holds (the room is only a start: a stream that inflates past it grows).
      const std::uint64_t declaredTotal = LoadLe32(b, 4).value_or(0);
      const std::uint64_t most = std::min<std::uint64_t>(
          std::uint64_t{count} * store_.Layout()->maxBlockSize, store_.fileSize);
      sink_.out->reserve(static_cast<std::size_t>(total + std::min(declaredTotal, most)));
    }
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint64_t child = LoadLeN(b, 8 + width * i, width).value_or(0);
      if (level != 1) {
        std::optional<std::uint64_t> next = Read(child, total, depth + 1);
        if (!next) return std::nullopt;
        total = *next;
        continue;
      }
      const BlockEntry* childEntry = FindBlock(store_, child);
      if (childEntry == nullptr || !seen_.insert(childEntry->id).second) {
        return Fail(childEntry == nullptr ? DamageKind::kBadReference : DamageKind::kCycle, id,
                    "XBLOCK " + Hex(id) + " child " + Hex(child) +
                        (childEntry == nullptr ? " is missing" : " appears twice") +
                        ": data tree dropped");
      }
      if (sink_.sizesOnly) {
        total += BlockDataSize(store_, *childEntry);
        continue;
      }
      if (Compresses(store_)) {
        std::optional<Bytes> data = ReadBlockData(store_, *childEntry, true);
        if (!data) {
          return Fail(
              DamageKind::kInflate, id,
              "XBLOCK " + Hex(id) + " child " + Hex(child) + " does not read: data tree dropped");
        }
        const std::size_t n = data->size();
        if (sink_.blocks != nullptr) {
          sink_.blocks->push_back(std::move(*data));
        } else {
          Deliver(sink_, *data, total);
        }
        total += n;
        continue;
      }
      if (sink_.out != nullptr) {
        // Read into its place in the buffer and decoded there.
        Bytes& out = *sink_.out;
        out.resize(static_cast<std::size_t>(total));
        const std::size_t n = AppendBlockAt(store_, childEntry->offset, childEntry->size, out);
        DecodeBlock(std::span(out).subspan(static_cast<std::size_t>(total), n), store_.encoding,
                    childEntry->id);
        total += n;
        continue;
      }
      Bytes data = ReadBlockAt(store_, childEntry->offset, childEntry->size);
      DecodeBlock(data, store_.encoding, childEntry->id);
      const std::size_t n = data.size();
      if (sink_.blocks != nullptr) {
        sink_.blocks->push_back(std::move(data));
      } else {
        Deliver(sink_, data, total);
      }
      total += n;
    }
    return total;
  }

 private:
  // Reports the data tree's damage at block `id` (its kind found from the block when it reads
  // back as something other than it was written).
  std::optional<std::uint64_t> Fail(DamageKind kind, std::uint64_t id, std::string text) {
    if (const BlockEntry* entry = FindBlock(store_, id)) {
      ReportBlock(store_, "XBLOCK", *entry, kind, std::move(text));
    } else {
      store_.damage.Report(kind, "XBLOCK", 0, std::move(text));
    }
    return std::nullopt;
  }

  StoreFile& store_;
  DataSink& sink_;
  std::unordered_set<std::uint64_t> seen_;
};

bool ReadSubnodesAt(StoreFile& store, const BlockEntry* block, SubnodeList& list, int depth,
                    std::uint32_t level, std::unordered_set<std::uint64_t>& seen) {
  if (block == nullptr || depth > kMaxSubnodeDepth || !seen.insert(block->id).second) {
    return false;
  }
  const std::optional<Bytes> read = ReadBlockData(store, *block, false);
  if (!read || read->size() < 4 || (!Compresses(store) && read->size() < block->size)) return false;
  const Bytes& bytes = *read;
  const ByteSpan b(bytes);
  const std::uint16_t kind = LoadLe16(b, 0).value_or(0);
  if (kind != 0x0002 && kind != 0x0102) return false;
  const auto declared = static_cast<std::int16_t>(LoadLe16(b, 2).value_or(0));
  if (declared <= 0) return true;

  const std::size_t w = store.Layout()->idWidth;
  const std::size_t first = store.Layout()->subnodeHeader;
  const bool leaf = kind == 0x0002;
  const std::size_t entrySize = leaf ? 3 * w : 2 * w;
  const std::size_t present = (b.size() - std::min(b.size(), first)) / entrySize;
  const std::size_t count = std::min<std::size_t>(static_cast<std::size_t>(declared), present);
  if (count < static_cast<std::size_t>(declared)) {
    ReportBlock(store, leaf ? "SLBLOCK" : "SIBLOCK", *block, DamageKind::kInconsistent,
                "cEnt " + std::to_string(declared) +
                    " exceeds the block: " + std::to_string(count) + " entries read");
  }
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t at = first + entrySize * i;
    const auto nid = static_cast<std::uint32_t>(LoadLeN(b, at, w).value_or(0));
    const std::uint64_t bid = LoadLeN(b, at + w, w).value_or(0);
    if (!leaf) {
      // Tolerant: an unreadable child leaf costs only its own entries.
      const BlockEntry* child = FindBlock(store, bid);
      if (!ReadSubnodesAt(store, child, list, depth + 1, level, seen)) {
        // The kind is the child's: what it turned out to be where the SIBLOCK points.
        DamageReport report{child != nullptr ? BlockDamage(store, *child, DamageKind::kUnreadable)
                                             : DamageKind::kBadReference,
                            "SIBLOCK",
                            block->offset,
                            static_cast<std::uint32_t>(BlockExtent(store, *block)),
                            0,
                            "child " + Hex(bid) + " is not a readable subnode block: skipped"};
        store.damage.Report(std::move(report));
      }
      continue;
    }
    const std::uint64_t bidSub = LoadLeN(b, at + 2 * w, w).value_or(0);
    const BlockEntry* data = FindBlock(store, bid);
    if (data == nullptr) continue;
    const BlockEntry* nested = FindBlock(store, bidSub);
    list.push_back(SubnodeEntry{nid, data, nested, level});
    if (nested != nullptr) ReadSubnodesAt(store, nested, list, depth + 1, level + 1, seen);
  }
  return true;
}

}  // namespace

std::size_t AppendBlockAt(StoreFile& store, std::uint64_t offset, std::size_t count, Bytes& out) {
  // Never allocate more than the file can supply.
  const std::size_t available = AvailableAt(store, offset, count);
  if (available == 0) return 0;
  const std::size_t start = out.size();
  out.resize(start + available);
  const std::size_t n = store.file->ReadAt(offset, std::span(out).subspan(start, available));
  out.resize(start + n);
  return n;
}

Bytes ReadBlockAt(StoreFile& store, std::uint64_t offset, std::size_t count) {
  Bytes buffer;
  AppendBlockAt(store, offset, count, buffer);
  return buffer;
}

const BlockEntry* FindBlock(const StoreFile& store, std::uint64_t id) {
  return store.blocks.Find(id);
}

std::optional<Bytes> ReadBlock(StoreFile& store, std::uint64_t id) {
  const BlockEntry* entry = FindBlock(store, id);
  if (entry == nullptr) return std::nullopt;
  return ReadBlockData(store, *entry, false);
}

std::optional<Bytes> ReadDecodedBlock(StoreFile& store, std::uint64_t id) {
  const BlockEntry* entry = FindBlock(store, id);
  if (entry == nullptr) return std::nullopt;
  return ReadBlockData(store, *entry, true);
}

StoredBlock ReadStoredBlock(StoreFile& store, const BlockEntry& entry) {
  if (!Compresses(store)) return {ReadBlockAt(store, entry.offset, entry.size), std::nullopt};
  // The data and the trailer after it in one read.
  const Geometry& g = *store.Layout();
  const std::size_t extent = g.BlockSize(entry.size);
  StoredBlock stored{ReadBlockAt(store, entry.offset, extent), std::nullopt};
  if (stored.bytes.size() == extent) {
    const ByteSpan trailer = ByteSpan(stored.bytes).last(g.blockTrailer);
    const std::uint64_t bid = LoadLe64(trailer, g.blockTrailerBid).value_or(0);
    if (LoadLe16(trailer, 0) == entry.size && (bid & ~1ull) == (entry.id & ~1ull)) {
      stored.inflatedSize = LoadLe16(trailer, g.blockTrailerInflated);
    }
  }
  stored.bytes.resize(std::min<std::size_t>(stored.bytes.size(), entry.size));
  return stored;
}

std::optional<Bytes> BlockContent(StoreFile& store, const BlockEntry& entry, StoredBlock stored,
                                  std::optional<EncodingMethod> method, bool report) {
  // The cyclic key is the block's own id, not the id it was looked up by.
  if (method) DecodeBlock(stored.bytes, *method, entry.id);
  if (!Compresses(store)) return std::move(stored.bytes);
  const std::size_t inflated = stored.inflatedSize.value_or(0);
  if (stored.inflatedSize && (inflated == 0 || inflated == stored.bytes.size())) {
    return std::move(stored.bytes);  // stored as it is
  }
  std::string why;
  if (!stored.inflatedSize) {
    // Tolerant: with its trailer lost, a block whose bytes are a whole zlib stream is inflated.
    if (!LooksLikeZlib(stored.bytes)) return std::move(stored.bytes);
    std::optional<Bytes> data = Inflate(stored.bytes, store.Layout()->maxBlockData, &why, false);
    return data ? std::move(*data) : std::move(stored.bytes);
  }
  std::optional<Bytes> data = Inflate(stored.bytes, inflated, &why);
  if (!data && report) {
    ReportBlock(store, "BLOCK", entry, DamageKind::kInflate,
                "block " + Hex(entry.id) + " of " + std::to_string(stored.bytes.size()) +
                    " bytes does not inflate to its " + std::to_string(inflated) + ": " + why);
  }
  return data;
}

std::optional<Bytes> ReadBlockData(StoreFile& store, const BlockEntry& entry, bool decode) {
  return BlockContent(store, entry, ReadStoredBlock(store, entry),
                      decode ? std::optional<EncodingMethod>(store.encoding) : std::nullopt);
}

Bytes ReadBlockHead(StoreFile& store, const BlockEntry& entry, std::size_t count,
                    std::optional<EncodingMethod> method) {
  if (!Compresses(store)) {
    Bytes head = ReadBlockAt(store, entry.offset, std::min<std::size_t>(entry.size, count));
    if (method) DecodeBlock(head, *method, entry.id);
    return head;
  }
  std::optional<Bytes> data = BlockContent(store, entry, ReadStoredBlock(store, entry), method, false);
  if (!data) return {};
  data->resize(std::min(data->size(), count));
  return std::move(*data);
}

std::uint64_t BlockDataSize(StoreFile& store, const BlockEntry& entry) {
  const std::size_t available = AvailableAt(store, entry.offset, entry.size);
  if (!Compresses(store) || available < entry.size) return available;
  const Geometry& g = *store.Layout();
  const Bytes trailer =
      ReadBlockAt(store, entry.offset + g.BlockSize(entry.size) - g.blockTrailer, g.blockTrailer);
  const std::uint64_t bid = LoadLe64(trailer, g.blockTrailerBid).value_or(0);
  if (trailer.size() != g.blockTrailer || LoadLe16(trailer, 0) != entry.size ||
      (bid & ~1ull) != (entry.id & ~1ull)) {
    return available;
  }
  const std::size_t inflated = LoadLe16(trailer, g.blockTrailerInflated).value_or(0);
  return inflated == 0 ? available : inflated;
}

std::uint64_t ReadDataTree(StoreFile& store, std::uint64_t id, DataSink& sink,
                           std::uint64_t deliveredSoFar) {
  DataTreeReader reader(store, sink);
  std::optional<std::uint64_t> total = reader.Read(id, deliveredSoFar, 0);
  if (!total) {
    if (sink.out != nullptr) sink.out->clear();
    if (sink.blocks != nullptr) sink.blocks->clear();
    return 0;
  }
  return *total;
}

std::uint64_t ReadNodeData(StoreFile& store, const BlockEntry* entry, DataSink& sink) {
  if (entry == nullptr) return 0;
  if (entry->IsInternal()) return ReadDataTree(store, entry->id, sink, 0);
  if (sink.sizesOnly) {
    const BlockEntry* block = FindBlock(store, entry->id);
    return block != nullptr ? BlockDataSize(store, *block) : 0;
  }

  std::optional<Bytes> block = ReadDecodedBlock(store, entry->id);
  if (!block) return 0;
  const std::size_t n = block->size();
  if (sink.out != nullptr) {
    *sink.out = std::move(*block);
  } else if (sink.blocks != nullptr) {
    sink.blocks->push_back(std::move(*block));
  } else if (sink.stream != nullptr && sink.mode == 1) {
    sink.stream->Write(*block);
  } else if (sink.stream != nullptr) {
    // Text delivery: up to the first NUL byte.
    auto end = std::find(block->begin(), block->end(), std::byte{0});
    sink.stream->Write(ByteSpan(block->data(), static_cast<std::size_t>(end - block->begin())));
  }
  return n;
}

Bytes ReadNodeBytes(StoreFile& store, const BlockEntry* entry) {
  Bytes data;
  DataSink sink;
  sink.out = &data;
  ReadNodeData(store, entry, sink);
  return data;
}

std::uint64_t CheckNodeData(StoreFile& store, const BlockEntry* entry) {
  DataSink sink;
  sink.sizesOnly = true;
  return ReadNodeData(store, entry, sink);
}

std::vector<Bytes> ReadNodeBlocks(StoreFile& store, const BlockEntry* entry) {
  std::vector<Bytes> blocks;
  DataSink sink;
  sink.blocks = &blocks;
  ReadNodeData(store, entry, sink);
  return blocks;
}

bool ReadSubnodes(StoreFile& store, const BlockEntry* block, SubnodeList& list) {
  std::unordered_set<std::uint64_t> seen;
  const std::size_t before = list.size();
  if (!ReadSubnodesAt(store, block, list, 0, 0, seen)) {
    list.resize(before);
    return false;
  }
  return true;
}

const BlockEntry* FindSubnode(const SubnodeList& list, std::uint32_t nid) {
  const SubnodeEntry* entry = FindSubnodeEntry(list, nid);
  return entry != nullptr ? entry->data : nullptr;
}

const SubnodeEntry* FindSubnodeEntry(const SubnodeList& list, std::uint32_t nid) {
  const SubnodeEntry* best = nullptr;
  for (const SubnodeEntry& entry : list) {
    if (entry.nid == nid && (best == nullptr || entry.level < best->level)) {
      best = &entry;
      if (best->level == 0) break;
    }
  }
  return best;
}

}  // namespace palvara
