// The pseudo-legal moves of the side to move, in the fixed generation order,
// handed to a sink as they are found rather than written into a list:
//   sink.move(move)                              a pawn's move or a castling,
//   sink.targets(piece, source, targets, enemies) every move of one other
//                                                piece, its targets as a set.
// Position::generate_moves writes them into a MoveList; the walk of legal
// moves (legality.hpp) takes a piece's targets whole, and tests none of them
// one by one when the piece can expose nothing.
//
// The order matters: listings try moves in list order, and an episode stops
// at the first legal reply. Pawns come first, square by square: the push (or
// its four promotions), the double push, the captures, en passant; then the
// knights, bishops, rooks and queens, each with its targets in ascending
// square order; then castling, king side first; then the king's own moves.
#pragma once

#include "core/attack_tables.hpp"
#include "core/piece_targets.hpp"
#include "core/position.hpp"

namespace varnok {

// The move of a piece other than a pawn from source to target: a capture
// when one of enemies stands there.
constexpr Move piece_move(int piece, int source, int target, Bitboard enemies) {
  return encode_move(source, target, piece, 0, (enemies & square_bit(target)) ? kCaptureFlag : 0);
}

template <Colour Us, class Sink>
void walk_pseudo_legal_moves(const Position& p, Sink& sink) {
  constexpr Colour kThem = opponent_of(Us);
  constexpr int kForward = forward_of(Us);
  constexpr int kPawnPiece = piece_of(Us, kPawn);
  const AttackTables& t = attack_tables();
  const Bitboard enemies = p.occupancies[kThem];
  const Bitboard all = p.occupancies[kBothColours];

  // Promotions are listed queen, rook, bishop, knight: the kinds in falling order.
  const auto promotions = [&](int source, int target, int flags) {
    static_assert(kQueen - 1 == kRook && kRook - 1 == kBishop && kBishop - 1 == kKnight);
    for (int kind = kQueen; kind >= kKnight; --kind)
      sink.move(encode_move(source, target, kPawnPiece, piece_of(Us, PieceKind(kind)), flags));
  };
  for (Bitboard pawns = p.bitboards[kPawnPiece]; pawns; pawns &= pawns - 1) {
    const int s = lsb_index(pawns);
    const bool promotes = square_bit(s) & promotion_from_rank(Us);
    const int push = s + kForward;
    // A pawn typed onto the last rank has no square ahead.
    if (push >= 0 && push < kSquares && !(all & square_bit(push))) {
      if (promotes) {
        promotions(s, push, 0);
      } else {
        sink.move(encode_move(s, push, kPawnPiece, 0, 0));
        const int double_push = push + kForward;
        if ((square_bit(s) & pawn_start_rank(Us)) && !(all & square_bit(double_push)))
          sink.move(encode_move(s, double_push, kPawnPiece, 0, kDoublePushFlag));
      }
    }
    const Bitboard attacks = t.pawn_attack_sets[Us][s];
    for (Bitboard captures = attacks & enemies; captures; captures &= captures - 1) {
      const int target = lsb_index(captures);
      if (promotes)
        promotions(s, target, kCaptureFlag);
      else
        sink.move(encode_move(s, target, kPawnPiece, 0, kCaptureFlag));
    }
    if (p.enpassant >= 0 && p.enpassant < kSquares && (attacks & square_bit(p.enpassant)))
      sink.move(encode_move(s, p.enpassant, kPawnPiece, 0, kCaptureFlag | kEnPassantFlag));
  }

  const auto targets = [&](int piece, int source, Bitboard set) { sink.targets(piece, source, set, enemies); };
  for_each_piece_targets<Us, kKnight>(p, targets);
  for_each_piece_targets<Us, kBishop>(p, targets);
  for_each_piece_targets<Us, kRook>(p, targets);
  for_each_piece_targets<Us, kQueen>(p, targets);

  Move castling[2];
  const int castlings = p.castling_moves(castling);
  for (int i = 0; i < castlings; ++i) sink.move(castling[i]);
  for_each_piece_targets<Us, kKing>(p, targets);
}

template <class Sink>
void walk_pseudo_legal_moves(const Position& p, Sink& sink) {
  if (p.side == kWhite)
    walk_pseudo_legal_moves<kWhite>(p, sink);
  else
    walk_pseudo_legal_moves<kBlack>(p, sink);
}

}  // namespace varnok
