// Batches of random roll-outs from saved games, spread over worker threads.
#pragma once

#include <cstdint>
#include <vector>

#include "env/board.hpp"
#include "vector/thread_pool.hpp"

namespace varnok {

// Throws std::invalid_argument naming the index of the first State that
// restore_state refuses.
void check_roll_out_states(const std::vector<const State*>& states);

// Plays the roll-outs numbered [begin, end) on pool: roll-out number
// state * repeats + repeat, its result (+1, -1 or 0, as Board::roll_out gives
// it, under rules) written to results[number]. Each draws from its own generator, seeded
// from seed and its number, so the results depend neither on the number of
// threads nor on how the numbers are cut into ranges. The States must have
// passed check_roll_out_states.
void roll_outs_range(ThreadPool& pool, const std::vector<const State*>& states, int repeats, uint64_t seed,
                     DrawRules rules, int64_t begin, int64_t end, int8_t* results);

// Every roll-out of every State at once: checks the States first (nothing is
// played when one is refused), then plays states.size() * repeats roll-outs
// on threads workers.
void roll_outs(const std::vector<const State*>& states, int repeats, uint64_t seed, DrawRules rules, int threads,
               int8_t* results);

}  // namespace varnok
