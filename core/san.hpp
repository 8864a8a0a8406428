// Moves in Standard Algebraic Notation.
//
// Writing follows the standard exactly: piece letter (none for pawns), the
// source file, rank or square when another piece of the same kind could
// also go there (file if that tells them apart, else rank, else both), "x"
// for captures (en passant included; a pawn capture names its file),
// target, "=Q" for promotions, "O-O" / "O-O-O" for castling, and "+" for
// check or "#" for mate.
//
// Reading also takes the usual variations: a missing or wrong "+"/"#",
// "0-0" and "0-0-0", a promotion without "=" or in lower case, a missing or
// extra "x" or "-" before the target, a full source square on any move, and
// trailing annotations ("!", "?", "!!", "??", "!?", "?!").
#pragma once

#include <string_view>

#include "core/move_text.hpp"
#include "core/position.hpp"

namespace varnok {

// The SAN of a legal move of the position.
MoveText san_of(const Position& position, Move legal_move);

// The legal move text stands for. Throws std::invalid_argument naming the
// text when it is malformed, names no legal move or more than one.
Move move_of_san(const Position& position, std::string_view text);

}  // namespace varnok
