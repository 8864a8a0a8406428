// Recording positions into the eight-slot history ring, and assembling the
// 119-plane observation: eight history blocks of 14 planes, newest first,
// then side to move, move count, the four castling rights and the
// no-progress count. With black to move the colours' piece planes change
// places and (except right after reset) every plane turns by a half turn.
#include "env/board.hpp"

namespace varnok {

void Board::record_position() {
  const int32_t n = repetition_count.increment(position.hash()) - 1;
  n_repititions = n;

  HistoryRecord& record = state_history.record_next();
  record.pieces = position.bitboards;
  // The value of the position just recorded goes to the white plane when
  // white is to move in it, the black plane when black is; the other plane
  // repeats the value of the position recorded before.
  const bool white = position.side == kWhite;
  record.repetition[0] = white ? n : prev_n_repititions;
  record.repetition[1] = white ? prev_n_repititions : n;
  prev_n_repititions = n;
}

void Board::build_observation(Observation& out) const {
  const bool black = position.side == kBlack;
  // Black sees the board turned by a half turn, except right after reset.
  const bool turn = black && !after_reset;
  // Own pieces first: with black to move, black's planes lead.
  static constexpr int kWhiteFirst[kPieces] = {WP, WN, WB, WR, WQ, WK, BP, BN, BB, BR, BQ, BK};
  static constexpr int kBlackFirst[kPieces] = {BP, BN, BB, BR, BQ, BK, WP, WN, WB, WR, WQ, WK};
  for (int back = 0; back < kHistorySlots; ++back) {
    Plane* block = &out[kHistoryPlanes * back];
    const int slot = state_history.slot_back(back);
    if (slot < 0) {
      for (int k = 0; k < kHistoryPlanes; ++k) block[k].fill(0);
      continue;
    }
    state_history.write_planes(slot, black ? kBlackFirst : kWhiteFirst, turn, block);
  }
  // The whole-board planes hold one value each, so turning leaves them as they are.
  const int32_t castle = position.castle;
  out[kSideToMovePlane].fill(position.side);
  out[kMoveCountPlane].fill(total_move_count);
  out[kCastlingPlanes + 0].fill((castle & kWhiteKingSide) ? 1 : 0);
  out[kCastlingPlanes + 1].fill((castle & kWhiteQueenSide) ? 1 : 0);
  out[kCastlingPlanes + 2].fill((castle & kBlackKingSide) ? 1 : 0);
  out[kCastlingPlanes + 3].fill((castle & kBlackQueenSide) ? 1 : 0);
  out[kNoProgressPlane].fill(position.no_progress_count);
}

}  // namespace varnok
