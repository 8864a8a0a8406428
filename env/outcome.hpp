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
// on a claim that every player would make. kFideStrict: only what the FIDE
// Laws end without a claim: the fifth occurrence, 150 plies without progress
// and insufficient material. Both FIDE rule sets count positions by FIDE
// identity and keep the FIDE half-move clock.
enum class DrawRules : int8_t { kClassic, kFide, kFideStrict };

// Whether the rules count as FIDE does: the half-move clock as the
// no-progress count, repetitions by position identity.
constexpr bool counts_as_fide(DrawRules rules) { return rules != DrawRules::kClassic; }

struct Outcome {
  Termination termination = Termination::kNone;
  int32_t reward = 0;  // +1 black is checkmated, -1 white is, 0 otherwise

  bool done() const { return termination != Termination::kNone; }
};

}  // namespace varnok
