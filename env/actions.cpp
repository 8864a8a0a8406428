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
