#include "core/board.hpp"

#include "core/attack_tables.hpp"

namespace varnok {

Board::Board() { init_attack_tables(); }

int32_t Board::square_attacked_by(int square, int attacker) const {
  const AttackTables& t = attack_tables();
  const int base = 6 * attacker;
  const Bitboard occupancy = occupancies[2];
  // A pawn of the attacker hits the square exactly when a pawn of the other
  // colour standing there would hit the pawn, hence the exchanged colour.
  if (t.pawn_attack_sets[attacker ^ 1][square] & bitboards[base + WP]) return 1;
  if (t.knight_attack_sets[square] & bitboards[base + WN]) return 1;
  if (bishop_lookup(square, occupancy) & bitboards[base + WB]) return 1;
  if (rook_lookup(square, occupancy) & bitboards[base + WR]) return 1;
  if (queen_lookup(square, occupancy) & bitboards[base + WQ]) return 1;
  if (t.king_attack_sets[square] & bitboards[base + WK]) return 1;
  return 0;
}

bool Board::side_to_move_in_check() const {
  const int king = lsb_index(bitboards[6 * side + WK]);
  return king >= 0 && square_attacked_by(king, side ^ 1);
}

}  // namespace varnok
