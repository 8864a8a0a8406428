#include "vector/roll_outs.hpp"

#include <random>
#include <stdexcept>
#include <string>

#include "vector/random.hpp"
#include "vector/thread_pool.hpp"

namespace varnok {

void roll_outs(const std::vector<State>& states, int repeats, uint64_t seed, int threads, int8_t* results) {
  {
    Board check;
    for (size_t i = 0; i < states.size(); ++i) {
      try {
        check.restore_state(states[i]);
      } catch (const std::invalid_argument& e) {
        throw std::invalid_argument("state " + std::to_string(i) + ": " + e.what());
      }
    }
  }
  const int64_t total = static_cast<int64_t>(states.size()) * repeats;
  if (total == 0) return;
  ThreadPool pool(threads);
  pool.run([&](int worker) {
    Board board;
    const int64_t begin = total * worker / threads, end = total * (worker + 1) / threads;
    for (int64_t game = begin; game < end; ++game) {
      board.restore_state(states[game / repeats]);
      std::mt19937 rng(static_cast<uint32_t>(Random(seed, static_cast<uint64_t>(game)).next() >> 32));
      results[game] = static_cast<int8_t>(board.roll_out_with(rng, nullptr));
    }
  });
}

}  // namespace varnok
