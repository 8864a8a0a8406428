// The vector environment natively: the same seed gives the same arrays for
// any number of threads (run under ThreadSanitizer by ./dev test), and a row
// agrees with a single Episode fed the same actions.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "vector/vector_env.hpp"

namespace varnok {
namespace {

std::vector<uint8_t> play(int threads, ObservationFormat format) {
  VectorOptions options;
  options.num_envs = 24;
  options.num_threads = threads;
  options.seed = 99;
  options.format = format;
  options.max_steps = 80;
  VectorEnv env(options);
  std::vector<uint8_t> trace;
  std::vector<int64_t> actions(env.size());
  for (int step = 0; step < 200; ++step) {
    env.random_actions(actions.data());
    env.step(actions.data());
    const auto* obs = static_cast<const uint8_t*>(env.observations());
    trace.insert(trace.end(), obs, obs + env.size() * env.observation_row_bytes());
    trace.insert(trace.end(), env.final_reasons(), env.final_reasons() + env.size());
  }
  return trace;
}

TEST(VectorEnv, ThreadCountDoesNotChangeTheGames) {
  for (ObservationFormat format : {ObservationFormat::kPacked, ObservationFormat::kFloat32}) {
    const std::vector<uint8_t> one = play(1, format);
    EXPECT_EQ(one, play(2, format));
    EXPECT_EQ(one, play(3, format));
  }
}

TEST(VectorEnv, RowsFollowSingleBoards) {
  VectorOptions options;
  options.num_envs = 5;
  options.num_threads = 2;
  options.seed = 3;
  options.format = ObservationFormat::kInt32;
  VectorEnv env(options);
  std::vector<Episode> boards(env.size());
  for (Episode& b : boards) b.reset();
  std::vector<int64_t> actions(env.size());
  std::vector<int32_t> expected(kObservationValues);
  for (int step = 0; step < 120; ++step) {
    env.random_actions(actions.data());
    env.step(actions.data());
    for (int row = 0; row < env.size(); ++row) {
      const StepResult result = boards[row].step(static_cast<int32_t>(actions[row]));
      const bool ended = env.terminated()[row] || env.truncated()[row];
      ASSERT_EQ(env.rewards()[row], result.reward);
      ASSERT_EQ(static_cast<bool>(env.terminated()[row]), result.done == 1);
      const auto* rows = static_cast<const int32_t*>(ended ? env.final_observations() : env.observations());
      for (int p = 0; p < kObservationPlanes; ++p)
        ASSERT_EQ(0, std::memcmp(rows + row * kObservationValues + p * kSquares, result.observation[p].data(),
                                 sizeof(int32_t) * kSquares))
            << "row " << row << " plane " << p << " step " << step;
      if (ended) boards[row].reset();
    }
  }
}

// Every step plays a move in every row, so no row may hold a game that is
// over: such start positions and States are refused whole, nothing changed.
TEST(VectorEnv, RefusesFinishedGamesAsStartsOrRows) {
  VectorOptions options;
  options.num_envs = 2;
  options.seed = 5;
  VectorEnv env(options);
  Position mated, open;
  mated.parse_fen("7k/6Q1/6K1/8/8/8/8/8 b - - 0 1");
  open.parse_fen("4k3/8/8/8/8/8/8/4K2R w K - 0 1");
  EXPECT_THROW(env.set_start_positions({open, mated}), std::invalid_argument);
  EXPECT_EQ(env.start_positions(), 0);
  Position no_progress = open;  // drawn where it stands: 50 plies without progress
  no_progress.no_progress_count = 50;
  EXPECT_THROW(env.set_start_positions({no_progress}), std::invalid_argument);
  env.set_start_positions({open});
  EXPECT_EQ(env.start_positions(), 1);

  Episode finished;
  finished.start_from(mated);
  const State before = env.save_state(1);
  EXPECT_THROW(env.restore_state(1, finished.save_state()), std::invalid_argument);
  EXPECT_THROW(env.restore_state(1, State{}), std::invalid_argument);  // an empty board has no move
  EXPECT_TRUE(env.save_state(1) == before);
  std::vector<int64_t> actions(env.size());
  env.random_actions(actions.data());
  EXPECT_GE(actions[1], 0);
  env.step(actions.data());
}

}  // namespace
}  // namespace varnok
