// Castling, and the pseudo-legal moves written into a list in the fixed
// generation order of move_walk.hpp.
#include "core/attack_tables.hpp"
#include "core/castling.hpp"
#include "core/move_walk.hpp"
#include "core/position.hpp"

namespace varnok {

namespace {

// Chess960 castling of Us on side: king and rook on any files of the back
// rank, every square both cross empty but for themselves, and no square the
// king stands on or passes attacked; its destination is left to the
// legality test, which sees the rook already moved. The move's target is the
// rook's square. Returns kNoMove when the castling is not possible.
template <Colour Us>
Move chess960_castling(const Position& p, int side) {
  constexpr Colour kThem = opponent_of(Us);
  const int index = castling_right_index(Us, side);
  const int rook = p.castling_rook_square(index);
  const Bitboard kings = p.pieces(Us, kKing) & back_rank_bits(Us);
  if (!(p.castle & (1 << index)) || population_count(kings) != 1 || !(p.pieces(Us, kRook) & square_bit(rook)))
    return kNoMove;
  const int king = lsb_index(kings);
  if ((file_of(rook) > file_of(king)) != (side == kKingSide)) return kNoMove;
  const int king_file = file_of(king);
  const Bitboard king_path = back_rank_span(Us, king_file, kCastledKingFile[side]);
  const Bitboard crossed =
      (king_path | back_rank_span(Us, file_of(rook), kCastledRookFile[side])) & ~square_bit(king) & ~square_bit(rook);
  if (p.occupancies[kBothColours] & crossed) return kNoMove;
  // The squares from the king's own up to its destination, which is judged
  // after the move.
  const Bitboard passed = (king_path & ~square_bit(back_rank_square(Us, kCastledKingFile[side]))) | square_bit(king);
  for (Bitboard b = passed; b; b &= b - 1)
    if (p.square_attacked_by(lsb_index(b), kThem)) return kNoMove;
  return encode_move(king, rook, piece_of(Us, kKing), 0, kCastlingFlag);
}

template <Colour Us>
int castling_moves_of(const Position& p, Move (&out)[2]) {
  // King side before queen side.
  int n = 0;
  if (p.chess960) {
    if (!(p.castle & castling_rights_of(Us))) return 0;
    for (int side = kKingSide; side <= kQueenSide; ++side)
      if (const Move move = chess960_castling<Us>(p, side); move != kNoMove) out[n++] = move;
    return n;
  }
  // Standard chess: the rights alone vouch for king and rook being at home;
  // the squares the king starts from and passes must not be attacked, its
  // destination is left to the legality test.
  constexpr Colour kThem = opponent_of(Us);
  for (const Castling& c : kCastlings[Us])
    if ((p.castle & c.right) && !(p.occupancies[kBothColours] & c.must_be_empty) &&
        !p.square_attacked_by(c.king_from, kThem) && !p.square_attacked_by(c.king_passes, kThem))
      out[n++] = encode_move(c.king_from, c.king_to, piece_of(Us, kKing), 0, kCastlingFlag);
  return n;
}

}  // namespace

int Position::castling_moves(Move (&out)[2]) const {
  return side == kWhite ? castling_moves_of<kWhite>(*this, out) : castling_moves_of<kBlack>(*this, out);
}

void Position::generate_moves(MoveList& list) const {
  struct IntoList {
    MoveList& list;
    void move(Move move) { list.push(move); }
    void targets(int piece, int source, Bitboard targets, Bitboard enemies) {
      for (; targets; targets &= targets - 1) list.push(piece_move(piece, source, lsb_index(targets), enemies));
    }
  } sink{list};
  list.count = 0;
  walk_pseudo_legal_moves(*this, sink);
}

}  // namespace varnok
