// Where a search keeps its games. A node stores no game: the game of a node is
// rebuilt when a descent first reaches it, by copying the Board at the root
// and playing the actions of the path with Board::play_listed.
//
// Why replay rather than a snapshot per node: a Board is about 20 KB (the
// 4672-entry action map dominates) and holds a heap table of repetitions, so
// a Board per node would cost tens of megabytes per tree and an allocation per
// node; a Position alone (about 150 bytes) would not carry what the leaf
// needs, the eight recorded positions of the observation and the repetition
// counts of the whole game. Replaying costs one move and one listing per ply
// of the path (a few microseconds at the depths a few hundred simulations
// reach), judges every position by the episode's own rules, and needs only
// one scratch Board per leaf in flight, reused from round to round.
#pragma once

#include <cstdint>
#include <vector>

#include "env/board.hpp"
#include "search/node_pool.hpp"

namespace varnok {

// The game at the end of path (node indices from the root, path[0] == 0): a
// copy of root (listed) with the actions of path[1..] played. Returns the
// verdict on the last position, or no verdict for the root itself.
inline Outcome replay_path(const Board& root, const NodePool& nodes, const std::vector<int32_t>& path, Board& out) {
  out = root;
  Outcome outcome;
  for (size_t i = 1; i < path.size(); ++i) outcome = out.play_listed(nodes[path[i]].action);
  return outcome;
}

// The value of a finished game for the side to move there: -1 when it is
// checkmated, 0 for every draw.
inline double terminal_value(const Outcome& outcome, int side_to_move) {
  return side_to_move == kWhite ? outcome.reward : -outcome.reward;
}

// Adds value (for the side to move at the end of path) to every node of the
// path, with the sign of the side that moved into each node, and counts the
// visit. When in_flight is set, the descent's virtual loss is taken back too.
inline void back_up(NodePool& nodes, const std::vector<int32_t>& path, double value, bool in_flight) {
  double for_mover = -value;
  for (size_t i = path.size(); i-- > 0;) {
    Node& node = nodes[path[i]];
    node.visits += 1;
    node.value_sum += for_mover;
    if (in_flight) node.in_flight -= 1;
    for_mover = -for_mover;
  }
}

// Lists the legal actions of board (its move_index) as the children of node:
// false, with nothing allocated, when the pool's budget has no room for them.
inline bool add_children(NodePool& nodes, int32_t node, const Board& board) {
  const int count = board.move_index.size();
  const int32_t first = nodes.allocate(count);
  if (first == kNoNode) return false;
  int i = 0;
  board.move_index.for_each([&](int action, Move) { nodes[first + i++].action = static_cast<int16_t>(action); });
  nodes[node].first_child = first;
  nodes[node].child_count = static_cast<int16_t>(count);
  return true;
}

}  // namespace varnok
