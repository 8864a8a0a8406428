#include "core/position.hpp"

#include "core/attack_tables.hpp"

namespace varnok {

Bitboard attackers_of(const std::array<Bitboard, kPieces>& pieces, Bitboard occupancy, int square, int attacker) {
  const AttackTables& t = attack_tables();
  const auto of = [&](PieceKind kind) { return pieces[piece_of(attacker, kind)]; };
  // A pawn of the attacker hits the square exactly when a pawn of the other
  // colour standing there would hit the pawn, hence the exchanged colour.
  // A queen attacks along the lines of both: one lookup per line kind.
  return (t.pawn_attack_sets[opponent_of(attacker)][square] & of(kPawn)) |
         (t.knight_attack_sets[square] & of(kKnight)) |
         (bishop_lookup(square, occupancy) & (of(kBishop) | of(kQueen))) |
         (rook_lookup(square, occupancy) & (of(kRook) | of(kQueen))) | (t.king_attack_sets[square] & of(kKing));
}

bool Position::in_check() const {
  const int king = lsb_index(pieces(side, kKing));
  return king >= 0 && square_attacked_by(king, opponent_of(side));
}

}  // namespace varnok
