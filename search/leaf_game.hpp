// The game at a node of a search tree, rebuilt for each descent from the
// Episode at the root and the moves of the path, with only what a leaf needs:
// the position, the ring of the eight recorded positions (for the
// observation), the move count, and the repetition values of the positions
// played since the root (for the observation and the repetition rule). The
// root's own repetition counts are read from its Episode, never copied, and
// the legal moves are listed once, at the leaf, not at every ply of the path.
//
// A copy of the root Episode would cost over 10 KB (its action map) per
// descent and a full listing per ply; this costs a Position and a history
// ring (about 1 KB) and one move per ply. The rules are the episode's own:
// the same records, the same repetition arithmetic, the same judge.
#pragma once

#include <cstdint>
#include <vector>

#include "env/action_map.hpp"
#include "env/episode.hpp"
#include "env/observation_writer.hpp"

namespace varnok {

class LeafGame {
 public:
  // Starts again at root (which outlives the game until the next start).
  void start(const Episode& root);
  // Plays a legal move of the current position and records the position
  // reached, as Episode::play does.
  void play(Move move);
  // Lists the legal moves into listing and judges the current position, as
  // Episode::play does after its move.
  Outcome list_and_judge(ActionMap& listing) const;

  const Position& position() const { return position_; }
  int plies() const { return static_cast<int>(hashes_.size()); }
  ObservedGame observed() const { return {position_, history_, total_move_count_, after_reset_}; }

 private:
  const Episode* root_ = nullptr;
  Position position_;
  History history_;
  int32_t total_move_count_ = 0;
  bool after_reset_ = false;
  int32_t repetition_ = 0;           // the value of the position recorded last (count - 1)
  int32_t previous_repetition_ = 0;  // the value of the one recorded before it
  // The positions recorded since the root, oldest first: their repetition
  // keys, and under the FIDE rules their identities as well.
  std::vector<uint64_t> hashes_;
  std::vector<PositionIdentity> identities_;
};

}  // namespace varnok
