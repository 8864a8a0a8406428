// Recording positions into the eight-slot history ring, and assembling the
// 119-plane observation: eight history blocks of 14 planes, newest first,
// then side to move, move count, the four castling rights and the
// no-progress count. With black to move the colours' piece planes change
// places and (except right after reset) every plane turns by a half turn.
#include <algorithm>

#include "core/board.hpp"

namespace varnok {

void Board::record_position() {
  const uint64_t h = hash_state();
  const int32_t n = repetition_count.increment(h) - 1;
  n_repititions = n;

  HistoryEntry& entry = state_history.slot_for_record(state_pos);
  for (int piece = 0; piece < 12; ++piece) {
    Plane& plane = entry[piece];
    plane.fill(0);
    for (Bitboard b = bitboards[piece]; b; b &= b - 1) plane[lsb_index(b)] = 1;
  }
  // The value of the position just recorded goes to plane 12 when white is
  // to move in it, plane 13 when black is; the other plane repeats the value
  // of the position recorded before.
  entry[12].fill(side == kWhite ? n : prev_n_repititions);
  entry[13].fill(side == kWhite ? prev_n_repititions : n);

  state_pos = (state_pos + 1) % kHistorySlots;
  prev_n_repititions = n;
}

void Board::build_observation(Observation& out) const {
  const bool black = side == kBlack;
  for (int b = 0; b < kHistorySlots; ++b) {
    Plane* block = &out[kHistoryPlanes * b];
    const int slot = ((state_pos - 1 - b) % kHistorySlots + kHistorySlots) % kHistorySlots;
    if (slot >= state_history.size()) {
      for (int k = 0; k < kHistoryPlanes; ++k) block[k].fill(0);
      continue;
    }
    const HistoryEntry& entry = state_history[slot];
    // Own pieces first: with black to move, black's planes lead.
    const int own = black ? 6 : 0;
    for (int k = 0; k < 6; ++k) {
      block[k] = entry[own + k];
      block[6 + k] = entry[(own + 6) % 12 + k];
    }
    block[12] = entry[12];
    block[13] = entry[13];
  }
  out[112].fill(side);
  out[113].fill(total_move_count);
  out[114].fill((castle & 1) ? 1 : 0);
  out[115].fill((castle & 2) ? 1 : 0);
  out[116].fill((castle & 4) ? 1 : 0);
  out[117].fill((castle & 8) ? 1 : 0);
  out[118].fill(no_progress_count);
  if (black && !after_reset)
    for (Plane& plane : out) std::reverse(plane.begin(), plane.end());
}

}  // namespace varnok
