// Making a move: the position after it, the counters, castling rights, and
// the refusal of moves that leave the mover's king attacked.
#include <gtest/gtest.h>

#include <string>

#include "core/position.hpp"

namespace varnok {
namespace {

void expect_consistent_occupancies(const Position& p) {
  Bitboard white = 0, black = 0;
  for (int kind = kPawn; kind <= kKing; ++kind) {
    white |= p.pieces(kWhite, PieceKind(kind));
    black |= p.pieces(kBlack, PieceKind(kind));
  }
  EXPECT_EQ(p.occupancies[kWhite], white);
  EXPECT_EQ(p.occupancies[kBlack], black);
  EXPECT_EQ(p.occupancies[kBothColours], white | black);
}

// The listed move from source to target (with that promotion); kNoMove if none.
Move listed(const Position& p, int source, int target, int promoted = 0) {
  MoveList list;
  p.generate_moves(list);
  for (int i = 0; i < list.count; ++i) {
    const Move m = list.moves[i];
    if (move_source(m) == source && move_target(m) == target && move_promoted(m) == promoted) return m;
  }
  return kNoMove;
}

class MakeMove : public ::testing::Test {
 protected:
  Position position;
  void load(const char* fen, int no_progress = 0) {
    position.parse_fen(fen);
    position.no_progress_count = no_progress;
  }
  // Plays the listed move source -> target; returns make_move's verdict.
  bool play(int source, int target, int promoted = 0) {
    const Move m = listed(position, source, target, promoted);
    EXPECT_NE(m, kNoMove) << "move " << source << "-" << target << " not listed";
    return m != kNoMove && position.make_move(m);
  }
};

TEST_F(MakeMove, DoublePushSetsEnPassantSquare) {
  load("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", 5);
  const Position before = position;
  ASSERT_TRUE(play(kE2, kE4));
  EXPECT_EQ(position.bitboards[WP], before.bitboards[WP] ^ square_bit(kE2) ^ square_bit(kE4));
  for (int p = WN; p < kPieces; ++p) EXPECT_EQ(position.bitboards[p], before.bitboards[p]) << p;
  EXPECT_EQ(position.enpassant, kE3);
  EXPECT_EQ(position.castle, kAllCastling);
  EXPECT_EQ(position.side, kBlack);
  EXPECT_EQ(position.no_progress_count, 1);
  expect_consistent_occupancies(position);

  ASSERT_TRUE(play(kE7, kE5));
  EXPECT_EQ(position.enpassant, kE6);
  EXPECT_EQ(position.side, kWhite);
  // A single push also resets the counter, and clears the en-passant square.
  position.no_progress_count = 6;
  ASSERT_TRUE(play(kD2, kD3));
  EXPECT_EQ(position.enpassant, kNoSquare);
  EXPECT_EQ(position.no_progress_count, 1);
}

TEST_F(MakeMove, QuietPieceMoveCountsOnAndClearsEnPassant) {
  load("rnbqkbnr/pppp1ppp/8/4p3/4P3/8/PPPP1PPP/RNBQKBNR w KQkq e6 0 2", 7);
  ASSERT_EQ(position.enpassant, kE6);
  ASSERT_TRUE(play(kG1, kF3));
  EXPECT_EQ(position.no_progress_count, 8);
  EXPECT_EQ(position.enpassant, kNoSquare);
  EXPECT_EQ(position.pieces(kWhite, kKnight), square_bit(kB1) | square_bit(kF3));
  EXPECT_EQ(position.castle, kAllCastling);
  ASSERT_TRUE(play(kB8, kC6));
  EXPECT_EQ(position.no_progress_count, 9);
  expect_consistent_occupancies(position);
}

TEST_F(MakeMove, CastlingMovesTheRookAndDropsBothRights) {
  struct Case {
    const char* fen;
    Colour us;
    int king_from, king_to, rook_from, rook_to, castle_after;
  };
  const Case cases[] = {
      {"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", kWhite, kE1, kG1, kH1, kF1, kBlackCastling},
      {"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", kWhite, kE1, kC1, kA1, kD1, kBlackCastling},
      {"r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1", kBlack, kE8, kG8, kH8, kF8, kWhiteCastling},
      {"r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1", kBlack, kE8, kC8, kA8, kD8, kWhiteCastling},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.king_from) + "-" + std::to_string(c.king_to));
    load(c.fen, 4);
    const Move m = listed(position, c.king_from, c.king_to);
    ASSERT_TRUE(move_is_castling(m));
    const Bitboard rooks = position.pieces(c.us, kRook);
    ASSERT_TRUE(position.make_move(m));
    EXPECT_EQ(position.pieces(c.us, kKing), square_bit(c.king_to));
    EXPECT_EQ(position.pieces(c.us, kRook), rooks ^ square_bit(c.rook_from) ^ square_bit(c.rook_to));
    EXPECT_EQ(position.castle, c.castle_after);
    EXPECT_EQ(position.no_progress_count, 5);  // castling is no progress
    EXPECT_EQ(position.enpassant, kNoSquare);
    expect_consistent_occupancies(position);
  }
}

