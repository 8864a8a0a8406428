// Shared pieces of the fuzz targets: a byte reader, the check that turns a
// broken property into an exception, and helpers that look at an Episode and
// its Position from the outside. The targets are header-only so that the
// native regression tests replay saved inputs through exactly the code the
// fuzzers run.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/position.hpp"
#include "env/actions.hpp"
#include "env/episode.hpp"
#include "fuzz/check.hpp"

namespace varnok::fuzz {

// Reads the input front to back; once it is used up every read gives zeros.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t u16() { return static_cast<uint16_t>(byte() | (byte() << 8)); }
  uint32_t u32() { return u16() | (static_cast<uint32_t>(u16()) << 16); }
  uint64_t u64() { return u32() | (static_cast<uint64_t>(u32()) << 32); }
  int32_t i32() { return static_cast<int32_t>(u32()); }
  // Up to length bytes as text (stopping at the end of the input).
  std::string text(size_t length) {
    const size_t n = std::min(length, size_ - std::min(pos_, size_));
    std::string out(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// The interpreter channel of render: touches every byte of each text (so the
// sanitizers see a bad pointer) and throws it away.
inline void discard_text(void*, const char* text) {
  volatile size_t length = std::strlen(text);
  (void)length;
}

// The sorted, distinct legal actions of the position, found the plain way:
// every generated move is played with make_move on a copy of the position.
// On the way, is_legal (the in-place test the listings use) must agree with
// make_move's verdict on every move, and a refused move must leave its copy
// exactly as it was, no_progress_count included.
inline std::vector<int32_t> legal_actions(const Position& position) {
  auto list = std::make_unique<MoveList>();
  position.generate_moves(*list);
  FUZZ_CHECK(list->count >= 0 && list->count <= kMoveListCapacity);
  const int mover = position.side;
  std::vector<int32_t> actions;
  for (int i = 0; i < list->count; ++i) {
    const Move move = list->moves[i];
    const bool in_place = position.is_legal(move);
    Position trial = position;
    const bool played = trial.make_move(move);
    FUZZ_CHECK(in_place == played);
    if (!played) {
      FUZZ_CHECK(trial == position);
      continue;
    }
    FUZZ_CHECK(trial.side == opponent_of(mover));
    const int action = action_of_move(mover, move);
    FUZZ_CHECK(action >= 0 && action < kActionCount);
    actions.push_back(action);
  }
  std::sort(actions.begin(), actions.end());
  actions.erase(std::unique(actions.begin(), actions.end()), actions.end());
  return actions;
}

inline bool contains(const std::vector<int32_t>& sorted, int32_t value) {
  return std::binary_search(sorted.begin(), sorted.end(), value);
}

// The position fields obey their invariants: occupancies are the unions of
// the piece bitboards, side white or black, castling rights a subset of the
// four, en passant a square or none.
inline void check_position(const Position& position) {
  Bitboard white = 0, black = 0;
  for (int kind = kPawn; kind <= kKing; ++kind) {
    white |= position.pieces(kWhite, PieceKind(kind));
    black |= position.pieces(kBlack, PieceKind(kind));
  }
  FUZZ_CHECK(position.occupancies[kWhite] == white);
  FUZZ_CHECK(position.occupancies[kBlack] == black);
  FUZZ_CHECK(position.occupancies[kBothColours] == (white | black));
  FUZZ_CHECK(position.side == kWhite || position.side == kBlack);
  FUZZ_CHECK((position.castle & ~kAllCastling) == 0);
  FUZZ_CHECK(position.enpassant >= 0 && position.enpassant <= kNoSquare);
}

// The mask of get_actions marks exactly the legal actions, with ones, and
// move_index then holds exactly those actions.
inline void check_mask(const ActionMask& mask, const Episode& board, const std::vector<int32_t>& legal) {
  size_t marked = 0;
  for (int plane = 0; plane < kActionPlanes; ++plane)
    for (int square = 0; square < kSquares; ++square) {
      const int32_t value = mask[plane][square];
      FUZZ_CHECK(value == 0 || value == 1);
      if (value) {
        ++marked;
        FUZZ_CHECK(contains(legal, plane * kSquares + square));
      }
    }
  FUZZ_CHECK(marked == legal.size());
  FUZZ_CHECK(board.move_index.size() == static_cast<int>(legal.size()));
  for (int32_t action : legal) FUZZ_CHECK(board.move_index.contains(action));
}

// After a move the side that moved does not leave its king attacked (the
// king make_move tests: the lowest one, when there are several).
inline void check_mover_not_in_check(const Position& position) {
  const int mover = opponent_of(position.side);
  const int king = lsb_index(position.pieces(mover, kKing));
  if (king >= 0) FUZZ_CHECK(!position.square_attacked_by(king, position.side));
}

inline void check_result(const StepResult& result, const Episode& board) {
  FUZZ_CHECK(result.side == board.position.side);
  FUZZ_CHECK(result.done == 0 || result.done == 1);
  FUZZ_CHECK(result.reward >= -1 && result.reward <= 1);
  if (!result.done) FUZZ_CHECK(result.reward == 0);
}

// A State with the action map left out: what an illegal step may not change.
inline State without_move_index(State state) {
  state.move_index.clear();
  return state;
}

}  // namespace varnok::fuzz
