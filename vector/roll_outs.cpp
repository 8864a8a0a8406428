#include "vector/roll_outs.hpp"

#include <algorithm>
#include <random>
#include <stdexcept>
#include <string>

#include "env/random.hpp"
#include "vector/option_checks.hpp"
#include "vector/thread_pool.hpp"

namespace varnok {

void check_roll_outs(const std::vector<const State*>& states, int64_t repeats, int64_t threads) {
  checked_count(repeats, "repeats", 0, kMaxRepeats);
  checked_threads(threads);
  Episode check;
  for (size_t i = 0; i < states.size(); ++i) {
    try {
      check.restore_state(*states[i]);
    } catch (const std::invalid_argument& e) {
      throw std::invalid_argument("state " + std::to_string(i) + ": " + e.what());
    }
  }
}

void play_roll_outs(const std::vector<const State*>& states, int64_t repeats, uint64_t seed, DrawRules rules,
                    int64_t threads, int8_t* results, const RangeRunner& run_ranges) {
  const int64_t total = static_cast<int64_t>(states.size()) * repeats;
  if (total == 0) return;
  ThreadPool pool(static_cast<int>(std::min(threads, total)));
  const auto play = [&](int64_t begin, int64_t end) {
    const int workers = pool.size();
    const int64_t count = end - begin;
    pool.run([&](int worker) {
      // A worker's games are consecutive, so most of them start from the
      // State the one before did: each State is restored once (a State of
      // the other rules replays its log then) and copied for every game.
      Episode start(rules), board(rules);
      int64_t restored = -1;
      const int64_t first = begin + count * worker / workers, last = begin + count * (worker + 1) / workers;
      for (int64_t game = first; game < last; ++game) {
        if (game / repeats != restored) {
          restored = game / repeats;
          start.restore_state(*states[restored]);
        }
        board = start;
        std::mt19937 rng(static_cast<uint32_t>(Random(seed, static_cast<uint64_t>(game)).next() >> 32));
        results[game] = static_cast<int8_t>(board.roll_out_with(rng, nullptr));
      }
    });
  };
  if (run_ranges)
    run_ranges(total, play);
  else
    play(0, total);
}

void roll_outs(const std::vector<const State*>& states, int64_t repeats, uint64_t seed, DrawRules rules,
               int64_t threads, int8_t* results) {
  check_roll_outs(states, repeats, threads);
  play_roll_outs(states, repeats, seed, rules, threads, results);
}

}  // namespace varnok
