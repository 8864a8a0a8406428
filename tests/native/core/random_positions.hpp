// Positions from random play on the position core alone, for tests that hold
// a shortcut to the plain rules. Each game starts from the initial position
// and plays uniformly random legal moves, found the plain way (every
// generated move tried on a copy), until the side to move has none or
// max_plies moves have been played. visit sees every position reached,
// the last one included, with the number of its game.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "core/position.hpp"

namespace varnok {

inline constexpr const char* kInitialFen = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1";

// The legal moves of position in generation order, each judged by playing it
// on a copy.
inline std::vector<Move> legal_moves_by_playing(const Position& position) {
  MoveList list;
  position.generate_moves(list);
  std::vector<Move> legal;
  for (int i = 0; i < list.count; ++i) {
    Position next = position;
    if (next.make_move(list.moves[i])) legal.push_back(list.moves[i]);
  }
  return legal;
}

template <class Visit>
void for_each_random_position(uint32_t seed, int games, Visit visit, int max_plies = 200) {
  std::mt19937 rng(seed);
  for (int game = 0; game < games; ++game) {
    Position position;
    position.parse_fen(kInitialFen);
    for (int ply = 0;; ++ply) {
      visit(position, game);
      const std::vector<Move> legal = legal_moves_by_playing(position);
      if (legal.empty() || ply == max_plies) break;
      std::uniform_int_distribution<size_t> pick(0, legal.size() - 1);
      position.apply_move(legal[pick(rng)]);
    }
  }
}

}  // namespace varnok
