// The move sampler behind roll-outs draws from exactly the pseudo-legal
// moves that generate_moves lists, each once, without listing them.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/position.hpp"
#include "env/episode.hpp"
#include "env/move_sampler.hpp"
#include "random_games.hpp"

namespace varnok {
namespace {

// The sampler must offer exactly the moves of generate_moves, each once.
void expect_sampler_matches_generator(const Position& position, const std::string& where) {
  MoveList list;
  position.generate_moves(list);
  std::vector<Move> generated(list.moves.begin(), list.moves.begin() + list.count);
  const MoveSampler sampler(position);
  std::vector<Move> sampled;
  for (int i = 0; i < sampler.count(); ++i) sampled.push_back(sampler.move_at(i));
  std::sort(generated.begin(), generated.end());
  std::sort(sampled.begin(), sampled.end());
  ASSERT_EQ(sampled, generated) << where;
}

TEST(MoveSampler, OffersExactlyTheGeneratedMoves) {
  const char* fens[] = {
      "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
      "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
      "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
      "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 b kq - 0 1",
      "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
      "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
      "4k3/8/8/2pP4/8/8/8/4K3 w - c6 0 1",  // en passant
      "4k3/8/8/8/2Pp4/8/8/4K3 b - c3 0 1",  // en passant for black
      "4k3/8/8/8/8/8/8/R3K2R w KQ e6 0 1",  // castling, an idle en-passant square
      "Pp6/8/8/8/8/8/8/pP5K w - - 0 1",     // pawns on the first and last ranks
      "Pp6/8/8/8/8/8/8/pP5k b - - 0 1",
  };
  for (const char* fen : fens) {
    Position position;
    position.parse_fen(fen);
    expect_sampler_matches_generator(position, fen);
  }
  // And along random games from the initial position, both sides to move.
  for_each_position_of_random_games(3, 30, [](const Episode& board, int game) {
    expect_sampler_matches_generator(board.position, "game " + std::to_string(game));
  });
}

}  // namespace
}  // namespace varnok
