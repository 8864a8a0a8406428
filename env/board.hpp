// The learning episode: a chess Position plus the episode's own bookkeeping
// (counters, the action-to-move map of the last listing, repetition counts
// and the ring of recorded positions), with reset, step, snapshots and
// roll-outs. Every ChessEnv in Python owns one Board.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "core/position.hpp"
#include "env/action_map.hpp"
#include "env/actions.hpp"
#include "env/history.hpp"
#include "env/observation.hpp"
#include "env/outcome.hpp"
#include "env/repetition_map.hpp"
#include "env/state.hpp"
#include "env/step_result.hpp"

namespace varnok {

// The standard initial position.
const Position& initial_position();

class Board {
 public:
  // ---- counters; copied into the observation
  int32_t total_move_count = 0;  // moves played by step since reset, saturating
  // True from reset until the next step: the observation of reset itself is
  // never turned for black.
  bool after_reset = false;

  // ---- the chess position (placement, side, castling, en passant, no-progress count)
  Position position;

  // ---- repetition data and the last listing
  RepetitionMap repetition_count;  // position hash -> times recorded this episode
  ActionMap move_index;            // action -> move, from the last legal-action listing
  int32_t n_repititions = 0;       // repetition value of the position recorded last (count - 1)
  int32_t prev_n_repititions = 0;  // the value of the position recorded before it

  // ---- the eight recorded positions and their ring cursor
  History state_history;

  Board();

  // Reads the FEN text into the position without starting an episode.
  void parse_fen(const char* text) { position.parse_fen(text); }
  uint64_t hash_state() const { return position.hash(); }

  // Lists the legal moves into move_index and marks them in mask.
  void get_actions(ActionMask& mask);
  // Lists the legal moves into move_index only.
  void list_legal_moves();
  // Records the current position: its repetition count, then a history entry.
  void record_position();
  void build_observation(Observation& out) const;

  StepResult reset();
  // Starts an episode from position as reset starts one from the initial
  // position: history, repetitions and counters cleared, the position
  // recorded and its moves listed. The position keeps its no-progress count.
  void start_from(const Position& start);
  // Plays a legal action (std::invalid_argument "Invalid action" otherwise,
  // with the position unchanged) and judges the position reached.
  StepResult step(int32_t action);
  // step without building the observation: the same rules, errors and
  // effects on the Board.
  Outcome play(int32_t action);
  // For callers that keep move_index as the listing of the current position
  // (the vector environment): plays a listed action, lists the position
  // reached into move_index and judges it. The action must be listed.
  Outcome play_listed(int32_t action);
  State save_state() const;
  // Takes a State whole, or refuses it with std::invalid_argument and changes nothing.
  StepResult restore_state(const State& state);
  // Plays uniformly random legal actions until the episode ends or 400 steps
  // have been played; returns the final reward.
  int32_t roll_out();
  // A roll-out driven by the caller's generator; appends the actions it
  // plays to played when given.
  int32_t roll_out_with(std::mt19937& rng, std::vector<int32_t>* played);

  // The verdict on the current position, as step gives it, given whether the
  // side to move has a legal move.
  Outcome judge(bool has_legal_reply) const;

 private:
  // Plays a listed move and records the position reached.
  void play_move(Move move);
};

}  // namespace varnok
