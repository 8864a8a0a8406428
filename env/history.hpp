// The ring of recorded positions: at most eight history entries, addressed
// together with Board::state_pos. A position is recorded as its twelve piece
// bitboards and its two repetition values, about a hundred bytes, and turned
// into 14 planes of 64 values only when an observation or a State needs them.
// An entry restored from a State whose planes no such record can hold (values
// other than 0 and 1 in a piece plane, a repetition plane that is not one
// value throughout) keeps its planes as given instead.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/types.hpp"

namespace varnok {

struct HistoryRecord {
  std::array<Bitboard, 12> pieces;
  int32_t repetition[2];  // the values of entry planes 12 and 13
};

class History {
 public:
  using NestedPlanes = std::vector<std::vector<int32_t>>;

  int size() const { return count_; }
  void clear() { count_ = 0; }

  // The record the next position goes to: appended while fewer than eight
  // exist, otherwise the slot named by the ring position is overwritten.
  HistoryRecord& slot_for_record(int ring_pos) {
    const int slot = count_ < kHistorySlots ? count_++ : ring_pos;
    given_planes_mask_ &= ~(1u << slot);
    return records_[slot];
  }

  // Writes the 14 planes of the entry in slot: piece planes from_piece, ...
  // in the order given by piece_order (12 entry plane numbers), then the two
  // repetition planes; every plane turned by a half turn when turn is set.
  void write_planes(int slot, const int (&piece_order)[12], bool turn, Plane* out) const;

  // The entry in slot as nested planes, unturned, in entry order.
  NestedPlanes nested(int slot) const;
  // Replaces the whole history with entries of 14 planes of 64 values each
  // (the caller has checked the shape).
  void assign(const std::vector<NestedPlanes>& entries);

 private:
  std::array<HistoryRecord, kHistorySlots> records_;
  // Planes of entries that came from a State and fit no record; allocated
  // only when such a State is restored.
  std::unique_ptr<std::array<HistoryEntry, kHistorySlots>> given_planes_;
  uint32_t given_planes_mask_ = 0;
  int count_ = 0;
};

}  // namespace varnok
