// The notation fuzz targets (fuzz/fen_strict_target.hpp, fuzz/pgn_target.hpp)
// replayed on their seed corpus and on every input that once made them fail
// (tests/native/fuzz_replay.hpp).
#include <gtest/gtest.h>

#include "fuzz/fen_strict_target.hpp"
#include "fuzz/pgn_target.hpp"
#include "fuzz_replay.hpp"

namespace varnok {
namespace {

using fuzz_replay::replay_target;

TEST(NotationFuzzInputs, FenStrictTargetReplays) { replay_target("fen_strict", fuzz::run_fen_strict_input); }

TEST(NotationFuzzInputs, PgnTargetReplays) { replay_target("pgn", fuzz::run_pgn_input); }

}  // namespace
}  // namespace varnok
