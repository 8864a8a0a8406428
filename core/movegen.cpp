// Pseudo-legal move generation in a fixed order, and making a move with its
// legality test. The order matters: listings try moves in list order, and step
// stops at the first legal reply.
#include "core/attack_tables.hpp"
#include "core/board.hpp"

namespace varnok {

namespace {

// Castling rights kept when a move starts or ends on a square: a king or rook
// leaving home, or anything landing on a rook's corner, removes rights.
constexpr std::array<int32_t, 64> kCastleMask = [] {
  std::array<int32_t, 64> mask{};
  mask.fill(15);
  mask[0] = 7;    // a8: black queen side
  mask[4] = 3;    // e8: both black rights
  mask[7] = 11;   // h8: black king side
  mask[56] = 13;  // a1: white queen side
  mask[60] = 12;  // e1: both white rights
  mask[63] = 14;  // h1: white king side
  return mask;
}();

inline void append_targets(MoveList& list, int source, Bitboard targets, int piece, Bitboard opponent) {
  for (; targets; targets &= targets - 1) {
    const int target = lsb_index(targets);
    list.push(encode_move(source, target, piece, 0, (opponent & square_bit(target)) ? kCaptureFlag : 0));
  }
}

}  // namespace

int Board::castling_moves(Move (&out)[2]) const {
  // King side before queen side. The rights alone vouch for king and rook
  // being at home; the squares the king starts from and passes must not be
  // attacked, its destination is left to the legality test of make_move.
  const Bitboard all = occupancies[2];
  int n = 0;
  if (side == kWhite) {
    if ((castle & 1) && !(all & (square_bit(61) | square_bit(62))) && !square_attacked_by(60, kBlack) &&
        !square_attacked_by(61, kBlack))
      out[n++] = encode_move(60, 62, WK, 0, kCastlingFlag);
    if ((castle & 2) && !(all & (square_bit(57) | square_bit(58) | square_bit(59))) &&
        !square_attacked_by(60, kBlack) && !square_attacked_by(59, kBlack))
      out[n++] = encode_move(60, 58, WK, 0, kCastlingFlag);
  } else {
    if ((castle & 4) && !(all & (square_bit(5) | square_bit(6))) && !square_attacked_by(4, kWhite) &&
        !square_attacked_by(5, kWhite))
      out[n++] = encode_move(4, 6, BK, 0, kCastlingFlag);
    if ((castle & 8) && !(all & (square_bit(1) | square_bit(2) | square_bit(3))) && !square_attacked_by(4, kWhite) &&
        !square_attacked_by(3, kWhite))
      out[n++] = encode_move(4, 2, BK, 0, kCastlingFlag);
  }
  return n;
}

void Board::generate_moves(MoveList& list) const {
  const AttackTables& t = attack_tables();
  list.count = 0;
  const int us = side;
  const int them = us ^ 1;
  const int base = 6 * us;
  const Bitboard own = occupancies[us];
  const Bitboard opponent = occupancies[them];
  const Bitboard all = occupancies[2];

  // Pawns: push (or four push promotions), then captures, then en passant.
  const int pawn = base + WP;
  const int forward = us == kWhite ? -8 : 8;
  const int promo_first = us == kWhite ? WQ : BQ;  // queen, rook, bishop, knight
  for (Bitboard pawns = bitboards[pawn]; pawns; pawns &= pawns - 1) {
    const int s = lsb_index(pawns);
    const int row = s / 8;
    const bool before_promotion = us == kWhite ? row == 1 : row == 6;
    const bool on_start = us == kWhite ? row == 6 : row == 1;
    const int push = s + forward;
    if (push >= 0 && push < 64 && !(all & square_bit(push))) {
      if (before_promotion) {
        for (int q = 0; q < 4; ++q) list.push(encode_move(s, push, pawn, promo_first - q, 0));
      } else {
        list.push(encode_move(s, push, pawn, 0, 0));
        const int double_push = push + forward;
        if (on_start && !(all & square_bit(double_push)))
          list.push(encode_move(s, double_push, pawn, 0, kDoublePushFlag));
      }
    }
    const Bitboard attacks = t.pawn_attack_sets[us][s];
    for (Bitboard captures = attacks & opponent; captures; captures &= captures - 1) {
      const int target = lsb_index(captures);
      if (before_promotion) {
        for (int q = 0; q < 4; ++q) list.push(encode_move(s, target, pawn, promo_first - q, kCaptureFlag));
      } else {
        list.push(encode_move(s, target, pawn, 0, kCaptureFlag));
      }
    }
    if (enpassant != kNoSquare && enpassant >= 0 && enpassant < 64 && (attacks & square_bit(enpassant)))
      list.push(encode_move(s, enpassant, pawn, 0, kCaptureFlag | kEnPassantFlag));
  }

  // Knights, bishops, rooks, queens: targets in ascending square order.
  for (Bitboard b = bitboards[base + WN]; b; b &= b - 1) {
    const int s = lsb_index(b);
    append_targets(list, s, t.knight_attack_sets[s] & ~own, base + WN, opponent);
  }
  for (Bitboard b = bitboards[base + WB]; b; b &= b - 1) {
    const int s = lsb_index(b);
    append_targets(list, s, bishop_lookup(s, all) & ~own, base + WB, opponent);
  }
  for (Bitboard b = bitboards[base + WR]; b; b &= b - 1) {
    const int s = lsb_index(b);
    append_targets(list, s, rook_lookup(s, all) & ~own, base + WR, opponent);
  }
  for (Bitboard b = bitboards[base + WQ]; b; b &= b - 1) {
    const int s = lsb_index(b);
    append_targets(list, s, queen_lookup(s, all) & ~own, base + WQ, opponent);
  }

  // King: castling first, then ordinary moves.
  const int king = base + WK;
  Move castling[2];
  const int castlings = castling_moves(castling);
  for (int i = 0; i < castlings; ++i) list.push(castling[i]);
  for (Bitboard b = bitboards[king]; b; b &= b - 1) {
    const int s = lsb_index(b);
    append_targets(list, s, t.king_attack_sets[s] & ~own, king, opponent);
  }
}

namespace {

// Moves the pieces of a move on a set of piece bitboards: the mover, a
// captured piece (the first opponent bitboard holding the target, in index
// order), a promotion, the pawn taken en passant and the rook of a castling.
inline void move_pieces(std::array<Bitboard, 12>& pieces, Move move, int us) {
  const int s = move_source(move);
  const int t = move_target(move);
  const int p = move_piece(move);
  const int q = move_promoted(move);
  const Bitboard target_bit = square_bit(t);
  pieces[p] = (pieces[p] & ~square_bit(s)) | target_bit;
  if (move_is_capture(move)) {
    const int first = us == kWhite ? BP : WP;
    for (int piece = first; piece < first + 6; ++piece)
      if (pieces[piece] & target_bit) {
        pieces[piece] &= ~target_bit;
        break;
      }
  }
  if (q) {
    pieces[us == kWhite ? WP : BP] &= ~target_bit;
    pieces[q] |= target_bit;
  }
  if (move_is_en_passant(move)) {
    if (us == kWhite)
      pieces[BP] &= ~square_bit(t + 8);
    else
      pieces[WP] &= ~square_bit(t - 8);
  }
  if (move_is_castling(move)) {
    switch (t) {
      case 62: pieces[WR] = (pieces[WR] & ~square_bit(63)) | square_bit(61); break;
      case 58: pieces[WR] = (pieces[WR] & ~square_bit(56)) | square_bit(59); break;
      case 6: pieces[BR] = (pieces[BR] & ~square_bit(7)) | square_bit(5); break;
      case 2: pieces[BR] = (pieces[BR] & ~square_bit(0)) | square_bit(3); break;
      default: break;
    }
  }
}

inline Bitboard union_of(const std::array<Bitboard, 12>& pieces) {
  Bitboard all = 0;
  for (Bitboard b : pieces) all |= b;
  return all;
}

}  // namespace

void Board::apply_move(Move move) {
  const int s = move_source(move);
  const int t = move_target(move);
  const int us = side;
  // Pawn moves of every kind, captures and promotions restart the count.
  if (move_piece(move) == WP || move_piece(move) == BP || move_is_capture(move) || move_promoted(move))
    no_progress_count = 0;
  move_pieces(bitboards, move, us);
  enpassant = kNoSquare;
  if (move_is_double_push(move)) enpassant = us == kWhite ? t + 8 : t - 8;  // the square passed over
  castle &= kCastleMask[t] & kCastleMask[s];
  rebuild_occupancies();
  side ^= 1;
  saturating_increment(no_progress_count);
}

int32_t Board::make_move(Move move) {
  save_snapshot();
  const int32_t entry_no_progress = no_progress_count;
  const int mover = side;
  apply_move(move);
  // Legal only if the mover's king is not attacked now. A side without a king
  // has nothing to expose, so all its moves stand.
  const int king = lsb_index(bitboards[6 * mover + WK]);
  if (king >= 0 && square_attacked_by(king, side)) {
    no_progress_count = entry_no_progress;
    restore_snapshot();
    return 0;
  }
  return 1;
}

bool Board::is_legal(Move move) const {
  std::array<Bitboard, 12> after = bitboards;
  move_pieces(after, move, side);
  const int king = lsb_index(after[6 * side + WK]);
  return king < 0 || !square_attacked(after, union_of(after), king, side ^ 1);
}

}  // namespace varnok
