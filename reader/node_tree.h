// The node tree: node B-tree leaf entries linked by their parent ids, so that a folder's
// subfolders and messages are its children. Entries whose parent has not been met yet wait in
// a pending list for the whole walk and are attached as soon as the parent is placed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <new>
#include <unordered_map>
#include <vector>

#include "common/damage.h"
#include "reader/block_index.h"
#include "reader/first_position.h"

namespace palvara {

// One node B-tree leaf entry as read from a page.
struct NodeEntry {
  std::uint32_t nid = 0;
  std::uint64_t bidData = 0;
  std::uint64_t bidSub = 0;
  std::uint32_t nidParent = 0;
};

class NodeTree;
struct StoreNode;

// A link from one node to another of the same tree: the other's position in the tree, 32 bits
// where a pointer takes 64. It reads like a pointer (`->`, comparison with nullptr, conversion
// to `StoreNode*`). A link lives only inside a node, which is how it finds its tree: links are
// neither copied nor constructed anywhere else.
class NodeLink {
 public:
  NodeLink() = default;
  NodeLink(const NodeLink&) = delete;
  NodeLink& operator=(const NodeLink& other) {
    position_ = other.position_;
    return *this;
  }
  NodeLink& operator=(const StoreNode* node);

  StoreNode* Get() const;
  operator StoreNode*() const { return Get(); }
  StoreNode* operator->() const { return Get(); }
  bool operator==(std::nullptr_t) const { return position_ == kNone; }

 private:
  static constexpr std::uint32_t kNone = FirstPositionIndex::kNone;
  std::uint32_t position_ = kNone;
};

// A node's link to an entry of the block index the tree was built with: the entry's position,
// 32 bits where a pointer takes 64. Reads like a `const BlockEntry*`; lives only inside a node.
class BlockLink {
 public:
  BlockLink() = default;
  BlockLink(const BlockLink&) = delete;
  BlockLink& operator=(const BlockLink&) = delete;

  const BlockEntry* Get() const;
  operator const BlockEntry*() const { return Get(); }
  const BlockEntry* operator->() const { return Get(); }
  bool operator==(std::nullptr_t) const { return position_ == kNone; }
  // The entry's position in the index (FirstPositionIndex::kNone for none).
  std::uint32_t Position() const { return position_; }

 private:
  friend class NodeTree;
  static constexpr std::uint32_t kNone = FirstPositionIndex::kNone;
  std::uint32_t position_ = kNone;
};

// One node of the tree, 40 bytes. Nodes live in the tree and are never copied.
struct StoreNode {
  StoreNode() = default;
  StoreNode(const StoreNode&) = delete;
  StoreNode& operator=(const StoreNode&) = delete;

  std::uint32_t nid = 0;
  // The raw parent value of the leaf entry that last placed this node.
  std::uint32_t nidParent = 0;
  std::int32_t childCount : 30 = 0;  // children ever attached; not lowered when one moves away
  // True while the node hangs below a top-level node (or is one); pending nodes and their
  // subtrees are not reachable.
  bool reachable : 1 = false;

 private:
  friend class NodeTree;
  bool rawBidsAside_ : 1 = false;  // the raw bids differ from the ids of the blocks found

 public:
  NodeLink previousSibling;
  NodeLink nextSibling;
  NodeLink parent;
  NodeLink firstChild;
  NodeLink lastChild;
  BlockLink subnodeBlock;  // index entry of bidSub, or null
  BlockLink dataBlock;     // index entry of bidData, or null

  // The raw bids of the leaf entry that last placed this node (those of the blocks found, but
  // for bids with no block in the index or with bit 0 set).
  std::uint64_t BidData() const;
  std::uint64_t BidSub() const;

  std::uint32_t NidType() const { return nid & 0x1F; }
};

// Nodes most recently found as parents, newest first, at most 100; one per leaf page.
class ParentCache {
 public:
  static constexpr std::size_t kCapacity = 100;
  StoreNode* Find(std::uint32_t nid) const;
  void Add(StoreNode* node);

 private:
  std::deque<StoreNode*> nodes_;
};

class NodeTree {
 public:
  NodeTree() = default;
  ~NodeTree();
  NodeTree(const NodeTree&) = delete;
  NodeTree& operator=(const NodeTree&) = delete;

  // The tree links its nodes to entries of `blocks`: every call that takes a block index must
  // be given the same one, which must outlive the tree's use.

  // Places one leaf entry: updates a node met before (moving it when its parent changed) or
  // creates it, under its parent, at the top level, or pending; then attaches every pending
  // node that waits for it.
  void Place(const NodeEntry& entry, const BlockIndex& blocks, ParentCache& cache,
             DamageLog& damage);

  // The first node with `nid` in pre-order, among the nodes reachable from the top level.
  const StoreNode* Find(std::uint32_t nid) const;

  const StoreNode* First() const { return first_; }
  const StoreNode* Last() const { return last_; }

  // Nodes reachable from the top level.
  std::size_t ReachableCount() const;
  // Every node ever created (reachable, pending and the subtrees of pending nodes).
  std::size_t CreatedCount() const { return size_; }
  // Nodes still waiting for a parent that never appeared (kept for later recovery).
  std::vector<const StoreNode*> Orphans() const;

  // Looks the blocks of every node whose data or subnode block was not in `blocks` when the
  // node was placed up again; returns the ids of the nodes that found one.
  std::vector<std::uint32_t> RelinkBlocks(const BlockIndex& blocks);

  // Moves an orphan (one of Orphans()) with its subtree under the reachable node `parentNid`.
  // False when either is not what it should be.
  bool Adopt(const StoreNode* orphan, std::uint32_t parentNid);

