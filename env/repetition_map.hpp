// How many times each position hash has been recorded in the episode. An
// open-addressing table of (hash, count) pairs; it grows by doubling and is
// only ever cleared as a whole, so there are no deletions to handle.
#pragma once

#include <climits>
#include <cstdint>
#include <vector>

namespace varnok {

class RepetitionMap {
 public:
  void clear() {
    if (size_ == 0) return;
    for (Slot& e : slots_) e.used = false;
    size_ = 0;
  }
  int size() const { return static_cast<int>(size_); }

  // Adds one to the count of key and returns the new count.
  int32_t increment(uint64_t key) {
    Slot& e = find_or_insert(key);
    if (e.count < INT32_MAX) ++e.count;  // a restored count may already be at the top
    return e.count;
  }
  // Sets the count of key (used when a saved game is put back).
  void set(uint64_t key, int32_t count) { find_or_insert(key).count = count; }
  int32_t count(uint64_t key) const {
    if (slots_.empty()) return 0;
    for (size_t i = home(key);; i = (i + 1) & mask()) {
      const Slot& e = slots_[i];
      if (!e.used) return 0;
      if (e.key == key) return e.count;
    }
  }
  template <class Visit>
  void for_each(Visit visit) const {
    for (const Slot& e : slots_)
      if (e.used) visit(e.key, e.count);
  }

 private:
  struct Slot {
    uint64_t key = 0;
    int32_t count = 0;
    bool used = false;
  };
  size_t mask() const { return slots_.size() - 1; }
  size_t home(uint64_t key) const {
    // Position hashes can share their low bits; mix before taking them.
    key ^= key >> 31;
    key *= 0x9e3779b97f4a7c15ULL;
    key ^= key >> 29;
    return key & mask();
  }
  Slot& find_or_insert(uint64_t key) {
    if ((size_ + 1) * 4 > slots_.size() * 3) grow();
    for (size_t i = home(key);; i = (i + 1) & mask()) {
      Slot& e = slots_[i];
      if (!e.used) {
        e.used = true;
        e.key = key;
        e.count = 0;
        ++size_;
        return e;
      }
      if (e.key == key) return e;
    }
  }
  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 64 : old.size() * 2, Slot{});
    size_ = 0;
    for (const Slot& e : old)
      if (e.used) find_or_insert(e.key).count = e.count;
  }

  std::vector<Slot> slots_;
  size_t size_ = 0;
};

}  // namespace varnok
