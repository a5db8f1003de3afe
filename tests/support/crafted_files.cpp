#include "tests/support/crafted_files.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>

#include "common/text.h"
#include "reader/node_tree.h"
#include "reader/recovered_blocks.h"
#include "tests/support/heap_builder.h"
#include "tests/support/store_builder.h"
#include "writer/trailers.h"

namespace palvara::testing {
namespace {

// Ids above any a test's prefix store hands out.
constexpr std::uint64_t kBlockIdBase = 0x01000000;
constexpr std::uint64_t kPageIdBase = 0x00800000;
constexpr std::uint32_t kNidIndexBase = 0x100000;
constexpr std::uint32_t kLostFolderIndexBase = 0x2000000;
constexpr std::uint32_t kMessageType = 0x04;
constexpr std::uint32_t kFolderType = 0x02;
constexpr std::uint8_t kPtypeNodeTree = 0x81;
constexpr std::uint32_t kClaimedTotal = 0xFFFFFFFF;  // lcbTotal of the looping data trees
constexpr std::uint32_t kRecipientTableNid = 0x692;
constexpr std::size_t kPiece = std::size_t{4} << 20;

std::uint64_t AlignUp(std::uint64_t value, std::uint64_t to) { return (value + to - 1) / to * to; }

Bytes Utf16(const std::string& ascii) { return Utf8ToUtf16Le(ascii); }

Bytes MessageContext(const std::string& subject) {
  return MakePropertyContext({{0x001A, 0x001F, Utf16("IPM.Note")},
                              {0x0037, 0x001F, Utf16(subject)},
                              {0x0E07, 0x0003, std::nullopt, 1}})[0];
}

std::uint32_t Nid(std::uint32_t index, std::uint32_t type) { return (index << 5) | type; }

// The prefix with its allocation maps calling everything from `tail` on in use, as the maps of
// a store that grew into the crafted part would.
Bytes MarkTailInUse(Bytes store, const Geometry& g, std::uint64_t tail) {
  constexpr std::uint8_t kPtypeAMap = 0x84;
  for (std::uint64_t map = g.firstAMap; map + g.pageSize <= store.size(); map += g.amapInterval) {
    const std::span<std::byte> page(store.data() + map, g.pageSize);
    if (std::to_integer<std::uint8_t>(page[g.pageData]) != kPtypeAMap) continue;
    for (std::size_t bit = 0; bit < g.AMapBits(); ++bit) {
      if (map + bit * g.amapUnit < tail) continue;
      page[g.mapBits + bit / 8] |= std::byte(0x80u >> (bit % 8));
    }
    FinishPageBytes(g, page, map, kPtypeAMap, map, false);
  }
  return store;
}

// Lays the file out front to back and hands it on in pieces.
class Emitter {
 public:
  Emitter(const CraftedSpec& spec, const std::function<void(ByteSpan)>& out)
      : g_(*spec.geometry), spec_(spec), out_(out) {
    const std::size_t headerEnd = std::max<std::size_t>(g_.headerSize, kSmallPageSize);
    if (spec.prefix.empty()) {
      Bytes header(headerEnd);
      const char magic[] = {'!', 'B', 'D', 'N'};
      for (std::size_t i = 0; i < 4; ++i) header[i] = static_cast<std::byte>(magic[i]);
      StoreLe(header, 8, 0x4D53, 2);
      StoreLe(header, 10, g_.wVer, 2);
      StoreLe(header, g_.bCryptMethod, static_cast<std::uint8_t>(EncodingMethod::kPermute), 1);
      Append(header);
    } else {
      const auto crypt = std::to_integer<std::uint8_t>(
          spec.prefix.size() > g_.bCryptMethod ? spec.prefix[g_.bCryptMethod] : std::byte{1});
      encoding_ = crypt <= 2 ? static_cast<EncodingMethod>(crypt) : EncodingMethod::kNone;
      Append(MarkTailInUse(spec.prefix, g_, AlignUp(spec.prefix.size(), g_.pageSize)));
    }
    if (spec.wipeHeader) {
      std::fill_n(buffer_.begin(), std::min<std::size_t>(kSmallPageSize, buffer_.size()),
                  std::byte{0});
    }
    PadTo(AlignUp(Offset(), g_.pageSize));
  }

