// Builds synthetic store files field by field for tests: a header, blocks, and B-tree pages
// in the ANSI or Unicode layout. Pages can be written with sane metadata or with stale slots
// after their entry count, and every byte of the image stays editable for damage tests.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/byte_view.h"
#include "reader/encoding.h"

namespace palvara::testing {

enum class Layout { kAnsi, kUnicode };

struct BtEntry {
  std::uint64_t key = 0;
  std::uint64_t bid = 0;
  std::uint64_t offset = 0;
};

struct BbtEntry {
  std::uint64_t bid = 0;
  std::uint64_t offset = 0;
  std::uint16_t cb = 0;
  std::int16_t cRef = 2;
};

struct NbtEntry {
  std::uint64_t nid = 0;
  std::uint64_t bidData = 0;
  std::uint64_t bidSub = 0;
  std::uint32_t nidParent = 0;
};

// How a page's metadata (cEnt, cEntMax, cbEnt, cLevel) is written.
struct PageOptions {
  // Entries counted in cEnt; the rest of the given entries are written after it as stale
  // slots. Default: all of them.
  std::optional<std::size_t> liveCount;
  // False: leave the metadata bytes zero (insane), so that readers fall back to key rules.
  bool writeMetadata = true;
};

class StoreBuilder {
 public:
  explicit StoreBuilder(Layout layout, EncodingMethod crypt = EncodingMethod::kPermute);

  Layout layout() const { return layout_; }
  std::size_t idWidth() const { return layout_ == Layout::kAnsi ? 4 : 8; }
  std::size_t blockLeafCapacity() const { return layout_ == Layout::kAnsi ? 41 : 20; }
  std::size_t nodeLeafCapacity() const { return layout_ == Layout::kAnsi ? 31 : 15; }
  std::size_t intermediateCapacity() const { return layout_ == Layout::kAnsi ? 41 : 20; }

  // Header with root offsets (ids are recorded too, not used by readers).
  void SetRoots(std::uint64_t nodeRootOffset, std::uint64_t blockRootOffset);
  void SetCryptByte(std::uint8_t value);
  void SetVersion(std::uint16_t wVer);

  // Pages. `offset` must be 512-aligned in real files; here any offset works.
  void WriteIntermediatePage(std::uint64_t offset, const std::vector<BtEntry>& entries,
                             int level, bool nodeTree, const PageOptions& options = {});
  void WriteBlockLeafPage(std::uint64_t offset, const std::vector<BbtEntry>& entries,
                          const PageOptions& options = {});
  void WriteNodeLeafPage(std::uint64_t offset, const std::vector<NbtEntry>& entries,
                         const PageOptions& options = {});

  // Appends a block (64-byte aligned, trailer space included) and returns its BBT entry.
  // External data blocks (bit 1 clear) are encoded with the builder's method.
  BbtEntry AddBlock(std::uint64_t bid, ByteSpan data);
  // Reserves a 512-byte aligned page at the end of the image and returns its offset.
  std::uint64_t AllocatePage();

  // Data tree and subnode blocks in this layout.
  Bytes MakeXBlock(int level, const std::vector<std::uint64_t>& children,
                   std::uint32_t total) const;
  struct SubnodeLeafEntry {
    std::uint64_t nid, bidData, bidSub;
  };
  Bytes MakeSubnodeLeaf(const std::vector<SubnodeLeafEntry>& entries) const;
  Bytes MakeSubnodeIntermediate(const std::vector<std::pair<std::uint64_t, std::uint64_t>>&
                                    nidAndBid) const;

  void WriteBytes(std::uint64_t offset, ByteSpan bytes);
  void WriteValue(std::uint64_t offset, std::uint64_t value, std::size_t width);
  Bytes& image() { return image_; }

 private:
  void WritePageMetadata(std::uint64_t offset, std::size_t live, std::size_t capacity,
                         std::size_t entrySize, int level, std::uint8_t ptype,
                         const PageOptions& options);
  void Grow(std::uint64_t end);

  Layout layout_;
  EncodingMethod crypt_;
  Bytes image_;
};

// The minimal property-context heap (an empty BTH) that node 0x21 must hold for the
// encoding check, unencoded.
Bytes EmptyPropertyContextHeap();

// A whole store from a list of blocks and nodes: blocks first, then both B-trees built
// bottom-up with at most `perPage` entries a page (0: the page capacity).
struct SimpleStore {
  Layout layout = Layout::kUnicode;
  EncodingMethod crypt = EncodingMethod::kPermute;
  std::vector<std::pair<std::uint64_t, Bytes>> blocks;  // bid, data (unencoded)
  std::vector<NbtEntry> nodes;                          // in ascending nid order
  std::size_t perPage = 0;
  bool writeMetadata = true;  // false: every page's cEnt/cEntMax/cbEnt/cLevel left zero
};

struct BuiltStore {
  Bytes image;
  std::uint64_t blockRoot = 0;
  std::uint64_t nodeRoot = 0;
  std::vector<std::uint64_t> blockLeafPages;
  std::vector<std::uint64_t> nodeLeafPages;
  std::vector<std::uint64_t> blockIntermediatePages;  // bottom level first, root last
  std::vector<std::uint64_t> nodeIntermediatePages;
  int blockLevels = 0;  // 1: the root is a leaf
  int nodeLevels = 0;
};

BuiltStore BuildSimpleStore(const SimpleStore& spec);

// Node ids of the usual store skeleton, for tests that need a plausible tree.
inline constexpr std::uint32_t kNidMessageStore = 0x21;
inline constexpr std::uint32_t kNidNameToIdMap = 0x61;
inline constexpr std::uint32_t kNidRootFolder = 0x122;

}  // namespace palvara::testing

#include <memory>

#include "reader/store_file.h"

namespace palvara::testing {

// Opens an image from memory (not indexed).
std::unique_ptr<StoreFile> OpenImage(Bytes image);
// Opens and indexes an image from memory.
std::unique_ptr<StoreFile> OpenAndIndex(Bytes image);

// The nid of every reachable node with the nid of its parent (0 at the top level).
std::vector<std::pair<std::uint32_t, std::uint32_t>> NodesWithParents(const StoreFile& store);

}  // namespace palvara::testing
