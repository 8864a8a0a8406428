// The episode layer's fuzz targets replayed on their seed corpus and on every
// input that once made them fail (tests/native/fuzz_replay.hpp).
#include <gtest/gtest.h>

#include "fuzz/fen_target.hpp"
#include "fuzz/move_text_target.hpp"
#include "fuzz/ops_target.hpp"
#include "fuzz/state_bytes_target.hpp"
#include "fuzz_replay.hpp"

namespace varnok {
namespace {

using fuzz_replay::replay_target;

TEST(FuzzInputs, FenTargetReplaysSeedsAndSavedFailures) { replay_target("fen", fuzz::run_fen_input); }

TEST(FuzzInputs, OpsTargetReplaysSeedsAndSavedFailures) { replay_target("ops", fuzz::run_ops_input); }

TEST(FuzzInputs, StateBytesTargetReplaysSeedsAndSavedFailures) {
  replay_target("state_bytes", fuzz::run_state_bytes_input);
}

TEST(FuzzInputs, MoveTextTargetReplaysSeedsAndSavedFailures) { replay_target("move_text", fuzz::run_move_text_input); }

}  // namespace
}  // namespace varnok
