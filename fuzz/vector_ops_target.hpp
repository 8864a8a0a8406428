// The vector operations fuzz target: the input is a program of operations on
// a small VectorEnv, run on two of them at once, one with a single worker
// thread and one with two, beside a reference Episode per row that plays the
// same actions the plain way. The input starts with
//
//   byte     games (1 + byte % 4) and the observation format (byte / 4 % 4:
//            float32, int32, uint8, packed)
//   byte     the step cap: none when byte % 4 is 0, else 1 + byte / 4 % 16 plies
//   u16      the seed
//
// then the operations, an opcode byte (modulo 10) and its operands each:
//
//   0 reset                                 no operand
//   1 reset with a new seed                 operand: u16 seed
//   2 step with legal actions               per row a byte choosing a legal action
//   3 step with one row's action any number operands: as 2, then a byte row and
//                                           a number (wild_action)
//   4 step with random_actions              no operand
//   5 set_start_positions                   operands: byte count (modulo 4), a
//                                           byte per position (kVectorStarts)
//   6 save_state of a row into a slot       operands: byte row, byte slot (modulo 4)
//   7 restore_state of a slot, edited       operands: byte row, byte slot, byte
//                                           edit count (modulo 4), the edits (edit_state)
//   8 restore_state of a game played apart  operands: byte row, byte position,
//                                           byte plies (modulo 8), a byte per ply
//   9 step_start and step_finish            as 2
//
// Properties checked after every operation:
// - both environments hold byte for byte the same result arrays and games;
// - every row's game is its reference Episode's game (save_state equal; a
//   restored row is never right after a reset, so its observation is turned
//   for black as after a step), its
//   mask row the legal actions found the plain way, its observation row the
//   Episode's observation in the chosen format (a packed row unpacks to it);
// - a row whose game ends or reaches the cap reports the reason, reward and
//   last observation of the reference game, and starts afresh from one of
//   the start positions in the same step;
// - a step with an illegal action in any row throws IllegalAction naming the
//   first such row, and no game moves; a refused restore_state or
//   set_start_positions changes nothing;
// - random_actions picks legal actions only.
#pragma once

#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/ops_target.hpp"
#include "vector/vector_env.hpp"

namespace varnok::fuzz {

// Start positions: the ops target's odd ones, then finished games, which
// set_start_positions refuses.
inline constexpr const char* kFinishedStarts[] = {
    "R5k1/5ppp/8/8/8/8/8/6K1 b - - 0 1",  // black is mated
    "k7/8/1Q6/8/8/8/8/7K b - - 0 1",      // black is stalemated
    "4k3/8/8/8/8/8/8/R3K3 w - - 80 60",   // fifty moves without progress
    "8/8/8/8/8/8/8/8 b - - 0 1",          // nothing to move
};
inline constexpr int kFinishedStartCount = sizeof(kFinishedStarts) / sizeof(kFinishedStarts[0]);
inline constexpr int kVectorStartCount = kOpsPositionCount + kFinishedStartCount;

inline const char* vector_start(int index) {
  index %= kVectorStartCount;
  return index < kOpsPositionCount ? kOpsPositions[index] : kFinishedStarts[index - kOpsPositionCount];
}

// An action number for one row: small, around the action range, legal
// actions moved by multiples of 2^32 (which a 32-bit conversion would wrap
// back onto them), or any 64-bit value.
inline int64_t wild_action(Reader& in, const std::vector<int32_t>& legal) {
  const uint8_t kind = in.byte();
  const int64_t some_legal = legal.empty() ? 0 : legal[in.byte() % legal.size()];
  switch (kind % 5) {
    case 0: return static_cast<int8_t>(in.byte());
    case 1: return kActionCount - 4 + in.byte() % 8;
    case 2: return some_legal + (int64_t{static_cast<int8_t>(in.byte())} << 32);
    case 3: return static_cast<int64_t>(in.u64());
    default: return in.u16() % kActionCount;
  }
}

class VectorOpsRun {
 public:
  explicit VectorOpsRun(Reader& in) {
    const uint8_t shape = in.byte();
    const uint8_t cap = in.byte();
    options_.num_envs = 1 + shape % 4;
    options_.format = static_cast<ObservationFormat>(shape / 4 % 4);
    if (cap % 4 != 0) options_.max_steps = 1 + cap / 4 % 16;
    options_.seed = in.u16();
    VectorOptions one = options_, two = options_;
    one.num_threads = 1;
    two.num_threads = std::min<int64_t>(2, options_.num_envs);
    envs_[0] = std::make_unique<VectorEnv>(one);
    envs_[1] = std::make_unique<VectorEnv>(two);
    for (int row = 0; row < rows(); ++row) refs_.push_back(std::make_unique<Episode>());
    observation_ = std::make_unique<std::array<int32_t, kObservationValues>>();
    restarted();
  }