  // Gives the reachable node `nid` a data block (a folder whose own data is rebuilt).
  bool SetDataBlock(std::uint32_t nid, const BlockEntry* block);

  // Forgets every node (a walk that read pages wrongly is redone from other sources).
  void Clear();

  // Moves the top-level node `nid` to the front of the top level (the message store first).
  bool MoveToFront(std::uint32_t nid);

  // Visits reachable nodes in pre-order with their depth (0 for top-level nodes).
  void ForEachPreorder(const std::function<void(const StoreNode&, int depth)>& visit) const;

 private:
  friend class NodeLink;
  friend class BlockLink;
  friend struct StoreNode;

  // A node waiting for its parent. The pending entries of one parent id, and those of one node
  // id, are each chained newest first through the tables below.
  struct Pending {
    StoreNode* node;
    std::uint32_t waitingFor;
    std::uint32_t previousForParent;  // the next older entry waiting for the same parent
    std::uint32_t previousForNid;     // the next older entry of a node with the same id
    bool live;
  };
  struct RawBids {
    std::uint64_t data;
    std::uint64_t sub;
  };

  // Nodes live in chunks aligned to their size that never move, so pointers handed out stay
  // valid; each chunk starts with a header naming its tree, which is how a link or a node finds
  // the tree it belongs to.
  static constexpr std::size_t kChunkBytes = std::size_t{1} << 18;
  struct ChunkHeader {
    const NodeTree* tree;
    std::uint32_t firstPosition;
  };
  static constexpr std::size_t kNodesAt =
      (sizeof(ChunkHeader) + alignof(StoreNode) - 1) / alignof(StoreNode) * alignof(StoreNode);
  static constexpr std::size_t kChunkNodes = (kChunkBytes - kNodesAt) / sizeof(StoreNode);
  struct ChunkRelease {
    void operator()(std::byte* chunk) const;
  };

  static const ChunkHeader& HeaderOf(const void* insideNode) {
    const auto address = reinterpret_cast<std::uintptr_t>(insideNode) & ~(kChunkBytes - 1);
    return *reinterpret_cast<const ChunkHeader*>(address);
  }
  static std::uint32_t PositionOf(const StoreNode* node) {
    const ChunkHeader& header = HeaderOf(node);
    const auto* nodes =
        reinterpret_cast<const StoreNode*>(reinterpret_cast<const std::byte*>(&header) + kNodesAt);
    return header.firstPosition + static_cast<std::uint32_t>(node - nodes);
  }
  StoreNode& NodeAt(std::uint32_t position) const {
    std::byte* chunk = chunks_[position / kChunkNodes].get();
    return reinterpret_cast<StoreNode*>(chunk + kNodesAt)[position % kChunkNodes];
  }
  StoreNode* NewNode();
  // Looks up and records the blocks of a leaf entry's bids.
  static void SetBlock(BlockLink& link, const BlockIndex& blocks, std::uint64_t bid);
  void SetBlocks(StoreNode* node, std::uint64_t bidData, std::uint64_t bidSub,
                 const BlockIndex& blocks);
  void KeepRawBids(StoreNode* node, std::uint64_t bidData, std::uint64_t bidSub);
  RawBids RawBidsOf(const StoreNode& node) const;

  StoreNode* FindMutable(std::uint32_t nid) const;
  StoreNode* SearchParent(std::uint32_t nidParent, ParentCache& cache);
  void AppendTopLevel(StoreNode* node);
  void AppendChild(StoreNode* parent, StoreNode* child);
  void Unlink(StoreNode* node);
  void AddPending(StoreNode* node, std::uint32_t waitingFor);
  void ResolvePending(StoreNode* placed, DamageLog& damage);
  void SetReachable(StoreNode* subtreeRoot, bool reachable);
  static bool IsSelfOrAncestor(const StoreNode* candidate, const StoreNode* node);
  bool PrecedesInPreorder(const StoreNode* a, const StoreNode* b) const;

  // Calls `visit` with every node ever created for `nid`, oldest first.
  template <typename Visit>
  void ForEachWithNid(std::uint32_t nid, const Visit& visit) const;
  auto NidAt() const {
    return [this](std::uint32_t at) { return std::uint64_t{NodeAt(at).nid}; };
  }

  std::vector<std::unique_ptr<std::byte[], ChunkRelease>> chunks_;
  std::uint32_t size_ = 0;
  const BlockIndex* blocks_ = nullptr;  // the index the nodes' block links point into
  // nid -> position of the first node created for it; the rare later ones (a node met again
  // while the first still waits for its parent) in laterByNid_.
  FirstPositionIndex firstByNid_;
  std::unordered_map<std::uint32_t, std::vector<StoreNode*>> laterByNid_;
  // Position -> raw bids, for the nodes whose raw bids are not those of their blocks.
  std::unordered_map<std::uint32_t, RawBids> rawBids_;
  StoreNode* first_ = nullptr;
  StoreNode* last_ = nullptr;

  std::deque<Pending> pending_;        // a deque: a damaged store may leave millions waiting
  LastPositionTable pendingByParent_;  // parent id -> its newest pending entry
  LastPositionTable pendingByNid_;     // node id -> its newest pending entry
};

inline StoreNode* NodeLink::Get() const {
  return position_ == kNone ? nullptr : &NodeTree::HeaderOf(this).tree->NodeAt(position_);
}

inline const BlockEntry* BlockLink::Get() const {
  return position_ == kNone ? nullptr : &NodeTree::HeaderOf(this).tree->blocks_->At(position_);
}

inline NodeLink& NodeLink::operator=(const StoreNode* node) {
  position_ = node == nullptr ? kNone : NodeTree::PositionOf(node);
  return *this;
}

// The number of nodes below `node`.
std::size_t SubtreeSize(const StoreNode& node);

}  // namespace palvara
