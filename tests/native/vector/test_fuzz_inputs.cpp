// The vector layer's fuzz target replayed on its seed corpus and on every
// input that once made it fail (tests/native/fuzz_replay.hpp).
#include <gtest/gtest.h>

#include "fuzz/vector_ops_target.hpp"
#include "fuzz_replay.hpp"

namespace varnok {
namespace {

TEST(FuzzInputs, VectorOpsTargetReplaysSeedsAndSavedFailures) {
  fuzz_replay::replay_target("vector_ops", fuzz::run_vector_ops_input);
}

}  // namespace
}  // namespace varnok
