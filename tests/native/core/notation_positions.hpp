// Positions and games for the notation tests, on the position core alone:
// strict FEN loading, and seeded random games from any start position.
#pragma once

#include <random>
#include <string_view>
#include <vector>

#include "core/fen_strict.hpp"
#include "random_positions.hpp"

namespace varnok {

inline Position position_of(std::string_view fen) { return parse_fen_strict(fen).position; }

// A game of uniformly random legal moves from start, until no move is left
// or after max_plies.
inline std::vector<Move> random_game(std::mt19937& rng, const Position& start, int max_plies) {
  std::vector<Move> game;
  Position position = start;
  for (int ply = 0; ply < max_plies; ++ply) {
    const std::vector<Move> moves = legal_moves_by_playing(position);
    if (moves.empty()) break;
    game.push_back(moves[std::uniform_int_distribution<size_t>(0, moves.size() - 1)(rng)]);
    position.apply_move(game.back());
  }
  return game;
}

// Hands every position of seeded random games before a move, and the move,
// to visit.
template <class Visit>
void for_each_random_move(uint32_t seed, int games, int max_plies, const Position& start, Visit visit) {
  std::mt19937 rng(seed);
  for (int game = 0; game < games; ++game) {
    Position position = start;
    for (const Move move : random_game(rng, start, max_plies)) {
      visit(position, move);
      position.apply_move(move);
    }
  }
}

}  // namespace varnok
