// A roll-out must leave the Board exactly as the same actions played through
// step would: same position, counters, history, repetition data and action map.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "core/board.hpp"

namespace varnok {
namespace {

TEST(RollOut, EndStateEqualsReplayThroughStep) {
  std::mt19937 rng(20261207);
  Board rolled, replayed;
  int games_ended_early = 0;
  for (int game = 0; game < 60; ++game) {
    rolled.reset();
    std::vector<int32_t> played;
    const int32_t result = rolled.roll_out_with(rng, &played);
    ASSERT_FALSE(played.empty());
    ASSERT_LE(played.size(), 400u);

    replayed.reset();
    StepResult last;
    for (size_t i = 0; i < played.size(); ++i) {
      last = replayed.step(played[i]);
      // Only the last step may end the episode.
      if (i + 1 < played.size()) {
        ASSERT_EQ(last.done, 0) << "game " << game << " ply " << i;
      }
    }
    if (played.size() < 400) {
      EXPECT_EQ(last.done, 1);
      ++games_ended_early;
    }
    EXPECT_EQ(result, last.reward);
    EXPECT_TRUE(rolled.save_state() == replayed.save_state()) << "game " << game;
    EXPECT_EQ(rolled.after_reset, replayed.after_reset);
  }
  EXPECT_GT(games_ended_early, 0);
}

TEST(RollOut, StepsAreCountedAndCapped) {
  std::mt19937 rng(7);
  Board board;
  for (int game = 0; game < 100; ++game) {
    board.reset();
    std::vector<int32_t> played;
    const int32_t result = board.roll_out_with(rng, &played);
    ASSERT_LE(played.size(), 400u);
    EXPECT_EQ(board.total_move_count, static_cast<int32_t>(played.size()));
    EXPECT_TRUE(result == 1 || result == -1 || result == 0);
  }
}

TEST(RollOut, PositionWithoutLegalActionReportsItsVerdict) {
  Board board;
  std::mt19937 rng(1);
  // Black to move is checkmated on the back rank.
  board.parse_fen("3R2k1/5ppp/8/8/8/8/8/6K1 b - - 0 1");
  const State before = board.save_state();
  EXPECT_EQ(board.roll_out_with(rng, nullptr), 1);
  EXPECT_EQ(board.total_move_count, before.total_move_count);
  // White to move is checkmated on its back rank.
  board.parse_fen("6k1/8/8/8/8/8/5PPP/3r2K1 w - - 0 1");
  EXPECT_EQ(board.roll_out_with(rng, nullptr), -1);
  // Stalemate.
  board.parse_fen("k7/8/1Q6/8/8/8/8/7K b - - 0 1");
  EXPECT_EQ(board.roll_out_with(rng, nullptr), 0);
  EXPECT_EQ(board.move_index.size(), 0);
}

}  // namespace
}  // namespace varnok