TEST_F(MakeMove, RightsFollowKingAndRookSquares) {
  const char* fen = "r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1";
  load(fen, 3);
  ASSERT_TRUE(play(kH1, kH8));  // Rh1xh8: white king side goes with h1, black king side with h8
  EXPECT_EQ(position.castle, kWhiteQueenSide | kBlackQueenSide);
  EXPECT_EQ(position.pieces(kBlack, kRook), square_bit(kA8));
  EXPECT_EQ(position.pieces(kWhite, kRook), square_bit(kA1) | square_bit(kH8));
  EXPECT_EQ(position.no_progress_count, 1);

  load(fen, 3);
  ASSERT_TRUE(play(kA1, kB1));
  EXPECT_EQ(position.castle, kAllCastling & ~kWhiteQueenSide);
  EXPECT_EQ(position.no_progress_count, 4);

  load(fen);
  ASSERT_TRUE(play(kE1, kF1));
  EXPECT_EQ(position.castle, kBlackCastling);

  load("r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1");
  ASSERT_TRUE(play(kA8, kA1));  // Ra8xa1
  EXPECT_EQ(position.castle, kWhiteKingSide | kBlackKingSide);
  ASSERT_TRUE(play(kE1, kE2));  // the king takes the last white right with it
  EXPECT_EQ(position.castle, kBlackKingSide);
}

TEST_F(MakeMove, EnPassantRemovesThePassedPawn) {
  load("4k3/8/8/2pP4/8/8/8/4K3 w - c6 0 1", 5);
  ASSERT_TRUE(play(kD5, kC6));
  EXPECT_EQ(position.pieces(kBlack, kPawn), 0u);
  EXPECT_EQ(position.pieces(kWhite, kPawn), square_bit(kC6));
  EXPECT_EQ(position.occupancies[kBlack], square_bit(kE8));  // only the black king left
  EXPECT_EQ(position.enpassant, kNoSquare);
  EXPECT_EQ(position.no_progress_count, 1);
  expect_consistent_occupancies(position);

  load("4k3/8/8/8/3pP3/8/8/4K3 b - e3 0 1", 5);
  ASSERT_TRUE(play(kD4, kE3));
  EXPECT_EQ(position.pieces(kWhite, kPawn), 0u);
  EXPECT_EQ(position.pieces(kBlack, kPawn), square_bit(kE3));
  EXPECT_EQ(position.no_progress_count, 1);
}

