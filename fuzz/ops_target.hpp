// The operations fuzz target: the input is a program of operations on one
// Episode, each an opcode byte (taken modulo the number of operations) and its
// operands, read front to back; reads past the end give zeros.
//
//   0 reset
//   1 parse_fen of a built-in position      operand: byte (table index)
//   2 parse_fen of raw text                 operands: byte length, that many bytes
//   3 step with a legal action              operand: byte (index into the sorted legal actions)
//   4 step with any action                  operands: byte mode, then u16 (mode even: taken
//                                           modulo 4672) or u32 (mode odd: as a signed value)
//   5 save_state into a slot                operand: byte (slot, modulo 4)
//   6 restore_state from a slot, edited     operands: byte slot, byte edit count (modulo 4),
//                                           then per edit a byte kind and its values (see
//                                           edit_state; numbers as any_int reads them)
//   7 get_actions                           no operand
//   8 hash_state                            no operand
//   9 roll_out with a seeded generator      operand: u32 seed
//  10 render                                no operand
//  11 restore_state of a default State      no operand
//
// Integers are little-endian. What each operation checks:
// - step accepts exactly the legal actions; a refused action throws
//   invalid_argument "Invalid action" and changes nothing but after_reset and
//   move_index; an accepted one gives a sane result and leaves the mover's
//   king safe;
// - get_actions marks exactly the legal actions;
// - restore_state either throws invalid_argument and changes nothing, or
//   takes the State whole (save_state right after gives it back);
// - a roll-out equals replaying its actions through step from the same
//   State: same final State, each step's done flag, the same result;
// - hash_state depends only on the position.
#pragma once

#include <algorithm>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>

#include "fuzz/harness.hpp"

