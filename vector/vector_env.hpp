// Many independent episodes stepped together, with results written in place
// into arrays the environment owns (the layout a network reads), spread over
// a persistent pool of worker threads. Each game is exactly the episode of a
// single Episode; a game that ends is started again inside the same step, and
// its last observation, reward and reason are kept beside the new game's
// first observation.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <vector>

#include "env/episode.hpp"
#include "env/observation_writer.hpp"
#include "env/random.hpp"
#include "vector/single_caller.hpp"
#include "vector/thread_pool.hpp"

namespace varnok {

// Why a row's game ended in the last step: a Termination, or truncation by
// the step cap.
inline constexpr int8_t kTruncatedReason = 16;

// The counts are 64-bit so that any value a caller gives reaches the check
// as given.
struct VectorOptions {
  int64_t num_envs = 1;
  int64_t num_threads = 1;  // never more workers than games are started
  uint64_t seed = 0;
  ObservationFormat format = ObservationFormat::kFloat32;
  std::optional<int64_t> max_steps;       // plies since a game started; none: no cap
  DrawRules rules = DrawRules::kClassic;  // every game's
  // Every (auto-)reset starts a game from a Chess960 array drawn uniformly
  // from the game's own draws, unless start positions are set.
  bool chess960 = false;
};
inline constexpr int64_t kMaxEnvs = int64_t{1} << 20;

// Throws std::invalid_argument naming the first setting out of its range.
void check_options(const VectorOptions& options);

// An action refused by step: names the row and the action.
struct IllegalAction : std::invalid_argument {
  IllegalAction(int row, int64_t action);
};

class VectorEnv {
 public:
  explicit VectorEnv(const VectorOptions& options);

  int size() const { return static_cast<int>(games_.size()); }
  int threads() const { return pool_.size(); }
  ObservationFormat format() const { return options_.format; }
  int32_t max_steps() const { return static_cast<int32_t>(options_.max_steps.value_or(0)); }  // 0: no cap
  DrawRules rules() const { return options_.rules; }
  bool chess960() const { return options_.chess960; }
  // Bytes of one observation row in the chosen format.
  size_t observation_row_bytes() const;

  // ---- the result arrays, rewritten by every reset and step
  void* observations() { return observations_.data(); }
  void* final_observations() { return final_observations_.data(); }
  uint8_t* legal_mask() { return legal_mask_.data(); }  // (num_envs, 4672), 0 or 1
  float* rewards() { return rewards_.data(); }          // white's side
  uint8_t* terminated() { return terminated_.data(); }
  uint8_t* truncated() { return truncated_.data(); }
  int8_t* to_play() { return to_play_.data(); }
  float* final_rewards() { return final_rewards_.data(); }   // the ended game's reward, 0 elsewhere
  int8_t* final_reasons() { return final_reasons_.data(); }  // Termination or kTruncatedReason, 0 elsewhere

  // Starts every game afresh; with reseed, the draws restart from seed.
  void reset(bool reseed, uint64_t seed);
  // Throws IllegalAction for the first active row whose action is not legal
  // in its game; then nothing has moved.
  void check_actions(const int64_t* actions, const uint8_t* active = nullptr) const;
  // Plays one action per game (checked first) and writes the results. With
  // active, a row where it is 0 sits the step out: its game, observation,
  // mask and side to move stay, its reward, terminated, truncated and final
  // entries are 0, and its action is not read. Two players taking turns in
  // different games use it: in a step of one, the games where the other is
  // to move stand still. With observations_out (the layout of
  // observations(), apart from every buffer of this environment), every
  // row's observation is copied there as well, by the thread that wrote it
  // while it is still in that core's cache: a caller that keeps each step's
  // observations (a replay buffer, a learner that holds the last one) gets
  // them without a second pass over memory.
  void step(const int64_t* actions, const uint8_t* active = nullptr, void* observations_out = nullptr);
  // The two halves of step, for callers that want to run while it works.
  void step_start(const int64_t* actions, const uint8_t* active = nullptr);
  void step_finish();

