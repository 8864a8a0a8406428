// Directions and distances of line moves, seen from the side to move.
#include <gtest/gtest.h>

#include <utility>

#include "core/board.hpp"

namespace varnok {
namespace {

TEST(MoveDirection, CodesAndDistancesForBothSides) {
  Board board;
  board.parse_fen("4k3/8/8/8/8/8/8/4K3 w - - 0 1");
  const auto e2 = 52, e4 = 36, h5 = 31, a6 = 16, b2 = 49, e1 = 60, g1 = 62;
  // (distance, direction) for white: ahead, ahead-right, ahead-left, right.
  EXPECT_EQ(board.move_direction(e2, e4), std::make_pair(2, 1));
  EXPECT_EQ(board.move_direction(e2, h5), std::make_pair(3, 2));  // diagonal towards the h-file
  EXPECT_EQ(board.move_direction(e2, a6), std::make_pair(4, 0));
  EXPECT_EQ(board.move_direction(e1, g1), std::make_pair(2, 3));
  EXPECT_EQ(board.move_direction(e2, b2), std::make_pair(3, 7));
  EXPECT_EQ(board.move_direction(e2, e2), std::make_pair(-1, -1));
  // The same squares seen by black: every code turns by four.
  board.parse_fen("4k3/8/8/8/8/8/8/4K3 b - - 0 1");
  EXPECT_EQ(board.move_direction(e4, e2), std::make_pair(2, 1));  // black's ahead is towards rank 1
  EXPECT_EQ(board.move_direction(h5, e2), std::make_pair(3, 2));
  EXPECT_EQ(board.move_direction(e2, h5), std::make_pair(3, 6));
}

}  // namespace
}  // namespace varnok
