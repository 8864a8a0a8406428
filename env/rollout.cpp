// Random roll-outs: play uniformly random legal actions until the episode
// ends or 400 steps have been played. The loop follows step's rules exactly
// (the Board ends as the same steps would leave it) but skips what nobody
// sees: it builds no observation and judges only as many moves as it takes
// to find one legal move of each position reached.
#include <random>

#include "core/board.hpp"
#include "env/actions.hpp"

namespace varnok {

namespace {
constexpr int kStepCap = 400;
}

int32_t Board::roll_out() {
  std::random_device device;
  std::mt19937 rng(static_cast<uint32_t>(device()));
  return roll_out_with(rng, nullptr);
}

namespace {

// Draws pseudo-legal moves in random order, without replacement, until one is
// legal: the first legal move met in a uniformly random order is a uniform
// draw among the legal moves. Returns its index in the list, or -1 when the
// side to move has no legal move at all.
int draw_legal(const Board& board, MoveList& list, std::mt19937& rng) {
  for (int i = 0; i < list.count; ++i) {
    std::uniform_int_distribution<int> draw(i, list.count - 1);
    std::swap(list.moves[i], list.moves[draw(rng)]);
    if (board.is_legal(list.moves[i])) return i;
  }
  return -1;
}

}  // namespace

int32_t Board::roll_out_with(std::mt19937& rng, std::vector<int32_t>* played) {
  // Each ply needs a uniformly random legal move of the position reached,
  // and whether one exists at all (no legal reply ends the game). One draw
  // answers both, without judging every move of the position.
  MoveList list;
  generate_moves(list);
  int chosen = draw_legal(*this, list, rng);
  if (chosen < 0) {
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
    const Move move = list.moves[chosen];
    if (played) played->push_back(action_of_move(side, move));
    after_reset = 0;
    before = {castle, enpassant, side, bitboards, occupancies};
    play_move(move);
    generate_moves(list);
    chosen = draw_legal(*this, list, rng);
    int32_t done = 0;
    judge(chosen >= 0, reward, done);
    if (done) break;
  }
  const Snapshot reached = {castle, enpassant, side, bitboards, occupancies};
  snapshot = before;
  restore_snapshot();
  list_legal_moves();
  snapshot = reached;
  restore_snapshot();
  return reward;
}

}  // namespace varnok
