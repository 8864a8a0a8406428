// Attack tables and the attacked-square test, checked against attack sets
// worked out here square by square from the geometry of the board.
#include <gtest/gtest.h>

#include <random>

#include "core/attack_tables.hpp"
#include "core/position.hpp"

namespace varnok {
namespace {

// ---- reference geometry: row 0 is rank 8, file 0 is the a-file

bool on_board(int row, int file) { return row >= 0 && row < 8 && file >= 0 && file < 8; }

Bitboard offsets(int square, const int (*steps)[2], int count) {
  Bitboard set = 0;
  for (int i = 0; i < count; ++i) {
    const int r = square / 8 + steps[i][0], f = square % 8 + steps[i][1];
    if (on_board(r, f)) set |= Bitboard{1} << (8 * r + f);
  }
  return set;
}

constexpr int kKnightSteps[8][2] = {{-2, -1}, {-2, 1}, {-1, -2}, {-1, 2}, {1, -2}, {1, 2}, {2, -1}, {2, 1}};
constexpr int kKingSteps[8][2] = {{-1, -1}, {-1, 0}, {-1, 1}, {0, -1}, {0, 1}, {1, -1}, {1, 0}, {1, 1}};
constexpr int kWhitePawnSteps[2][2] = {{-1, -1}, {-1, 1}};  // towards rank 8
constexpr int kBlackPawnSteps[2][2] = {{1, -1}, {1, 1}};    // towards rank 1
constexpr int kDiagonal[4][2] = {{-1, -1}, {-1, 1}, {1, -1}, {1, 1}};
constexpr int kStraight[4][2] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};

// Each ray up to and including the first occupied square.
Bitboard walk(int square, Bitboard occupied, const int (*directions)[2]) {
  Bitboard set = 0;
  for (int d = 0; d < 4; ++d) {
    for (int r = square / 8 + directions[d][0], f = square % 8 + directions[d][1]; on_board(r, f);
         r += directions[d][0], f += directions[d][1]) {
      const Bitboard bit = Bitboard{1} << (8 * r + f);
      set |= bit;
      if (occupied & bit) break;
    }
  }
  return set;
}

// The squares whose occupation can change a slider's attack set: every ray
// square except the last one before the edge.
Bitboard relevant(int square, const int (*directions)[2]) {
  Bitboard set = 0;
  for (int d = 0; d < 4; ++d) {
    for (int r = square / 8 + directions[d][0], f = square % 8 + directions[d][1];
         on_board(r + directions[d][0], f + directions[d][1]); r += directions[d][0], f += directions[d][1])
      set |= Bitboard{1} << (8 * r + f);
  }
  return set;
}

// Number of relevant squares per square, rank 8 first: the standard key sizes
// of magic-number slider tables.
// clang-format off
constexpr int kBishopBits[64] = {
    6, 5, 5, 5, 5, 5, 5, 6,
    5, 5, 5, 5, 5, 5, 5, 5,
    5, 5, 7, 7, 7, 7, 5, 5,
    5, 5, 7, 9, 9, 7, 5, 5,
    5, 5, 7, 9, 9, 7, 5, 5,
    5, 5, 7, 7, 7, 7, 5, 5,
    5, 5, 5, 5, 5, 5, 5, 5,
    6, 5, 5, 5, 5, 5, 5, 6};
constexpr int kRookBits[64] = {
    12, 11, 11, 11, 11, 11, 11, 12,
    11, 10, 10, 10, 10, 10, 10, 11,
    11, 10, 10, 10, 10, 10, 10, 11,
    11, 10, 10, 10, 10, 10, 10, 11,
    11, 10, 10, 10, 10, 10, 10, 11,
    11, 10, 10, 10, 10, 10, 10, 11,
    11, 10, 10, 10, 10, 10, 10, 11,
    12, 11, 11, 11, 11, 11, 11, 12};
// clang-format on

// No set-up call: the tables are filled when the library is loaded.
class AttackTablesTest : public ::testing::Test {
 protected:
  Position position;
  const AttackTables& t = attack_tables();
};

TEST_F(AttackTablesTest, LeaperExamples) {
  EXPECT_EQ(t.pawn_attack_sets[kWhite][kE4], square_bit(kD5) | square_bit(kF5));
  EXPECT_EQ(t.pawn_attack_sets[kBlack][kE5], square_bit(kD4) | square_bit(kF4));
  EXPECT_EQ(t.pawn_attack_sets[kWhite][kA8], 0u);
  EXPECT_EQ(t.pawn_attack_sets[kBlack][kH1], 0u);
  EXPECT_EQ(t.knight_attack_sets[kA8], square_bit(kB6) | square_bit(kC7));
  EXPECT_EQ(t.king_attack_sets[kA8], square_bit(kB8) | square_bit(kA7) | square_bit(kB7));
}

TEST_F(AttackTablesTest, LeapersMatchGeometryOnEverySquare) {
  for (int s = 0; s < kSquares; ++s) {
    EXPECT_EQ(t.pawn_attack_sets[kWhite][s], offsets(s, kWhitePawnSteps, 2)) << s;
    EXPECT_EQ(t.pawn_attack_sets[kBlack][s], offsets(s, kBlackPawnSteps, 2)) << s;
    EXPECT_EQ(t.knight_attack_sets[s], offsets(s, kKnightSteps, 8)) << s;
    EXPECT_EQ(t.king_attack_sets[s], offsets(s, kKingSteps, 8)) << s;
  }
}

TEST_F(AttackTablesTest, RelevanceMasks) {
  EXPECT_EQ(t.bishop_masks[kA8], 0x0040201008040200u);
  EXPECT_EQ(t.rook_masks[kA8], 0x000101010101017Eu);
  EXPECT_EQ(t.bishop_masks[kD5], 0x0040221400142200u);
  EXPECT_EQ(t.rook_masks[kD5], 0x0008080876080800u);
  EXPECT_EQ(t.rook_masks[kD1], 0x7608080808080800u);
  for (int s = 0; s < kSquares; ++s) {
    EXPECT_EQ(t.bishop_masks[s], relevant(s, kDiagonal)) << s;
    EXPECT_EQ(t.rook_masks[s], relevant(s, kStraight)) << s;
    EXPECT_EQ(std::popcount(t.bishop_masks[s]), kBishopBits[s]) << s;
    EXPECT_EQ(std::popcount(t.rook_masks[s]), kRookBits[s]) << s;
  }
}

TEST_F(AttackTablesTest, SliderLookupExamples) {
  EXPECT_EQ(bishop_lookup(kA8, 0), 0x8040201008040200u);  // the long diagonal to h1
  EXPECT_EQ(bishop_lookup(kE4, 0), 0x8244280028448201u);
  // From a8 with a blocker on a5, then also on d8: each ray stops on its blocker.
  const Bitboard down_to_a5 = square_bit(kA7) | square_bit(kA6) | square_bit(kA5);
  EXPECT_EQ(rook_lookup(kA8, square_bit(kA5)), (kRank8 & ~square_bit(kA8)) | down_to_a5);
  EXPECT_EQ(rook_lookup(kA8, square_bit(kA5) | square_bit(kD8)),
            square_bit(kB8) | square_bit(kC8) | square_bit(kD8) | down_to_a5);
}

// Every blocker pattern of every square: a magic number that sends two
// patterns with different attack sets to one key shows up here.
TEST_F(AttackTablesTest, LookupsEqualRayWalkForEverySubsetOfEveryMask) {
  long checked = 0;
  for (int s = 0; s < kSquares; ++s) {
    const Bitboard bmask = relevant(s, kDiagonal);
    Bitboard subset = 0;
    do {
      ASSERT_EQ(bishop_lookup(s, subset), walk(s, subset, kDiagonal)) << "bishop " << s << " " << subset;
      ++checked;
      subset = (subset - bmask) & bmask;
    } while (subset != 0);
    const Bitboard rmask = relevant(s, kStraight);
    subset = 0;
    do {
      ASSERT_EQ(rook_lookup(s, subset), walk(s, subset, kStraight)) << "rook " << s << " " << subset;
      ++checked;
      subset = (subset - rmask) & rmask;
    } while (subset != 0);
  }
  EXPECT_EQ(checked, 5248 + 102400);
}

// Occupancies as the generator passes them: edge squares, the slider's own
// square and squares off its lines are set too and must not matter.
TEST_F(AttackTablesTest, LookupsIgnoreSquaresOutsideTheMask) {
  std::mt19937_64 rng(20240607);
  for (int round = 0; round < 2000; ++round) {
    Bitboard occ = rng() & rng();
    if (round % 2) occ |= rng();
    for (int s = 0; s < kSquares; ++s) {
      const Bitboard bishop = walk(s, occ, kDiagonal), rook = walk(s, occ, kStraight);
      ASSERT_EQ(bishop_lookup(s, occ), bishop) << s << " " << occ;
      ASSERT_EQ(rook_lookup(s, occ), rook) << s << " " << occ;
      ASSERT_EQ(queen_lookup(s, occ), bishop | rook) << s << " " << occ;
    }
  }
}

TEST_F(AttackTablesTest, SquareAttackedByInInitialPosition) {
  position.parse_fen("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1");
  EXPECT_TRUE(position.square_attacked_by(kE3, kWhite));
  EXPECT_FALSE(position.square_attacked_by(kE4, kWhite));
  EXPECT_TRUE(position.square_attacked_by(kE6, kBlack));
  EXPECT_FALSE(position.square_attacked_by(kE5, kBlack));
}

// Whether any piece of side attacks square, from the reference geometry.
bool reference_attacked(const Position& p, int square, int side) {
  const Bitboard occ = p.occupancies[kBothColours];
  // A pawn attacks square from where a pawn of the other colour on square would attack.
  const Bitboard pawn_sources =
      side == kWhite ? offsets(square, kBlackPawnSteps, 2) : offsets(square, kWhitePawnSteps, 2);
  if (pawn_sources & p.pieces(side, kPawn)) return true;
  if (offsets(square, kKnightSteps, 8) & p.pieces(side, kKnight)) return true;
  if (walk(square, occ, kDiagonal) & (p.pieces(side, kBishop) | p.pieces(side, kQueen))) return true;
  if (walk(square, occ, kStraight) & (p.pieces(side, kRook) | p.pieces(side, kQueen))) return true;
  return offsets(square, kKingSteps, 8) & p.pieces(side, kKing);
}

TEST_F(AttackTablesTest, SquareAttackedByMatchesReferenceOnEverySquare) {
  const char* fens[] = {
      "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
      "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
      "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
      "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
      "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
      // Pawns on the edge ranks and files, where wrapping would show.
      "P6p/7P/p7/8/8/7p/P7/p6P w - - 0 1",
  };
  for (const char* fen : fens) {
    position.parse_fen(fen);
    for (int side = kWhite; side <= kBlack; ++side)
      for (int s = 0; s < kSquares; ++s)
        EXPECT_EQ(position.square_attacked_by(s, side), reference_attacked(position, s, side))
            << fen << " square " << s << " side " << side;
  }
}

}  // namespace
}  // namespace varnok
