// Where a search keeps its games. A node stores no game, only the action
// and the move that lead to it: the game of a node is rebuilt when a descent
// first reaches it, from the game at the root and the moves of the path,
// with only what a leaf needs (search/leaf_game.hpp); a roll-out, which
// needs the whole episode, continues it on a copy of the root Episode
// (search/roll_out.hpp).
//
// Why replay rather than a snapshot per node: an Episode is over 10 KB (its
// action map dominates) and holds a heap table of repetitions, so an Episode
// per node would cost tens of megabytes per tree and an allocation per node;
// a Position alone (about 150 bytes) would not carry what the leaf needs,
// the eight recorded positions of the observation and the repetition counts
// of the whole game. Replaying costs one move per ply of the path, judges
// every position by the episode's own rules, and needs only one scratch game
// per tree, reused from descent to descent.
#pragma once

#include <cstdint>
#include <vector>

#include "env/episode.hpp"
#include "search/node_pool.hpp"

namespace varnok {

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

// Lists the legal actions of a listing (in action order) as the children of
// node: false, with nothing allocated, when the pool's budget has no room
// for them.
inline bool add_children(NodePool& nodes, int32_t node, const ActionMap& listing) {
  const int count = listing.size();
  const int32_t first = nodes.allocate(count);
  if (first == kNoNode) return false;
  int i = 0;
  listing.for_each([&](int action, Move move) {
    Node& child = nodes[first + i++];
    child.action = static_cast<int16_t>(action);
    child.move = move;
  });
  nodes[node].first_child = first;
  nodes[node].child_count = static_cast<int16_t>(count);
  return true;
}

}  // namespace varnok
