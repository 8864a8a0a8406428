// The action-to-move map of the last legal-action listing: action index
// (plane * 64 + source square, 0..4671) to move word. A dense table with a
// presence bitset, so a listing clears it with one small memset and step looks
// an action up with one bit test; nothing is allocated.
#pragma once

#include <array>
#include <cstdint>

#include "core/types.hpp"
#include "env/actions.hpp"

namespace varnok {

class ActionMap {
 public:
  void clear() {
    present_.fill(0);
    size_ = 0;
  }
  void set(int action, Move move) {
    uint64_t& word = present_[action >> 6];
    const uint64_t bit = uint64_t{1} << (action & 63);
    size_ += (word & bit) ? 0 : 1;
    word |= bit;
    moves_[action] = move;
  }
  bool contains(int64_t action) const {
    return action >= 0 && action < kActionCount && ((present_[action >> 6] >> (action & 63)) & 1);
  }
  // The move of a present action.
  Move at(int action) const { return moves_[action]; }
  int size() const { return size_; }
  // The action of the k-th entry in ascending action order (k < size()).
  int nth_action(int k) const {
    int w = 0;
    for (int in_word; k >= (in_word = std::popcount(present_[w])); ++w) k -= in_word;
    uint64_t bits = present_[w];
    for (; k > 0; --k) bits &= bits - 1;
    return w * 64 + std::countr_zero(bits);
  }
  // Visits (action, move) in ascending action order.
  template <class Visit>
  void for_each(Visit visit) const {
    for (int w = 0; w < kWords; ++w)
      for (uint64_t bits = present_[w]; bits; bits &= bits - 1) {
        const int action = w * 64 + std::countr_zero(bits);
        visit(action, moves_[action]);
      }
  }

 private:
  static constexpr int kWords = kActionCount / 64;  // 73 words of presence bits
  std::array<uint64_t, kWords> present_{};
  std::array<Move, kActionCount> moves_;
  int size_ = 0;
};

}  // namespace varnok
