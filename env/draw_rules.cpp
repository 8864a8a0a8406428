// Insufficient material, read from the piece bitboards.
#include "env/draw_rules.hpp"

namespace varnok {

namespace {
// The light squares: a1 is dark, so b1, a2, ... are light.
constexpr Bitboard kLightSquares = 0xAA55AA55AA55AA55ULL;
static_assert(!(square_bit(kA1) & kLightSquares) && (square_bit(kH1) & kLightSquares) &&
              (square_bit(kA8) & kLightSquares) && !(square_bit(kH8) & kLightSquares));
}  // namespace

bool insufficient_material(const Position& position) {
  Bitboard heavy_or_pawn = 0, knights = 0, bishops = 0;
  for (int colour = kWhite; colour <= kBlack; ++colour) {
    heavy_or_pawn |= position.pieces(colour, kPawn) | position.pieces(colour, kRook) | position.pieces(colour, kQueen);
    knights |= position.pieces(colour, kKnight);
    bishops |= position.pieces(colour, kBishop);
  }
  if (heavy_or_pawn) return false;
  if (population_count(knights | bishops) <= 1) return true;
  return !knights && (!(bishops & kLightSquares) || !(bishops & ~kLightSquares));
}

}  // namespace varnok