namespace varnok::fuzz {

inline constexpr const char* kOpsPositions[] = {
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3",
    "k7/8/8/1Q6/8/8/8/7K w - - 0 1",      // b5-b6 stalemates
    "6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1",  // a1-a8 mates
    "6K1/5PPP/8/8/8/8/8/r5k1 b - - 0 1",  // a1-a8 checks; f7-f8 promotes and blocks
    "4k3/8/8/8/8/8/8/4K3 w - - 0 1",      // bare kings: repetitions, no progress
    "4k3/1P6/8/8/8/8/6p1/4K3 w - - 0 1",  // promotions both ways
    "8/8/8/3Q4/8/8/8/8 w - - 0 1",        // no kings at all
    "QQQQQQQQ/QQQQQQQQ/8/8/8/8/qqqqqqqq/qqqqqqqq b - - 0 1",
    "8/8/8/8/8/8/8/8 w KQkq e3 0 1",   // rights and en passant with nothing on the board
    "P6p/8/8/8/8/8/8/p6P w - a3 0 1",  // pawns on the last ranks
    "r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1",
    "KKKK4/8/8/8/8/8/8/kkkk4 w - - 0 1",  // several kings
};
inline constexpr int kOpsPositionCount = sizeof(kOpsPositions) / sizeof(kOpsPositions[0]);

// Any signed 32-bit value Python can assign, with the ends of the range as
// likely as small numbers: a byte picks the kind, then
//   0: a small value (one signed byte), 1: the largest values (2^31 - 1 minus
//   a byte), 2: the smallest values (-2^31 plus a byte), 3: any value (u32).
inline int32_t any_int(Reader& in) {
  switch (in.byte() % 4) {
    case 0: return static_cast<int8_t>(in.byte());
    case 1: return INT32_MAX - in.byte();
    case 2: return INT32_MIN + in.byte();
    default: return in.i32();
  }
}

// Changes one of the fields Python can write in a State.
inline void edit_state(State& s, Reader& in, const Episode& board) {
  switch (in.byte() % 12) {
    case 0: s.state_pos = static_cast<int8_t>(in.byte()); break;  // around the valid 0..7
    case 1: s.state_pos = any_int(in); break;
    case 2: s.total_move_count = any_int(in); break;
    case 3: s.no_progress_count = in.byte() % 64; break;  // around the limit of 50
    case 4: s.no_progress_count = any_int(in); break;
    case 5: s.n_repetitions = any_int(in); break;
    case 6: s.prev_n_repetitions = any_int(in); break;
    case 7: {  // the shape of the history
      const uint8_t how = in.byte();
      const size_t entry = in.byte();
      switch (how % 5) {
        case 0:
          if (!s.state_history.empty()) s.state_history.pop_back();
          break;
        case 1:
          s.state_history.push_back(s.state_history.empty()
                                        ? std::vector<std::vector<int32_t>>(kHistoryPlanes, std::vector<int32_t>(64))
                                        : s.state_history.back());
          break;
        case 2:
          if (entry < s.state_history.size()) s.state_history[entry].resize(in.byte() % 20);
          break;
        case 3:
          if (entry < s.state_history.size() && !s.state_history[entry].empty())
            s.state_history[entry][in.byte() % s.state_history[entry].size()].resize(in.byte() % 80);
          break;
        default: s.state_history.clear(); break;
      }
      break;
    }
    case 8: {  // a value inside the history
      const size_t entry = in.byte(), plane = in.byte(), square = in.byte();
      const int32_t value = any_int(in);
      if (entry < s.state_history.size() && plane < s.state_history[entry].size() &&
          square < s.state_history[entry][plane].size())
        s.state_history[entry][plane][square] = value;
      break;
    }
    case 9: {  // the action map, with any key and move word
      const int32_t key = (in.byte() & 1) ? any_int(in) : in.u16() % (kActionCount + 8);
      s.move_index[key] = any_int(in);
      break;
    }
    case 10: {  // repetition counts: the board's own position or any key
      const uint64_t key = (in.byte() & 1) ? in.u64() : board.hash_state();
      s.repetition_count[key] = (in.byte() & 1) ? any_int(in) : in.byte() % 4;
      break;
    }
    default:
      s.move_index.clear();
      s.repetition_count.clear();
      break;
  }
}

class OpsRun {
 public:
  void run(Reader& in) {
    for (int ops = 0; ops < 64 && !in.empty(); ++ops) {
      switch (in.byte() % 12) {
        case 0: reset(); break;
        case 1:
          board_->parse_fen(kOpsPositions[in.byte() % kOpsPositionCount]);
          loaded();
          break;
        case 2: {
          const std::string text = in.text(in.byte());
          board_->parse_fen(text.c_str());
          loaded();
          break;
        }
        case 3: step_legal(in.byte()); break;
        case 4: {
          const uint8_t mode = in.byte();
          step_any((mode & 1) ? in.i32() : in.u16() % kActionCount);
          break;
        }
        case 5: slots_[in.byte() % slots_.size()] = board_->save_state(); break;
        case 6: restore_edited(in); break;
        case 7: get_actions(); break;
        case 8: hash(); break;
        case 9: roll_out(in.u32()); break;
        case 10: board_->position.render(discard_text, nullptr); break;
        default: restore(State{}); break;
      }
    }
  }

 private:
  void loaded() {
    check_position(board_->position);
    FUZZ_CHECK(board_->position.no_progress_count == 0);
  }

  void reset() {
    const StepResult result = board_->reset();
    check_position(board_->position);
    FUZZ_CHECK(result.side == kWhite && result.reward == 0 && result.done == 0);
    FUZZ_CHECK(board_->after_reset && board_->state_history.size() == 1 && board_->move_index.size() == 20);
  }

  void step_legal(uint8_t pick) {
    const std::vector<int32_t> legal = legal_actions(board_->position);
    if (legal.empty()) return step_any(pick);
    step_checked(legal[pick % legal.size()], legal);
  }

  void step_any(int32_t action) { step_checked(action, legal_actions(board_->position)); }

