// The moves of the pieces that are not pawns, piece by piece: each piece of
// one kind of the side Us, with its square and the squares it can move to
// (those it attacks that no piece of its own holds). Move generation lists
// them and the roll-outs' move sampler counts them: both walk the pieces
// through here, in the same order.
#pragma once

#include "core/attack_tables.hpp"
#include "core/position.hpp"

namespace varnok {

// Calls visit(piece, source, targets) for every piece of kind Kind (knight
// to king) of side Us, in ascending square order.
template <Colour Us, PieceKind Kind, class Visit>
inline void for_each_piece_targets(const Position& p, Visit visit) {
  static_assert(Kind >= kKnight && Kind <= kKing, "pawns move set-wise, castling on its own");
  constexpr int kPiece = piece_of(Us, Kind);
  const AttackTables& t = attack_tables();
  const Bitboard all = p.occupancies[kBothColours];
  const Bitboard not_own = ~p.occupancies[Us];
  for (Bitboard b = p.bitboards[kPiece]; b; b &= b - 1) {
    const int s = lsb_index(b);
    Bitboard attacks;
    if constexpr (Kind == kKnight)
      attacks = t.knight_attack_sets[s];
    else if constexpr (Kind == kBishop)
      attacks = bishop_lookup(s, all);
    else if constexpr (Kind == kRook)
      attacks = rook_lookup(s, all);
    else if constexpr (Kind == kQueen)
      attacks = queen_lookup(s, all);
    else
      attacks = t.king_attack_sets[s];
    visit(kPiece, s, attacks & not_own);
  }
}

}  // namespace varnok
