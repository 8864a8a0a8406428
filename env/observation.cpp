// Recording positions into the eight-slot history ring, and assembling the
// 119-plane observation: eight history blocks of 14 planes, newest first,
// then side to move, move count, the four castling rights and the
// no-progress count; the planes themselves are written by
// env/observation_writer.
#include "env/episode.hpp"
#include "env/observation_writer.hpp"

namespace varnok {

void Episode::record_position(uint64_t key) {
  int32_t count;
  if (counts_as_fide(rules)) {
    // Right after a pawn move or a capture (the clock at 0) no position
    // recorded before can occur again.
    if (position.no_progress_count == 0) repetition_count.forget_identities();
    count = repetition_count.increment(key, identity_of(position));
  } else {
    count = repetition_count.increment(key);
  }
  const int32_t n = count - 1;
  n_repetitions = n;

  HistoryRecord& record = state_history.record_next();
  record.pieces = position.bitboards;
  // The value of the position just recorded goes to the white plane when
  // white is to move in it, the black plane when black is; the other plane
  // repeats the value of the position recorded before.
  const bool white = position.side == kWhite;
  record.repetition[0] = white ? n : prev_n_repetitions;
  record.repetition[1] = white ? prev_n_repetitions : n;
  prev_n_repetitions = n;
}

void Episode::build_observation(Observation& out) const {
  // One writer for every form of the observation: the planes are contiguous
  // int32 values, plane after plane.
  static_assert(sizeof(Observation) == sizeof(int32_t) * kObservationValues);
  write_observation(*this, reinterpret_cast<int32_t*>(out.data()));
}

}  // namespace varnok
