// Deciding legality for a whole move list at once. A move is legal when the
// mover's king is not attacked afterwards (Board::is_legal). Most moves need
// no test at all: when the king is not in check, a move that is not a king
// move, castling or an en-passant capture can only expose the king by vacating the one
// square between it and an enemy slider, so only moves of such pinned pieces
// are tested. The verdicts are exactly is_legal's.
#pragma once

#include "core/attack_tables.hpp"
#include "core/board.hpp"

namespace varnok {

class LegalityFilter {
 public:
  explicit LegalityFilter(const Board& board) : board_(board) {
    const int us = board.side, them = us ^ 1;
    const Bitboard kings = board.bitboards[6 * us + WK];
    // Without exactly one king every move goes through the full test (and a
    // side without a king has nothing to expose: is_legal accepts all).
    if (population_count(kings) != 1) return;
    const int king = lsb_index(kings);
    if (board.square_attacked_by(king, them)) return;
    const Bitboard all = board.occupancies[2];
    const Bitboard enemies = board.occupancies[them];
    const Bitboard straight = board.bitboards[6 * them + WR] | board.bitboards[6 * them + WQ];
    const Bitboard diagonal = board.bitboards[6 * them + WB] | board.bitboards[6 * them + WQ];
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

  bool operator()(Move move) const {
    // Castling always goes through the full test: its words name e1/e8 as
    // source whether or not the king stands there.
    if ((safe_sources_ & square_bit(move_source(move))) && !(move & (kEnPassantFlag | kCastlingFlag))) return true;
    return board_.is_legal(move);
  }

 private:
  const Board& board_;
  Bitboard safe_sources_ = 0;  // squares whose moves need no test
};

// Hands each legal move of the side to move to visit, in generation order.
// Moves are judged in place, so the Board is left exactly as it was.
template <class Visit>
void for_each_legal_move(const Board& board, Visit visit) {
  MoveList list;
  board.generate_moves(list);
  const LegalityFilter legal(board);
  for (int i = 0; i < list.count; ++i)
    if (legal(list.moves[i])) visit(list.moves[i]);
}

// Whether the side to move has any legal move; stops at the first one.
inline bool has_legal_move(const Board& board) {
  MoveList list;
  board.generate_moves(list);
  const LegalityFilter legal(board);
  for (int i = 0; i < list.count; ++i)
    if (legal(list.moves[i])) return true;
  return false;
}

}  // namespace varnok