  void run(Reader& in) {
    for (int ops = 0; ops < 48 && !in.empty(); ++ops) {
      switch (in.byte() % 10) {
        case 0: reset(false, 0); break;
        case 1: reset(true, in.u16()); break;
        case 2: step(legal_row(in), false); break;
        case 3: {
          std::vector<int64_t> actions = legal_row(in);
          const int row = in.byte() % rows();
          actions[row] = wild_action(in, legal_actions(refs_[row]->position));
          step(actions, false);
          break;
        }
        case 4: step_random(); break;
        case 5: set_starts(in); break;
        case 6: {
          const int row = in.byte() % rows();
          slots_[in.byte() % slots_.size()] = envs_[0]->save_state(row);
          break;
        }
        case 7: restore_edited(in); break;
        case 8: restore_played(in); break;
        default: step(legal_row(in), true); break;
      }
      check_same_envs();
    }
  }

 private:
  int rows() const { return options_.num_envs; }

  std::vector<int64_t> legal_row(Reader& in) const {
    std::vector<int64_t> actions(rows());
    for (int row = 0; row < rows(); ++row) {
      const std::vector<int32_t> legal = legal_actions(refs_[row]->position);
      FUZZ_CHECK(!legal.empty());  // a row never holds a finished game
      actions[row] = legal[in.byte() % legal.size()];
    }
    return actions;
  }

  // ---- the checks

  // The arrays and games of the two environments are the same.
  void check_same_envs() {
    VectorEnv& ma = *envs_[0];
    VectorEnv& mb = *envs_[1];
    const size_t n = rows();
    const size_t obs = n * ma.observation_row_bytes();
    FUZZ_CHECK(std::memcmp(ma.observations(), mb.observations(), obs) == 0);
    FUZZ_CHECK(std::memcmp(ma.final_observations(), mb.final_observations(), obs) == 0);
    FUZZ_CHECK(std::memcmp(ma.legal_mask(), mb.legal_mask(), n * kActionCount) == 0);
    FUZZ_CHECK(std::memcmp(ma.rewards(), mb.rewards(), n * sizeof(float)) == 0);
    FUZZ_CHECK(std::memcmp(ma.final_rewards(), mb.final_rewards(), n * sizeof(float)) == 0);
    FUZZ_CHECK(std::memcmp(ma.terminated(), mb.terminated(), n) == 0);
    FUZZ_CHECK(std::memcmp(ma.truncated(), mb.truncated(), n) == 0);
    FUZZ_CHECK(std::memcmp(ma.to_play(), mb.to_play(), n) == 0);
    FUZZ_CHECK(std::memcmp(ma.final_reasons(), mb.final_reasons(), n) == 0);
    for (int row = 0; row < rows(); ++row) FUZZ_CHECK(ma.save_state(row) == mb.save_state(row));
  }

  // The observation row as the int32 values of an observation.
  void check_observation_row(const uint8_t* row, const Episode& board) const {
    std::array<int32_t, kObservationValues>& expected = *observation_;
    write_observation<int32_t>(board, expected.data());
    Observation built;
    board.build_observation(built);
    FUZZ_CHECK(std::memcmp(built.data(), expected.data(), sizeof(built)) == 0);
    switch (options_.format) {
      case ObservationFormat::kFloat32:
        for (int i = 0; i < kObservationValues; ++i) {
          float value;
          std::memcpy(&value, row + i * sizeof(float), sizeof(float));
          FUZZ_CHECK(value == static_cast<float>(expected[i]));
        }
        break;
      case ObservationFormat::kInt32: FUZZ_CHECK(std::memcmp(row, expected.data(), sizeof(expected)) == 0); break;
      case ObservationFormat::kUint8:
        for (int i = 0; i < kObservationValues; ++i) FUZZ_CHECK(row[i] == std::clamp<int32_t>(expected[i], 0, 255));
        break;
      case ObservationFormat::kPacked: {
        std::array<uint64_t, kObservationPlanes> words;
        std::memcpy(words.data(), row, sizeof(words));
        std::vector<int32_t> unpacked(kObservationValues);
        unpack_observation(words.data(), unpacked.data());
        FUZZ_CHECK(std::memcmp(unpacked.data(), expected.data(), sizeof(expected)) == 0);
        break;
      }
    }
  }

