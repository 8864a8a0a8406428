// The fixed action encoding: plane * 64 + source square, 73 planes. Planes
// 0-55 are moves along a line (7 * direction + distance - 1), 56-63 knight
// jumps, 64-72 under-promotions to knight, bishop or rook by direction.
#pragma once

#include <array>
#include <cstdint>
#include <utility>

#include "core/types.hpp"
#include "env/observation.hpp"

namespace varnok {

inline constexpr int kLinePlanes = 56;  // 8 directions x 7 distances
inline constexpr int kKnightPlanes = 8;
inline constexpr int kUnderPromotionPlanes = 9;  // 3 directions x knight, bishop, rook
inline constexpr int kActionPlanes = kLinePlanes + kKnightPlanes + kUnderPromotionPlanes;  // 73
inline constexpr int kActionCount = kActionPlanes * kSquares;                              // 4672
static_assert(kActionCount == 4672);

// One 0/1 plane per action plane.
using ActionMask = std::array<Plane, kActionPlanes>;

// (distance, direction code) of a move along a row, file or diagonal, seen
// from the side to move: 0 ahead-left, 1 ahead, 2 ahead-right, 3 right,
// 4 behind-right, 5 behind, 6 behind-left, 7 left. Equal squares: (-1, -1).
namespace detail {
constexpr int abs_value(int v) { return v < 0 ? -v : v; }
}  // namespace detail

constexpr inline std::pair<int32_t, int32_t> move_direction_for(int side, int source, int target) {
  const int row_change = target / 8 - source / 8;
  const int file_change = target % 8 - source % 8;
  if (row_change == 0 && file_change == 0) return {-1, -1};
  int direction;
  if (row_change < 0)
    direction = file_change < 0 ? 0 : file_change == 0 ? 1 : 2;
  else if (row_change == 0)
    direction = file_change > 0 ? 3 : 7;
  else
    direction = file_change > 0 ? 4 : file_change == 0 ? 5 : 6;
  if (side == kBlack) direction = (direction + 4) % 8;  // seen from black's side
  // Along a row the file change counts, otherwise the row change; on a
  // diagonal both are equal in size.
  int distance;
  if (row_change == 0)
    distance = detail::abs_value(file_change);
  else if (file_change == 0 || row_change > 0)
    distance = detail::abs_value(row_change);
  else
    distance = detail::abs_value(file_change);
  return {distance, direction};
}

// The action index (plane * 64 + source square) of a legal move of side.
int action_of_move(int side, Move move);

}  // namespace varnok
