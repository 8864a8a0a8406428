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
  kNoProgress,  // 50 plies (100 under FIDE rules) without a pawn move, capture or promotion
  // Under FIDE rules only: neither side has mating material left.
  kInsufficientMaterial,
  // A roll-out stopped after its 400 steps with the game still going on.
  kMoveCap,
};
// The vector environment reports these numbers; new reasons go at the end.
static_assert(static_cast<int>(Termination::kNoProgress) == 4 && static_cast<int>(Termination::kMoveCap) == 6);

// Which draw rules end an episode. kClassic: the third occurrence of a
// position and 50 plies without progress (the environment's rules from its
// first version). kFide: the third occurrence, 100 plies without progress and
// insufficient mating material, as the FIDE Laws end a game automatically or
// on a claim that every player would make.
enum class DrawRules : int8_t { kClassic, kFide };

struct Outcome {
  Termination termination = Termination::kNone;
  int32_t reward = 0;  // +1 black is checkmated, -1 white is, 0 otherwise

  bool done() const { return termination != Termination::kNone; }
};

}  // namespace varnok
