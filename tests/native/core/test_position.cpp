// The Position value itself: an empty position, the bit helpers, and trial
// moves played on copies.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/position.hpp"
#include "random_positions.hpp"

namespace varnok {
namespace {

TEST(Position, DefaultPositionIsEmpty) {
  const Position position;
  for (Bitboard b : position.bitboards) EXPECT_EQ(b, 0u);
  for (Bitboard b : position.occupancies) EXPECT_EQ(b, 0u);
  EXPECT_EQ(position.castle, 0);
  EXPECT_EQ(position.enpassant, kNoSquare);
  EXPECT_EQ(position.side, kWhite);
  EXPECT_EQ(position.no_progress_count, 0);
  // Nothing on any square, so nothing to move and no king to be in check.
  for (int square = 0; square < kSquares; ++square) EXPECT_EQ(position.piece_on(square), kNoPiece);
  MoveList list;
  position.generate_moves(list);
  EXPECT_EQ(list.count, 0);
  EXPECT_FALSE(position.in_check());
}

TEST(Position, LsbIndex) {
  EXPECT_EQ(lsb_index(0), -1);
  EXPECT_EQ(lsb_index(square_bit(kH1)), kH1);
  EXPECT_EQ(lsb_index(square_bit(kA3) | square_bit(kD8)), kD8);
  for (int square = 0; square < kSquares; ++square)  // higher bits never matter
    EXPECT_EQ(lsb_index(~Bitboard{0} << square), square);
}

TEST(Position, PieceOnInitialPosition) {
  Position position;
  position.parse_fen(kInitialFen);
  EXPECT_EQ(position.piece_on(kA8), BR);
  EXPECT_EQ(position.piece_on(kH1), WR);
  EXPECT_EQ(position.piece_on(kE4), kNoPiece);
  // Every square against the placement written out square by square, rank 8 first.
  const std::string layout =
      "rnbqkbnr"
      "pppppppp"
      "........"
      "........"
      "........"
      "........"
      "PPPPPPPP"
      "RNBQKBNR";
  const std::string letters = kPieceLetters;
  for (int square = 0; square < kSquares; ++square) {
    const char c = layout[square];
    const int expected = c == '.' ? kNoPiece : static_cast<int>(letters.find(c));
    EXPECT_EQ(position.piece_on(square), expected) << "square " << square;
  }
  EXPECT_EQ(position.pieces(kWhite, kKing), square_bit(kE1));
  EXPECT_EQ(position.pieces(kBlack, kRook), square_bit(kA8) | square_bit(kH8));
}

// ---- trial moves by copy

// A position where every kind of verdict occurs: the bishop on e2 is pinned
// (its moves are illegal), g1 is attacked (castling king side is listed but
// illegal), and the other moves are legal. The counter is not zero, so a
// refused move that touched it would show.
constexpr const char* kPinAndCastling = "4k3/4r3/8/8/8/8/4B1r1/4K2R w K - 0 1";

TEST(TrialMove, RefusedMoveLeavesTheWholePositionUnchanged) {
  Position position;
  position.parse_fen(kPinAndCastling);
  position.no_progress_count = 9;
  const Position before = position;
  MoveList list;
  position.generate_moves(list);
  int refused = 0;
  for (int i = 0; i < list.count; ++i) {
    const Move move = list.moves[i];
    if (move_piece(move) != WB && !move_is_castling(move)) continue;
    EXPECT_FALSE(position.make_move(move)) << "move word " << move_word(move);
    EXPECT_EQ(position, before) << "move word " << move_word(move);
    EXPECT_EQ(position.no_progress_count, 9);
    ++refused;
  }
  EXPECT_EQ(refused, 9 + 1);  // nine bishop moves along its two diagonals, one castling
}

TEST(TrialMove, AcceptedMoveChangesOnlyTheCopy) {
  Position position;
  position.parse_fen(kPinAndCastling);
  position.no_progress_count = 9;
  const Position original = position;
  MoveList list;
  position.generate_moves(list);
  int accepted = 0;
  for (int i = 0; i < list.count; ++i) {
    Position next = position;
    if (!next.make_move(list.moves[i])) continue;
    ++accepted;
    EXPECT_NE(next, position);
    EXPECT_EQ(next.side, kBlack);
    EXPECT_EQ(next.no_progress_count, move_is_capture(list.moves[i]) ? 1 : 10);
    // The position the copy came from is untouched.
    EXPECT_EQ(position, original);
  }
  EXPECT_GT(accepted, 0);

  // A copy shares nothing: changing it field by field leaves the original as it was.
  Position copy = position;
  copy.bitboards[WB] = 0;
  copy.rebuild_occupancies();
  copy.castle = 0;
  copy.side = kBlack;
  EXPECT_EQ(position, original);
  EXPECT_EQ(position.piece_on(kE2), WB);
}

// Along random games, every pseudo-legal move tried on a copy: a refusal
// leaves the copy equal to the position, an acceptance changes it (the side
// to move at least), and is_legal gives the same verdict without playing.
TEST(TrialMove, VerdictsAndCopiesAlongRandomGames) {
  int refused = 0, accepted = 0;
  for_each_random_position(29, 20, [&](const Position& position, int game) {
    MoveList list;
    position.generate_moves(list);
    for (int i = 0; i < list.count; ++i) {
      const Move move = list.moves[i];
      Position trial = position;
      const bool legal = trial.make_move(move);
      ASSERT_EQ(position.is_legal(move), legal) << "game " << game << " move word " << move_word(move);
      if (legal) {
        ASSERT_EQ(trial.side, opponent_of(position.side)) << "game " << game << " move word " << move_word(move);
        ++accepted;
      } else {
        ASSERT_EQ(trial, position) << "game " << game << " move word " << move_word(move);
        ++refused;
      }
    }
  });
  // Random games reach checks and pins, so both verdicts occur.
  EXPECT_GT(refused, 0);
  EXPECT_GT(accepted, refused);
}

}  // namespace
}  // namespace varnok
