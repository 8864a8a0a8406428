// A detached copy of a whole game: position, recorded history, action map,
// counters and repetition data. Plain value; copies are deep.
#pragma once

#include <array>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "core/position.hpp"
#include "core/types.hpp"

namespace varnok {

struct State {
  std::array<uint64_t, 12> bitboards{};
  std::array<uint64_t, 3> occupancies{};
  int32_t side = 0;
  int32_t enpassant = 0;
  int32_t castle = 0;
  // The castling convention and the rook file of each right (K, Q, k, q) of
  // the position; Chess960 games keep them, standard ones have h, a, h, a.
  bool chess960 = false;
  std::array<int8_t, 4> castling_rook_files = {7, 0, 7, 0};
  // Kept as nested growable arrays, since Python may assign any nesting of
  // integers; restore_state checks the shape before using it.
  std::vector<std::vector<std::vector<int32_t>>> state_history;
  std::unordered_map<int32_t, int32_t> move_index;
  int32_t state_pos = 0;
  int32_t total_move_count = 0;
  int32_t no_progress_count = 0;
  std::unordered_map<uint64_t, int32_t> repetition_count;
  // Python spells these n_repititions and prev_n_repititions, the names
  // State has always had there.
  int32_t n_repetitions = 0;
  int32_t prev_n_repetitions = 0;
  // The move log: the moves played since the episode started, two bytes each
  // (MoveLog encoding), and the start they are played from.
  std::vector<uint16_t> moves;
  Position start_position;
  int32_t start_fullmove = 1;

  bool operator==(const State&) const = default;
};

}  // namespace varnok
