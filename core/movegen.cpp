// Pseudo-legal move generation in a fixed order. The order matters: listings
// try moves in list order, and an episode stops at the first legal reply.
#include "core/attack_tables.hpp"
#include "core/castling.hpp"
#include "core/piece_targets.hpp"
#include "core/position.hpp"

namespace varnok {

namespace {

inline void append_targets(MoveList& list, int source, Bitboard targets, int piece, Bitboard opponent) {
  for (; targets; targets &= targets - 1) {
    const int target = lsb_index(targets);
    list.push(encode_move(source, target, piece, 0, (opponent & square_bit(target)) ? kCaptureFlag : 0));
  }
}

// Promotions are listed queen, rook, bishop, knight: the kinds in falling order.
template <Colour Us>
inline void append_promotions(MoveList& list, int source, int target, int flags) {
  static_assert(kQueen - 1 == kRook && kRook - 1 == kBishop && kBishop - 1 == kKnight);
  for (int kind = kQueen; kind >= kKnight; --kind)
    list.push(encode_move(source, target, piece_of(Us, kPawn), piece_of(Us, PieceKind(kind)), flags));
}

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

template <Colour Us>
void generate(const Position& p, MoveList& list) {
  constexpr Colour kThem = opponent_of(Us);
  constexpr int kForward = forward_of(Us);
  const AttackTables& t = attack_tables();
  list.count = 0;
  const Bitboard opponent = p.occupancies[kThem];
  const Bitboard all = p.occupancies[kBothColours];

  // Pawns: push (or four push promotions), double push, then captures, then
  // en passant.
  constexpr int kPawnPiece = piece_of(Us, kPawn);
  for (Bitboard pawns = p.bitboards[kPawnPiece]; pawns; pawns &= pawns - 1) {
    const int s = lsb_index(pawns);
    const bool promotes = square_bit(s) & promotion_from_rank(Us);
    const int push = s + kForward;
    // A pawn typed onto the last rank has no square ahead.
    if (push >= 0 && push < kSquares && !(all & square_bit(push))) {
      if (promotes) {
        append_promotions<Us>(list, s, push, 0);
      } else {
        list.push(encode_move(s, push, kPawnPiece, 0, 0));
        const int double_push = push + kForward;
        if ((square_bit(s) & pawn_start_rank(Us)) && !(all & square_bit(double_push)))
          list.push(encode_move(s, double_push, kPawnPiece, 0, kDoublePushFlag));
      }
    }
    const Bitboard attacks = t.pawn_attack_sets[Us][s];
    for (Bitboard captures = attacks & opponent; captures; captures &= captures - 1) {
      const int target = lsb_index(captures);
      if (promotes)
        append_promotions<Us>(list, s, target, kCaptureFlag);
      else
        list.push(encode_move(s, target, kPawnPiece, 0, kCaptureFlag));
    }
    if (p.enpassant >= 0 && p.enpassant < kSquares && (attacks & square_bit(p.enpassant)))
      list.push(encode_move(s, p.enpassant, kPawnPiece, 0, kCaptureFlag | kEnPassantFlag));
  }

  // Knights, bishops, rooks, queens: targets in ascending square order.
  const auto append = [&](int piece, int source, Bitboard targets) {
    append_targets(list, source, targets, piece, opponent);
  };
  for_each_piece_targets<Us, kKnight>(p, append);
  for_each_piece_targets<Us, kBishop>(p, append);
  for_each_piece_targets<Us, kRook>(p, append);
  for_each_piece_targets<Us, kQueen>(p, append);

  // King: castling first, then ordinary moves.
  Move castling[2];
  const int castlings = castling_moves_of<Us>(p, castling);
  for (int i = 0; i < castlings; ++i) list.push(castling[i]);
  for_each_piece_targets<Us, kKing>(p, append);
}

}  // namespace

int Position::castling_moves(Move (&out)[2]) const {
  return side == kWhite ? castling_moves_of<kWhite>(*this, out) : castling_moves_of<kBlack>(*this, out);
}

void Position::generate_moves(MoveList& list) const {
  if (side == kWhite)
    generate<kWhite>(*this, list);
  else
    generate<kBlack>(*this, list);
}

}  // namespace varnok
