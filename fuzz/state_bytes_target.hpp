// The game bytes fuzz target: arbitrary bytes as the bytes of a pickled
// State or ChessEnv. The first input byte chooses how the rest is read: bit 0
// frames it here with a correct header and checksum (so the payload reader
// is reached, which the checksum would otherwise keep out), bit 1 reads a
// Episode instead of a State. Reading either refuses the bytes with
// std::invalid_argument or gives a game that writes back to bytes reading
// to the same game, and that an Episode restores and plays on from.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "env/state_bytes.hpp"
#include "fuzz/harness.hpp"

namespace varnok::fuzz {

// A few plies of the game, through every reader of the Episode.
inline void play_on(Episode& board) {
  auto mask = std::make_unique<ActionMask>();
  for (int ply = 0; ply < 4; ++ply) {
    const std::vector<int32_t> legal = legal_actions(board.position);
    board.get_actions(*mask);
    check_mask(*mask, board, legal);
    if (legal.empty()) return;
    const StepResult result = board.step(legal[ply % legal.size()]);
    check_result(result, board);
    check_position(board.position);
  }
  (void)board.fen(EnPassantField::kStandard);
}

inline void run_state_bytes_input(const uint8_t* data, size_t size) {
  if (size == 0 || size > 8192) return;
  const bool frame_here = data[0] & 1;
  const StateBytesKind kind = (data[0] & 2) ? StateBytesKind::kBoard : StateBytesKind::kState;
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string bytes = frame_here ? framed_bytes(kind, rest) : std::string(rest);

  auto board = std::make_unique<Episode>();
  if (kind == StateBytesKind::kState) {
    State state;
    try {
      state = state_from_bytes(bytes);
    } catch (const std::invalid_argument& e) {
      FUZZ_CHECK(std::string_view(e.what()).starts_with("State bytes: "));
      return;
    }
    const std::string written = state_to_bytes(state);
    FUZZ_CHECK(state_from_bytes(written) == state);
    FUZZ_CHECK(state_to_bytes(state_from_bytes(written)) == written);
    try {
      board->restore_state(state);
    } catch (const std::invalid_argument&) {
      return;  // a State restore_state refuses (state_pos, history shape, action keys)
    }
    if (!(board->save_state() == state)) {
      // A game counted by the FIDE rules, which the board's classic rules
      // count again; a board of its own rules takes it as it is.
      auto fide = std::make_unique<Episode>(DrawRules::kFide);
      fide->restore_state(state);
      FUZZ_CHECK(fide->save_state() == state);
    }
  } else {
    try {
      *board = board_from_bytes(bytes);
    } catch (const std::invalid_argument&) {
      return;
    }
    const std::string written = board_to_bytes(*board);
    const auto again = std::make_unique<Episode>(board_from_bytes(written));
    FUZZ_CHECK(again->save_state() == board->save_state());
    FUZZ_CHECK(board_to_bytes(*again) == written);
  }
  check_position(board->position);
  play_on(*board);
}

}  // namespace varnok::fuzz
