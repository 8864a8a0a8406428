// A roll-out must leave the Board exactly as the same actions played through
// step would: same position, counters, history, repetition data and action map.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/board.hpp"
#include "env/move_sampler.hpp"
#include "random_games.hpp"

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

TEST(RollOut, TypedPositionsWhereMovesShareAnActionReplayThroughStep) {
  // A castling right without the king at home (the rook's e1-g1 and castling
  // share an action), and an en-passant square holding a knight (the capture
  // and the en-passant capture share one): the roll-out must play what step
  // plays for the action it draws.
  const char* fens[] = {"4k3/8/8/8/8/8/8/4R2K w K - 0 1", "4k3/8/2n5/3P4/8/8/8/4K3 w - c6 0 1"};
  std::mt19937 rng(5);
  Board rolled, replayed;
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

TEST(RollOut, FirstMoveIsUniformAmongLegalActions) {
  // The pawn on d2 is pinned, so two of its pseudo-legal moves are illegal,
  // and several king moves walk into the bishop's line: a draw that favoured
  // moves next to illegal ones would show here.
  const char* fen = "4k3/8/8/8/1b6/8/3P4/4K2R w K - 0 1";
  Board board;
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

namespace varnok {
namespace {

// The sampler must offer exactly the moves of generate_moves, each once.
void expect_sampler_matches_generator(const Board& board, const std::string& where) {
  MoveList list;
  board.generate_moves(list);
  std::vector<Move> generated(list.moves.begin(), list.moves.begin() + list.count);
  const MoveSampler sampler(board);
  std::vector<Move> sampled;
  for (int i = 0; i < sampler.count(); ++i) sampled.push_back(sampler.move_at(i));
  std::sort(generated.begin(), generated.end());
  std::sort(sampled.begin(), sampled.end());
  ASSERT_EQ(sampled, generated) << where;
}

TEST(MoveSampler, OffersExactlyTheGeneratedMoves) {
  const char* fens[] = {
      "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
      "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
      "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
      "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 b kq - 0 1",
      "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
      "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
      "4k3/8/8/2pP4/8/8/8/4K3 w - c6 0 1",      // en passant
      "4k3/8/8/8/2Pp4/8/8/4K3 b - c3 0 1",      // en passant for black
      "4k3/8/8/8/8/8/8/R3K2R w KQ e6 0 1",      // castling, an idle en-passant square
      "Pp6/8/8/8/8/8/8/pP5K w - - 0 1",          // pawns on the first and last ranks
      "Pp6/8/8/8/8/8/8/pP5k b - - 0 1",
  };
  for (const char* fen : fens) {
    Board board;
    board.parse_fen(fen);
    expect_sampler_matches_generator(board, fen);
  }
  // And along random games from the initial position, both sides to move.
  for_each_position_of_random_games(3, 30, [](const Board& position, int game) {
    expect_sampler_matches_generator(position, "game " + std::to_string(game));
  });
}

}  // namespace
}  // namespace varnok
