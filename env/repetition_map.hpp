// How many times each position hash has been recorded in the episode. An
// open-addressing table of (hash, count) pairs; it grows by doubling and is
// only ever cleared as a whole, so there are no deletions to handle. The
// slots in use are also listed in the order they were taken, so that clearing
// and visiting cost in proportion to the entries, not to the table: a table
// grown large once (a restored game with a huge repetition record) keeps no
// cost behind, and is given back to the allocator when it is cleared.
//
// Two ways to count, one per table. By key alone (the classic rules: the
// position hash is the position). By identity (the FIDE rules): the key is a
// Zobrist key, and each entry keeps the PositionIdentity it was made for, so
// two positions whose keys collide are still counted apart. Entries put back
// from a saved game carry only their key; the first position recorded with
// that key takes the entry and gives it its identity. Only the identities
// of positions that can still occur again are kept: after a pawn move or a
// capture no earlier position can, and forget_identities drops them (their
// entries and counts stay, matching no later position), so the identities
// kept are at most those since the last such move.
#pragma once

#include <climits>
#include <cstdint>
#include <vector>

#include "env/position_identity.hpp"

namespace varnok {

class RepetitionMap {
 public:
  void clear() {
    if (identities_.size() > kKeptSlots) std::vector<PositionIdentity>().swap(identities_);
    identities_.clear();
    identity_base_ = 0;
    if (slots_.size() > kKeptSlots) {
      std::vector<Slot>().swap(slots_);
      std::vector<uint32_t>().swap(taken_);
      return;
    }
    for (uint32_t i : taken_) slots_[i].identity = kFree;
    taken_.clear();
  }
  int size() const { return static_cast<int>(taken_.size()); }
  // The slots allocated, for checking that a cleared table has shrunk.
  size_t capacity() const { return slots_.size(); }

  // Adds one to the count of key and returns the new count.
  int32_t increment(uint64_t key) { return add_one(find_or_insert(key)); }
  // Adds one to the count of the position identity stands for, keyed by key.
  int32_t increment(uint64_t key, const PositionIdentity& identity) { return add_one(find_or_insert(key, &identity)); }
  // Sets the count of key (used when a saved game is put back).
  void set(uint64_t key, int32_t count) { find_or_insert(key).count = count; }
  int32_t count(uint64_t key) const {
    if (slots_.empty()) return 0;
    for (size_t i = home(key);; i = (i + 1) & mask()) {
      const Slot& e = slots_[i];
      if (e.identity == kFree) return 0;
      if (e.key == key) return e.count;
    }
  }
  // The count of the position identity stands for, keyed by key.
  int32_t count(uint64_t key, const PositionIdentity& identity) const {
    if (slots_.empty()) return 0;
    for (size_t i = home(key);; i = (i + 1) & mask()) {
      const Slot& e = slots_[i];
      if (e.identity == kFree) return 0;
      if (e.key == key && (e.identity == kKeyOnly || holds(e, identity))) return e.count;
    }
  }
  // Drops the identities recorded so far: no position recorded before can
  // occur again (a pawn move or a capture has been played since).
  void forget_identities() {
    identity_base_ += static_cast<uint32_t>(identities_.size());
    identities_.clear();
  }
  // Starts loading the slot where a later look-up of key begins.
  void prefetch(uint64_t key) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[home(key)]);
  }
  template <class Visit>
  void for_each(Visit visit) const {
    for (uint32_t i : taken_) visit(slots_[i].key, slots_[i].count);
  }

 private:
  // A cleared table keeps its slots up to this many (16 KiB: room for the
  // positions of the longest usual games, so play never allocates); a larger
  // one is freed.
  static constexpr size_t kKeptSlots = 1024;

  // Slot::identity: the number of the identity among those recorded since
  // the table was cleared (identities_[number - identity_base_] while it is
  // kept), or one of these.
  static constexpr uint32_t kFree = UINT32_MAX;         // the slot is not in use
  static constexpr uint32_t kKeyOnly = UINT32_MAX - 1;  // counted by key alone
  struct Slot {
    uint64_t key = 0;
    int32_t count = 0;
    uint32_t identity = kFree;
  };
  static int32_t add_one(Slot& e) {
    if (e.count < INT32_MAX) ++e.count;  // a restored count may already be at the top
    return e.count;
  }
  size_t mask() const { return slots_.size() - 1; }
  size_t home(uint64_t key) const {
    // Position hashes can share their low bits; mix before taking them.
    key ^= key >> 31;
    key *= 0x9e3779b97f4a7c15ULL;
    key ^= key >> 29;
    return key & mask();
  }
  // The entry of key, made with count 0 when there is none. With identity,
  // an entry of the same key counts only when it was made for the same
  // identity, or carries none yet (and then takes this one).
  Slot& find_or_insert(uint64_t key, const PositionIdentity* identity = nullptr) {
    if ((taken_.size() + 1) * 4 > slots_.size() * 3) grow();
    for (size_t i = home(key);; i = (i + 1) & mask()) {
      Slot& e = slots_[i];
      if (e.identity == kFree) {
        e.key = key;
        e.count = 0;
        e.identity = identity ? remember(*identity) : kKeyOnly;
        taken_.push_back(static_cast<uint32_t>(i));
        return e;
      }
      if (e.key != key) continue;
      if (!identity) return e;
      if (e.identity == kKeyOnly) {
        e.identity = remember(*identity);
        return e;
      }
      if (holds(e, *identity)) return e;
    }
  }
  // Whether e was made for identity; a forgotten identity matches nothing.
  bool holds(const Slot& e, const PositionIdentity& identity) const {
    return e.identity >= identity_base_ && identities_[e.identity - identity_base_] == identity;
  }
  uint32_t remember(const PositionIdentity& identity) {
    identities_.push_back(identity);
    return identity_base_ + static_cast<uint32_t>(identities_.size() - 1);
  }
  void grow() {
    std::vector<Slot> old = std::move(slots_);
    std::vector<uint32_t> order = std::move(taken_);
    slots_.assign(old.empty() ? 64 : old.size() * 2, Slot{});
    taken_.clear();
    taken_.reserve(slots_.size() * 3 / 4);
    // Entries move with their identities as they are; only keys are compared.
    for (uint32_t i : order) {
      for (size_t j = home(old[i].key);; j = (j + 1) & mask()) {
        if (slots_[j].identity != kFree) continue;
        slots_[j] = old[i];
        taken_.push_back(static_cast<uint32_t>(j));
        break;
      }
    }
  }

  std::vector<Slot> slots_;
  std::vector<uint32_t> taken_;               // the used slots, in the order they were taken
  std::vector<PositionIdentity> identities_;  // kept identities, oldest first
  uint32_t identity_base_ = 0;                // the number of identities_[0]
};

}  // namespace varnok
