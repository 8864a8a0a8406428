// Positions from random play, for tests that hold a shortcut to the plain
// rules: games are rolled out from the initial position and replayed through
// step, and every position reached before a move is handed to visit.
#pragma once

#include <random>
#include <vector>

#include "core/board.hpp"

namespace varnok {

template <class Visit>
void for_each_position_of_random_games(uint32_t seed, int games, Visit visit) {
  std::mt19937 rng(seed);
  Board board, replay;
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
