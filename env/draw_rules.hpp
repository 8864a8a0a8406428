// Insufficient material: the positions in which neither side can ever give
// mate, by any series of legal moves.
#pragma once

#include "core/position.hpp"

namespace varnok {

// True when no pawn, rook or queen is left and either at most one minor
// piece (knight or bishop) is on the board, or the minor pieces are all
// bishops standing on squares of one colour. A king with a knight against a
// king with a knight, or a bishop against a knight, can still be mated in a
// corner, so such positions go on.
bool insufficient_material(const Position& position);

}  // namespace varnok
