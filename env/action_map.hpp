// The action-to-move map of the last legal-action listing: action index
// (plane * 64 + source square, 0..4671) to move word.
//
// A position has a few dozen legal moves among 4,672 actions, and a batch of
// games lists every one of them on every step, so the map is kept compact:
// a presence bitset over the actions, and the listed (action, move) pairs
// side by side in ascending action order. Looking an action up is one bit
// test plus a population count (its rank among the present actions), the
// map is a few contiguous cache lines instead of one line per move
// scattered over a 4,672-entry table, and a copy takes only what is listed.
// Nothing is allocated: a listing puts its moves in order through a scratch
// table on the stack, whose few touched lines stay in the cache from one
// listing to the next.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstdint>
#include <utility>

#include "core/legality.hpp"
#include "core/types.hpp"
#include "env/actions.hpp"

namespace varnok {

class ActionMap {
 public:
  // More pairs than any position has moves (a hand-made State may list any
  // actions it likes; restoring one with more is refused).
  static constexpr int kCapacity = kMoveListCapacity;

  ActionMap() = default;
  ActionMap(const ActionMap& other) { *this = other; }
  ActionMap& operator=(const ActionMap& other) {
    present_ = other.present_;
    rank_base_ = other.rank_base_;
    size_ = other.size_;
    std::copy_n(other.actions_.begin(), size_, actions_.begin());
    std::copy_n(other.moves_.begin(), size_, moves_.begin());
    return *this;
  }

  void clear() {
    present_.fill(0);
    size_ = 0;
  }

  // Makes the map the legal moves of position, each under its action.
  void list_legal(const Position& position) {
    assign([&position](auto add) {
      // The side by value: a copy held in a register, not read again
      // after every move is stored.
      const int side = position.side;
      for_each_legal_move(position, [side, &add](Move move) { add(action_of_move(side, move), move); });
    });
  }

  // Makes the map what fill hands over: fill(add) calls add(action, move)
  // for each pair, in any order, at most kCapacity distinct actions; an
  // action given twice keeps the move given last. Each pair lands in a
  // scratch table under its action and sets its presence bit; the bits then
  // give the actions in ascending order, and each is written once, straight
  // to its place, with no sorting and no counting of ranks.
  template <class Fill>
  void assign(Fill fill) {
    // Read only under a presence bit set by this call, so never initialised:
    // a listing sets a few dozen of its 4,672 entries.
    std::array<Move, kActionCount> by_action;
    // Which of the 73 words hold an action: a position's moves fall into a
    // dozen or so, and only those are walked.
    static_assert(kWords <= 128);
    uint64_t low_words = 0, high_words = 0;
    clear();
    fill([&](int action, Move move) {
      const int w = action >> 6;
      present_[w] |= uint64_t{1} << (action & 63);
      (w < 64 ? low_words : high_words) |= uint64_t{1} << (w & 63);
      by_action[action] = move;
    });
    int count = 0;
    const auto walk = [&](uint64_t words, int first_word) {
      for (; words != 0; words &= words - 1) {
        const int w = first_word + std::countr_zero(words);
        rank_base_[w] = static_cast<uint16_t>(count);
        for (uint64_t bits = present_[w]; bits != 0; bits &= bits - 1) {
          const int action = w * 64 + std::countr_zero(bits);
          assert(count < kCapacity);
          actions_[count] = static_cast<uint16_t>(action);
          moves_[count] = by_action[action];
          ++count;
        }
      }
    };
    walk(low_words, 0);
    walk(high_words, 64);
    size_ = count;
  }

  bool contains(int64_t action) const {
    return action >= 0 && action < kActionCount && ((present_[action >> 6] >> (action & 63)) & 1);
  }
  // The move of a present action.
  Move at(int action) const {
    assert(contains(action));
    return moves_[rank(action)];
  }
  int size() const { return size_; }
  // The action of the k-th entry in ascending action order (k < size()).
  int nth_action(int k) const { return actions_[k]; }
  // Visits (action, move) in ascending action order.
  template <class Visit>
  void for_each(Visit visit) const {
    for (int i = 0; i < size_; ++i) visit(static_cast<int>(actions_[i]), moves_[i]);
  }
  // Writes value into a flat mask of kActionCount entries at every listed
  // action, leaving the other entries as they are.
  template <class T>
  void mark(T* mask, T value) const {
    for (int i = 0; i < size_; ++i) mask[actions_[i]] = value;
  }

 private:
  static constexpr int kWords = kActionCount / 64;  // 73 words of presence bits
  static_assert(kActionCount % 64 == 0);
  static_assert(kActionCount <= UINT16_MAX && kCapacity <= UINT16_MAX);

  // How many present actions lie below a present action (the rank base of
  // a word without one is left as it was: nothing reads it).
  int rank(int action) const {
    const int word = action >> 6;
    const uint64_t below = (uint64_t{1} << (action & 63)) - 1;
    return rank_base_[word] + std::popcount(present_[word] & below);
  }

  std::array<uint64_t, kWords> present_{};
  std::array<uint16_t, kWords> rank_base_{};  // present actions in the words before (words holding one)
  int size_ = 0;
  std::array<uint16_t, kCapacity> actions_;  // the first size_ in ascending order
  std::array<Move, kCapacity> moves_;        // the move of each of actions_
};

}  // namespace varnok
