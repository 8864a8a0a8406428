#include "core/board.hpp"

#include "core/attack_tables.hpp"

namespace varnok {

Board::Board() { init_attack_tables(); }

bool square_attacked(const std::array<Bitboard, 12>& pieces, Bitboard occupancy, int square, int attacker) {
  const AttackTables& t = attack_tables();
  const int base = 6 * attacker;
  // A pawn of the attacker hits the square exactly when a pawn of the other
  // colour standing there would hit the pawn, hence the exchanged colour.
  if (t.pawn_attack_sets[attacker ^ 1][square] & pieces[base + WP]) return true;
  if (t.knight_attack_sets[square] & pieces[base + WN]) return true;
  // A queen attacks along the lines of both: one lookup per line kind.
  if (bishop_lookup(square, occupancy) & (pieces[base + WB] | pieces[base + WQ])) return true;
  if (rook_lookup(square, occupancy) & (pieces[base + WR] | pieces[base + WQ])) return true;
  return (t.king_attack_sets[square] & pieces[base + WK]) != 0;
}

int32_t Board::square_attacked_by(int square, int attacker) const {
  return square_attacked(bitboards, occupancies[2], square, attacker) ? 1 : 0;
}

bool Board::side_to_move_in_check() const {
  const int king = lsb_index(bitboards[6 * side + WK]);
  return king >= 0 && square_attacked_by(king, side ^ 1);
}

}  // namespace varnok