  void step_checked(int32_t action, const std::vector<int32_t>& legal) {
    const State before = board_->save_state();
    if (!contains(legal, action)) {
      bool refused = false;
      try {
        board_->step(action);
      } catch (const std::invalid_argument& e) {
        refused = std::string(e.what()) == "Invalid action";
      }
      FUZZ_CHECK(refused);
      FUZZ_CHECK(!board_->after_reset);
      FUZZ_CHECK(without_move_index(board_->save_state()) == without_move_index(before));
      // move_index now describes the current position.
      for (int32_t a : legal) FUZZ_CHECK(board_->move_index.contains(a));
      FUZZ_CHECK(board_->move_index.size() == static_cast<int>(legal.size()));
      return;
    }
    const StepResult result = board_->step(action);
    check_position(board_->position);
    check_result(result, *board_);
    check_mover_not_in_check(board_->position);
    FUZZ_CHECK(!board_->after_reset);
    const bool has_reply = !legal_actions(board_->position).empty();
    if (!has_reply) FUZZ_CHECK(result.done == 1);
    if (result.reward != 0) FUZZ_CHECK(!has_reply && board_->position.in_check());
  }

  void get_actions() {
    const std::vector<int32_t> legal = legal_actions(board_->position);
    board_->get_actions(*mask_);
    check_mask(*mask_, *board_, legal);
  }

  void hash() {
    const uint64_t h = board_->hash_state();
    replay_->restore_state(board_->save_state());
    FUZZ_CHECK(replay_->hash_state() == h);
  }

  // Restores s into the board: either it is refused with invalid_argument and
  // the board keeps its game, or save_state gives s back unchanged.
  void restore(const State& s) {
    const State before = board_->save_state();
    const bool after_reset = board_->after_reset;
    try {
      const StepResult result = board_->restore_state(s);
      FUZZ_CHECK(result.side == s.side && result.reward == 0 && result.done == 0);
    } catch (const std::invalid_argument&) {
      FUZZ_CHECK(board_->save_state() == before);
      FUZZ_CHECK(board_->after_reset == after_reset);
      return;
    }
    FUZZ_CHECK(board_->save_state() == s);
    FUZZ_CHECK(board_->after_reset == after_reset);
  }

  void restore_edited(Reader& in) {
    const size_t slot = in.byte() % slots_.size();
    State s = slots_[slot] ? *slots_[slot] : board_->save_state();
    for (int edits = in.byte() % 4; edits > 0; --edits) edit_state(s, in, *board_);
    restore(s);
  }

  // The fast native loop must play exactly the game that step plays.
  void roll_out(uint32_t seed) {
    const State start = board_->save_state();
    std::mt19937 rng(seed);
    std::vector<int32_t> played;
    const int32_t result = board_->roll_out_with(rng, &played);
    FUZZ_CHECK(result >= -1 && result <= 1);
    FUZZ_CHECK(played.size() <= 400);
    check_position(board_->position);

    if (played.empty()) {
      // Nothing to play: the game stays where it was.
      FUZZ_CHECK(legal_actions(board_->position).empty());
      FUZZ_CHECK(without_move_index(board_->save_state()) == without_move_index(start));
      return;
    }
    // The move count stops at the 32-bit maximum.
    FUZZ_CHECK(int64_t{board_->total_move_count} ==
               std::min<int64_t>(int64_t{start.total_move_count} + static_cast<int64_t>(played.size()), INT32_MAX));
    replay_->restore_state(start);
    StepResult last;
    for (size_t i = 0; i < played.size(); ++i) {
      last = replay_->step(played[i]);
      if (i + 1 < played.size()) FUZZ_CHECK(last.done == 0);
    }
    if (played.size() < 400) FUZZ_CHECK(last.done == 1);
    FUZZ_CHECK(last.reward == result);
    FUZZ_CHECK(replay_->save_state() == board_->save_state());
  }

  std::unique_ptr<Episode> board_ = std::make_unique<Episode>();
  std::unique_ptr<Episode> replay_ = std::make_unique<Episode>();
  std::unique_ptr<ActionMask> mask_ = std::make_unique<ActionMask>();
  std::array<std::optional<State>, 4> slots_;
};

inline void run_ops_input(const uint8_t* data, size_t size) {
  Reader in(data, size);
  OpsRun run;
  run.run(in);
}

}  // namespace varnok::fuzz
