// Random roll-outs: play uniformly random legal actions until the episode
// ends or 400 steps have been played. The loop follows step's rules exactly,
// but skips what nobody sees: it builds no observation, and the listing that
// judges each position reached (does a legal reply exist?) is also the
// listing the next ply draws from.
#include <random>

#include "core/board.hpp"

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
  // Two listings: the position now, which the next ply draws from, and the
  // position before the last move, which move_index describes after a step.
  ActionMap maps[2];
  ActionMap* now = &maps[0];
  ActionMap* before = &maps[1];
  list_legal_moves_into(*now);
  int legal = now->size();
  if (legal == 0) {
    // Nothing to play: report what step reports for this position.
    move_index.clear();
    int32_t reward = 0, done = 0;
    judge(false, reward, done);
    return reward;
  }
  int32_t reward = 0;
  for (int steps = 0; steps < kStepCap; ++steps) {
    // Legal actions are drawn uniformly, counted in ascending action order.
    std::uniform_int_distribution<int> draw(0, legal - 1);
    const int action = now->nth_action(draw(rng));
    if (played) played->push_back(action);
    after_reset = 0;
    play_move(now->at(action));
    std::swap(now, before);
    list_legal_moves_into(*now);
    legal = now->size();
    int32_t done = 0;
    judge(legal > 0, reward, done);
    if (done) break;
  }
  move_index = *before;
  return reward;
}

}  // namespace varnok
