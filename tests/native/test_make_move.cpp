// Making a move: the position after it, the counters, castling rights, and
// the take-back of moves that leave the mover's king attacked.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "core/board.hpp"

namespace varnok {
namespace {

// The fields a move can change, compared as one value.
struct Position {
  int32_t castle, enpassant, side, no_progress;
  std::array<Bitboard, 12> bitboards;
  std::array<Bitboard, 3> occupancies;
  bool operator==(const Position&) const = default;
};

Position position_of(const Board& b) {
  return {b.castle, b.enpassant, b.side, b.no_progress_count, b.bitboards, b.occupancies};
}

Position position_of(const Snapshot& s, int32_t no_progress) {
  return {s.castle, s.enpassant, s.side, no_progress, s.bitboards, s.occupancies};
}

void expect_consistent_occupancies(const Board& b) {
  Bitboard white = 0, black = 0;
  for (int p = 0; p < 6; ++p) white |= b.bitboards[p];
  for (int p = 6; p < 12; ++p) black |= b.bitboards[p];
  EXPECT_EQ(b.occupancies[0], white);
  EXPECT_EQ(b.occupancies[1], black);
  EXPECT_EQ(b.occupancies[2], white | black);
}

// The listed move from source to target (with that promotion); 0 if none.
Move listed(const Board& b, int source, int target, int promoted = 0) {
  MoveList list;
  b.generate_moves(list);
  for (int i = 0; i < list.count; ++i) {
    const Move m = list.moves[i];
    if (move_source(m) == source && move_target(m) == target && move_promoted(m) == promoted) return m;
  }
  return 0;
}

class MakeMove : public ::testing::Test {
 protected:
  Board board;
  void load(const char* fen, int no_progress = 0) {
    board.parse_fen(fen);
    board.no_progress_count = no_progress;
  }
  // Plays the listed move source -> target; returns make_move's result.
  int play(int source, int target, int promoted = 0) {
    const Move m = listed(board, source, target, promoted);
    EXPECT_NE(m, 0) << "move " << source << "-" << target << " not listed";
    if (m == 0) return -1;
    return board.make_move(m);
  }
};

TEST_F(MakeMove, DoublePushSetsEnPassantSquare) {
  load("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", 5);
  const Position before = position_of(board);
  ASSERT_EQ(play(52, 36), 1);  // e2-e4
  EXPECT_EQ(board.bitboards[WP], before.bitboards[WP] ^ square_bit(52) ^ square_bit(36));
  for (int p = 1; p < 12; ++p) EXPECT_EQ(board.bitboards[p], before.bitboards[p]) << p;
  EXPECT_EQ(board.enpassant, 44);
  EXPECT_EQ(board.castle, 15);
  EXPECT_EQ(board.side, kBlack);
  EXPECT_EQ(board.no_progress_count, 1);
  expect_consistent_occupancies(board);
  // The snapshot still holds the position before the move.
  EXPECT_EQ(position_of(board.snapshot, 5), before);

  ASSERT_EQ(play(12, 28), 1);  // e7-e5
  EXPECT_EQ(board.enpassant, 20);
  EXPECT_EQ(board.side, kWhite);
  // A single push also resets the counter, and clears the en-passant square.
  board.no_progress_count = 6;
  ASSERT_EQ(play(51, 43), 1);  // d2-d3
  EXPECT_EQ(board.enpassant, 64);
  EXPECT_EQ(board.no_progress_count, 1);
}

TEST_F(MakeMove, QuietPieceMoveCountsOnAndClearsEnPassant) {
  load("rnbqkbnr/pppp1ppp/8/4p3/4P3/8/PPPP1PPP/RNBQKBNR w KQkq e6 0 2", 7);
  ASSERT_EQ(board.enpassant, 20);
  ASSERT_EQ(play(62, 45), 1);  // g1-f3
  EXPECT_EQ(board.no_progress_count, 8);
  EXPECT_EQ(board.enpassant, 64);
  EXPECT_EQ(board.bitboards[WN], square_bit(57) | square_bit(45));
  EXPECT_EQ(board.castle, 15);
  ASSERT_EQ(play(1, 18), 1);  // b8-c6
  EXPECT_EQ(board.no_progress_count, 9);
  expect_consistent_occupancies(board);
}

TEST_F(MakeMove, CastlingMovesTheRookAndDropsBothRights) {
  struct Case {
    const char* fen;
    int king_from, king_to, rook_piece, rook_from, rook_to, castle_after;
  };
  const Case cases[] = {
      {"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", 60, 62, WR, 63, 61, 12},
      {"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", 60, 58, WR, 56, 59, 12},
      {"r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1", 4, 6, BR, 7, 5, 3},
      {"r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1", 4, 2, BR, 0, 3, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.king_from) + "-" + std::to_string(c.king_to));
    load(c.fen, 4);
    const Move m = listed(board, c.king_from, c.king_to);
    ASSERT_TRUE(move_is_castling(m));
    const Bitboard rooks = board.bitboards[c.rook_piece];
    ASSERT_EQ(board.make_move(m), 1);
    const int king = c.rook_piece + 2;
    EXPECT_EQ(board.bitboards[king], square_bit(c.king_to));
    EXPECT_EQ(board.bitboards[c.rook_piece], rooks ^ square_bit(c.rook_from) ^ square_bit(c.rook_to));
    EXPECT_EQ(board.castle, c.castle_after);
    EXPECT_EQ(board.no_progress_count, 5);  // castling is no progress
    EXPECT_EQ(board.enpassant, 64);
    expect_consistent_occupancies(board);
  }
}

TEST_F(MakeMove, RightsFollowKingAndRookSquares) {
  const char* fen = "r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1";
  load(fen, 3);
  ASSERT_EQ(play(63, 7), 1);  // h1xh8: white king side by h1, black king side by h8
  EXPECT_EQ(board.castle, 10);
  EXPECT_EQ(board.bitboards[BR], square_bit(0));
  EXPECT_EQ(board.bitboards[WR], square_bit(56) | square_bit(7));
  EXPECT_EQ(board.no_progress_count, 1);

  load(fen, 3);
  ASSERT_EQ(play(56, 57), 1);  // a1-b1
  EXPECT_EQ(board.castle, 13);
  EXPECT_EQ(board.no_progress_count, 4);

  load(fen);
  ASSERT_EQ(play(60, 61), 1);  // Ke1-f1
  EXPECT_EQ(board.castle, 12);

  load("r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1");
  ASSERT_EQ(play(0, 56), 1);  // a8xa1
  EXPECT_EQ(board.castle, 5);
  ASSERT_EQ(play(60, 52), 1);  // Ke1-e2 takes the last white right
  EXPECT_EQ(board.castle, 4);
}

TEST_F(MakeMove, EnPassantRemovesThePassedPawn) {
  load("4k3/8/8/2pP4/8/8/8/4K3 w - c6 0 1", 5);
  ASSERT_EQ(play(27, 18), 1);  // d5xc6 e.p.
  EXPECT_EQ(board.bitboards[BP], 0u);
  EXPECT_EQ(board.bitboards[WP], square_bit(18));
  EXPECT_EQ(board.occupancies[1], square_bit(4));  // only the black king left
  EXPECT_EQ(board.enpassant, 64);
  EXPECT_EQ(board.no_progress_count, 1);
  expect_consistent_occupancies(board);

  load("4k3/8/8/8/3pP3/8/8/4K3 b - e3 0 1", 5);
  ASSERT_EQ(play(35, 44), 1);  // d4xe3 e.p.
  EXPECT_EQ(board.bitboards[WP], 0u);
  EXPECT_EQ(board.bitboards[BP], square_bit(44));
  EXPECT_EQ(board.no_progress_count, 1);
}

TEST_F(MakeMove, Promotions) {
  load("r3k2r/1P6/8/8/8/8/8/4K3 w kq - 0 1", 5);
  ASSERT_EQ(play(9, 0, WQ), 1);  // b7xa8=Q
  EXPECT_EQ(board.bitboards[BR], square_bit(7));
  EXPECT_EQ(board.bitboards[WP], 0u);
  EXPECT_EQ(board.bitboards[WQ], square_bit(0));
  EXPECT_EQ(board.piece_on(0), WQ);
  EXPECT_EQ(board.castle, 4);  // the black queen-side right goes with the a8 rook
  EXPECT_EQ(board.no_progress_count, 1);
  expect_consistent_occupancies(board);

  load("4k3/1P6/8/8/8/8/8/4K3 w - - 0 1");
  ASSERT_EQ(play(9, 1, WN), 1);  // b7-b8=N
  EXPECT_EQ(board.bitboards[WN], square_bit(1));
  EXPECT_EQ(board.bitboards[WP], 0u);

  load("4k3/8/8/8/8/8/6p1/4K2R b K - 0 1", 9);
  ASSERT_EQ(play(54, 63, BR), 1);  // g2xh1=R
  EXPECT_EQ(board.bitboards[BR], square_bit(63));
  EXPECT_EQ(board.bitboards[WR], 0u);
  EXPECT_EQ(board.bitboards[BP], 0u);
  EXPECT_EQ(board.castle, 0);
  EXPECT_EQ(board.no_progress_count, 1);
}

// A rejected move leaves every position field and the counter as they were,
// and the snapshot equal to the position.
void expect_rejected_cleanly(Board& board, Move m) {
  const Position before = position_of(board);
  EXPECT_EQ(board.make_move(m), 0) << m;
  EXPECT_EQ(position_of(board), before) << m;
  EXPECT_EQ(position_of(board.snapshot, board.no_progress_count), before) << m;
}

TEST_F(MakeMove, IllegalMovesAreTakenBack) {
  // Bishop e2 pinned by the rook on e7: every bishop move is illegal.
  load("4k3/4r3/8/8/8/8/4B3/4K3 w - - 0 1", 9);
  MoveList list;
  board.generate_moves(list);
  int bishop_moves = 0;
  for (int i = 0; i < list.count; ++i)
    if (move_piece(list.moves[i]) == WB) {
      ++bishop_moves;
      expect_rejected_cleanly(board, list.moves[i]);
    }
  EXPECT_EQ(bishop_moves, 9);

  // Castling onto the attacked g1 is listed, then rejected.
  load("4k3/8/8/8/8/8/6r1/4K2R w K - 0 1", 9);
  expect_rejected_cleanly(board, listed(board, 60, 62));
  EXPECT_EQ(board.castle, 1);

  // Queen side with only b1 attacked is legal; with c1 attacked it is not.
  load("4k3/1r6/8/8/8/8/8/R3K3 w Q - 0 1");
  EXPECT_EQ(play(60, 58), 1);
  load("4k3/2r5/8/8/8/8/8/R3K3 w Q - 0 1");
  expect_rejected_cleanly(board, listed(board, 60, 58));

  // A pinned pawn: the capture leaves the file and is rejected with the
  // counter kept; the pushes stay on the file and are legal.
  load("4k3/4r3/8/8/8/3p4/4P3/4K3 w - - 0 1", 9);
  expect_rejected_cleanly(board, listed(board, 52, 43));
  EXPECT_EQ(board.no_progress_count, 9);
  EXPECT_EQ(play(52, 44), 1);

  // In check: a pawn move that ignores it, a king step along the checking
  // file, and a double push (its en-passant square must not survive).
  load("4k3/4r3/8/8/8/8/P7/4K3 w - - 0 1", 9);
  expect_rejected_cleanly(board, listed(board, 48, 40));
  expect_rejected_cleanly(board, listed(board, 48, 32));
  expect_rejected_cleanly(board, listed(board, 60, 52));
  EXPECT_EQ(play(60, 59), 1);

  // Black is held to the same rule: the king may not step next to the white king.
  load("8/8/8/8/8/2k5/8/1K6 b - - 0 1", 2);
  expect_rejected_cleanly(board, listed(board, 42, 50));
  EXPECT_EQ(play(42, 34), 1);
}

TEST_F(MakeMove, SideWithoutKingAcceptsEveryMove) {
  const char* fens[] = {
      "4k3/8/8/8/8/8/8/R7 w - - 0 1",
      "4K3/8/8/8/8/8/p7/r7 b - - 0 1",
      "8/8/8/8/8/8/8/R3K2R b KQ - 0 1",  // black has nothing at all
      "4k3/8/8/8/8/8/8/8 w K - 0 1",     // white has only a castling right
  };
  for (const char* fen : fens) {
    load(fen);
    EXPECT_FALSE(board.side_to_move_in_check()) << fen;
    MoveList list;
    board.generate_moves(list);
    const Position start = position_of(board);
    for (int i = 0; i < list.count; ++i) {
      EXPECT_EQ(board.make_move(list.moves[i]), 1) << fen << " " << list.moves[i];
      board.restore_snapshot();
      board.no_progress_count = start.no_progress;
      EXPECT_EQ(position_of(board), start);
    }
  }
  load("4k3/4r3/8/8/8/8/8/4K3 w - - 0 1");
  EXPECT_TRUE(board.side_to_move_in_check());
}

}  // namespace
}  // namespace varnok
