// Batches of random roll-outs from saved games, spread over worker threads.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "env/episode.hpp"

namespace varnok {

// The most roll-outs asked for per State.
inline constexpr int64_t kMaxRepeats = INT32_MAX;

// Throws std::invalid_argument for a repeats or thread count out of range,
// or naming the index of the first State that restore_state refuses.
void check_roll_outs(const std::vector<const State*>& states, int64_t repeats, int64_t threads);

// How a batch of work over [0, total) is cut: calls range(begin, end) over
// consecutive ranges that cover it, in order (a caller that must stay
// responsive cuts it into slices).
using RangeRunner = std::function<void(int64_t total, const std::function<void(int64_t, int64_t)>& range)>;

// Plays states.size() * repeats roll-outs on at most threads workers, after
// check_roll_outs passed: roll-out number state * repeats + repeat, its
// result (+1, -1 or 0, as Episode::roll_out gives it, under rules) written to
// results[number]. Each draws from its own generator, seeded from seed and
// its number, so the results depend neither on the number of threads nor on
// how run_ranges cuts the numbers (by default: all in one range).
void play_roll_outs(const std::vector<const State*>& states, int64_t repeats, uint64_t seed, DrawRules rules,
                    int64_t threads, int8_t* results, const RangeRunner& run_ranges = {});

// check_roll_outs, then play_roll_outs: nothing is played when a State is
// refused.
void roll_outs(const std::vector<const State*>& states, int64_t repeats, uint64_t seed, DrawRules rules,
               int64_t threads, int8_t* results);

}  // namespace varnok
