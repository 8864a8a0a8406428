// The verdict on a position reached by a move: whether the episode ends
// there, why, and the reward from white's side.
#pragma once

#include <cstdint>

namespace varnok {

enum class Termination : int8_t {
  kNone,        // the game goes on
  kCheckmate,   // the side to move is in check and has no legal move
  kStalemate,   // no legal move, not in check
  kRepetition,  // the position has occurred for the third time
  kNoProgress,  // 50 plies without a pawn move, capture or promotion
};

struct Outcome {
  Termination termination = Termination::kNone;
  int32_t reward = 0;  // +1 black is checkmated, -1 white is, 0 otherwise

  bool done() const { return termination != Termination::kNone; }
};

}  // namespace varnok
