// Random roll-outs: play uniformly random legal actions until the episode
// ends or 400 steps have been played. The loop follows step's rules exactly
// (the Board ends as the same steps would leave it) but skips what nobody
// sees: it builds no observation and judges only as many moves as it takes
// to find one legal move of each position reached.
#include <random>

#include "core/board.hpp"
#include "core/legality.hpp"
#include "env/actions.hpp"
#include "env/move_sampler.hpp"

namespace varnok {

namespace {
constexpr int kStepCap = 400;
}

namespace {

// One 32-bit seed from the operating system's random source. The library's
// default device may use the processor's seed instruction, which costs more
// than a whole short game; getentropy is the system call, where available.
uint32_t os_random_seed() {
  try {
    std::random_device device("getentropy");
    return device();
  } catch (const std::exception&) {
    std::random_device device;
    return device();
  }
}

}  // namespace

int32_t Board::roll_out() {
  std::mt19937 rng(os_random_seed());
  return roll_out_with(rng, nullptr);
}

namespace {

// A uniform draw among the legal moves; 0 when there is none. Pseudo-legal
// moves are drawn uniformly and the first legal one is kept, which is a
// uniform draw among the legal moves. A few draws nearly always find one;
// when they do not (a check, say, where most moves are illegal), the moves
// are drawn in random order without replacement until one is legal, which
// is uniform as well and also settles whether any legal move exists.
Move draw_legal_move(const Board& board, std::mt19937& rng) {
  const MoveSampler sampler(board);
  if (sampler.count() == 0) return 0;
  std::uniform_int_distribution<int> any(0, sampler.count() - 1);
  const SingleMoveLegality legal(board, true);  // draw() has made sure of it
  for (int attempt = 0; attempt < 4; ++attempt) {
    const Move move = sampler.move_at(any(rng));
    if (legal(move)) return move;
  }
  MoveList list;
  board.generate_moves(list);
  for (int i = 0; i < list.count; ++i) {
    std::uniform_int_distribution<int> draw(i, list.count - 1);
    std::swap(list.moves[i], list.moves[draw(rng)]);
    if (legal(list.moves[i])) return list.moves[i];
  }
  return 0;
}

// Whether every legal move of the position has an action of its own. In
// positions from play it does; positions typed as FEN text can break it (a
// castling right without the king at home lets a rook on e1 share castling's
// action, an en-passant square holding a piece lets the en-passant capture
// share the ordinary capture's, two pieces on one square share moves), and
// then the draw has to be over actions, as step sees them.
bool one_action_per_move(const Board& board) {
  if (!no_square_held_twice(board)) return false;
  if (board.enpassant != kNoSquare && (board.occupancies[2] & square_bit(board.enpassant))) return false;
  const bool white_home = board.bitboards[WK] & square_bit(60);
  const bool black_home = board.bitboards[BK] & square_bit(4);
  return !((board.castle & 3) && !white_home) && !((board.castle & 12) && !black_home);
}

// A uniform draw among the legal actions, played as step would play it (the
// move the action maps to). Returns 0 when there is no legal action.
Move draw_legal_action(const Board& board, std::mt19937& rng) {
  ActionMap actions;
  for_each_legal_move(board, [&](Move move) { actions.set(action_of_move(board.side, move), move); });
  if (actions.size() == 0) return 0;
  std::uniform_int_distribution<int> draw(0, actions.size() - 1);
  return actions.at(actions.nth_action(draw(rng)));
}

Move draw(const Board& board, std::mt19937& rng) {
  return one_action_per_move(board) ? draw_legal_move(board, rng) : draw_legal_action(board, rng);
}

}  // namespace

int32_t Board::roll_out_with(std::mt19937& rng, std::vector<int32_t>* played) {
  // Each ply needs a uniformly random legal action of the position reached,
  // and whether one exists at all (no legal reply ends the game). One draw
  // answers both, usually without judging every move of the position.
  Move chosen = draw(*this, rng);
  if (!chosen) {
    // Nothing to play: report what step reports for this position.
    move_index.clear();
    int32_t reward = 0, done = 0;
    judge(false, reward, done);
    return reward;
  }
  // After a step move_index describes the position before its move; keep
  // that position so its listing can be made once, at the end.
  Snapshot before;
  int32_t reward = 0;
  for (int steps = 0; steps < kStepCap; ++steps) {
    if (played) played->push_back(action_of_move(side, chosen));
    after_reset = 0;
    before = position();
    play_move(chosen);
    chosen = draw(*this, rng);
    int32_t done = 0;
    judge(chosen != 0, reward, done);
    if (done) break;
  }
  const Snapshot reached = position();
  set_position(before);
  list_legal_moves();
  set_position(reached);
  return reward;
}

}  // namespace varnok
