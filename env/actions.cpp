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

#include "core/legality.hpp"
#include "env/episode.hpp"

namespace varnok {

namespace {

// Knight planes by source minus target; the same for both colours. The
// largest jump is 17 squares either way, so the table is indexed by
// source - target + 17.
constexpr int kKnightOffsetBias = 17;
constexpr std::array<int8_t, 2 * kKnightOffsetBias + 1> kKnightPlane = [] {
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

// Plane of a move along a row, file or diagonal, by side, source and target
// (7 x direction + distance - 1), and the direction alone for promotions.
struct LinePlanes {
  int8_t plane[kColours][kSquares][kSquares];
  int8_t direction[kColours][kSquares][kSquares];
};
constexpr LinePlanes kLineTable = [] {
  LinePlanes t{};
  for (int side = kWhite; side <= kBlack; ++side)
    for (int s = 0; s < kSquares; ++s)
      for (int u = 0; u < kSquares; ++u) {
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
  const int promoted = move_promoted(move);
  if (kind_of(piece) == kKnight) {
    plane = kKnightPlane[source - target + kKnightOffsetBias];
  } else if (promoted && kind_of(promoted) != kQueen) {
    // Three planes per direction (ahead-left, ahead, ahead-right are 0, 1, 2),
    // knight, bishop, rook in that order.
    static_assert(kBishop - kKnight == 1 && kRook - kKnight == 2);
    const int direction = kLineTable.direction[side][source][target];
    plane = kLinePlanes + kKnightPlanes + 3 * direction + (kind_of(promoted) - kKnight);
  } else {
    plane = kLineTable.plane[side][source][target];  // no promotion, or a queen
  }
  return plane * kSquares + source;
}

void Episode::save_current_listing() {
  listed_position_ = position;
  restored_listing_.reset();
}

ActionMap Episode::listing_of_listed_position() const {
  ActionMap before;
  before.list_legal(listed_position_);
  return before;
}

void Episode::get_actions(ActionMask& mask) {
  save_current_listing();
  for (Plane& plane : mask) plane.fill(0);
  move_index.for_each([&](int action, Move) { mask[action / kSquares][action % kSquares] = 1; });
}

}  // namespace varnok
