// Recording positions into the eight-slot history ring, and assembling the
// 119-plane observation: eight history blocks of 14 planes, newest first,
// then side to move, move count, the four castling rights and the
// no-progress count. With black to move the colours' piece planes change
// places and (except right after reset) every plane turns by a half turn.
#include "core/board.hpp"

namespace varnok {

void Board::record_position() {
  const uint64_t h = hash_state();
  const int32_t n = repetition_count.increment(h) - 1;
  n_repititions = n;

  HistoryRecord& record = state_history.slot_for_record(state_pos);
  record.pieces = bitboards;
  // The value of the position just recorded goes to plane 12 when white is
  // to move in it, plane 13 when black is; the other plane repeats the value
  // of the position recorded before.
  record.repetition[0] = side == kWhite ? n : prev_n_repititions;
  record.repetition[1] = side == kWhite ? prev_n_repititions : n;

  state_pos = (state_pos + 1) % kHistorySlots;
  prev_n_repititions = n;
}

void Board::build_observation(Observation& out) const {
  const bool black = side == kBlack;
  // Black sees the board turned by a half turn, except right after reset.
  const bool turn = black && !after_reset;
  // Own pieces first: with black to move, black's planes lead.
  static constexpr int kWhiteFirst[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  static constexpr int kBlackFirst[12] = {6, 7, 8, 9, 10, 11, 0, 1, 2, 3, 4, 5};
  for (int b = 0; b < kHistorySlots; ++b) {
    Plane* block = &out[kHistoryPlanes * b];
    const int slot = ((state_pos - 1 - b) % kHistorySlots + kHistorySlots) % kHistorySlots;
    if (slot >= state_history.size()) {
      for (int k = 0; k < kHistoryPlanes; ++k) block[k].fill(0);
      continue;
    }
    state_history.write_planes(slot, black ? kBlackFirst : kWhiteFirst, turn, block);
  }
  // The whole-board planes hold one value each, so turning leaves them as they are.
  out[112].fill(side);
  out[113].fill(total_move_count);
  out[114].fill((castle & 1) ? 1 : 0);
  out[115].fill((castle & 2) ? 1 : 0);
  out[116].fill((castle & 4) ? 1 : 0);
  out[117].fill((castle & 8) ? 1 : 0);
  out[118].fill(no_progress_count);
}

}  // namespace varnok
