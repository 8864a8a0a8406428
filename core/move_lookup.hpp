// Finding the legal moves that fit a description (a source, a target, a
// promotion), as readers of move texts do. Only generated moves that fit are
// judged for legality, so a lookup costs one generation and a test or two.
#pragma once

#include "core/position.hpp"

namespace varnok {

// Hands each legal move for which fits(move) holds to visit, in generation
// order.
template <class Fits, class Visit>
void for_each_legal_move_that(const Position& position, Fits fits, Visit visit) {
  MoveList list;
  position.generate_moves(list);
  for (int i = 0; i < list.count; ++i)
    if (fits(list.moves[i]) && position.is_legal(list.moves[i])) visit(list.moves[i]);
}

}  // namespace varnok
