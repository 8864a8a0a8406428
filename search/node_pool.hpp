// The nodes of one search tree, held in a pool that is allocated once and
// reused: a node's children sit side by side, so a node names them by the
// first index and a count, and a whole tree is dropped by clearing the pool.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <vector>

#include "env/actions.hpp"
#include "search/prefetch.hpp"

namespace varnok {

inline constexpr int32_t kNoNode = -1;

enum class NodeState : int8_t {
  kNew,       // reached by no descent yet: its game has not been looked at
  kPending,   // sent for evaluation this round; its children are made when it is expanded
  kExpanded,  // has priors (or roll-out statistics) and children to descend into
  kTerminal,  // the game is over here; value holds its exact result
  kSolved,    // a UCT solver proved the result; value holds it
};

struct Node {
  // ---- statistics, from the side that moved into the node (the parent's side to move)
  double value_sum = 0;   // sum of the values backed up through the node
  int32_t visits = 0;     // completed simulations through the node
  int32_t in_flight = 0;  // descents of the current round through the node still waiting for a value

  // ---- what the evaluation said, set once
  // Floats, as a network gives them: a tree writes a node for every legal
  // move of every leaf it expands, and most are never visited, so the
  // smaller node is less memory to write and to read back while descending.
  float prior = 0;  // probability of the move into the node, from the parent's priors
  float value = 0;  // the node's own value for its side to move: network, terminal (-1, 0, 1) or proved

  // ---- the shape of the tree
  int32_t first_child = kNoNode;
  int16_t child_count = 0;  // at most 218 legal moves in any chess position
  int16_t action = 0;       // the action (0..4671) that leads here from the parent
  NodeState state = NodeState::kNew;
  Move move = kNoMove;  // the move of that action, so a descent replays the path without listings
};
static_assert(kActionCount <= INT16_MAX, "actions are stored in 16 bits");
static_assert(sizeof(Node) == 40, "the move sits in what would be padding");

class NodePool {
 public:
  // Nodes of a few hundred simulations (about 400 KB, in address space only
  // until used).
  static constexpr int kReservedNodes = 8192;

  // Room for the first nodes is reserved at once: a pool grown by doubling
  // from one node would fault in and copy its memory again at every step,
  // a cost that a new search paid on its first rounds.
  explicit NodePool(int budget) : budget_(budget) { nodes_.reserve(std::min(budget, kReservedNodes)); }

  int size() const { return static_cast<int>(nodes_.size()); }
  int budget() const { return budget_; }
  Node& operator[](int32_t index) {
    assert(index >= 0 && index < size());
    return nodes_[index];
  }
  const Node& operator[](int32_t index) const {
    assert(index >= 0 && index < size());
    return nodes_[index];
  }

  // Drops every node and starts a tree with one fresh root (index 0). The
  // memory stays for the next tree.
  void reset_to_root() {
    nodes_.clear();
    nodes_.emplace_back();
    reserved_ = 0;
  }
  // Room for count more nodes, side by side: the index of the first, or
  // kNoNode when the budget would be passed. The root's own children always
  // have room (while the pool holds the root alone, they are what is asked
  // for): a search of any budget can then value and choose the moves of its
  // root, at the cost of at most 218 nodes past a budget below that.
  int32_t allocate(int count) {
    if (!reserve(count)) return kNoNode;
    return take_reserved(count);
  }
  // Allocation in two steps, for children that are known before they are
  // made: reserve holds room for count nodes within the budget (false when
  // there is none, by the same rule as allocate), and take_reserved later
  // makes count of the nodes held, side by side, in the order they were
  // reserved. release_reserved gives back whatever is still held.
  bool reserve(int count) {
    const int held = size() + reserved_;
    if (held + count > budget_ && held > 1) return false;
    reserved_ += count;
    return true;
  }
  int32_t take_reserved(int count) {
    assert(count <= reserved_);
    reserved_ -= count;
    const int32_t first = size();
    nodes_.resize(nodes_.size() + count);
    return first;
  }
  void release_reserved() { reserved_ = 0; }
  int reserved() const { return reserved_; }
  // Asks the cache for the memory of the next count nodes to be allocated,
  // for writing. A tree takes a new stretch of its pool for every leaf it
  // expands, and a batch of trees runs so many such stretches side by side
  // that the processor's own prefetcher loses track of them: each node
  // written would wait for memory. Asked for a tree ahead, they are in the
  // cache by then. Memory past the vector's capacity is left alone.
  void prefetch_next(int count) const {
    const int end = std::min(size() + count, static_cast<int>(nodes_.capacity()));
    prefetch_bytes(nodes_.data() + size(), (end - size()) * sizeof(Node), PrefetchFor::kWriting);
  }
  // Keeps the subtree under keep and frees every other node: the subtree is
  // copied breadth-first into the spare pool (keep becomes the root, index
  // 0), which then becomes the pool. Breadth-first order keeps each node's
  // children side by side. Costs one pass over the kept nodes.
  void keep_subtree(int32_t keep) {
    spare_.clear();
    spare_.push_back(nodes_[keep]);
    for (size_t i = 0; i < spare_.size(); ++i) {
      const int32_t old_first = spare_[i].first_child;
      if (old_first == kNoNode) continue;
      spare_[i].first_child = static_cast<int32_t>(spare_.size());
      spare_.insert(spare_.end(), nodes_.begin() + old_first, nodes_.begin() + old_first + spare_[i].child_count);
    }
    nodes_.swap(spare_);
    reserved_ = 0;
  }

 private:
  int budget_;
  int reserved_ = 0;  // nodes held by reserve and not yet taken
  std::vector<Node> nodes_;
  std::vector<Node> spare_;  // the other half of keep_subtree's copy, kept for its memory
};

}  // namespace varnok
