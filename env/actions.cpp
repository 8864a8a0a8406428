// The fixed action encoding (73 planes x 64 source squares) and the
// legal-action listing that fills the action-to-move map.
//
// Planes 0-55: sliding, pawn, king and castling moves by direction and
// distance; 56-63: knight jumps; 64-72: under-promotions to knight, bishop or
// rook by direction. A promotion to a queen is encoded like the plain pawn
// step it is (its direction, distance 1), a plane no other move of that pawn
// can use, so every legal move has an action an agent can choose.
#include "env/actions.hpp"

#include <array>

#include "core/board.hpp"
#include "core/legality.hpp"

namespace varnok {

namespace {

// Knight planes by source minus target; the same for both colours.
constexpr std::array<int8_t, 35> kKnightPlane = [] {
  std::array<int8_t, 35> planes{};
  planes.fill(-1);
  planes[17 + 17] = 56;   // two north, one west
  planes[15 + 17] = 57;   // two north, one east
  planes[6 + 17] = 58;    // one north, two east
  planes[-10 + 17] = 59;  // one south, two east
  planes[-17 + 17] = 60;  // two south, one east
  planes[-15 + 17] = 61;  // two south, one west
  planes[-6 + 17] = 62;   // one south, two west
  planes[10 + 17] = 63;   // one north, two west
  return planes;
}();

}  // namespace

namespace {

// Plane of a move along a row, file or diagonal, by side, source and target
// (7 x direction + distance - 1), and the direction alone for promotions.
struct LinePlanes {
  int8_t plane[2][64][64];
  int8_t direction[2][64][64];
};
constexpr LinePlanes kLinePlanes = [] {
  LinePlanes t{};
  for (int side = 0; side < 2; ++side)
    for (int s = 0; s < 64; ++s)
      for (int u = 0; u < 64; ++u) {
        const auto [distance, direction] = move_direction_for(side, s, u);
        t.plane[side][s][u] = static_cast<int8_t>(7 * direction + distance - 1);
        t.direction[side][s][u] = static_cast<int8_t>(direction);
      }
  return t;
}();

}  // namespace

int action_of_move(int side, Move move) {
  const int source = move_source(move);
  const int target = move_target(move);
  const int piece = move_piece(move);
  int plane;
  if (piece == WN || piece == BN) {
    plane = kKnightPlane[source - target + 17];
  } else {
    switch (move_promoted(move)) {
      case WN: case BN: plane = 64 + 3 * kLinePlanes.direction[side][source][target]; break;
      case WB: case BB: plane = 65 + 3 * kLinePlanes.direction[side][source][target]; break;
      case WR: case BR: plane = 66 + 3 * kLinePlanes.direction[side][source][target]; break;
      default: plane = kLinePlanes.plane[side][source][target]; break;  // no promotion, or a queen
    }
  }
  return plane * 64 + source;
}

std::pair<int32_t, int32_t> Board::move_direction(int source, int target) const {
  return move_direction_for(side, source, target);
}

void Board::list_legal_moves() {
  move_index.clear();
  for_each_legal_move(*this, [&](Move move) { move_index.set(action_of_move(side, move), move); });
}

void Board::get_actions(ActionMask& mask) {
  list_legal_moves();
  for (Plane& plane : mask) plane.fill(0);
  move_index.for_each([&](int action, Move) { mask[action / 64][action % 64] = 1; });
}

}  // namespace varnok
