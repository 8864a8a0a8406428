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

namespace action_tables {

// Knight planes by source minus target; the same for both colours. The
// largest jump is 17 squares either way, so the table is indexed by
// source - target + 17.
inline constexpr int kKnightOffsetBias = 17;
inline constexpr std::array<int8_t, 2 * kKnightOffsetBias + 1> kKnightPlane = [] {
  std::array<int8_t, 2 * kKnightOffsetBias + 1> planes{};
  planes.fill(-1);
  // In plane order: source - target of each jump (north lowers the square by 8).
  constexpr int kJumps[kKnightPlanes] = {
      17,   // two north, one west
      15,   // two north, one east
      6,    // one north, two east
      -10,  // one south, two east
      -17,  // two south, one east
      -15,  // two south, one west
      -6,   // one south, two west
      10,   // one north, two west
  };
  for (int k = 0; k < kKnightPlanes; ++k) planes[kJumps[k] + kKnightOffsetBias] = static_cast<int8_t>(kLinePlanes + k);
  return planes;
}();

// The plane of a move that is no under-promotion, by side, source and
// target: along a row, file or diagonal 7 x direction + distance - 1, a
// knight's jump its knight plane; and the direction alone, for promotions.
// One lookup gives the plane of every move but an under-promotion.
struct MovePlanes {
  int8_t plane[kColours][kSquares][kSquares];
  int8_t direction[kColours][kSquares][kSquares];
};
inline constexpr MovePlanes kMovePlanes = [] {
  MovePlanes t{};
  for (int side = kWhite; side <= kBlack; ++side)
    for (int s = 0; s < kSquares; ++s)
      for (int u = 0; u < kSquares; ++u) {
        const auto [distance, direction] = move_direction_for(side, s, u);
        const int rows = detail::abs_value(u / 8 - s / 8), files = detail::abs_value(u % 8 - s % 8);
        const bool jump = (rows == 1 && files == 2) || (rows == 2 && files == 1);
        t.plane[side][s][u] =
            jump ? kKnightPlane[s - u + kKnightOffsetBias] : static_cast<int8_t>(7 * direction + distance - 1);
        t.direction[side][s][u] = static_cast<int8_t>(direction);
      }
  return t;
}();

}  // namespace action_tables

// The action index (plane * 64 + source square) of a legal move of side.
// Inline: every listing of legal moves (each step, each search descent)
// asks it once per move.
inline int action_of_move(int side, Move move) {
  const int source = move_source(move);
  const int target = move_target(move);
  const int promoted = move_promoted(move);
  if (!promoted || kind_of(promoted) == kQueen)
    return action_tables::kMovePlanes.plane[side][source][target] * kSquares + source;
  // Three planes per direction (ahead-left, ahead, ahead-right are 0, 1, 2),
  // knight, bishop, rook in that order.
  static_assert(kBishop - kKnight == 1 && kRook - kKnight == 2);
  const int direction = action_tables::kMovePlanes.direction[side][source][target];
  return (kLinePlanes + kKnightPlanes + 3 * direction + (kind_of(promoted) - kKnight)) * kSquares + source;
}

}  // namespace varnok
