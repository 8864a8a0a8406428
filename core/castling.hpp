// The four castlings as data: which right each needs, where king and rook
// start and end, which squares must be empty and which the king passes.
#pragma once

#include <array>

#include "core/types.hpp"

namespace varnok {

struct Castling {
  int right;
  int king_from, king_to;
  int king_passes;  // the square between, which must not be attacked
  int rook_from, rook_to;
  Bitboard must_be_empty;
};

constexpr Bitboard squares_bits(std::initializer_list<int> squares) {
  Bitboard b = 0;
  for (int s : squares) b |= square_bit(s);
  return b;
}

// By colour, king side first (the order moves are listed in).
inline constexpr std::array<std::array<Castling, 2>, kColours> kCastlings = {{
    {{{kWhiteKingSide, kE1, kG1, kF1, kH1, kF1, squares_bits({kF1, kG1})},
      {kWhiteQueenSide, kE1, kC1, kD1, kA1, kD1, squares_bits({kB1, kC1, kD1})}}},
    {{{kBlackKingSide, kE8, kG8, kF8, kH8, kF8, squares_bits({kF8, kG8})},
      {kBlackQueenSide, kE8, kC8, kD8, kA8, kD8, squares_bits({kB8, kC8, kD8})}}},
}};
static_assert(kCastlings[kWhite][1].right == kWhiteQueenSide && kCastlings[kBlack][0].rook_to == kF8);

// The rights that survive a move starting or ending on each square: a king or
// rook leaving home, or anything landing on a rook's corner, removes rights.
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
