#include "core/castling_field.hpp"

namespace varnok {

namespace {

// The file of the side's outermost rook of colour on its back rank, -1 when
// there is none on that side of the king.
int outermost_rook_file(const Position& position, int colour, int king_file, int side) {
  const Bitboard rooks = position.pieces(colour, kRook) & back_rank_bits(colour);
  int found = -1;
  for (Bitboard b = rooks; b; b &= b - 1) {
    const int file = file_of(lsb_index(b));
    if (side == kKingSide && file > king_file) found = file;  // ascending: the last is outermost
    if (side == kQueenSide && file < king_file && found < 0) found = file;
  }
  return found;
}

}  // namespace

CastlingLetter chess960_castling_letter(const Position& position, char letter) {
  CastlingLetter result;
  const bool upper = letter >= 'A' && letter <= 'Z';
  const bool lower = letter >= 'a' && letter <= 'z';
  if (!upper && !lower) return {CastlingLetterFault::kNotALetter};
  const int colour = upper ? kWhite : kBlack;
  const char lowered = upper ? static_cast<char>(letter - 'A' + 'a') : letter;
  const bool side_letter = lowered == 'k' || lowered == 'q';
  if (!side_letter && (lowered < 'a' || lowered > 'h')) return {CastlingLetterFault::kNotALetter};
  const Bitboard kings = position.pieces(colour, kKing) & back_rank_bits(colour);
  if (population_count(kings) != 1) return {CastlingLetterFault::kNoKing};
  const int king_file = file_of(lsb_index(kings));
  int side, rook_file;
  if (side_letter) {
    side = lowered == 'k' ? kKingSide : kQueenSide;
    rook_file = outermost_rook_file(position, colour, king_file, side);
  } else {
    rook_file = lowered - 'a';
    if (rook_file == king_file) return {CastlingLetterFault::kNoRook};
    side = rook_file > king_file ? kKingSide : kQueenSide;
    if (!(position.pieces(colour, kRook) & square_bit(back_rank_square(colour, rook_file)))) rook_file = -1;
  }
  if (rook_file < 0) return {CastlingLetterFault::kNoRook, castling_right_index(colour, side)};
  result.right_index = castling_right_index(colour, side);
  result.rook_file = rook_file;
  return result;
}

void append_castling_field(std::string& out, const Position& position, CastlingNotation notation) {
  const size_t start = out.size();
  for (int index = 0; index < kCastlingRights; ++index) {
    if (!(position.castle & (1 << index))) continue;
    if (!position.chess960) {
      out.push_back(kCastlingLetters[index]);
      continue;
    }
    const int colour = index / kCastlingSides, side = index % kCastlingSides;
    const int file = position.castling_rook_files[index];
    const Bitboard kings = position.pieces(colour, kKing) & back_rank_bits(colour);
    const bool outermost =
        population_count(kings) == 1 && outermost_rook_file(position, colour, file_of(lsb_index(kings)), side) == file;
    const char letter =
        notation == CastlingNotation::kXFen && outermost ? kCastlingLetters[side] : static_cast<char>('A' + file);
    out.push_back(colour == kWhite ? letter : static_cast<char>(letter - 'A' + 'a'));
  }
  if (out.size() == start) out.push_back('-');
}

}  // namespace varnok
