// Pseudo-legal move generation: which moves are listed, and in what order.
// The order decides which legal reply a step finds first, so it is pinned
// move by move here.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "core/position.hpp"

namespace varnok {
namespace {

// The move word written out from its bit layout: source bits 0-5, target
// 6-11, piece 12-15, promoted piece 16-19, then capture, double push,
// en passant and castling flags at bits 20-23.
constexpr int kCap = 1 << 20, kDouble = 1 << 21, kEp = 1 << 22, kCastle = 1 << 23;
constexpr Move word(int source, int target, int piece, int promoted = 0, int flags = 0) {
  return Move{source + target * 64 + piece * 4096 + promoted * 65536 + flags};
}

std::vector<Move> moves_of(const char* fen) {
  Position position;
  position.parse_fen(fen);
  MoveList list;
  list.count = 12345;  // the generator starts the list afresh
  position.generate_moves(list);
  return std::vector<Move>(list.moves.begin(), list.moves.begin() + list.count);
}

std::vector<Move> with_piece(const std::vector<Move>& moves, int piece) {
  std::vector<Move> out;
  for (Move m : moves)
    if (move_piece(m) == piece) out.push_back(m);
  return out;
}

bool contains(const std::vector<Move>& moves, Move m) {
  return std::find(moves.begin(), moves.end(), m) != moves.end();
}

TEST(MoveGen, InitialPositionWhiteInOrder) {
  std::vector<Move> expected;
  for (int s = kA2; s <= kH2; ++s) {  // single push, then double push
    expected.push_back(word(s, s + kNorth, WP));
    expected.push_back(word(s, s + 2 * kNorth, WP, 0, kDouble));
  }
  expected.push_back(word(kB1, kA3, WN));
  expected.push_back(word(kB1, kC3, WN));
  expected.push_back(word(kG1, kF3, WN));
  expected.push_back(word(kG1, kH3, WN));
  EXPECT_EQ(moves_of("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"), expected);
}

TEST(MoveGen, InitialPositionBlackInOrder) {
  std::vector<Move> expected;
  for (int s = kA7; s <= kH7; ++s) {
    expected.push_back(word(s, s + kSouth, BP));
    expected.push_back(word(s, s + 2 * kSouth, BP, 0, kDouble));
  }
  expected.push_back(word(kB8, kA6, BN));
  expected.push_back(word(kB8, kC6, BN));
  expected.push_back(word(kG8, kF6, BN));
  expected.push_back(word(kG8, kH6, BN));
  EXPECT_EQ(moves_of("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq - 0 1"), expected);
}

TEST(MoveGen, PromotionsPushFirstThenCapturesByTarget) {
  // White pawn b7 with b8 empty, a black rook on a8 and a black knight on c8.
  std::vector<Move> white = with_piece(moves_of("r1n1k3/1P6/8/8/8/8/8/4K3 w - - 0 1"), WP);
  std::vector<Move> expected;
  for (int q : {WQ, WR, WB, WN}) expected.push_back(word(kB7, kB8, WP, q));
  for (int q : {WQ, WR, WB, WN}) expected.push_back(word(kB7, kA8, WP, q, kCap));
  for (int q : {WQ, WR, WB, WN}) expected.push_back(word(kB7, kC8, WP, q, kCap));
  EXPECT_EQ(white, expected);

  // Black pawn g2 with g1 empty, white pieces on f1 and h1.
  std::vector<Move> black = with_piece(moves_of("4k3/8/8/8/8/8/6p1/4KB1R b - - 0 1"), BP);
  expected.clear();
  for (int q : {BQ, BR, BB, BN}) expected.push_back(word(kG2, kG1, BP, q));
  for (int q : {BQ, BR, BB, BN}) expected.push_back(word(kG2, kF1, BP, q, kCap));
  for (int q : {BQ, BR, BB, BN}) expected.push_back(word(kG2, kH1, BP, q, kCap));
  EXPECT_EQ(black, expected);

  // A blocked seventh-rank pawn still captures with promotion.
  std::vector<Move> blocked = with_piece(moves_of("nr2k3/1P6/8/8/8/8/8/4K3 w - - 0 1"), WP);
  expected.clear();
  for (int q : {WQ, WR, WB, WN}) expected.push_back(word(kB7, kA8, WP, q, kCap));
  EXPECT_EQ(blocked, expected);
}

TEST(MoveGen, PawnPushesAndCaptures) {
  // e2 blocked by a knight on e3: no single and no double push. d2 has a free
  // single push but a blocked double push. The knight on e3 is captured by d2
  // and f2; pawns never capture forwards or their own pieces.
  std::vector<Move> white = with_piece(moves_of("4k3/8/8/8/3n4/4n3/3PPP2/4K3 w - - 0 1"), WP);
  std::vector<Move> expected = {
      word(kD2, kD3, WP),              // d4 blocked: no double push
      word(kD2, kE3, WP, 0, kCap),     // d2 takes the knight
      word(kF2, kF3, WP),              // f2 pushes once
      word(kF2, kF4, WP, 0, kDouble),  // and twice
      word(kF2, kE3, WP, 0, kCap),     // then takes
  };
  EXPECT_EQ(white, expected);

  // The same for black, mirrored: e7 blocked by a white knight on e6.
  std::vector<Move> black = with_piece(moves_of("4k3/3ppp2/4N3/3N4/8/8/8/4K3 b - - 0 1"), BP);
  expected = {
      word(kD7, kD6, BP),              // d5 blocked: no double push
      word(kD7, kE6, BP, 0, kCap),     // d7 takes the knight
      word(kF7, kF6, BP),              // f7 pushes once
      word(kF7, kF5, BP, 0, kDouble),  // and twice
      word(kF7, kE6, BP, 0, kCap),     // then takes
  };
  EXPECT_EQ(black, expected);

  // Double pushes only from the start rank.
  std::vector<Move> third = with_piece(moves_of("4k3/8/8/8/8/4P3/8/4K3 w - - 0 1"), WP);
  EXPECT_EQ(third, std::vector<Move>{word(kE3, kE4, WP)});
}

TEST(MoveGen, EnPassantMovesForEachPawnThatReachesTheSquare) {
  // Black has just played d7-d5 between white pawns on c5 and e5.
  std::vector<Move> white = with_piece(moves_of("4k3/8/8/2PpP3/8/8/8/4K3 w - d6 0 1"), WP);
  std::vector<Move> expected = {
      word(kC5, kC6, WP),
      word(kC5, kD6, WP, 0, kCap | kEp),
      word(kE5, kE6, WP),
      word(kE5, kD6, WP, 0, kCap | kEp),
  };
  EXPECT_EQ(white, expected);

  // Black pawns d4 and f4 after e2-e4.
  std::vector<Move> black = with_piece(moves_of("4k3/8/8/8/3pPp2/8/8/4K3 b - e3 0 1"), BP);
  expected = {word(kD4, kD3, BP), word(kD4, kE3, BP, 0, kCap | kEp),  //
              word(kF4, kF3, BP), word(kF4, kE3, BP, 0, kCap | kEp)};
  EXPECT_EQ(black, expected);

  // The square alone decides: a pawn that could reach it gets the move even
  // when no pawn stands behind it; a pawn of the side not to move never does.
  EXPECT_TRUE(contains(moves_of("4k3/8/8/2P5/8/8/8/4K3 w - d6 0 1"), word(kC5, kD6, WP, 0, kCap | kEp)));
  EXPECT_TRUE(with_piece(moves_of("4k3/8/8/2P5/8/8/8/4K3 w - b3 0 1"), WP) == std::vector<Move>{word(kC5, kC6, WP)});
}

TEST(MoveGen, PieceMovesInterleaveQuietMovesAndCapturesByTarget) {
  // Rook a1: a2 holds a black pawn, b1 to d1 are empty, e1 is the own king.
  std::vector<Move> rook = with_piece(moves_of("4k3/8/8/8/8/8/p7/R3K3 w - - 0 1"), WR);
  std::vector<Move> expected = {word(kA1, kA2, WR, 0, kCap), word(kA1, kB1, WR), word(kA1, kC1, WR),
                                word(kA1, kD1, WR)};
  EXPECT_EQ(rook, expected);

  // Two knights: the one on the lower square comes first.
  std::vector<Move> knights = with_piece(moves_of("N3k3/8/8/8/8/8/8/4K2N w - - 0 1"), WN);
  expected = {word(kA8, kC7, WN), word(kA8, kB6, WN), word(kH1, kG3, WN), word(kH1, kF2, WN)};
  EXPECT_EQ(knights, expected);
}

TEST(MoveGen, CastlingConditionsKingSide) {
  const Move castle_k = word(kE1, kG1, WK, 0, kCastle);
  // Free and unattacked.
  EXPECT_TRUE(contains(moves_of("4k3/8/8/8/8/8/8/4K2R w K - 0 1"), castle_k));
  // Only g1 attacked: listed (make_move rejects it later).
  EXPECT_TRUE(contains(moves_of("4k3/8/8/8/8/8/6r1/4K2R w K - 0 1"), castle_k));
  // King in check, or f1 attacked: not listed.
  EXPECT_FALSE(contains(moves_of("4k3/4r3/8/8/8/8/8/4K2R w K - 0 1"), castle_k));
  EXPECT_FALSE(contains(moves_of("4k3/5r2/8/8/8/8/8/4K2R w K - 0 1"), castle_k));
  // f1 or g1 occupied, by either colour.
  EXPECT_FALSE(contains(moves_of("4k3/8/8/8/8/8/8/4KB1R w K - 0 1"), castle_k));
  EXPECT_FALSE(contains(moves_of("4k3/8/8/8/8/8/8/4K1nR w K - 0 1"), castle_k));
  // No right.
  EXPECT_FALSE(contains(moves_of("4k3/8/8/8/8/8/8/4K2R w Qkq - 0 1"), castle_k));
  // The right alone vouches for rook and king.
  EXPECT_TRUE(contains(moves_of("4k3/8/8/8/8/8/8/4K3 w K - 0 1"), castle_k));
  EXPECT_EQ(moves_of("4k3/8/8/8/8/8/8/8 w K - 0 1"), std::vector<Move>{castle_k});
}

TEST(MoveGen, CastlingConditionsQueenSide) {
  const Move castle_q = word(kE1, kC1, WK, 0, kCastle);
  EXPECT_TRUE(contains(moves_of("4k3/8/8/8/8/8/8/R3K3 w Q - 0 1"), castle_q));
  // b1 attacked (the king never crosses it) or c1 attacked (its destination):
  // listed either way.
  EXPECT_TRUE(contains(moves_of("4k3/1r6/8/8/8/8/8/R3K3 w Q - 0 1"), castle_q));
  EXPECT_TRUE(contains(moves_of("4k3/2r5/8/8/8/8/8/R3K3 w Q - 0 1"), castle_q));
  // d1 attacked: not listed.
  EXPECT_FALSE(contains(moves_of("4k3/3r4/8/8/8/8/8/R3K3 w Q - 0 1"), castle_q));
  // b1 must be empty too, though the king does not pass it.
  EXPECT_FALSE(contains(moves_of("4k3/8/8/8/8/8/8/RN2K3 w Q - 0 1"), castle_q));
  EXPECT_FALSE(contains(moves_of("4k3/8/8/8/8/8/8/R2nK3 w Q - 0 1"), castle_q));
}

TEST(MoveGen, BlackCastlingAndKingMovesComeLast) {
  // Black: rooks, then castling king side, queen side, then king moves.
  std::vector<Move> black = moves_of("r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1");
  const auto first_king = std::find_if(black.begin(), black.end(), [](Move m) { return move_piece(m) == BK; });
  ASSERT_NE(first_king, black.end());
  ASSERT_GE(black.end() - first_king, 2);
  EXPECT_EQ(first_king[0], word(kE8, kG8, BK, 0, kCastle));
  EXPECT_EQ(first_king[1], word(kE8, kC8, BK, 0, kCastle));
  std::vector<Move> king_moves(first_king + 2, black.end());
  std::vector<Move> expected = {word(kE8, kD8, BK), word(kE8, kF8, BK), word(kE8, kD7, BK), word(kE8, kE7, BK),
                                word(kE8, kF7, BK)};
  EXPECT_EQ(king_moves, expected);
  for (auto it = black.begin(); it != first_king; ++it) EXPECT_EQ(move_piece(*it), BR);
  EXPECT_EQ(first_king - black.begin(), 10 + 9);  // a8: b8-d8 and a7-a1; h8: g8, f8 and h7-h1

  // White with every piece kind: king moves (castling first) close the list.
  std::vector<Move> white = moves_of("r3k2r/8/8/8/8/8/PPPPPPPP/R3K2R w KQkq - 0 1");
  int last_kind = -1;
  for (Move m : white) {
    EXPECT_GE(move_piece(m), last_kind) << "pieces out of index order";
    last_kind = move_piece(m);
  }
  const std::vector<Move> king = with_piece(white, WK);
  expected = {word(kE1, kG1, WK, 0, kCastle), word(kE1, kC1, WK, 0, kCastle), word(kE1, kD1, WK), word(kE1, kF1, WK)};
  EXPECT_EQ(king, expected);
  EXPECT_EQ(std::vector<Move>(white.end() - 4, white.end()), expected);
}

// Reference count of queen moves, walked square by square.
int queen_move_count(const Position& position, int side) {
  int count = 0;
  const int dirs[8][2] = {{-1, -1}, {-1, 0}, {-1, 1}, {0, -1}, {0, 1}, {1, -1}, {1, 0}, {1, 1}};
  for (int s = 0; s < kSquares; ++s) {
    if (!(position.pieces(side, kQueen) & square_bit(s))) continue;
    for (const auto& d : dirs)
      for (int r = s / 8 + d[0], f = s % 8 + d[1]; r >= 0 && r < 8 && f >= 0 && f < 8; r += d[0], f += d[1]) {
        const int t = 8 * r + f;
        if (position.occupancies[side] & square_bit(t)) break;
        ++count;
        if (position.occupancies[opponent_of(side)] & square_bit(t)) break;
      }
  }
  return count;
}

TEST(MoveGen, ArtificialPositionWithHundredsOfMovesLosesNone) {
  // A ring of 28 white queens: more pseudo-legal moves than any real game has.
  Position position;
  position.parse_fen("QQQQQQQQ/Q6Q/Q6Q/Q6Q/Q6Q/Q6Q/Q6Q/QQQQQQQQ w - - 0 1");
  MoveList list;
  position.generate_moves(list);
  const int queens = queen_move_count(position, kWhite);
  ASSERT_GT(queens, 256);
  EXPECT_EQ(list.count, queens);
}

}  // namespace
}  // namespace varnok
