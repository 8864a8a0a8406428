// Episodes of random play, for episode tests that need many boards reached
// by play: games are rolled out from the initial position and replayed
// through step, and the Episode before each move is handed to visit. (Position
// tests use tests/native/core/random_positions.hpp, which needs no episode.)
#pragma once

#include <random>
#include <vector>

#include "env/episode.hpp"

namespace varnok {

template <class Visit>
void for_each_position_of_random_games(uint32_t seed, int games, Visit visit) {
  std::mt19937 rng(seed);
  Episode board, replay;
  for (int game = 0; game < games; ++game) {
    board.reset();
    std::vector<int32_t> played;
    board.roll_out_with(rng, &played);
    replay.reset();
    for (int32_t action : played) {
      visit(replay, game);
      replay.step(action);
    }
  }
}

}  // namespace varnok
