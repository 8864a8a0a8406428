// Batches of random roll-outs from saved games, spread over worker threads.
#pragma once

#include <cstdint>
#include <vector>

#include "env/board.hpp"

namespace varnok {

// Plays repeats seeded random roll-outs from each State and writes their
// results (+1, -1 or 0, as Board::roll_out gives them) to
// results[state * repeats + repeat]. Roll-out (state, repeat) draws from its
// own generator, seeded from seed and its two numbers, so the results do not
// depend on the number of threads. Every State is checked before any game is
// played: one that restore_state refuses throws std::invalid_argument naming
// its index.
void roll_outs(const std::vector<State>& states, int repeats, uint64_t seed, int threads, int8_t* results);

}  // namespace varnok