  // A uniformly random legal action per game, from each game's own draws.
  void random_actions(int64_t* out);

  // Start positions for every later (auto-)reset, drawn uniformly per game;
  // empty means the initial position. Every position is checked first:
  // std::invalid_argument naming the first one whose game is already over
  // (no legal move, or drawn by its no-progress clock), and then nothing
  // has changed.
  void set_start_positions(std::vector<Position> starts);
  int start_positions() const { return static_cast<int>(starts_.size()); }

  // The whole game of row i, as Episode::save_state gives it after the same
  // actions; restore_state takes one back (checked whole first, and refused
  // with std::invalid_argument when its game is over: a row always has a
  // move to play) and rewrites row i of the result arrays for it. A State
  // does not hold Episode::after_reset: a restored row is never right after a
  // reset (its observation is turned for black, as after a step), whatever
  // the row held before.
  State save_state(int row) const;
  void restore_state(int row, const State& state);
  // Starts row i's game afresh as an auto-reset does (a start position, a
  // Chess960 array or the initial position, from the row's own draws) and
  // rewrites that row of the result arrays, as restore_state does.
  void reset_row(int row);
  const Episode& board(int row) const { return games_[row].board; }

  // One caller at a time. acquire throws std::runtime_error when another
  // thread is inside a call or a started step has not been finished;
  // step_start keeps the environment acquired until step_finish.
  void acquire();
  void release() { caller_.release(); }
  bool step_pending() const { return async_pending_.load(std::memory_order_acquire); }
  // The one caller of step_finish after a step_start: false when another
  // thread already claimed it.
  bool claim_finish() { return !finish_claimed_.exchange(true, std::memory_order_acq_rel); }

 private:
  struct Game {
    Episode board;
    Random random;
  };

  void restart(int row);
  // Writes row's observation over what the row held (see WrittenRow).
  void write_row(int row);
  // A row's mask always holds the actions of its game's move_index. A step
  // clears the entries of the listing it leaves (clear_mask, before the
  // move) and sets those of the new one (set_mask): a few dozen bytes
  // instead of all 4,672 of the row. write_mask writes the row whole.
  uint8_t* mask_row(int row);
  void write_mask(int row);
  void clear_mask(int row);
  void set_mask(int row);
  void step_rows(int begin, int end);
  void step_row(int row);
  // The workers read a step's pending inputs until the pool returns, also
  // when it throws: a PendingStep clears them when the step is left.
  void end_pending_step();
  struct PendingStep {
    VectorEnv& env;
    ~PendingStep() { env.end_pending_step(); }
  };

  VectorOptions options_;
  std::vector<Game> games_;
  std::vector<Position> starts_;
  std::vector<uint8_t> observations_, final_observations_;
  // What each row of observations_ holds, when rows are written over (see
  // write_row); empty when they are streamed whole.
  std::vector<WrittenRow> written_;
  std::vector<uint8_t> legal_mask_;
  std::vector<float> rewards_, final_rewards_;
  std::vector<uint8_t> terminated_, truncated_;
  std::vector<int8_t> to_play_, final_reasons_;
  std::vector<int64_t> pending_copy_;
  std::vector<uint8_t> pending_active_copy_;
  const int64_t* pending_actions_ = nullptr;
  const uint8_t* pending_active_ = nullptr;      // null: every row moves
  uint8_t* pending_observations_out_ = nullptr;  // null: observations_ only
  SingleCaller caller_;
  std::atomic<bool> async_pending_{false};   // between step_start and step_finish
  std::atomic<bool> finish_claimed_{false};  // a thread is inside step_finish
  // A chunk of rows is a few microseconds of work: small enough for the
  // threads to finish together, large enough that taking one costs nothing.
  static constexpr int kRowsPerChunk = 8;
  ThreadPool pool_;
};

}  // namespace varnok
