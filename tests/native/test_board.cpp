// The Board object itself: construction, the bit helpers, the take-back copy.
#include <gtest/gtest.h>

#include <string>

#include "core/board.hpp"

namespace varnok {
namespace {

constexpr const char* kInitial = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1";

TEST(Board, FreshBoardIsEmptyWithZeroCounters) {
  Board board;
  for (int piece = 0; piece < 12; ++piece) EXPECT_EQ(board.bitboards[piece], 0u) << piece;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(board.occupancies[i], 0u) << i;
  EXPECT_EQ(board.total_move_count, 0);
  EXPECT_EQ(board.state_pos, 0);
  EXPECT_EQ(board.no_progress_count, 0);
  EXPECT_EQ(board.after_reset, 0);
  EXPECT_EQ(board.prev_n_repititions, 0);
  EXPECT_EQ(board.repetition_count.size(), 0);
  EXPECT_EQ(board.move_index.size(), 0);
  EXPECT_EQ(board.state_history.size(), 0);
  // An empty board has nothing to move and nothing on any square.
  for (int square = 0; square < 64; ++square) EXPECT_EQ(board.piece_on(square), kNoPiece);
}

TEST(Board, LsbIndex) {
  EXPECT_EQ(lsb_index(0), -1);
  EXPECT_EQ(lsb_index(Bitboard{1} << 63), 63);
  EXPECT_EQ(lsb_index((Bitboard{1} << 40) + (Bitboard{1} << 3)), 3);
  for (int square = 0; square < 64; ++square)  // higher bits never matter
    EXPECT_EQ(lsb_index(~Bitboard{0} << square), square);
}

TEST(Board, PieceOnInitialPosition) {
  Board board;
  board.parse_fen(kInitial);
  EXPECT_EQ(board.piece_on(0), BR);   // a8
  EXPECT_EQ(board.piece_on(63), WR);  // h1
  EXPECT_EQ(board.piece_on(36), kNoPiece);  // e4
  // Every square against the placement written out square by square.
  const std::string layout =
      "rnbqkbnr"
      "pppppppp"
      "........"
      "........"
      "........"
      "........"
      "PPPPPPPP"
      "RNBQKBNR";
  const std::string letters = "PNBRQKpnbrqk";
  for (int square = 0; square < 64; ++square) {
    const char c = layout[square];
    const int expected = c == '.' ? kNoPiece : static_cast<int>(letters.find(c));
    EXPECT_EQ(board.piece_on(square), expected) << "square " << square;
  }
}

TEST(Board, SnapshotRoundTripKeepsCountersChanged) {
  Board board;
  board.parse_fen("r3k2r/8/8/3pP3/8/8/8/R3K2R w KQkq d6 0 1");
  board.no_progress_count = 3;
  board.total_move_count = 11;
  board.save_snapshot();
  const int castle = board.castle, enpassant = board.enpassant, side = board.side;
  const auto bitboards = board.bitboards;
  const auto occupancies = board.occupancies;

  board.side ^= 1;
  board.castle = 2;
  board.enpassant = 64;
  board.bitboards[WP] = 0;
  board.bitboards[BQ] |= square_bit(36);
  board.rebuild_occupancies();
  board.no_progress_count = 40;
  board.total_move_count = 12;

  board.restore_snapshot();
  EXPECT_EQ(board.castle, castle);
  EXPECT_EQ(board.enpassant, enpassant);
  EXPECT_EQ(board.side, side);
  EXPECT_EQ(board.bitboards, bitboards);
  EXPECT_EQ(board.occupancies, occupancies);
  EXPECT_EQ(board.no_progress_count, 40);
  EXPECT_EQ(board.total_move_count, 12);

  // One snapshot per board: a second save overwrites the first.
  board.side = 1;
  board.save_snapshot();
  board.side = 0;
  board.restore_snapshot();
  EXPECT_EQ(board.side, 1);
}

}  // namespace
}  // namespace varnok
