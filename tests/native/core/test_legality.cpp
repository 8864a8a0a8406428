// The shortcuts that judge moves without playing them must agree with
// make_move, which plays each move (on a copy) and looks at the king, on every
// pseudo-legal move: checks, double checks, pins along every line, pinned
// en-passant captures, kings next to each other, a king that can be taken,
// sides with no king or two.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/legality.hpp"
#include "core/position.hpp"
#include "random_positions.hpp"

namespace varnok {
namespace {

// Plays the move on a copy of the position.
bool legal_by_playing(Position copy, Move move) { return copy.make_move(move); }

void expect_verdicts_agree(const Position& position, const std::string& where) {
  MoveList list;
  position.generate_moves(list);
  const LegalityFilter filter(position);
  const SingleMoveLegality single(position, no_square_held_twice(position));
  std::vector<Move> visited;
  for_each_legal_move(position, [&](Move move) { visited.push_back(move); });
  std::vector<Move> expected_legal;
  for (int i = 0; i < list.count; ++i) {
    const Move move = list.moves[i];
    const bool expected = legal_by_playing(position, move);
    if (expected) expected_legal.push_back(move);
    ASSERT_EQ(filter(move), expected) << where << " move word " << move_word(move);
    ASSERT_EQ(single(move), expected) << where << " move word " << move_word(move);
  }
  // The list-wide helpers hand on exactly the legal moves, in generation order.
  ASSERT_EQ(visited, expected_legal) << where;
  ASSERT_EQ(has_legal_move(position), !expected_legal.empty()) << where;
}

TEST(Legality, ShortcutsAgreeWithPlayingTheMove) {
  const char* fens[] = {
      "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
      "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
      "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
      "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
      "4k3/8/8/8/8/8/4r3/4K3 w - - 0 1",     // check by a rook next to the king
      "4k3/8/8/8/1b6/8/3P4/4K2r w - - 0 1",  // check along the rank, a pinned pawn
      "4k3/8/8/8/7b/8/5n2/4K3 w - - 0 1",    // double check: only the king may move
      "4k3/4r3/8/8/8/8/4B3/4K3 w - - 0 1",   // bishop pinned on the file
      "4k3/8/8/q7/8/8/3N4/4K3 w - - 0 1",    // knight pinned on the diagonal
      "4k3/8/8/8/K1pP3r/8/8/8 b - d3 0 1",   // en passant that would bare the rank
      "4k3/8/8/KPp4r/8/8/8/8 w - c6 0 1",    // the same for white
      "8/8/8/3k4/8/3K4/8/8 w - - 0 1",       // kings one square apart
      "4k3/8/8/8/8/8/8/4K2R b K - 0 1",      // black to move may have the king taken at once
      "3qk3/8/8/8/8/8/8/3K4 w - - 0 1",      // king in check, taking the queen is out of reach
      "4k3/8/8/8/8/8/8/3QK3 b - - 0 1",
      "8/8/8/8/8/8/8/R3K3 w Q - 0 1",        // white without an enemy king
      "r3k3/8/8/8/8/8/8/8 b q - 0 1",        // black alone
      "4k3/8/8/8/8/8/8/1N1Q1B2 w - - 0 1",   // white without a king
      "4k3/8/8/8/8/8/2K5/5K2 w - - 0 1",     // two white kings
      "1r2k3/8/8/8/8/8/8/R3K2R w KQ - 0 1",  // castling across an attacked square
      "4k3/8/8/8/8/8/6p1/R3K2R w KQ - 0 1",
  };
  for (const char* fen : fens) {
    Position position;
    position.parse_fen(fen);
    expect_verdicts_agree(position, fen);
    position.side = opponent_of(position.side);  // and the same pieces with the other side to move
    expect_verdicts_agree(position, std::string(fen) + " other side");
  }
}

TEST(Legality, ShortcutsAgreeWhenASquareHoldsTwoPieces) {
  // The en-passant square holds a white knight; taking en passant puts the
  // pawn on top of it.
  Position position;
  position.parse_fen("4k3/8/r2N4/3pP3/8/8/8/7K w - d6 0 1");
  MoveList list;
  position.generate_moves(list);
  Move en_passant = kNoMove;
  for (int i = 0; i < list.count; ++i)
    if (move_is_en_passant(list.moves[i])) en_passant = list.moves[i];
  ASSERT_NE(en_passant, kNoMove);
  ASSERT_TRUE(position.make_move(en_passant));
  ASSERT_FALSE(no_square_held_twice(position));
  expect_verdicts_agree(position, "black after the en-passant capture");
  position.side = opponent_of(position.side);
  expect_verdicts_agree(position, "white after the en-passant capture");
}

TEST(Legality, ShortcutsAgreeAlongRandomGames) {
  for_each_random_position(11, 40, [](const Position& position, int game) {
    expect_verdicts_agree(position, "game " + std::to_string(game));
  });
}

}  // namespace
}  // namespace varnok