TEST_F(MakeMove, Promotions) {
  load("r3k2r/1P6/8/8/8/8/8/4K3 w kq - 0 1", 5);
  ASSERT_TRUE(play(kB7, kA8, WQ));
  EXPECT_EQ(position.pieces(kBlack, kRook), square_bit(kH8));
  EXPECT_EQ(position.pieces(kWhite, kPawn), 0u);
  EXPECT_EQ(position.pieces(kWhite, kQueen), square_bit(kA8));
  EXPECT_EQ(position.piece_on(kA8), WQ);
  EXPECT_EQ(position.castle, kBlackKingSide);  // the queen-side right goes with the a8 rook
  EXPECT_EQ(position.no_progress_count, 1);
  expect_consistent_occupancies(position);

  load("4k3/1P6/8/8/8/8/8/4K3 w - - 0 1");
  ASSERT_TRUE(play(kB7, kB8, WN));
  EXPECT_EQ(position.pieces(kWhite, kKnight), square_bit(kB8));
  EXPECT_EQ(position.pieces(kWhite, kPawn), 0u);

  load("4k3/8/8/8/8/8/6p1/4K2R b K - 0 1", 9);
  ASSERT_TRUE(play(kG2, kH1, BR));
  EXPECT_EQ(position.pieces(kBlack, kRook), square_bit(kH1));
  EXPECT_EQ(position.pieces(kWhite, kRook), 0u);
  EXPECT_EQ(position.pieces(kBlack, kPawn), 0u);
  EXPECT_EQ(position.castle, 0);
  EXPECT_EQ(position.no_progress_count, 1);
}

// A refused move leaves the whole position, counter included, as it was.
void expect_refused_cleanly(Position& position, Move m) {
  ASSERT_NE(m, kNoMove);
  const Position before = position;
  EXPECT_FALSE(position.make_move(m)) << move_word(m);
  EXPECT_EQ(position, before) << move_word(m);
}

TEST_F(MakeMove, IllegalMovesAreRefused) {
  // Bishop e2 pinned by the rook on e7: every bishop move is illegal.
  load("4k3/4r3/8/8/8/8/4B3/4K3 w - - 0 1", 9);
  MoveList list;
  position.generate_moves(list);
  int bishop_moves = 0;
  for (int i = 0; i < list.count; ++i)
    if (move_piece(list.moves[i]) == WB) {
      ++bishop_moves;
      expect_refused_cleanly(position, list.moves[i]);
    }
  EXPECT_EQ(bishop_moves, 9);

  // Castling onto the attacked g1 is listed, then refused.
  load("4k3/8/8/8/8/8/6r1/4K2R w K - 0 1", 9);
  expect_refused_cleanly(position, listed(position, kE1, kG1));
  EXPECT_EQ(position.castle, kWhiteKingSide);

  // Queen side with only b1 attacked is legal; with c1 attacked it is not.
  load("4k3/1r6/8/8/8/8/8/R3K3 w Q - 0 1");
  EXPECT_TRUE(play(kE1, kC1));
  load("4k3/2r5/8/8/8/8/8/R3K3 w Q - 0 1");
  expect_refused_cleanly(position, listed(position, kE1, kC1));

  // A pinned pawn: the capture leaves the file and is refused with the
  // counter kept; the pushes stay on the file and are legal.
  load("4k3/4r3/8/8/8/3p4/4P3/4K3 w - - 0 1", 9);
  expect_refused_cleanly(position, listed(position, kE2, kD3));
  EXPECT_EQ(position.no_progress_count, 9);
  EXPECT_TRUE(play(kE2, kE3));

  // In check: a pawn move that ignores it, a king step along the checking
  // file, and a double push (its en-passant square must not survive).
  load("4k3/4r3/8/8/8/8/P7/4K3 w - - 0 1", 9);
  expect_refused_cleanly(position, listed(position, kA2, kA3));
  expect_refused_cleanly(position, listed(position, kA2, kA4));
  expect_refused_cleanly(position, listed(position, kE1, kE2));
  EXPECT_TRUE(play(kE1, kD1));

  // Black is held to the same rule: the king may not step next to the white king.
  load("8/8/8/8/8/2k5/8/1K6 b - - 0 1", 2);
  expect_refused_cleanly(position, listed(position, kC3, kC2));
  EXPECT_TRUE(play(kC3, kC4));
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
    EXPECT_FALSE(position.in_check()) << fen;
    MoveList list;
    position.generate_moves(list);
    for (int i = 0; i < list.count; ++i) {
      Position next = position;
      EXPECT_TRUE(next.make_move(list.moves[i])) << fen << " " << move_word(list.moves[i]);
    }
  }
  load("4k3/4r3/8/8/8/8/8/4K3 w - - 0 1");
  EXPECT_TRUE(position.in_check());
}

}  // namespace
}  // namespace varnok