  const Geometry& g() const { return g_; }
  std::uint64_t Offset() const { return start_ + buffer_.size(); }
  // Whether `bytes` more fit before the file's size, from the next page boundary.
  bool Fits(std::uint64_t bytes) const {
    return AlignUp(Offset(), g_.pageSize) + bytes <= spec_.size;
  }

  void Append(ByteSpan bytes) {
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    if (buffer_.size() >= kPiece) Flush();
  }

  void PadTo(std::uint64_t end) {
    while (Offset() < end) {
      const std::size_t n =
          static_cast<std::size_t>(std::min<std::uint64_t>(end - Offset(), kPiece));
      buffer_.resize(buffer_.size() + n);
      if (buffer_.size() >= kPiece) Flush();
    }
  }

  // A block holding `data` at the next block boundary; ids with bit 1 set are internal blocks,
  // stored as they are, the others encoded as the store's header says.
  void Block(std::uint64_t bid, ByteSpan data) {
    PadTo(AlignUp(Offset(), g_.blockAlign));
    Bytes block(g_.BlockSize(data.size()));
    std::copy(data.begin(), data.end(), block.begin());
    FinishBlockBytes(g_, block, Offset(), bid, data.size(), data.size(), (bid & 0x2) != 0,
                     encoding_);
    Append(block);
    ++summary.blocks;
  }

  // A node B-tree leaf page holding `entries` at the next page boundary.
  void NodeLeafPage(std::uint64_t bid, const std::vector<NodeEntry>& entries) {
    PadTo(AlignUp(Offset(), g_.pageSize));
    Bytes page(g_.pageSize);
    const std::size_t w = g_.idWidth;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const std::size_t at = i * g_.nodeLeafEntry;
      StoreLe(page, at, entries[i].nid, w);
      StoreLe(page, at + w, entries[i].bidData, w);
      StoreLe(page, at + 2 * w, entries[i].bidSub, w);
      StoreLe(page, at + 3 * w, entries[i].nidParent, 4);
    }
    StoreLe(page, g_.entryArea, entries.size(), g_.countWidth);
    StoreLe(page, g_.CEntMaxAt(), LeafCapacity(), g_.countWidth);
    StoreLe(page, g_.CbEntAt(), g_.nodeLeafEntry, 1);
    StoreLe(page, g_.CLevelAt(), 0, 1);
    FinishPageBytes(g_, page, Offset(), kPtypeNodeTree, bid, true);
    Append(page);
    ++summary.pages;
    summary.nodeEntries += entries.size();
  }

  std::size_t LeafCapacity() const { return g_.entryArea / g_.nodeLeafEntry; }
  std::uint64_t Size() const { return spec_.size; }

  void Finish() {
    PadTo(std::max<std::uint64_t>(Offset(), spec_.size));
    Flush();
  }

  CraftedSummary summary;

 private:
  void Flush() {
    if (!buffer_.empty()) out_(buffer_);
    start_ += buffer_.size();
    buffer_.clear();
  }

