// The node tree: node B-tree leaf entries linked by their parent ids, so that a folder's
// subfolders and messages are its children. Entries whose parent has not been met yet wait in
// a pending list for the whole walk and are attached as soon as the parent is placed.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
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

struct StoreNode {
  std::uint32_t nid = 0;
  std::int32_t childCount = 0;  // children ever attached; not lowered when one moves away
  const BlockEntry* subnodeBlock = nullptr;  // index entry of bidSub, or null
  const BlockEntry* dataBlock = nullptr;     // index entry of bidData, or null
  StoreNode* previousSibling = nullptr;
  StoreNode* nextSibling = nullptr;
  StoreNode* parent = nullptr;
  StoreNode* firstChild = nullptr;
  StoreNode* lastChild = nullptr;

  // The raw values of the leaf entry that last placed this node.
  std::uint64_t bidData = 0;
  std::uint64_t bidSub = 0;
  std::uint32_t nidParent = 0;
  // True while the node hangs below a top-level node (or is one); pending nodes and their
  // subtrees are not reachable.
  bool reachable = false;

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
  NodeTree(const NodeTree&) = delete;
  NodeTree& operator=(const NodeTree&) = delete;

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
  std::size_t CreatedCount() const { return nodes_.size(); }
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
  struct Pending {
    StoreNode* node;
    std::uint32_t waitingFor;
    bool live;
  };

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
    return [this](std::uint32_t at) { return std::uint64_t{nodes_[at].nid}; };
  }

  std::deque<StoreNode> nodes_;
  // nid -> position of the first node created for it; the rare later ones (a node met again
  // while the first still waits for its parent) in laterByNid_.
  FirstPositionTable firstByNid_;
  std::unordered_map<std::uint32_t, std::vector<StoreNode*>> laterByNid_;
  StoreNode* first_ = nullptr;
  StoreNode* last_ = nullptr;

  std::vector<Pending> pending_;
  std::unordered_map<std::uint32_t, std::vector<std::size_t>> pendingByParent_;
  std::unordered_map<std::uint32_t, std::vector<std::size_t>> pendingByNid_;
};

}  // namespace palvara
