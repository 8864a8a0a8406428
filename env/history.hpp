// The ring of recorded positions: at most eight history entries of 14 planes,
// addressed together with Board::state_pos. A fixed array, so recording a
// position never allocates.
#pragma once

#include <array>
#include <cstdint>

#include "core/types.hpp"

namespace varnok {

class History {
 public:
  int size() const { return count_; }
  void clear() { count_ = 0; }
  const HistoryEntry& operator[](int slot) const { return entries_[slot]; }
  HistoryEntry& operator[](int slot) { return entries_[slot]; }
  // The slot the next entry goes to: appended while fewer than eight exist,
  // otherwise the slot named by the ring position is overwritten.
  HistoryEntry& slot_for_record(int ring_pos) {
    if (count_ < kHistorySlots) return entries_[count_++];
    return entries_[ring_pos];
  }
  void resize(int count) { count_ = count; }

 private:
  std::array<HistoryEntry, kHistorySlots> entries_;
  int count_ = 0;
};

}  // namespace varnok
