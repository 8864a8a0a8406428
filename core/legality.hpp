// Deciding legality without playing moves. A move is legal when the mover's
// king is not attacked afterwards (Position::is_legal plays it on a copy of
// the pieces); the tests here reach exactly is_legal's verdicts with less work.
#pragma once

#include "core/attack_tables.hpp"
#include "core/move_walk.hpp"
#include "core/position.hpp"

namespace varnok {

// Whether every piece stands on a square of its own. Positions from play
// always do; a FEN text can put a second piece on a square only through an
// en-passant capture onto an occupied en-passant square.
inline bool no_square_held_twice(const Position& position) {
  int pieces = 0;
  for (Bitboard b : position.bitboards) pieces += population_count(b);
  return pieces == population_count(position.occupancies[kBothColours]);
}

// Judges single moves of one position, as Position::is_legal does, without
// playing them: only the lines through the king and the target square can
// change, so the test reads the attackers of the king against the occupancy
// the move leaves. It applies to positions where no square holds two pieces
// and the side to move has exactly one king; castling and en-passant
// captures, which move a second piece, go to the full test, as do all moves
// of other positions. The caller passes no_square_held_twice(position), which
// it may know already.
class SingleMoveLegality {
 public:
  SingleMoveLegality(const Position& position, bool one_piece_per_square) : position_(position) {
    const int us = position.side, them = opponent_of(us);
    const Bitboard kings = position.pieces(us, kKing);
    if (!one_piece_per_square || population_count(kings) != 1) return;
    king_ = lsb_index(kings);
    pawns_ = position.pieces(them, kPawn);
    knights_ = position.pieces(them, kKnight);
    diagonal_ = position.pieces(them, kBishop) | position.pieces(them, kQueen);
    straight_ = position.pieces(them, kRook) | position.pieces(them, kQueen);
    enemy_king_ = position.pieces(them, kKing);
  }

  bool operator()(Move move) const {
    if (king_ < 0 || move_is_en_passant(move) || move_is_castling(move)) return position_.is_legal(move);
    const AttackTables& t = attack_tables();
    const int source = move_source(move), target = move_target(move);
    const Bitboard stays = ~square_bit(target);  // a piece taken there attacks nothing
    const Bitboard occupancy = (position_.occupancies[kBothColours] & ~square_bit(source)) | square_bit(target);
    const int king = source == king_ ? target : king_;
    const int us = position_.side;
    if ((t.pawn_attack_sets[us][king] & pawns_ & stays) || (t.knight_attack_sets[king] & knights_ & stays) ||
        (t.king_attack_sets[king] & enemy_king_ & stays))
      return false;
    return !(bishop_lookup(king, occupancy) & diagonal_ & stays) && !(rook_lookup(king, occupancy) & straight_ & stays);
  }

 private:
  const Position& position_;
  int king_ = -1;
  Bitboard pawns_ = 0, knights_ = 0, diagonal_ = 0, straight_ = 0, enemy_king_ = 0;
};

// Legality for a whole move list. Most moves need no test at all: when the
// king is not in check, a move that is not a king move, castling or an
// en-passant capture can only expose the king by vacating the one square
// between it and an enemy slider, so only moves of such pinned pieces, and
// every move when in check, are tested.
class LegalityFilter {
 public:
  explicit LegalityFilter(const Position& position) : single_(position, no_square_held_twice(position)) {
    const int us = position.side, them = opponent_of(us);
    const Bitboard kings = position.pieces(us, kKing);
    // Without exactly one king every move goes through the full test (and a
    // side without a king has nothing to expose: is_legal accepts all).
    if (population_count(kings) != 1) return;
    const int king = lsb_index(kings);
    if (position.square_attacked_by(king, them)) return;
    const Bitboard all = position.occupancies[kBothColours];
    const Bitboard enemies = position.occupancies[them];
    const Bitboard straight = position.pieces(them, kRook) | position.pieces(them, kQueen);
    const Bitboard diagonal = position.pieces(them, kBishop) | position.pieces(them, kQueen);
    // Enemy sliders that would see the king if our own pieces were not there.
    Bitboard pinned = 0;
    for (Bitboard snipers = rook_lookup(king, enemies) & straight; snipers; snipers &= snipers - 1) {
      const int sniper = lsb_index(snipers);
      const Bitboard between = rook_lookup(king, square_bit(sniper)) & rook_lookup(sniper, square_bit(king)) & all;
      if (population_count(between) == 1) pinned |= between;
    }
    for (Bitboard snipers = bishop_lookup(king, enemies) & diagonal; snipers; snipers &= snipers - 1) {
      const int sniper = lsb_index(snipers);
      const Bitboard between = bishop_lookup(king, square_bit(sniper)) & bishop_lookup(sniper, square_bit(king)) & all;
      if (population_count(between) == 1) pinned |= between;
    }
    safe_sources_ = ~pinned & ~kings;
  }

  // Whether every move of the piece on source is legal without a test but
  // castling and en passant: a piece pinned to nothing, not the king, while
  // the king is not in check.
  bool every_move_from(int source) const { return safe_sources_ & square_bit(source); }

  bool operator()(Move move) const {
    // Castling always goes through the full test: its words name e1/e8 as
    // source whether or not the king stands there.
    if ((safe_sources_ & square_bit(move_source(move))) && !move_is_en_passant(move) && !move_is_castling(move))
      return true;
    return single_(move);
  }

 private:
  SingleMoveLegality single_;
  Bitboard safe_sources_ = 0;  // squares whose moves need no test
};

// Hands each legal move of the side to move to visit, in generation order.
// Moves are judged in place, so the position is left exactly as it was; the
// targets of a piece that can expose nothing are taken without a test.
template <class Visit>
[[gnu::always_inline]] inline void for_each_legal_move(const Position& position, Visit visit) {
  const LegalityFilter legal(position);
  struct Legal {
    Visit& visit;
    const LegalityFilter& legal;
    void move(Move move) {
      if (legal(move)) visit(move);
    }
    void targets(int piece, int source, Bitboard targets, Bitboard enemies) {
      const bool all_legal = legal.every_move_from(source);
      for (; targets; targets &= targets - 1) {
        const Move move = piece_move(piece, source, lsb_index(targets), enemies);
        if (all_legal || legal(move)) visit(move);
      }
    }
  } sink{visit, legal};
  walk_pseudo_legal_moves(position, sink);
}

// Whether the side to move has any legal move; stops at the first one.
inline bool has_legal_move(const Position& position) {
  MoveList list;
  position.generate_moves(list);
  const LegalityFilter legal(position);
  for (int i = 0; i < list.count; ++i)
    if (legal(list.moves[i])) return true;
  return false;
}

}  // namespace varnok
