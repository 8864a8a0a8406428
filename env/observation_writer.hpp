// The observation written straight into caller-owned memory, in the layout a
// network reads: 119 planes of 64 values in square order (a (119, 8, 8)
// array), as float32, int32 or uint8, or packed as one 64-bit word per plane.
// Episode::build_observation writes its int32 planes through this writer too.
// With black to move the colours' piece planes change places and (except
// right after reset) every plane turns by a half turn.
#pragma once

#include <cstdint>

#include "env/episode.hpp"

namespace varnok {

inline constexpr int kObservationValues = kObservationPlanes * kSquares;

// The forms a batch of observations can take.
enum class ObservationFormat : int8_t { kFloat32, kInt32, kUint8, kPacked };

// Bytes of one observation in format.
size_t observation_bytes(ObservationFormat format);

// What an observation shows of a game: the position, the ring of recorded
// positions, the move count, and whether the position is the one the
// episode started from. An Episode is such a game; a tree search rebuilds the
// games of its leaves with only these parts.
struct ObservedGame {
  ObservedGame(const Position& position, const History& history, int32_t total_move_count, bool after_reset)
      : position(position), history(history), total_move_count(total_move_count), after_reset(after_reset) {}
  // An Episode is observed as it stands, so every writer below takes an Episode too.
  ObservedGame(const Episode& board)  // NOLINT(google-explicit-constructor)
      : ObservedGame(board.position, board.state_history, board.total_move_count, board.after_reset) {}

  const Position& position;
  const History& history;
  int32_t total_move_count;
  bool after_reset;
};

// Writes one observation in format into a batch row (16-byte aligned), with
// streaming stores: batches are far larger than the cache. A packed row
// needs a packable history (see history_is_packable); callers keep only such
// games.
void write_batch_row(ObservationFormat format, const ObservedGame& game, void* out);
// The same with ordinary stores, for a row that is read again soon. Returns
// false, with a packed row partly written, when the history has no packed
// form.
bool write_cached_row(ObservationFormat format, const ObservedGame& game, void* out);

// What a row of a batch holds, in packed form (see write_packed_observation),
// for a row that is written again and again: a game's row of a vector
// environment, a tree's row of a search round. Two observations of one game
// differ in a few squares of a few planes, since a move changes little and
// the history of a search's leaves is mostly the root's, so a row written
// over what it held touches a fraction of its 30 KB (a float32 row): less
// memory traffic than any way of writing the whole of it. A row nobody has
// written is zeros, which the zero words describe.
struct alignas(64) WrittenRow {
  uint64_t planes[kObservationPlanes] = {};
  // False once the row holds an observation that has no packed form.
  bool known = true;
};

// Writes one observation in format (not packed) over the row that written
// describes, with ordinary stores to the squares that change, and updates
// written. A history without a packed form is written whole.
void write_row_changes(ObservationFormat format, const ObservedGame& game, void* out, WrittenRow& written);

// Writes kObservationValues values. For uint8, values outside 0..255 (the
// counters of long games) are clamped to that range.
template <class T>
void write_observation(const ObservedGame& game, T* out);

extern template void write_observation<float>(const ObservedGame&, float*);
extern template void write_observation<int32_t>(const ObservedGame&, int32_t*);
extern template void write_observation<uint8_t>(const ObservedGame&, uint8_t*);

// Whether a plane is a piece plane (0 or 1 on each square) in every
// observation; all other planes hold one value on all 64 squares.
constexpr bool is_piece_plane(int plane) {
  return plane < kHistoryBlockPlanes && plane % kHistoryPlanes < kWhiteRepetitionPlane;
}

// Writes kObservationPlanes words: a piece plane as the bitboard of its ones
// (bit n for square n of the plane, so turning is already applied), every
// other plane as its one value, sign-extended to 64 bits. Returns false, with
// the blocks of such entries zero, when the history holds planes restored
// from a State that have no such form (see history_is_packable).
bool write_packed_observation(const ObservedGame& game, uint64_t* out);

// Whether word can stand for plane in a packed observation: every word is a
// bitboard of a piece plane, while any other plane's word is a 32-bit value
// sign-extended to 64 bits.
constexpr bool is_packed_word(int plane, uint64_t word) {
  return is_piece_plane(plane) || static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(word))) == word;
}

// The values of a packed observation (of words is_packed_word takes), as
// write_observation<T> writes them: kObservationValues values from
// kObservationPlanes words, clamped to 0..255 for uint8.
template <class T>
void unpack_observation(const uint64_t* packed, T* out);

extern template void unpack_observation<float>(const uint64_t*, float*);
extern template void unpack_observation<int32_t>(const uint64_t*, int32_t*);
extern template void unpack_observation<uint8_t>(const uint64_t*, uint8_t*);

// Whether write_packed_observation can represent every entry of history:
// whether every entry is a record (an entry restored from a State is kept as
// given planes exactly when no record can hold it).
inline bool history_is_packable(const History& history) { return history.all_records(); }

}  // namespace varnok
