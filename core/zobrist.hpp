// Zobrist keys of positions with the Polyglot random numbers: the key
// opening books, tablebase tools and python-chess (chess.polyglot.zobrist_hash)
// give a position, and the key of a position's identity under the FIDE
// repetition rule. Unlike Position::hash, distinct positions collide only by
// chance (one pair in 2^64), never by structure.
#pragma once

#include <cstdint>

#include "core/position.hpp"

namespace varnok {

// The Polyglot key: pieces, castling rights, side to move, and the
// en-passant file when a pawn of the side to move stands beside the pawn
// that has just advanced two squares (whether or not taking it is legal).
uint64_t zobrist_hash(const Position& position);

// The key of the position as the FIDE Laws count repetitions (article 9.2:
// the same player to move, the same pieces on the same squares, the same
// possible moves): the Polyglot key, with the en-passant file only when an
// en-passant capture is legal. Equal identities give equal keys.
uint64_t repetition_key(const Position& position);

}  // namespace varnok
