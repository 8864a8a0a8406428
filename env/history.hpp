// The ring of recorded positions: at most eight history entries and the ring
// cursor (the slot after the newest entry once the ring is full). A position is recorded as its twelve piece
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
#include "env/observation.hpp"

namespace varnok {

struct HistoryRecord {
  std::array<Bitboard, kPieces> pieces;
  int32_t repetition[2];  // the values of entry planes 12 and 13
};

using NestedPlanes = std::vector<std::vector<int32_t>>;

// The one test of what an entry's planes are: the record of entry when it
// has one (14 planes of 64 values, every piece plane 0 or 1 on each square,
// each repetition plane one value throughout), else false.
bool record_of(const NestedPlanes& entry, HistoryRecord& record);
// The 14 planes of record, in entry order.
NestedPlanes planes_of(const HistoryRecord& record);

class History {
 public:
  History() = default;
  // Copies are deep, so a whole Episode can be copied (a search copies the
  // game at its root); the planes of restored entries are copied only when
  // there are any.
  History(const History& other) { *this = other; }
  History& operator=(const History& other) {
    if (this == &other) return *this;
    records_ = other.records_;
    given_planes_mask_ = other.given_planes_mask_;
    count_ = other.count_;
    cursor_ = other.cursor_;
    // A history assigned again and again (a search's leaf games) keeps its
    // storage for given planes rather than allocating it anew.
    if (other.given_planes_ && given_planes_)
      *given_planes_ = *other.given_planes_;
    else if (other.given_planes_)
      given_planes_ = std::make_unique<std::array<HistoryEntry, kHistorySlots>>(*other.given_planes_);
    else
      given_planes_.reset();
    return *this;
  }
  History(History&&) noexcept = default;
  History& operator=(History&&) noexcept = default;

  int size() const { return count_; }
  // The ring position 0 to 7, advanced by one with every record.
  int cursor() const { return cursor_; }
  // Empties the ring and puts the cursor back to 0.
  void clear() {
    count_ = 0;
    cursor_ = 0;
  }

  // The record the next position goes to: appended while fewer than eight
  // exist, otherwise the slot under the cursor is overwritten; the cursor
  // moves on either way (until the ring is full the two are equal).
  HistoryRecord& record_next() {
    const int slot = count_ < kHistorySlots ? count_++ : cursor_;
    given_planes_mask_ &= ~(1u << slot);
    cursor_ = (cursor_ + 1) % kHistorySlots;
    return records_[slot];
  }
  // The slot of the entry recorded back positions before the newest one
  // (back = 0 is the newest), or -1 when there is no such entry.
  int slot_back(int back) const {
    const int slot = ((cursor_ - 1 - back) % kHistorySlots + kHistorySlots) % kHistorySlots;
    return slot < count_ ? slot : -1;
  }

  // The record of the entry in slot, or nullptr when the entry keeps planes
  // given by a State (then given_planes(slot) holds them).
  const HistoryRecord* record(int slot) const {
    return (given_planes_mask_ & (1u << slot)) ? nullptr : &records_[slot];
  }
  const HistoryEntry& given_planes(int slot) const { return (*given_planes_)[slot]; }
  // Whether every entry is a record (none keeps given planes).
  bool all_records() const { return (given_planes_mask_ & ((1u << count_) - 1)) == 0; }

  // The entry in slot as nested planes, unturned, in entry order.
  NestedPlanes nested(int slot) const;
  // Replaces the whole history with entries of 14 planes of 64 values each
  // and the cursor (the caller has checked the shape and the range).
  void assign(const std::vector<NestedPlanes>& entries, int cursor);

 private:
  std::array<HistoryRecord, kHistorySlots> records_;
  // Planes of entries that came from a State and fit no record; allocated
  // only when such a State is restored.
  std::unique_ptr<std::array<HistoryEntry, kHistorySlots>> given_planes_;
  uint32_t given_planes_mask_ = 0;
  int count_ = 0;
  int cursor_ = 0;
};

}  // namespace varnok
