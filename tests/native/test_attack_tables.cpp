// Attack tables and the attacked-square test, checked against attack sets
// worked out here square by square from the geometry of the board.
#include <gtest/gtest.h>

#include <random>

#include "core/attack_tables.hpp"
#include "core/board.hpp"

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
         on_board(r + directions[d][0], f + directions[d][1]);
         r += directions[d][0], f += directions[d][1])
      set |= Bitboard{1} << (8 * r + f);
  }
  return set;
}

// Number of relevant squares per square, rank 8 first: the standard key sizes
// of magic-number slider tables.
constexpr int kBishopBits[64] = {
    6, 5, 5, 5, 5, 5, 5, 6, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 7, 7, 7, 7, 5, 5, 5, 5, 7, 9, 9, 7, 5, 5,
    5, 5, 7, 9, 9, 7, 5, 5, 5, 5, 7, 7, 7, 7, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 6, 5, 5, 5, 5, 5, 5, 6};
constexpr int kRookBits[64] = {
    12, 11, 11, 11, 11, 11, 11, 12, 11, 10, 10, 10, 10, 10, 10, 11, 11, 10, 10, 10, 10, 10,
    10, 11, 11, 10, 10, 10, 10, 10, 10, 11, 11, 10, 10, 10, 10, 10, 10, 11, 11, 10, 10, 10,
    10, 10, 10, 11, 11, 10, 10, 10, 10, 10, 10, 11, 12, 11, 11, 11, 11, 11, 11, 12};

class AttackTablesTest : public ::testing::Test {
 protected:
  Board board;  // construction fills the tables
  const AttackTables& t = attack_tables();
};

TEST_F(AttackTablesTest, LeaperExamples) {
  EXPECT_EQ(t.pawn_attack_sets[0][36], 0x0000000028000000u);  // e4 -> d5, f5
  EXPECT_EQ(t.pawn_attack_sets[1][28], 0x0000002800000000u);  // e5 -> d4, f4
  EXPECT_EQ(t.pawn_attack_sets[0][0], 0u);
  EXPECT_EQ(t.pawn_attack_sets[1][63], 0u);
  EXPECT_EQ(t.knight_attack_sets[0], 0x20400u);  // a8 -> b6, c7
  EXPECT_EQ(t.king_attack_sets[0], 0x302u);      // a8 -> b8, a7, b7
}

TEST_F(AttackTablesTest, LeapersMatchGeometryOnEverySquare) {
  for (int s = 0; s < 64; ++s) {
    EXPECT_EQ(t.pawn_attack_sets[0][s], offsets(s, kWhitePawnSteps, 2)) << s;
    EXPECT_EQ(t.pawn_attack_sets[1][s], offsets(s, kBlackPawnSteps, 2)) << s;
    EXPECT_EQ(t.knight_attack_sets[s], offsets(s, kKnightSteps, 8)) << s;
    EXPECT_EQ(t.king_attack_sets[s], offsets(s, kKingSteps, 8)) << s;
  }
}

TEST_F(AttackTablesTest, RelevanceMasks) {
  EXPECT_EQ(t.bishop_masks[0], 0x0040201008040200u);
  EXPECT_EQ(t.rook_masks[0], 0x000101010101017Eu);
  EXPECT_EQ(t.bishop_masks[27], 0x0040221400142200u);
  EXPECT_EQ(t.rook_masks[27], 0x0008080876080800u);
  EXPECT_EQ(t.rook_masks[59], 0x7608080808080800u);
  for (int s = 0; s < 64; ++s) {
    EXPECT_EQ(t.bishop_masks[s], relevant(s, kDiagonal)) << s;
    EXPECT_EQ(t.rook_masks[s], relevant(s, kStraight)) << s;
    EXPECT_EQ(std::popcount(t.bishop_masks[s]), kBishopBits[s]) << s;
    EXPECT_EQ(std::popcount(t.rook_masks[s]), kRookBits[s]) << s;
  }
}

TEST_F(AttackTablesTest, SliderLookupExamples) {
  EXPECT_EQ(bishop_lookup(0, 0), 0x8040201008040200u);
  EXPECT_EQ(bishop_lookup(36, 0), 0x8244280028448201u);
  EXPECT_EQ(rook_lookup(0, square_bit(24)), 0x00000000010101FEu);
  EXPECT_EQ(rook_lookup(0, square_bit(24) | square_bit(3)), 0x000000000101010Eu);
}

// Every blocker pattern of every square: a magic number that sends two
// patterns with different attack sets to one key shows up here.
TEST_F(AttackTablesTest, LookupsEqualRayWalkForEverySubsetOfEveryMask) {
  long checked = 0;
  for (int s = 0; s < 64; ++s) {
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
    for (int s = 0; s < 64; ++s) {
      const Bitboard bishop = walk(s, occ, kDiagonal), rook = walk(s, occ, kStraight);
      ASSERT_EQ(bishop_lookup(s, occ), bishop) << s << " " << occ;
      ASSERT_EQ(rook_lookup(s, occ), rook) << s << " " << occ;
      ASSERT_EQ(queen_lookup(s, occ), bishop | rook) << s << " " << occ;
    }
  }
}

TEST_F(AttackTablesTest, SquareAttackedByInInitialPosition) {
  board.parse_fen("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1");
  EXPECT_EQ(board.square_attacked_by(44, 0), 1);  // e3 by white
  EXPECT_EQ(board.square_attacked_by(36, 0), 0);  // e4 by white
  EXPECT_EQ(board.square_attacked_by(20, 1), 1);  // e6 by black
  EXPECT_EQ(board.square_attacked_by(28, 1), 0);  // e5 by black
}

// Whether any piece of side attacks square, from the reference geometry.
bool reference_attacked(const Board& b, int square, int side) {
  const int base = 6 * side;
  const Bitboard occ = b.occupancies[2];
  const Bitboard pawn_sources =
      side == kWhite ? offsets(square, kBlackPawnSteps, 2) : offsets(square, kWhitePawnSteps, 2);
  if (pawn_sources & b.bitboards[base + 0]) return true;
  if (offsets(square, kKnightSteps, 8) & b.bitboards[base + 1]) return true;
  if (walk(square, occ, kDiagonal) & (b.bitboards[base + 2] | b.bitboards[base + 4])) return true;
  if (walk(square, occ, kStraight) & (b.bitboards[base + 3] | b.bitboards[base + 4])) return true;
  return offsets(square, kKingSteps, 8) & b.bitboards[base + 5];
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
    board.parse_fen(fen);
    for (int side = 0; side < 2; ++side)
      for (int s = 0; s < 64; ++s)
        EXPECT_EQ(board.square_attacked_by(s, side), reference_attacked(board, s, side) ? 1 : 0)
            << fen << " square " << s << " side " << side;
  }
}

}  // namespace
}  // namespace varnok