  const Geometry& g_;
  const CraftedSpec& spec_;
  const std::function<void(ByteSpan)>& out_;
  EncodingMethod encoding_ = EncodingMethod::kPermute;
  Bytes buffer_;
  std::uint64_t start_ = 0;
};

void Blocks(Emitter& e, bool sameId) {
  const Bytes data = MessageContext("crafted");
  for (std::uint64_t k = 0; e.Fits(e.g().BlockSize(data.size())); ++k) {
    e.Block(sameId ? kBlockIdBase : kBlockIdBase + 4 * k, data);
  }
}

// Full leaf pages of messages; `entry(index, page)` gives each.
template <typename Entry>
void LeafPages(Emitter& e, bool samePage, Entry entry) {
  const std::size_t n = e.LeafCapacity();
  std::vector<NodeEntry> entries(n);
  for (std::uint32_t p = 0; e.Fits(e.g().pageSize); ++p) {
    for (std::size_t i = 0; i < n; ++i) {
      const auto index = static_cast<std::uint32_t>(samePage ? i : p * n + i);
      entries[i] = entry(index, p);
    }
    e.NodeLeafPage(samePage ? kPageIdBase : kPageIdBase + p, entries);
  }
}

void Pages(Emitter& e, bool samePage, std::uint32_t folder) {
  LeafPages(e, samePage, [folder](std::uint32_t index, std::uint32_t page) {
    // Every other page names folders that are nowhere in the file.
    const std::uint32_t parent =
        page % 2 == 0 ? folder : Nid(kLostFolderIndexBase + page, kFolderType);
    return NodeEntry{Nid(kNidIndexBase + index, kMessageType), kBlockIdBase + 4 * index, 0, parent};
  });
}

void NodesOnOneBlock(Emitter& e, std::uint32_t folder) {
  e.Block(kBlockIdBase, MessageContext(kCraftedSharedSubject));
  LeafPages(e, false, [&e, folder](std::uint32_t index, std::uint32_t) {
    ++e.summary.soundMessages;
    return NodeEntry{Nid(kNidIndexBase + index, kMessageType), kBlockIdBase, 0, folder};
  });
}

// Folders, each with data of its own, on pages of three kinds by page number: a chain through
// every third page that closes on the first one; each folder its own parent; pairs of folders
// each the other's parent.
void ParentCycles(Emitter& e) {
  const Geometry& g = e.g();
  const Bytes folder = BuildPropertyContext(FolderProperties("crafted loop", "IPF.Note", 0, true));
  const std::size_t n = e.LeafCapacity();
  // Each group: its folders' blocks, then their page on the next page boundary.
  auto groupEnd = [&g, n, &folder](std::uint64_t at) {
    return AlignUp(at + n * g.BlockSize(folder.size()), g.pageSize) + g.pageSize;
  };
  std::uint64_t groups = 0;
  for (std::uint64_t at = AlignUp(e.Offset(), g.pageSize); groupEnd(at) <= e.Size();
       at = groupEnd(at)) {
    ++groups;
  }
  const std::uint64_t lastChain = groups == 0 ? 0 : (groups - 1) / 3 * 3;
  std::vector<NodeEntry> entries(n);
  for (std::uint32_t page = 0; page < groups; ++page) {
    for (std::uint32_t i = 0; i < n; ++i) {
      const std::uint32_t index = page * static_cast<std::uint32_t>(n) + i;
      std::uint32_t parent = index;
      if (page % 3 == 0) {
        // The last folder of a chain page names the first of the next chain page.
        parent = i + 1 < n ? index + 1
                           : (page == lastChain ? 0 : (page + 3) * static_cast<std::uint32_t>(n));
      } else if (page % 3 == 2) {
        parent = i % 2 == 0 ? (i + 1 < n ? index + 1 : index) : index - 1;
      }
      e.Block(kBlockIdBase + 4 * std::uint64_t{index}, folder);
      entries[i] = NodeEntry{Nid(kNidIndexBase + index, kFolderType),
                             kBlockIdBase + 4 * std::uint64_t{index}, 0,
                             Nid(kNidIndexBase + parent, kFolderType)};
    }
    e.NodeLeafPage(kPageIdBase + page, entries);
  }
}

// Groups of blocks that loop, each with a leaf page of the messages that use them.
void DataTreeCycles(Emitter& e, std::uint32_t folder) {
  const Geometry& g = e.g();
  const StoreBuilder shapes(g.IsAnsi() ? Layout::kAnsi : Layout::kUnicode);
  const Bytes message = MessageContext(kCraftedValidSubject);
  const std::size_t fanout = std::min<std::size_t>(g.XBlockFanout(), 1021);
  const std::uint64_t groupBytes = g.BlockSize(message.size()) + 6 * g.BlockSize(64) +
                                   2 * g.BlockSize(8 + fanout * g.idWidth) + 2 * g.pageSize;
  for (std::uint32_t group = 0; e.Fits(groupBytes); ++group) {
    const std::uint64_t base = kBlockIdBase + 64 * std::uint64_t{group};
    const std::uint64_t d = base, x = base + 4 + 2, y = base + 8 + 2, z = base + 12 + 2,
                        xx = base + 16 + 2, fan = base + 20 + 2, s = base + 24 + 2,
                        si = base + 28 + 2, wide = base + 32 + 2;
    e.Block(d, message);
    e.Block(x, shapes.MakeXBlock(1, {x, d}, kClaimedTotal));
    e.Block(y, shapes.MakeXBlock(1, {z, d}, kClaimedTotal));
    e.Block(z, shapes.MakeXBlock(1, {y, d}, kClaimedTotal));
    e.Block(xx, shapes.MakeXBlock(2, {xx, x, y}, kClaimedTotal));
    e.Block(fan, shapes.MakeXBlock(2, std::vector<std::uint64_t>(fanout, fan), kClaimedTotal));
    e.Block(wide, shapes.MakeXBlock(1, std::vector<std::uint64_t>(fanout, d), kClaimedTotal));
    e.Block(s, shapes.MakeSubnodeLeaf({{kRecipientTableNid, x, s}}));
    e.Block(si, shapes.MakeSubnodeIntermediate({{kRecipientTableNid, si}}));
    const std::uint32_t nid = kNidIndexBase + group * 8;
    std::vector<NodeEntry> entries = {
        {Nid(nid, kMessageType), d, 0, folder},       {Nid(nid + 1, kMessageType), x, s, folder},
        {Nid(nid + 2, kMessageType), y, si, folder},  {Nid(nid + 3, kMessageType), xx, 0, folder},
        {Nid(nid + 4, kMessageType), fan, 0, folder}, {Nid(nid + 5, kMessageType), d, s, folder},
        {Nid(nid + 6, kMessageType), wide, 0, folder}};
    e.NodeLeafPage(kPageIdBase + group, entries);
    ++e.summary.soundMessages;
  }
}

}  // namespace

