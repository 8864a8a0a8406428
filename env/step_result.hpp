#pragma once

#include <cstdint>

#include "env/observation.hpp"

namespace varnok {

// What reset, step and restore_state hand back: side to move, observation,
// reward (from white's side) and the done flag (0 or 1).
struct StepResult {
  int32_t side = 0;
  Observation observation;
  int32_t reward = 0;
  int32_t done = 0;
};

}  // namespace varnok
