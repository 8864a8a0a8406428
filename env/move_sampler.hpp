// Picks a uniformly random pseudo-legal move without listing them all: the
// moves of the position are held as groups of targets (one per piece, and
// set-wise groups for pawn pushes and captures), each with its count, so a
// draw is one walk over a handful of counts. The moves it can produce are
// exactly those of generate_moves, in another order.
#pragma once

#include <array>
#include <cstdint>

#include "core/attack_tables.hpp"
#include "core/position.hpp"

namespace varnok {

class MoveSampler {
 public:
  explicit MoveSampler(const Position& position);

  // Number of pseudo-legal moves.
  int count() const { return total_; }
  // The index-th move, 0 <= index < count(); every index gives another move.
  Move move_at(int index) const;

 private:
  // The constructor for the side to move.
  template <Colour Us>
  void fill(const Position& position);

  struct Group {
    Bitboard targets;
    int source;  // the source square, or -1 when it is target + offset
    int offset;
    int piece;
    int flags;    // flags every move of the group carries
    int promote;  // first promoted piece (queen) for groups of four promotions, else 0
    int count;
  };
  static constexpr int kMaxGroups = 96;
  std::array<Group, kMaxGroups> groups_;
  int groups_used_ = 0;
  std::array<Move, 4> extra_;  // castling and en-passant moves, listed one by one
  int extra_used_ = 0;
  Bitboard opponent_ = 0;
  int total_ = 0;
};

}  // namespace varnok
