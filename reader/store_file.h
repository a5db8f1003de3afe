// The open store file: header values, layout, encoding, and the indexes built from its two
// B-trees. Header layout per [MS-PST] 2.2.2.6 (HEADER) and 2.2.2.5 (ROOT).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/damage.h"
#include "common/status.h"
#include "reader/block_index.h"
#include "reader/byte_source.h"
#include "reader/encoding.h"
#include "reader/geometry.h"
#include "reader/named_properties.h"
#include "reader/node_id_set.h"
#include "reader/node_tree.h"

namespace palvara {

enum class StoreFormat { kNone, kAnsi, kUnicode, kUnicode4k };

const char* StoreFormatName(StoreFormat format);

// Where the fields of one layout sit and how wide they are.
using PageLayout = Geometry;

inline constexpr std::size_t kHeaderReadSize = 516;

// A run of bytes of the file.
struct FileExtent {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  bool operator==(const FileExtent&) const = default;
};

// What the recovery pass found and did.
struct RecoverySummary {
  static constexpr std::size_t kMaxExtentsKept = 100000;

  bool ran = false;
  bool layoutFromScan = false;      // the header's format version was unusable
  bool blockRootFromScan = false;
  bool nodeRootFromScan = false;
  std::uint64_t bytesScanned = 0;
  std::uint64_t pagesFound = 0;
  std::uint64_t blocksFound = 0;
  std::uint64_t blocksAdded = 0;     // blocks the block index did not have
  std::uint64_t nodesAdded = 0;      // node entries from pages the walk did not reach
  std::uint64_t foldersRebuilt = 0;  // folders given made-up data
  std::uint64_t itemsFiled = 0;      // items put into the "Recovered Items" folder
  std::uint64_t messagesMatched = 0;  // lost node entries given back by a contents-table row
  // Where the blocks and node B-tree pages the pass brought back lie (the scan's blocks the
  // index did not have, leaf pages the walk did not reach), in the order they were taken, an
  // extent that starts where the one before it ends joined to it: at most kMaxExtentsKept, the
  // rest only counted.
  std::vector<FileExtent> recoveredExtents;
  std::uint64_t extentsDropped = 0;

  void AddRecoveredExtent(std::uint64_t offset, std::uint64_t size);
};

// Sharing one store between threads: a store is built by one thread (OpenStore, IndexStore or
// IndexStoreWithRecovery, LoadNamedPropertyMap). Once that is done and the store is handed to
// other threads (through a std::shared_ptr, say), nothing but reading follows: every reader of
// nodes, blocks, heaps, property lists and items may then run on several threads at once. Those
// reads change only two things of the store, both safe to share: the file source (its cache
// takes a lock) and `damage` (the log takes its own lock). No field is assigned after indexing.
class StoreFile {
 public:
  StoreFile() = default;
  StoreFile(const StoreFile&) = delete;
  StoreFile& operator=(const StoreFile&) = delete;

  // Layout: ANSI for wVer 14 or 15, Unicode for 23, Unicode with 4 KiB pages for 36, none
  // otherwise.
  StoreFormat Format() const;
  bool IsAnsi() const { return Format() == StoreFormat::kAnsi; }
  // Null for an unknown layout (nothing can then be walked).
  const PageLayout* Layout() const;

  std::unique_ptr<ByteSource> file;
  std::string path;
  std::uint64_t fileSize = 0;

  // Header values.
  std::uint32_t wVer = 0;
  std::uint32_t ansiVersion = 14;  // the ANSI wVer last seen (14 or 15)
  std::uint64_t blockTreeRootOffset = 0;
  std::uint64_t blockTreeRootId = 0;
  std::uint64_t nodeTreeRootOffset = 0;
  std::uint64_t nodeTreeRootId = 0;
  std::uint64_t endOfFile = 0;          // ibFileEof
  std::uint8_t headerCryptMethod = 0;   // bCryptMethod as stored

  // How block data is decoded; settled by IndexStore once node 0x21 can be tried.
  EncodingMethod encoding = EncodingMethod::kPermute;
  bool encodingFromHeader = false;

  // B-tree walk state.
  std::uint8_t blockLeafDepth = 255;  // 255: not known yet
  std::uint8_t nodeLeafDepth = 255;
  bool blockLeafSeen = false;
  bool nodeLeafSeen = false;

  BlockIndex blocks;
  NodeTree nodes;
  NamedPropertyMap namedProperties;  // filled by LoadNamedPropertyMap
  DamageLog damage;

  // Entries found in page slots after a page's own entry count: not live, but raw material
  // for a later recovery of deleted items.
  std::vector<BlockEntry> staleBlockEntries;
  std::vector<NodeEntry> staleNodeEntries;
  std::uint64_t blockPagesRead = 0;
  std::uint64_t nodePagesRead = 0;

  // The node B-tree pages the walk read as leaves, with the key range [first, last] each speaks
  // for: the tree's own word on every node id inside it.
  struct WalkedLeaf {
    std::uint64_t offset = 0;
    std::uint64_t first = 0;
    std::uint64_t last = 0;
  };
  std::vector<WalkedLeaf> walkedNodeLeaves;

  RecoverySummary recovery;
  // Nodes the recovery pass added, moved, or gave blocks the block B-tree no longer had.
  NodeIdSet recoveredNodes;

  // Pages already walked in the current pass, against cycles and shared subtrees.
  std::unordered_set<std::uint64_t> visitedBlockPages;
  std::unordered_set<std::uint64_t> visitedNodePages;
};

// Opens `path` and reads the header into `store`. No magic or CRC is required; a file shorter
// than the header reads as if the missing bytes were zero. Fails only when the file cannot be
// opened for reading (missing, no access, a directory): the status then carries the message.
Status OpenStore(StoreFile& store, const std::filesystem::path& path);

// The same over an already opened source (memory buffers for fuzzing and tests).
Status OpenStore(StoreFile& store, std::unique_ptr<ByteSource> source, std::string name = {});

}  // namespace palvara
