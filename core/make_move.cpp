// Making a move, and the legality test: a move is legal when the mover's king
// is not attacked afterwards.
#include "core/castling.hpp"
#include "core/position.hpp"

namespace varnok {

namespace {

// Moves the pieces of a move on a set of piece bitboards: the mover, a
// captured piece (the first opponent bitboard holding the target, in index
// order), a promotion, the pawn taken en passant and the rook of a castling.
inline void move_pieces(std::array<Bitboard, kPieces>& pieces, Move move, int us) {
  const int them = opponent_of(us);
  const int s = move_source(move);
  const int t = move_target(move);
  const int p = move_piece(move);
  const int q = move_promoted(move);
  const Bitboard target_bit = square_bit(t);
  Bitboard& our_rooks = pieces[piece_of(us, kRook)];
  if (move_is_castling(move) && (our_rooks & target_bit)) {
    // Chess960: the king moves onto its rook's square; both end on the
    // standard squares of the side the rook stands on.
    const int side = file_of(t) > file_of(s) ? kKingSide : kQueenSide;
    pieces[p] = (pieces[p] & ~square_bit(s)) | square_bit(back_rank_square(us, kCastledKingFile[side]));
    our_rooks = (our_rooks & ~target_bit) | square_bit(back_rank_square(us, kCastledRookFile[side]));
    return;
  }
  pieces[p] = (pieces[p] & ~square_bit(s)) | target_bit;
  if (move_is_capture(move)) {
    for (int kind = kPawn; kind <= kKing; ++kind) {
      Bitboard& victims = pieces[piece_of(them, PieceKind(kind))];
      if (victims & target_bit) {
        victims &= ~target_bit;
        break;
      }
    }
  }
  if (q) {
    pieces[piece_of(us, kPawn)] &= ~target_bit;
    pieces[q] |= target_bit;
  }
  // The pawn taken en passant stands behind the target, seen from the mover.
  if (move_is_en_passant(move)) pieces[piece_of(them, kPawn)] &= ~square_bit(t - forward_of(us));
  if (move_is_castling(move)) {
    // The king's destination names the castling, whichever side is moving.
    for (int colour = kWhite; colour <= kBlack; ++colour)
      for (const Castling& c : kCastlings[colour])
        if (c.king_to == t) {
          Bitboard& rooks = pieces[piece_of(colour, kRook)];
          rooks = (rooks & ~square_bit(c.rook_from)) | square_bit(c.rook_to);
        }
  }
}

inline Bitboard union_of(const std::array<Bitboard, kPieces>& pieces) {
  Bitboard all = 0;
  for (Bitboard b : pieces) all |= b;
  return all;
}

}  // namespace

void Position::apply_move(Move move) {
  const int s = move_source(move);
  const int t = move_target(move);
  const int us = side;
  // Pawn moves of every kind, captures and promotions restart the count.
  if (kind_of(move_piece(move)) == kPawn || move_is_capture(move) || move_promoted(move)) no_progress_count = 0;
  move_pieces(bitboards, move, us);
  enpassant = move_is_double_push(move) ? t - forward_of(us) : kNoSquare;  // the square passed over
  if (!chess960) {
    castle &= kCastlingRightsKept[t] & kCastlingRightsKept[s];
  } else if (castle) {
    // A king move ends its colour's rights; a rook leaving, or anything
    // landing on, a right's rook square ends that right.
    if (kind_of(move_piece(move)) == kKing) castle &= ~castling_rights_of(us);
    const Bitboard touched = square_bit(s) | square_bit(t);
    for (int index = 0; index < kCastlingRights; ++index)
      if (touched & square_bit(castling_rook_square(index))) castle &= ~(1 << index);
  }
  rebuild_occupancies();
  side = opponent_of(us);
  saturating_increment(no_progress_count);
}

bool Position::make_move(Move move) {
  const Position before = *this;
  const int mover = side;
  apply_move(move);
  // A side without a king has nothing to expose, so all its moves stand.
  const int king = lsb_index(pieces(mover, kKing));
  if (king >= 0 && square_attacked_by(king, side)) {
    *this = before;
    return false;
  }
  return true;
}

bool Position::is_legal(Move move) const {
  std::array<Bitboard, kPieces> after = bitboards;
  move_pieces(after, move, side);
  const int king = lsb_index(after[piece_of(side, kKing)]);
  return king < 0 || !square_attacked(after, union_of(after), king, opponent_of(side));
}

}  // namespace varnok
