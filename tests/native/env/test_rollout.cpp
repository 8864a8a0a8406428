// A roll-out must leave the Episode exactly as the same actions played through
// step would: same position, counters, history, repetition data and action map.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "env/episode.hpp"

namespace varnok {
namespace {

TEST(RollOut, EndStateEqualsReplayThroughStep) {
  std::mt19937 rng(20261207);
  Episode rolled, replayed;
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

TEST(RollOut, TypedPositionsWhereMovesShareAnActionReplayThroughStep) {
  // A castling right without the king at home (the rook's e1-g1 and castling
  // share an action), and an en-passant square holding a knight (the capture
  // and the en-passant capture share one): the roll-out must play what step
  // plays for the action it draws.
  const char* fens[] = {"4k3/8/8/8/8/8/8/4R2K w K - 0 1", "4k3/8/2n5/3P4/8/8/8/4K3 w - c6 0 1"};
  std::mt19937 rng(5);
  Episode rolled, replayed;
  for (const char* fen : fens)
    for (int game = 0; game < 40; ++game) {
      rolled.parse_fen(fen);
      std::vector<int32_t> played;
      const int32_t result = rolled.roll_out_with(rng, &played);
      replayed.parse_fen(fen);
      StepResult last;
      for (int32_t action : played) last = replayed.step(action);
      EXPECT_EQ(result, last.reward);
      ASSERT_TRUE(rolled.save_state() == replayed.save_state()) << fen << " game " << game;
    }
}

TEST(RollOut, StepsAreCountedAndCapped) {
  std::mt19937 rng(7);
  Episode board;
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
  Episode board;
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

TEST(RollOut, FirstMoveIsUniformAmongLegalActions) {
  // The pawn on d2 is pinned, so two of its pseudo-legal moves are illegal,
  // and several king moves walk into the bishop's line: a draw that favoured
  // moves next to illegal ones would show here.
  const char* fen = "4k3/8/8/8/1b6/8/3P4/4K2R w K - 0 1";
  Episode board;
  board.parse_fen(fen);
  ActionMask mask;
  board.get_actions(mask);
  std::map<int, int> counts;
  board.move_index.for_each([&](int action, Move) { counts[action] = 0; });
  ASSERT_GE(counts.size(), 10u);

  std::mt19937 rng(11);
  const int games = 3000;
  for (int game = 0; game < games; ++game) {
    board.parse_fen(fen);
    std::vector<int32_t> played;
    board.roll_out_with(rng, &played);
    ASSERT_TRUE(counts.count(played.at(0))) << "illegal first action " << played[0];
    ++counts[played[0]];
  }
  const double expected = static_cast<double>(games) / counts.size();
  double chi_square = 0;
  for (const auto& [action, n] : counts) chi_square += (n - expected) * (n - expected) / expected;
  const double dof = counts.size() - 1.0;
  // Far beyond the 0.1% tail of the distribution for this many degrees of freedom.
  EXPECT_LT(chi_square, dof + 5 * std::sqrt(2 * dof) + 10) << "chi-square " << chi_square;
}

}  // namespace
}  // namespace varnok
