#include "core/position.hpp"

#include "core/attack_tables.hpp"

namespace varnok {

bool square_attacked(const std::array<Bitboard, kPieces>& pieces, Bitboard occupancy, int square, int attacker) {
  const AttackTables& t = attack_tables();
  const auto of = [&](PieceKind kind) { return pieces[piece_of(attacker, kind)]; };
  // A pawn of the attacker hits the square exactly when a pawn of the other
  // colour standing there would hit the pawn, hence the exchanged colour.
  if (t.pawn_attack_sets[opponent_of(attacker)][square] & of(kPawn)) return true;
  if (t.knight_attack_sets[square] & of(kKnight)) return true;
  // A queen attacks along the lines of both: one lookup per line kind.
  if (bishop_lookup(square, occupancy) & (of(kBishop) | of(kQueen))) return true;
  if (rook_lookup(square, occupancy) & (of(kRook) | of(kQueen))) return true;
  return (t.king_attack_sets[square] & of(kKing)) != 0;
}

bool Position::in_check() const {
  const int king = lsb_index(pieces(side, kKing));
  return king >= 0 && square_attacked_by(king, opponent_of(side));
}

}  // namespace varnok
