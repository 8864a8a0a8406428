// The search layer's fuzz target replayed on its seed corpus and on every
// input that once made it fail (tests/native/fuzz_replay.hpp).
#include <gtest/gtest.h>

#include "fuzz/search_ops_target.hpp"
#include "fuzz_replay.hpp"

namespace varnok {
namespace {

TEST(FuzzInputs, SearchOpsTargetReplaysSeedsAndSavedFailures) {
  fuzz_replay::replay_target("search_ops", fuzz::run_search_ops_input);
}

}  // namespace
}  // namespace varnok