std::vector<CraftedShape> AllCraftedShapes() {
  return {CraftedShape::kBlocksDistinct,  CraftedShape::kBlocksSameId,
          CraftedShape::kPagesDistinct,   CraftedShape::kPagesSameId,
          CraftedShape::kNodesOnOneBlock, CraftedShape::kParentCycles,
          CraftedShape::kDataTreeCycles};
}

const char* CraftedShapeName(CraftedShape shape) {
  switch (shape) {
    case CraftedShape::kBlocksDistinct:
      return "blocks-distinct";
    case CraftedShape::kBlocksSameId:
      return "blocks-same-id";
    case CraftedShape::kPagesDistinct:
      return "pages-distinct";
    case CraftedShape::kPagesSameId:
      return "pages-same-id";
    case CraftedShape::kNodesOnOneBlock:
      return "nodes-one-block";
    case CraftedShape::kParentCycles:
      return "parent-cycles";
    case CraftedShape::kDataTreeCycles:
      return "data-tree-cycles";
  }
  return "";
}

CraftedSummary WriteCrafted(const CraftedSpec& spec, const std::function<void(ByteSpan)>& out) {
  Emitter e(spec, out);
  switch (spec.shape) {
    case CraftedShape::kBlocksDistinct:
      Blocks(e, false);
      break;
    case CraftedShape::kBlocksSameId:
      Blocks(e, true);
      break;
    case CraftedShape::kPagesDistinct:
      Pages(e, false, spec.folder);
      break;
    case CraftedShape::kPagesSameId:
      Pages(e, true, spec.folder);
      break;
    case CraftedShape::kNodesOnOneBlock:
      NodesOnOneBlock(e, spec.folder);
      break;
    case CraftedShape::kParentCycles:
      ParentCycles(e);
      break;
    case CraftedShape::kDataTreeCycles:
      DataTreeCycles(e, spec.folder);
      break;
  }
  e.Finish();
  return e.summary;
}

Bytes CraftedBytes(const CraftedSpec& spec, CraftedSummary* summary) {
  Bytes file;
  file.reserve(static_cast<std::size_t>(spec.size));
  const CraftedSummary made = WriteCrafted(
      spec, [&file](ByteSpan piece) { file.insert(file.end(), piece.begin(), piece.end()); });
  if (summary != nullptr) *summary = made;
  return file;
}

Status WriteCraftedFile(const std::filesystem::path& path, const CraftedSpec& spec,
                        CraftedSummary* summary) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return Status::Error("Cannot create \"" + path.string() + "\"");
  bool ok = true;
  const CraftedSummary made = WriteCrafted(spec, [file, &ok](ByteSpan piece) {
    ok = ok && std::fwrite(piece.data(), 1, piece.size(), file) == piece.size();
  });
  ok = std::fclose(file) == 0 && ok;
  if (summary != nullptr) *summary = made;
  return ok ? Status::Ok() : Status::Error("Cannot write \"" + path.string() + "\"");
}

}  // namespace palvara::testing
