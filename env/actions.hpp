#pragma once

#include <cstdint>
#include <utility>

#include "core/types.hpp"

namespace varnok {

// (distance, direction code) of a move along a row, file or diagonal, seen
// from the side to move: 0 ahead-left, 1 ahead, 2 ahead-right, 3 right,
// 4 behind-right, 5 behind, 6 behind-left, 7 left. Equal squares: (-1, -1).
std::pair<int32_t, int32_t> move_direction_for(int side, int source, int target);

// The action index (plane * 64 + source square) of a legal move of side.
int action_of_move(int side, Move move);

}  // namespace varnok
