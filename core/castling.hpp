// Castling facts in one place: the rights and their letters, where king and
// rook start and end, which squares must be empty and which the king passes.
//
// A right is one bit of Position::castle: bit (2 * colour + side), side 0 the
// king side (towards the h-file) and 1 the queen side. In standard chess the
// king starts on the e-file and the rooks on the a- and h-files, and the
// constexpr tables below hold the four castlings. In Chess960 king and rooks
// start on any files of the back rank; the position keeps each right's rook
// file, and castling still ends with king and rook on the standard squares:
// g and f on the king side, c and d on the queen side.
#pragma once

#include <array>
#include <initializer_list>

#include "core/types.hpp"

namespace varnok {

enum CastlingSide : int { kKingSide, kQueenSide };
inline constexpr int kCastlingSides = 2;
inline constexpr int kCastlingRights = kColours * kCastlingSides;

constexpr int castling_right_index(int colour, int side) { return kCastlingSides * colour + side; }
constexpr int castling_right(int colour, int side) { return 1 << castling_right_index(colour, side); }
constexpr int castling_rights_of(int colour) { return colour == kWhite ? kWhiteCastling : kBlackCastling; }
static_assert(castling_right(kWhite, kKingSide) == kWhiteKingSide &&
              castling_right(kWhite, kQueenSide) == kWhiteQueenSide);
static_assert(castling_right(kBlack, kKingSide) == kBlackKingSide &&
              castling_right(kBlack, kQueenSide) == kBlackQueenSide);

// The FEN letters of the rights by right index.
inline constexpr char kCastlingLetters[] = "KQkq";

// Standard chess: the king's file and each side's rook file.
inline constexpr int kStandardKingFile = kEFile;
inline constexpr std::array<int, kCastlingSides> kStandardRookFile = {kHFile, kAFile};
// Where king and rook end, by side, in every kind of chess.
inline constexpr std::array<int, kCastlingSides> kCastledKingFile = {kGFile, kCFile};
inline constexpr std::array<int, kCastlingSides> kCastledRookFile = {kFFile, kDFile};

constexpr int back_rank_of(int colour) { return colour == kWhite ? 1 : 8; }
constexpr int back_rank_square(int colour, int file) { return make_square(file, back_rank_of(colour)); }
constexpr Bitboard back_rank_bits(int colour) { return colour == kWhite ? kRank1 : kRank8; }

// The squares of colour's back rank from one file to another, both included.
constexpr Bitboard back_rank_span(int colour, int file_a, int file_b) {
  const int low = file_a < file_b ? file_a : file_b, high = file_a < file_b ? file_b : file_a;
  const Bitboard files = (Bitboard{2} << high) - (Bitboard{1} << low);
  return files << back_rank_square(colour, kAFile);
}
static_assert(back_rank_span(kWhite, kGFile, kEFile) == (square_bit(kE1) | square_bit(kF1) | square_bit(kG1)));
static_assert(back_rank_span(kBlack, kAFile, kAFile) == square_bit(kA8));

struct Castling {
  int right;
  int king_from, king_to;
  int king_passes;  // the square between, which must not be attacked
  int rook_from, rook_to;
  Bitboard must_be_empty;
};

// The standard castling of colour on side.
constexpr Castling standard_castling(int colour, int side) {
  const int king_from = back_rank_square(colour, kStandardKingFile);
  const int king_to = back_rank_square(colour, kCastledKingFile[side]);
  const int rook_from = back_rank_square(colour, kStandardRookFile[side]);
  const int rook_to = back_rank_square(colour, kCastledRookFile[side]);
  const Bitboard between = back_rank_span(colour, kStandardKingFile, kStandardRookFile[side]) & ~square_bit(king_from) &
                           ~square_bit(rook_from);
  return {castling_right(colour, side), king_from, king_to, rook_to, rook_from, rook_to, between};
}

// By colour, king side first (the order moves are listed in).
inline constexpr std::array<std::array<Castling, 2>, kColours> kCastlings = {{
    {{standard_castling(kWhite, kKingSide), standard_castling(kWhite, kQueenSide)}},
    {{standard_castling(kBlack, kKingSide), standard_castling(kBlack, kQueenSide)}},
}};
static_assert(kCastlings[kWhite][1].right == kWhiteQueenSide && kCastlings[kBlack][0].rook_to == kF8);
static_assert(kCastlings[kWhite][1].must_be_empty == (square_bit(kB1) | square_bit(kC1) | square_bit(kD1)));
static_assert(kCastlings[kBlack][0].king_passes == kF8 && kCastlings[kWhite][1].king_passes == kD1);

// A castling move word names the king's square and either its destination
// (standard chess) or its rook's square (Chess960); in both the target lies
// towards the side castled to.
constexpr int castling_side_of(Move move) {
  return file_of(move_target(move)) > file_of(move_source(move)) ? kKingSide : kQueenSide;
}
// Where the king of a castling move ends.
constexpr int castled_king_square(Move move) {
  return make_square(kCastledKingFile[castling_side_of(move)], rank_of(move_source(move)));
}
static_assert(castled_king_square(encode_move(kB1, kA1, WK, 0, kCastlingFlag)) == kC1);
static_assert(castled_king_square(encode_move(kE8, kG8, BK, 0, kCastlingFlag)) == kG8);

// The rights that survive a move starting or ending on each square in
// standard chess: a king or rook leaving home, or anything landing on a
// rook's corner, removes rights.
inline constexpr std::array<int32_t, kSquares> kCastlingRightsKept = [] {
  std::array<int32_t, kSquares> kept{};
  kept.fill(kAllCastling);
  for (const auto& of_colour : kCastlings)
    for (const Castling& c : of_colour) {
      kept[c.king_from] &= ~(c.right | of_colour[0].right | of_colour[1].right);
      kept[c.rook_from] &= ~c.right;
    }
  return kept;
}();
static_assert(kCastlingRightsKept[kE1] == kBlackCastling && kCastlingRightsKept[kA8] == kAllCastling - kBlackQueenSide);

}  // namespace varnok