  // Row row of env holds the reference game: the same State, the mask of its
  // legal actions, its observation, its side to move.
  void check_row(int row) const {
    VectorEnv& env = *envs_[0];
    const Episode& ref = *refs_[row];
    FUZZ_CHECK(env.save_state(row) == ref.save_state());
    const std::vector<int32_t> legal = legal_actions(ref.position);
    FUZZ_CHECK(!legal.empty());
    const uint8_t* mask = env.legal_mask() + static_cast<size_t>(row) * kActionCount;
    size_t marked = 0;
    for (int action = 0; action < kActionCount; ++action) {
      FUZZ_CHECK(mask[action] <= 1);
      if (mask[action]) {
        ++marked;
        FUZZ_CHECK(contains(legal, action));
      }
    }
    FUZZ_CHECK(marked == legal.size());
    check_observation_row(static_cast<const uint8_t*>(env.observations()) + row * env.observation_row_bytes(), ref);
    FUZZ_CHECK(env.to_play()[row] == ref.position.side);
  }

  // Every row has just started a game: from a start position, fresh; the
  // reference Episode starts the same game.
  void restarted_row(int row) {
    const Episode& game = envs_[0]->board(row);
    bool known_start = starts_.empty() && game.position == initial_position();
    for (const Position& start : starts_) known_start |= game.position == start;
    FUZZ_CHECK(known_start);
    FUZZ_CHECK(game.total_move_count == 0 && game.move_log.empty() && game.after_reset);
    refs_[row]->start_from(game.position);
    check_row(row);
  }

  void restarted() {
    for (int row = 0; row < rows(); ++row) {
      restarted_row(row);
      FUZZ_CHECK(envs_[0]->rewards()[row] == 0 && !envs_[0]->terminated()[row] && !envs_[0]->truncated()[row]);
      FUZZ_CHECK(envs_[0]->final_reasons()[row] == 0);
    }
  }

  // ---- the operations

  void reset(bool reseed, uint64_t seed) {
    for (auto& env : envs_) env->reset(reseed, seed);
    restarted();
  }

  // Everything an environment shows, to compare before and after a refusal.
  struct Snapshot {
    std::vector<uint8_t> observations, masks;
    std::vector<State> games;
    bool operator==(const Snapshot&) const = default;
  };
  Snapshot snapshot(VectorEnv& env) const {
    Snapshot s;
    const auto* obs = static_cast<const uint8_t*>(env.observations());
    s.observations.assign(obs, obs + rows() * env.observation_row_bytes());
    s.masks.assign(env.legal_mask(), env.legal_mask() + rows() * kActionCount);
    for (int row = 0; row < rows(); ++row) s.games.push_back(env.save_state(row));
    return s;
  }

  void step(const std::vector<int64_t>& actions, bool in_two_halves) {
    int first_illegal = -1;
    for (int row = 0; row < rows() && first_illegal < 0; ++row)
      if (!contains(legal_actions(refs_[row]->position), static_cast<int32_t>(actions[row])) ||
          actions[row] != static_cast<int32_t>(actions[row]))
        first_illegal = row;
    if (first_illegal >= 0) {
      for (auto& env : envs_) {
        const Snapshot before = snapshot(*env);
        bool refused = false;
        try {
          if (in_two_halves) {
            env->step_start(actions.data());
            env->step_finish();
          } else {
            env->step(actions.data());
          }
        } catch (const IllegalAction& e) {
          refused = std::string(e.what()).find("in row " + std::to_string(first_illegal) + " ") != std::string::npos;
        }
        FUZZ_CHECK(refused);
        FUZZ_CHECK(!env->step_pending());
        FUZZ_CHECK(snapshot(*env) == before);
      }
      return;
    }
    for (auto& env : envs_) {
      if (in_two_halves) {
        env->step_start(actions.data());
        FUZZ_CHECK(env->step_pending());
        env->step_finish();
        FUZZ_CHECK(!env->step_pending());
      } else {
        env->step(actions.data());
      }
    }
    VectorEnv& env = *envs_[0];
    for (int row = 0; row < rows(); ++row) {
      Episode& ref = *refs_[row];
      const StepResult result = ref.step(static_cast<int32_t>(actions[row]));
      const bool capped = !result.done && options_.max_steps && ref.total_move_count >= *options_.max_steps;
      FUZZ_CHECK(env.rewards()[row] == static_cast<float>(result.reward));
      FUZZ_CHECK(env.terminated()[row] == result.done);
      FUZZ_CHECK(env.truncated()[row] == capped);
      if (!result.done && !capped) {
        FUZZ_CHECK(env.final_reasons()[row] == 0 && env.final_rewards()[row] == 0);
        check_row(row);
        continue;
      }
      // The game that ended: its reason, reward and last observation.
      const int8_t reason = result.done ? static_cast<int8_t>(ref.last_termination) : kTruncatedReason;
      FUZZ_CHECK(!result.done || ref.last_termination != Termination::kNone);
      FUZZ_CHECK(env.final_reasons()[row] == reason);
      FUZZ_CHECK(env.final_rewards()[row] == static_cast<float>(result.reward));
      check_observation_row(static_cast<const uint8_t*>(env.final_observations()) + row * env.observation_row_bytes(),
                            ref);
      restarted_row(row);
    }
  }

