// Games as bytes (env/state_bytes.hpp): every game of random play reads back
// equal, a restored Episode plays on exactly as the original, and every cut or
// damaged byte is refused.
#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>

#include "env/state_bytes.hpp"
#include "random_games.hpp"

namespace varnok {
namespace {

TEST(StateBytes, GamesOfRandomPlayReadBackEqual) {
  int checked = 0;
  for_each_position_of_random_games(11, 6, [&](Episode& board, int) {
    const State state = board.save_state();
    const std::string bytes = state_to_bytes(state);
    ASSERT_EQ(state_from_bytes(bytes), state);
    // A game of usual length takes two bytes a move and a few hundred more.
    EXPECT_LE(bytes.size(), 1100 + 2 * state.moves.size());
    ++checked;
  });
  EXPECT_GT(checked, 500);
}

TEST(StateBytes, ARestoredBoardPlaysOnAsTheOriginal) {
  std::mt19937 rng(3);
  Episode board(DrawRules::kFide);
  board.reset();
  for (int ply = 0; ply < 40; ++ply) {
    board.save_current_listing();
    board.step(board.move_index.nth_action(static_cast<int>(rng() % board.move_index.size())));
  }
  Episode restored = board_from_bytes(board_to_bytes(board));
  EXPECT_EQ(restored.rules, DrawRules::kFide);
  std::mt19937 a(9), b(9);
  std::vector<int32_t> played_a, played_b;
  EXPECT_EQ(board.roll_out_with(a, &played_a), restored.roll_out_with(b, &played_b));
  EXPECT_EQ(played_a, played_b);
  EXPECT_EQ(board.save_state(), restored.save_state());
  EXPECT_EQ(board.last_termination, restored.last_termination);
}

TEST(StateBytes, CutOrDamagedBytesAreRefused) {
  Episode board;
  board.reset();
  board.step(564);
  const std::string bytes = state_to_bytes(board.save_state());
  for (size_t length = 0; length < bytes.size(); ++length)
    EXPECT_THROW(state_from_bytes(bytes.substr(0, length)), std::invalid_argument) << length;
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::string damaged = bytes;
    damaged[i] = static_cast<char>(damaged[i] ^ 0x10);
    EXPECT_THROW(state_from_bytes(damaged), std::invalid_argument) << i;
  }
  EXPECT_THROW(board_from_bytes(bytes), std::invalid_argument);
}

}  // namespace
}  // namespace varnok
