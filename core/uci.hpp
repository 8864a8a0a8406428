// Moves in UCI notation: source and target square, then the promotion piece
// in lower case ("e2e4", "e7e8q"); castling is the king's two-square move
// ("e1g1").
#pragma once

#include <string_view>

#include "core/move_text.hpp"
#include "core/position.hpp"

namespace varnok {

MoveText uci_of(Move move);

// The legal move of the position that text names. Throws
// std::invalid_argument naming the text when it is not a UCI move or the
// move is not legal here.
Move move_of_uci(const Position& position, std::string_view text);

}  // namespace varnok
