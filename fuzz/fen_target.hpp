// The FEN fuzz target: arbitrary bytes as FEN text, then everything a caller
// can do with the position it loads. Text is cut at the first NUL, as the
// parser sees it.
//
// For every input: parse, check the position invariants, hash, render, list
// the legal actions (the mask must mark exactly the legal ones), then from
// the loaded position play each legal action once with step, checking the
// result and that the mover's king is safe, and listing the position reached.
#pragma once

#include <memory>

#include "fuzz/harness.hpp"

namespace varnok::fuzz {

inline void run_fen_input(const uint8_t* data, size_t size) {
  // A placement field holds at most 64 squares plus separators; far longer
  // texts only repeat what shorter ones reach.
  if (size > 512) return;
  const std::string text(reinterpret_cast<const char*>(data), size);

  auto board = std::make_unique<Episode>();
  board->parse_fen(text.c_str());
  check_position(board->position);
  FUZZ_CHECK(board->position.no_progress_count == 0);

  const uint64_t hash = board->hash_state();
  board->position.render(discard_text, nullptr);

  const Position loaded = board->position;
  const std::vector<int32_t> legal = legal_actions(board->position);
  auto mask = std::make_unique<ActionMask>();
  board->get_actions(*mask);
  check_mask(*mask, *board, legal);
  FUZZ_CHECK(board->position == loaded);  // listing leaves the position as it was
  FUZZ_CHECK(board->hash_state() == hash);

  // Start an episode on the loaded position, as restore_state of a saved
  // game would: one recorded position, then step through every action.
  board->record_position();
  const State start = board->save_state();
  for (int32_t action : legal) {
    board->restore_state(start);
    const StepResult result = board->step(action);
    check_position(board->position);
    check_result(result, *board);
    check_mover_not_in_check(board->position);
    FUZZ_CHECK(board->total_move_count == start.total_move_count + 1);
    const std::vector<int32_t> replies = legal_actions(board->position);
    // No legal reply and done go together unless a draw rule ended it.
    if (replies.empty()) FUZZ_CHECK(result.done == 1);
    if (result.reward != 0) FUZZ_CHECK(replies.empty() && board->position.in_check());
    board->hash_state();
  }
  if (!legal.empty()) board->position.render(discard_text, nullptr);

  // An action outside the legal set is refused and changes nothing else.
  board->restore_state(start);
  for (int32_t action : {-1, 0, 4671, 4672}) {
    if (contains(legal, action)) continue;
    bool refused = false;
    try {
      board->step(action);
    } catch (const std::invalid_argument& e) {
      refused = std::string(e.what()) == "Invalid action";
    }
    FUZZ_CHECK(refused);
    FUZZ_CHECK(without_move_index(board->save_state()) == without_move_index(start));
  }
}

}  // namespace varnok::fuzz
