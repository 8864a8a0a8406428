// Directions and distances of line moves, seen from the side to move.
#include <gtest/gtest.h>

#include <utility>

#include "env/actions.hpp"

namespace varnok {
namespace {

TEST(MoveDirection, CodesAndDistancesForBothSides) {
  // (distance, direction) for white: ahead, ahead-right, ahead-left, right, left.
  EXPECT_EQ(move_direction_for(kWhite, kE2, kE4), std::make_pair(2, 1));
  EXPECT_EQ(move_direction_for(kWhite, kE2, kH5), std::make_pair(3, 2));  // diagonal towards the h-file
  EXPECT_EQ(move_direction_for(kWhite, kE2, kA6), std::make_pair(4, 0));
  EXPECT_EQ(move_direction_for(kWhite, kE1, kG1), std::make_pair(2, 3));
  EXPECT_EQ(move_direction_for(kWhite, kE2, kB2), std::make_pair(3, 7));
  EXPECT_EQ(move_direction_for(kWhite, kE2, kE2), std::make_pair(-1, -1));
  // The same squares seen by black: every code turns by four.
  EXPECT_EQ(move_direction_for(kBlack, kE4, kE2), std::make_pair(2, 1));  // black's ahead is towards rank 1
  EXPECT_EQ(move_direction_for(kBlack, kH5, kE2), std::make_pair(3, 2));
  EXPECT_EQ(move_direction_for(kBlack, kE2, kH5), std::make_pair(3, 6));
}

}  // namespace
}  // namespace varnok
