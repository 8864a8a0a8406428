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
#include <cstdlib>

#include "core/board.hpp"

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

std::pair<int32_t, int32_t> move_direction_for(int side, int source, int target) {
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
    distance = std::abs(file_change);
  else if (file_change == 0 || row_change > 0)
    distance = std::abs(row_change);
  else
    distance = std::abs(file_change);
  return {distance, direction};
}

int action_of_move(int side, Move move) {
  const int source = move_source(move);
  const int target = move_target(move);
  const int piece = move_piece(move);
  int plane;
  if (piece == WN || piece == BN) {
    plane = kKnightPlane[source - target + 17];
  } else {
    const auto [distance, direction] = move_direction_for(side, source, target);
    switch (move_promoted(move)) {
      case WN: case BN: plane = 64 + 3 * direction; break;
      case WB: case BB: plane = 65 + 3 * direction; break;
      case WR: case BR: plane = 66 + 3 * direction; break;
      default: plane = 7 * direction + distance - 1; break;  // no promotion, or a queen
    }
  }
  return plane * 64 + source;
}

std::pair<int32_t, int32_t> Board::move_direction(int source, int target) const {
  return move_direction_for(side, source, target);
}

namespace {

// Tries every pseudo-legal move in generation order and hands each legal one
// to visit, taking it back first (the snapshot restores the position, the
// no-progress counter is put back by hand).
template <class Visit>
void for_each_legal_move(Board& board, Visit visit) {
  MoveList list;
  board.generate_moves(list);
  for (int i = 0; i < list.count; ++i) {
    const int32_t kept = board.no_progress_count;
    if (!board.make_move(list.moves[i])) continue;
    board.restore_snapshot();
    board.no_progress_count = kept;
    visit(list.moves[i]);
  }
}

}  // namespace

int Board::collect_legal(LegalMove* out) {
  int count = 0;
  for_each_legal_move(*this, [&](Move move) { out[count++] = {action_of_move(side, move), move}; });
  return count;
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
