// Random roll-outs: play uniformly random legal actions until the episode
// ends or 400 steps have been played. The loop follows step's rules exactly
// (the Episode ends as the same steps would leave it) but skips what nobody
// sees: it builds no observation and judges only as many moves as it takes
// to find one legal move of each position reached.
#include <random>

#include "core/legality.hpp"
#include "env/actions.hpp"
#include "env/episode.hpp"
#include "env/move_sampler.hpp"
#include "env/random.hpp"

namespace varnok {

namespace {

constexpr int kStepCap = 400;

// A uniform draw among the legal moves; 0 when there is none. Pseudo-legal
// moves are drawn uniformly and the first legal one is kept, which is a
// uniform draw among the legal moves. A few draws nearly always find one;
// when they do not (a check, say, where most moves are illegal), the moves
// are drawn in random order without replacement until one is legal, which
// is uniform as well and also settles whether any legal move exists.
Move draw_legal_move(const Position& position, std::mt19937& rng) {
  const MoveSampler sampler(position);
  if (sampler.count() == 0) return kNoMove;
  const SingleMoveLegality legal(position, true);  // draw() has made sure of it
  for (int attempt = 0; attempt < 4; ++attempt) {
    const Move move = sampler.move_at(static_cast<int>(uniform_below(rng, sampler.count())));
    if (legal(move)) return move;
  }
  MoveList list;
  position.generate_moves(list);
  for (int i = 0; i < list.count; ++i) {
    std::swap(list.moves[i], list.moves[i + static_cast<int>(uniform_below(rng, list.count - i))]);
    if (legal(list.moves[i])) return list.moves[i];
  }
  return kNoMove;
}

// Whether every legal move of the position has an action of its own. In
// positions from play it does; positions typed as FEN text can break it (a
// castling right without the king at home lets a rook on e1 share castling's
// action, an en-passant square holding a piece lets the en-passant capture
// share the ordinary capture's, two pieces on one square share moves), and
// then the draw has to be over actions, as step sees them. Chess960 castling
// needs the king and its rook in place, and takes the rook's square, which
// no other move of the king can.
bool one_action_per_move(const Position& position) {
  if (!no_square_held_twice(position)) return false;
  if (position.enpassant != kNoSquare && (position.occupancies[kBothColours] & square_bit(position.enpassant)))
    return false;
  if (position.chess960) return true;
  const bool white_home = position.bitboards[WK] & square_bit(kE1);
  const bool black_home = position.bitboards[BK] & square_bit(kE8);
  return !((position.castle & kWhiteCastling) && !white_home) && !((position.castle & kBlackCastling) && !black_home);
}

// A uniform draw among the legal actions, played as step would play it (the
// move the action maps to). Returns kNoMove when there is no legal action.
Move draw_legal_action(const Position& position, std::mt19937& rng) {
  ActionMap actions;
  actions.list_legal(position);
  if (actions.size() == 0) return kNoMove;
  return actions.at(actions.nth_action(static_cast<int>(uniform_below(rng, actions.size()))));
}

Move draw(const Position& position, std::mt19937& rng) {
  return one_action_per_move(position) ? draw_legal_move(position, rng) : draw_legal_action(position, rng);
}

}  // namespace

int32_t Episode::roll_out() {
  std::mt19937 rng(static_cast<uint32_t>(os_seed()));
  return roll_out_with(rng, nullptr);
}

int32_t Episode::roll_out_with(std::mt19937& rng, std::vector<int32_t>* played) {
  // Each ply needs a uniformly random legal action of the position reached,
  // and whether one exists at all (no legal reply ends the game). One draw
  // answers both, usually without judging every move of the position.
  Move chosen = draw(position, rng);
  if (chosen == kNoMove) {
    // Nothing to play: report what step reports for this position.
    save_current_listing();
    const Outcome outcome = judge(false);
    last_termination = outcome.termination;
    return outcome.reward;
  }
  int32_t reward = 0;
  last_termination = Termination::kMoveCap;  // unless a step below ends the game
  for (int steps = 0; steps < kStepCap; ++steps) {
    if (played) played->push_back(action_of_move(position.side, chosen));
    after_reset = false;
    play_move(chosen);
    chosen = draw(position, rng);
    const Outcome outcome = judge(chosen != kNoMove);
    reward = outcome.reward;
    if (outcome.done()) {
      last_termination = outcome.termination;
      break;
    }
  }
  move_index.list_legal(position);
  return reward;
}

}  // namespace varnok
