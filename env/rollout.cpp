// Random roll-outs: play uniformly random legal actions until the episode
// ends or 400 steps have been played. The loop follows step's rules exactly,
// but skips what nobody sees: it builds no observation, and the listing that
// judges each position reached (does a legal reply exist?) is also the
// listing the next ply draws from.
#include <random>

#include "core/board.hpp"
#include "core/legality.hpp"
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

int32_t Board::roll_out_with(std::mt19937& rng, std::vector<int32_t>* played) {
  // Two lists of legal moves: the position now, which the next ply draws
  // from, and the position before the last move, which move_index must
  // describe at the end, as it does after a step.
  Move lists[2][kMoveListCapacity];
  Move* now = lists[0];
  Move* before = lists[1];
  auto list_legal = [this](Move* out) {
    int n = 0;
    for_each_legal_move(*this, [&](Move move) { out[n++] = move; });
    return n;
  };
  int legal = list_legal(now);
  if (legal == 0) {
    // Nothing to play: report what step reports for this position.
    move_index.clear();
    int32_t reward = 0, done = 0;
    judge(false, reward, done);
    return reward;
  }
  int32_t reward = 0;
  int legal_before = 0;
  for (int steps = 0; steps < kStepCap; ++steps) {
    // Every legal action is equally likely; which of them a draw of k picks
    // is of no consequence, so the k-th is taken in generation order.
    std::uniform_int_distribution<int> draw(0, legal - 1);
    const Move move = now[draw(rng)];
    if (played) played->push_back(action_of_move(side, move));
    after_reset = 0;
    play_move(move);
    std::swap(now, before);
    legal_before = legal;
    legal = list_legal(now);
    int32_t done = 0;
    judge(legal > 0, reward, done);
    if (done) break;
  }
  // The last move was the opponent's: its listing is encoded from their side.
  move_index.clear();
  for (int i = 0; i < legal_before; ++i) move_index.set(action_of_move(side ^ 1, before[i]), before[i]);
  return reward;
}

}  // namespace varnok
