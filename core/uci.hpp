// Moves in UCI notation: source and target square, then the promotion piece
// in lower case ("e2e4", "e7e8q"). Castling is written as the game encodes
// it: the king's two-square move in standard chess ("e1g1"), the king onto
// its own rook in Chess960 ("e1h1", as UCI_Chess960 writes it).
#pragma once

#include <string_view>

#include "core/move_text.hpp"
#include "core/position.hpp"

namespace varnok {

MoveText uci_of(Move move);
// The same with castling in a chosen convention: the king onto its rook
// when chess960, else the king onto its destination, unless that text
// would name another move or none (Chess960 set-ups where the king lands on
// its own square or one it could step to): then the king onto its rook.
// Other moves read the same in both.
MoveText uci_of(Move move, const Position& position, bool chess960);

// The legal move of the position that text names. Throws
// std::invalid_argument naming the text when it is not a UCI move or the
// move is not legal here. Castling is read in either convention where the
// text names no other legal move.
Move move_of_uci(const Position& position, std::string_view text);

}  // namespace varnok
