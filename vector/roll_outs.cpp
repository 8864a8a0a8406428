#include "vector/roll_outs.hpp"

#include <random>
#include <stdexcept>
#include <string>

#include "env/random.hpp"

namespace varnok {

void check_roll_out_states(const std::vector<const State*>& states) {
  Board check;
  for (size_t i = 0; i < states.size(); ++i) {
    try {
      check.restore_state(*states[i]);
    } catch (const std::invalid_argument& e) {
      throw std::invalid_argument("state " + std::to_string(i) + ": " + e.what());
    }
  }
}

void roll_outs_range(ThreadPool& pool, const std::vector<const State*>& states, int repeats, uint64_t seed,
                     DrawRules rules, int64_t begin, int64_t end, int8_t* results) {
  if (end <= begin) return;
  const int workers = pool.size();
  const int64_t count = end - begin;
  pool.run([&](int worker) {
    Board board(rules);
    const int64_t first = begin + count * worker / workers, last = begin + count * (worker + 1) / workers;
    for (int64_t game = first; game < last; ++game) {
      board.restore_state(*states[game / repeats]);
      std::mt19937 rng(static_cast<uint32_t>(Random(seed, static_cast<uint64_t>(game)).next() >> 32));
      results[game] = static_cast<int8_t>(board.roll_out_with(rng, nullptr));
    }
  });
}

void roll_outs(const std::vector<const State*>& states, int repeats, uint64_t seed, DrawRules rules, int threads,
               int8_t* results) {
  check_roll_out_states(states);
  const int64_t total = static_cast<int64_t>(states.size()) * repeats;
  if (total == 0) return;
  ThreadPool pool(threads);
  roll_outs_range(pool, states, repeats, seed, rules, 0, total, results);
}

}  // namespace varnok
