#include "reader/node_tree.h"

#include <algorithm>
#include <type_traits>

namespace palvara {

StoreNode* ParentCache::Find(std::uint32_t nid) const {
  for (StoreNode* node : nodes_) {
    if (node->nid == nid) return node;
  }
  return nullptr;
}

void ParentCache::Add(StoreNode* node) {
  nodes_.push_front(node);
  if (nodes_.size() > kCapacity) nodes_.pop_back();
}

std::uint64_t StoreNode::BidData() const {
  if (rawBidsAside_) return NodeTree::HeaderOf(this).tree->RawBidsOf(*this).data;
  return IdOf(dataBlock);
}

std::uint64_t StoreNode::BidSub() const {
  if (rawBidsAside_) return NodeTree::HeaderOf(this).tree->RawBidsOf(*this).sub;
  return IdOf(subnodeBlock);
}

static_assert(sizeof(StoreNode) == 40);

void NodeTree::ChunkRelease::operator()(std::byte* chunk) const {
  ::operator delete (chunk, std::align_val_t{kChunkBytes});
}

NodeTree::~NodeTree() { Clear(); }

StoreNode* NodeTree::NewNode() {
  const std::uint32_t position = size_;
  if (position % kChunkNodes == 0) {
    auto* chunk =
        static_cast<std::byte*>(::operator new (kChunkBytes, std::align_val_t{kChunkBytes}));
    chunks_.emplace_back(chunk);
    new (chunk) ChunkHeader{this, position};
  }
  ++size_;
  return new (&NodeAt(position)) StoreNode();
}

void NodeTree::SetBlock(BlockLink& link, const BlockIndex& blocks, std::uint64_t bid) {
  link.position_ = blocks.FindPosition(bid);
}

void NodeTree::SetBlocks(StoreNode* node, std::uint64_t bidData, std::uint64_t bidSub,
                         const BlockIndex& blocks) {
  blocks_ = &blocks;
  SetBlock(node->dataBlock, blocks, bidData);
  SetBlock(node->subnodeBlock, blocks, bidSub);
  KeepRawBids(node, bidData, bidSub);
}

void NodeTree::KeepRawBids(StoreNode* node, std::uint64_t bidData, std::uint64_t bidSub) {
  const std::uint32_t position = PositionOf(node);
  const bool aside = bidData != IdOf(node->dataBlock) || bidSub != IdOf(node->subnodeBlock);
  if (aside) {
    rawBids_[position] = RawBids{bidData, bidSub};
  } else if (node->rawBidsAside_) {
    rawBids_.erase(position);
  }
  node->rawBidsAside_ = aside;
}

NodeTree::RawBids NodeTree::RawBidsOf(const StoreNode& node) const {
  return rawBids_.at(PositionOf(&node));
}

const StoreNode* NodeTree::Find(std::uint32_t nid) const { return FindMutable(nid); }

template <typename Visit>
void NodeTree::ForEachWithNid(std::uint32_t nid, const Visit& visit) const {
  const std::uint32_t first = firstByNid_.Find(nid, NidAt());
  // The tree hands out its nodes for change; only the lookup itself is const.
  if (first != FirstPositionIndex::kNone) visit(&NodeAt(first));
  auto later = laterByNid_.find(nid);
  if (later == laterByNid_.end()) return;
  for (StoreNode* node : later->second) visit(node);
}

StoreNode* NodeTree::FindMutable(std::uint32_t nid) const {
  StoreNode* best = nullptr;
  ForEachWithNid(nid, [this, &best](StoreNode* node) {
    if (!node->reachable) return;
    if (best == nullptr || PrecedesInPreorder(node, best)) best = node;
  });
  return best;
}

bool NodeTree::PrecedesInPreorder(const StoreNode* a, const StoreNode* b) const {
  if (a == b) return false;
  // Paths from the top level down to each node.
  auto pathOf = [](const StoreNode* n) {
    std::vector<const StoreNode*> path;
    for (; n != nullptr; n = n->parent) path.push_back(n);
    std::reverse(path.begin(), path.end());
    return path;
  };
  const auto pa = pathOf(a);
  const auto pb = pathOf(b);
  std::size_t i = 0;
  while (i < pa.size() && i < pb.size() && pa[i] == pb[i]) ++i;
  if (i == pa.size()) return true;   // a is an ancestor of b
  if (i == pb.size()) return false;  // b is an ancestor of a
  // pa[i] and pb[i] are siblings: the earlier one in the sibling list comes first.
  for (const StoreNode* s = pa[i]->nextSibling; s != nullptr; s = s->nextSibling) {
    if (s == pb[i]) return true;
  }
  return false;
}

bool NodeTree::IsSelfOrAncestor(const StoreNode* candidate, const StoreNode* node) {
  for (const StoreNode* n = node; n != nullptr; n = n->parent) {
    if (n == candidate) return true;
  }
  return false;
}

void NodeTree::SetReachable(StoreNode* subtreeRoot, bool reachable) {
  // All nodes of a subtree share the flag, so an unchanged root means an unchanged subtree.
  if (subtreeRoot->reachable == reachable) return;
  StoreNode* n = subtreeRoot;
  while (n != nullptr) {
    n->reachable = reachable;
    if (n->firstChild != nullptr) {
      n = n->firstChild;
      continue;
    }
    while (n != subtreeRoot && n->nextSibling == nullptr) n = n->parent;
    n = (n == subtreeRoot) ? nullptr : n->nextSibling.Get();
  }
}

void NodeTree::AppendTopLevel(StoreNode* node) {
  node->parent = nullptr;
  node->nextSibling = nullptr;
  node->previousSibling = last_;
  if (last_ != nullptr) {
    last_->nextSibling = node;
  } else {
    first_ = node;
  }
  last_ = node;
  SetReachable(node, true);
}

void NodeTree::AppendChild(StoreNode* parent, StoreNode* child) {
  child->parent = parent;
  child->nextSibling = nullptr;
  child->previousSibling = parent->lastChild;
  if (parent->lastChild != nullptr) {
    parent->lastChild->nextSibling = child;
  } else {
    parent->firstChild = child;
  }
  parent->lastChild = child;
  ++parent->childCount;
  SetReachable(child, parent->reachable);
}

void NodeTree::Unlink(StoreNode* node) {
  StoreNode* parent = node->parent;
  if (node->previousSibling != nullptr) {
    node->previousSibling->nextSibling = node->nextSibling;
  } else if (parent != nullptr) {
    parent->firstChild = node->nextSibling;
  } else {
    first_ = node->nextSibling;
  }
  if (node->nextSibling != nullptr) {
    node->nextSibling->previousSibling = node->previousSibling;
  } else if (parent != nullptr) {
    parent->lastChild = node->previousSibling;
  } else {
    last_ = node->previousSibling;
  }
  node->parent = node->previousSibling = node->nextSibling = nullptr;
  SetReachable(node, false);
}

void NodeTree::AddPending(StoreNode* node, std::uint32_t waitingFor) {
  // Pending entries are fewer than nodes, whose positions are 32-bit.
  const auto index = static_cast<std::uint32_t>(pending_.size());
  pending_.push_back(Pending{node, waitingFor, pendingByParent_.Set(waitingFor, index),
                             pendingByNid_.Set(node->nid, index), true});
}

StoreNode* NodeTree::SearchParent(std::uint32_t nidParent, ParentCache& cache) {
  if (StoreNode* cached = cache.Find(nidParent)) return cached;
  StoreNode* found = FindMutable(nidParent);
  if (found == nullptr) {
    // A pending node may become a parent before it has a parent itself; newest first.
    for (std::uint32_t i = pendingByNid_.Find(nidParent); i != LastPositionTable::kNone;
         i = pending_[i].previousForNid) {
      if (pending_[i].live) {
        found = pending_[i].node;
        break;
      }
    }
  }
  if (found != nullptr) cache.Add(found);
  return found;
}

void NodeTree::ResolvePending(StoreNode* placed, DamageLog& damage) {
  std::vector<StoreNode*> work{placed};
  while (!work.empty()) {
    StoreNode* current = work.back();
    work.pop_back();
    // Newest first. Attaching adds no pending entries, so the chain stays as it is.
    for (std::uint32_t i = pendingByParent_.Find(current->nid); i != LastPositionTable::kNone;
         i = pending_[i].previousForParent) {
      Pending& entry = pending_[i];
      if (!entry.live) continue;
      if (IsSelfOrAncestor(entry.node, current)) {
        // Tolerant: a parent chain that loops back stays pending instead of forming a cycle.
        damage.Report({DamageKind::kCycle, "NBT", 0, 0, entry.node->nid,
                       "node " + Hex(entry.node->nid) + " would become its own ancestor through " +
                           Hex(current->nid) + ": left unattached"});
        continue;
      }
      entry.live = false;
      AppendChild(current, entry.node);
      // Nodes below the one just attached may have waiting children of their own (they were
      // placed under it while it was still pending): they can be found now that they are
      // reachable. Below a parent that is still pending they cannot, and their subtree is
      // walked when it becomes reachable; a chain of pending folders that grows at its top
      // thus costs one walk, not one per link.
      if (!entry.node->reachable) continue;
      for (StoreNode* n = entry.node; n != nullptr;) {
        work.push_back(n);
        if (n->firstChild != nullptr) {
          n = n->firstChild;
          continue;
        }
        while (n != entry.node && n->nextSibling == nullptr) n = n->parent;
        n = n == entry.node ? nullptr : n->nextSibling.Get();
      }
    }
  }
}

void NodeTree::Place(const NodeEntry& entry, const BlockIndex& blocks, ParentCache& cache,
                     DamageLog& damage) {
  const bool topLevel = entry.nidParent == 0 || entry.nidParent == entry.nid;
  StoreNode* node = FindMutable(entry.nid);
  if (node != nullptr) {
    SetBlocks(node, entry.bidData, entry.bidSub, blocks);
    node->nidParent = entry.nidParent;
    // A node without a parent stays where it is.
    if (node->parent != nullptr && node->parent->nid != entry.nidParent) {
      if (topLevel) {
        Unlink(node);
        AppendTopLevel(node);
      } else if (StoreNode* parent = SearchParent(entry.nidParent, cache)) {
        if (IsSelfOrAncestor(node, parent)) {
          damage.Report({DamageKind::kCycle, "NBT", 0, 0, entry.nid,
                         "node " + Hex(entry.nid) + " names its own descendant " +
                             Hex(entry.nidParent) + " as parent: left in place"});
        } else {
          Unlink(node);
          AppendChild(parent, node);
        }
      } else {
        Unlink(node);
        AddPending(node, entry.nidParent);
      }
    }
  } else {
    // Positions are 32-bit: a node B-tree of four billion entries (a file of hundreds of
    // GiB) is cut there.
    if (size_ >= FirstPositionIndex::kNone - 1) {
      damage.Report({DamageKind::kInconsistent, "NBT", 0, 0, entry.nid,
                     "node " + Hex(entry.nid) + " beyond the node limit: skipped"});
      return;
    }
    node = NewNode();
    node->nid = entry.nid;
    SetBlocks(node, entry.bidData, entry.bidSub, blocks);
    node->nidParent = entry.nidParent;
    if (!firstByNid_.Insert(entry.nid, PositionOf(node), NidAt())) {
      laterByNid_[entry.nid].push_back(node);
    }
    if (topLevel) {
      AppendTopLevel(node);
    } else if (StoreNode* parent = SearchParent(entry.nidParent, cache)) {
      AppendChild(parent, node);
    } else {
      AddPending(node, entry.nidParent);
    }
  }
  ResolvePending(node, damage);
}

std::vector<std::uint32_t> NodeTree::RelinkBlocks(const BlockIndex& blocks) {
  blocks_ = &blocks;
  std::vector<std::uint32_t> changed;
  for (std::uint32_t position = 0; position < size_; ++position) {
    StoreNode& node = NodeAt(position);
    // Both blocks found (or no bids): nothing to look up again.
    if (!node.rawBidsAside_) continue;
    const RawBids raw = RawBidsOf(node);
    bool found = false;
    if (node.dataBlock == nullptr && raw.data != 0) {
      SetBlock(node.dataBlock, blocks, raw.data);
      found = node.dataBlock != nullptr;
    }
    if (node.subnodeBlock == nullptr && raw.sub != 0) {
      SetBlock(node.subnodeBlock, blocks, raw.sub);
      found = found || node.subnodeBlock != nullptr;
    }
    if (found) {
      KeepRawBids(&node, raw.data, raw.sub);
      changed.push_back(node.nid);
    }
  }
  return changed;
}

bool NodeTree::Adopt(const StoreNode* orphan, std::uint32_t parentNid) {
  StoreNode* parent = FindMutable(parentNid);
  if (orphan == nullptr || parent == nullptr || orphan->reachable) return false;
  for (std::uint32_t i = pendingByNid_.Find(orphan->nid); i != LastPositionTable::kNone;
       i = pending_[i].previousForNid) {
    Pending& entry = pending_[i];
    if (!entry.live || entry.node != orphan) continue;
    entry.live = false;
    AppendChild(parent, entry.node);
    return true;
  }
  return false;
}

bool NodeTree::SetDataBlock(std::uint32_t nid, const BlockEntry* block) {
  StoreNode* node = FindMutable(nid);
  if (node == nullptr || block == nullptr || blocks_ == nullptr) return false;
  const std::uint32_t position = blocks_->PositionOf(block);
  if (position == BlockLink::kNone) return false;
  const std::uint64_t bidSub = node->BidSub();
  node->dataBlock.position_ = position;
  KeepRawBids(node, block->id, bidSub);
  return true;
}

void NodeTree::Clear() {
  static_assert(std::is_trivially_destructible_v<StoreNode>);
  chunks_.clear();
  size_ = 0;
  rawBids_.clear();
  firstByNid_.Clear();
  laterByNid_.clear();
  first_ = last_ = nullptr;
  pending_.clear();
  pendingByParent_.Clear();
  pendingByNid_.Clear();
}

bool NodeTree::MoveToFront(std::uint32_t nid) {
  StoreNode* node = FindMutable(nid);
  if (node == nullptr || node->parent != nullptr) return false;
  if (node == first_) return true;
  Unlink(node);
  node->nextSibling = first_;
  node->previousSibling = nullptr;
  if (first_ != nullptr) first_->previousSibling = node;
  first_ = node;
  if (last_ == nullptr) last_ = node;
  SetReachable(node, true);
  return true;
}

std::size_t NodeTree::ReachableCount() const {
  std::size_t count = 0;
  ForEachPreorder([&count](const StoreNode&, int) { ++count; });
  return count;
}

std::vector<const StoreNode*> NodeTree::Orphans() const {
  std::vector<const StoreNode*> orphans;
  for (const Pending& entry : pending_) {
    if (entry.live && entry.node->parent == nullptr && !entry.node->reachable) {
      orphans.push_back(entry.node);
    }
  }
  return orphans;
}

void NodeTree::ForEachPreorder(
    const std::function<void(const StoreNode&, int depth)>& visit) const {
  const StoreNode* n = first_;
  int depth = 0;
  while (n != nullptr) {
    visit(*n, depth);
    if (n->firstChild != nullptr) {
      n = n->firstChild;
      ++depth;
      continue;
    }
    while (n != nullptr && n->nextSibling == nullptr) {
      n = n->parent;
      --depth;
    }
    if (n != nullptr) n = n->nextSibling;
  }
}

std::size_t SubtreeSize(const StoreNode& node) {
  std::size_t count = 0;
  std::vector<const StoreNode*> work{node.firstChild};
  while (!work.empty()) {
    const StoreNode* n = work.back();
    work.pop_back();
    for (; n != nullptr; n = n->nextSibling) {
      ++count;
      if (n->firstChild != nullptr) work.push_back(n->firstChild);
    }
  }
  return count;
}

}  // namespace palvara
