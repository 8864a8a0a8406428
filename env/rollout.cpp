// Random roll-outs: play uniformly random legal actions until the episode
// ends or 400 steps have been played. The loop follows step's rules exactly,
// but skips what nobody sees: it builds no observation, and the listing that
// judges each position reached (does a legal reply exist?) is also the
// listing the next ply draws from.
#include <algorithm>
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
  // Two lists: the moves of the position before the last move (which
  // move_index must describe at the end, as after a step) and of the
  // position now.
  LegalMove buffers[2][kMoveListCapacity];
  LegalMove* before = buffers[0];
  LegalMove* now = buffers[1];
  auto sorted_legal = [&](LegalMove* out) {
    const int n = collect_legal(out);
    // Actions are drawn from the mask in ascending action order.
    std::sort(out, out + n, [](const LegalMove& a, const LegalMove& b) { return a.action < b.action; });
    return n;
  };
  auto publish = [&](const LegalMove* moves, int n) {
    move_index.clear();
    for (int i = 0; i < n; ++i) move_index.set(moves[i].action, moves[i].move);
  };

  int n_now = sorted_legal(now);
  if (n_now == 0) {
    // Nothing to play: report what step reports for this position.
    move_index.clear();
    int32_t reward = 0, done = 0;
    judge(false, reward, done);
    return reward;
  }
  int32_t reward = 0;
  int n_before = 0;
  for (int steps = 0; steps < kStepCap; ++steps) {
    std::uniform_int_distribution<int> draw(0, n_now - 1);
    const LegalMove chosen = now[draw(rng)];
    if (played) played->push_back(chosen.action);
    after_reset = 0;
    play_move(chosen.move);
    std::swap(before, now);
    n_before = n_now;
    n_now = sorted_legal(now);
    int32_t done = 0;
    judge(n_now > 0, reward, done);
    if (done) break;
  }
  publish(before, n_before);
  return reward;
}

}  // namespace varnok