  void step_random() {
    std::array<std::vector<int64_t>, 2> drawn;
    for (int e = 0; e < 2; ++e) {
      drawn[e].resize(rows());
      envs_[e]->random_actions(drawn[e].data());
    }
    FUZZ_CHECK(drawn[0] == drawn[1]);
    for (int row = 0; row < rows(); ++row)
      FUZZ_CHECK(contains(legal_actions(refs_[row]->position), static_cast<int32_t>(drawn[0][row])));
    step(drawn[0], false);
  }

  void set_starts(Reader& in) {
    std::vector<Position> starts;
    bool finished = false;
    for (int count = in.byte() % 4; count > 0; --count) {
      const int index = in.byte() % kVectorStartCount;
      Position p;
      p.parse_fen(vector_start(index));
      starts.push_back(p);
      Episode probe;
      probe.start_from(p);
      finished |= probe.judge(probe.move_index.size() > 0).done();
    }
    for (auto& env : envs_) {
      const int before = env->start_positions();
      try {
        env->set_start_positions(starts);
      } catch (const std::invalid_argument&) {
        FUZZ_CHECK(finished);
        FUZZ_CHECK(env->start_positions() == before);
        continue;
      }
      FUZZ_CHECK(!finished);
    }
    if (!finished) starts_ = starts;
  }

  // Restores state into row of both environments and of the reference:
  // taken whole by all, or refused by the environments with nothing changed.
  void restore(int row, const State& state) {
    std::array<bool, 2> taken{};
    for (int e = 0; e < 2; ++e) {
      const Snapshot before = snapshot(*envs_[e]);
      try {
        envs_[e]->restore_state(row, state);
        taken[e] = true;
      } catch (const std::invalid_argument&) {
        FUZZ_CHECK(snapshot(*envs_[e]) == before);
      }
    }
    FUZZ_CHECK(taken[0] == taken[1]);
    if (!taken[0]) return;
    refs_[row]->restore_state(state);  // the environment took it: so does an Episode
    refs_[row]->after_reset = false;   // a restored row is never right after a reset
    FUZZ_CHECK(envs_[0]->save_state(row) == state);
    FUZZ_CHECK(envs_[0]->rewards()[row] == 0 && !envs_[0]->terminated()[row] && !envs_[0]->truncated()[row]);
    check_row(row);
  }

  void restore_edited(Reader& in) {
    const int row = in.byte() % rows();
    const size_t slot = in.byte() % slots_.size();
    State state = slots_[slot] ? *slots_[slot] : envs_[0]->save_state(row);
    for (int edits = in.byte() % 4; edits > 0; --edits) edit_state(state, in, *refs_[row]);
    restore(row, state);
  }

  // A game played on an Episode of its own, possibly to its end.
  void restore_played(Reader& in) {
    const int row = in.byte() % rows();
    Episode game;
    game.start_from([&] {
      Position p;
      p.parse_fen(vector_start(in.byte()));
      return p;
    }());
    for (int plies = in.byte() % 8; plies > 0; --plies) {
      const std::vector<int32_t> legal = legal_actions(game.position);
      const uint8_t pick = in.byte();
      if (legal.empty()) break;
      if (game.step(legal[pick % legal.size()]).done) break;
    }
    restore(row, game.save_state());
  }

  VectorOptions options_;
  std::array<std::unique_ptr<VectorEnv>, 2> envs_;
  std::vector<std::unique_ptr<Episode>> refs_;
  std::vector<Position> starts_;
  std::array<std::optional<State>, 4> slots_;
  std::unique_ptr<std::array<int32_t, kObservationValues>> observation_;
};

inline void run_vector_ops_input(const uint8_t* data, size_t size) {
  Reader in(data, size);
  VectorOpsRun run(in);
  run.run(in);
}

}  // namespace varnok::fuzz
