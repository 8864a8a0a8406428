#include "vector/vector_env.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/start_positions.hpp"
#include "vector/option_checks.hpp"

namespace varnok {

namespace {

// Observation rows that come to at most this much per thread are written
// over what they held (see WrittenRow): they stay in the cores' caches (a
// 1 MiB level two on current processors, backed by a larger level three)
// from one step to the next. Larger batches are pushed out of the caches by
// whatever the caller runs between steps, and then every changed line would
// first be read back from memory: they are streamed whole instead.
constexpr size_t kRowsWrittenOverBytesPerThread = size_t{1} << 20;

// Copies a row of observations to the caller's array. The copy is read
// later by someone else, most often after the step has pushed it out of the
// cache: where both sides allow it, it is streamed there with stores that go
// around the cache, which saves reading every line of it in first.
void copy_row_out(uint8_t* out, const uint8_t* from, size_t bytes) {
#if defined(__SSE2__)
  constexpr uintptr_t kAlignment = 16;
  if ((reinterpret_cast<uintptr_t>(out) | reinterpret_cast<uintptr_t>(from) | bytes) % kAlignment == 0) {
    for (size_t i = 0; i < bytes; i += kAlignment)
      _mm_stream_si128(reinterpret_cast<__m128i*>(out + i), _mm_load_si128(reinterpret_cast<const __m128i*>(from + i)));
    return;
  }
#endif
  std::memcpy(out, from, bytes);
}

// A game that is over cannot be a row: every step plays a move in every row.
bool game_over(const Episode& board) { return board.judge(board.move_index.size() > 0).done(); }

}  // namespace

void check_options(const VectorOptions& o) {
  checked_count(o.num_envs, "num_envs", 1, kMaxEnvs);
  checked_threads(o.num_threads);
  if (o.max_steps && (*o.max_steps < 1 || *o.max_steps > INT32_MAX))
    throw std::invalid_argument("max_steps must be a positive number of plies, got " + std::to_string(*o.max_steps));
}

IllegalAction::IllegalAction(int row, int64_t action)
    : std::invalid_argument("action " + std::to_string(action) + " in row " + std::to_string(row) +
                            " is not legal in that game") {}

VectorEnv::VectorEnv(const VectorOptions& options)
    : options_(checked_options(options)),
      games_(options.num_envs),
      pool_(static_cast<int>(std::min(options.num_threads, options.num_envs))) {
  const size_t n = games_.size();
  observations_.resize(n * observation_row_bytes());
  final_observations_.resize(n * observation_row_bytes());
  if (options_.format != ObservationFormat::kPacked &&
      observations_.size() <= kRowsWrittenOverBytesPerThread * pool_.size())
    written_.resize(n);
  legal_mask_.resize(n * kActionCount);
  rewards_.resize(n);
  final_rewards_.resize(n);
  terminated_.resize(n);
  truncated_.resize(n);
  to_play_.resize(n);
  final_reasons_.resize(n);
  for (size_t i = 0; i < n; ++i) {
    games_[i].board.rules = options.rules;
    games_[i].board.chess960 = options.chess960;
    games_[i].random.reseed(options.seed, i);
  }
  reset(false, 0);
}

size_t VectorEnv::observation_row_bytes() const { return observation_bytes(options_.format); }

void VectorEnv::write_row(int row) {
  uint8_t* out = observations_.data() + row * observation_row_bytes();
  if (written_.empty())
    write_batch_row(options_.format, games_[row].board, out);
  else
    write_row_changes(options_.format, games_[row].board, out, written_[row]);
}

uint8_t* VectorEnv::mask_row(int row) { return legal_mask_.data() + static_cast<size_t>(row) * kActionCount; }

void VectorEnv::write_mask(int row) {
  std::memset(mask_row(row), 0, kActionCount);
  set_mask(row);
}

void VectorEnv::clear_mask(int row) { games_[row].board.move_index.mark(mask_row(row), uint8_t{0}); }

void VectorEnv::set_mask(int row) { games_[row].board.move_index.mark(mask_row(row), uint8_t{1}); }

void VectorEnv::restart(int row) {
  Game& game = games_[row];
  const Position& start = !starts_.empty()    ? starts_[game.random.below(static_cast<uint32_t>(starts_.size()))]
                          : options_.chess960 ? chess960_start(static_cast<int>(game.random.below(kChess960Positions)))
                                              : initial_position();
  game.board.start_from(start);
  write_row(row);
  write_mask(row);
  to_play_[row] = static_cast<int8_t>(game.board.position.side);
}

void VectorEnv::reset(bool reseed, uint64_t seed) {
  if (reseed)
    for (size_t i = 0; i < games_.size(); ++i) games_[i].random.reseed(seed, i);
  pool_.run_chunks(size(), kRowsPerChunk, [&](int begin, int end) {
    for (int row = begin; row < end; ++row) reset_row(row);
  });
}

void VectorEnv::set_start_positions(std::vector<Position> starts) {
  Episode probe(options_.rules);
  for (size_t i = 0; i < starts.size(); ++i) {
    probe.start_from(starts[i]);
    if (game_over(probe))
      throw std::invalid_argument("start position " + std::to_string(i) + " (" + probe.fen(EnPassantField::kStandard) +
                                  ") is a finished game");
  }
  starts_ = std::move(starts);
}

void VectorEnv::check_actions(const int64_t* actions, const uint8_t* active) const {
  for (int row = 0; row < size(); ++row)
    if ((active == nullptr || active[row]) && !games_[row].board.move_index.contains(actions[row]))
      throw IllegalAction(row, actions[row]);
}

void VectorEnv::step_rows(int begin, int end) {
  const size_t row_bytes = observation_row_bytes();
  for (int row = begin; row < end; ++row) {
    step_row(row);
    if (pending_observations_out_ != nullptr)
      copy_row_out(pending_observations_out_ + row * row_bytes, observations_.data() + row * row_bytes, row_bytes);
  }
#if defined(__SSE2__)
  // Streaming stores are weakly ordered: fenced before the rows are handed on.
  if (pending_observations_out_ != nullptr) _mm_sfence();
#endif
}

void VectorEnv::step_row(int row) {
  if (pending_active_ != nullptr && !pending_active_[row]) {
    rewards_[row] = final_rewards_[row] = 0;
    terminated_[row] = truncated_[row] = 0;
    final_reasons_[row] = 0;
    return;
  }
  Game& game = games_[row];
  clear_mask(row);
  const Outcome outcome = game.board.play(static_cast<int32_t>(pending_actions_[row]));
  const bool ended = outcome.done();
  const bool capped = !ended && options_.max_steps && game.board.total_move_count >= *options_.max_steps;
  rewards_[row] = static_cast<float>(outcome.reward);
  terminated_[row] = ended;
  truncated_[row] = capped;
  if (ended || capped) {
    // Rows of ended games are few and far between, and a caller who keeps
    // them copies them out at once: written whole, through the cache.
    write_cached_row(options_.format, game.board, final_observations_.data() + row * observation_row_bytes());
    final_rewards_[row] = static_cast<float>(outcome.reward);
    final_reasons_[row] = ended ? static_cast<int8_t>(outcome.termination) : kTruncatedReason;
    restart(row);
    return;
  }
  final_rewards_[row] = 0;
  final_reasons_[row] = 0;
  write_row(row);
  set_mask(row);
  to_play_[row] = static_cast<int8_t>(game.board.position.side);
}

void VectorEnv::acquire() {
  if (caller_.try_take()) return;
  if (async_pending_) throw std::runtime_error("a step_async is pending: call step_wait first");
  SingleCaller::refuse(pool_, "this VectorEnv");
}

void VectorEnv::step_start(const int64_t* actions, const uint8_t* active) {
  check_actions(actions, active);
  // The caller's arrays may change while the workers play: keep copies.
  pending_copy_.assign(actions, actions + size());
  pending_actions_ = pending_copy_.data();
  pending_active_ = nullptr;
  if (active != nullptr) {
    pending_active_copy_.assign(active, active + size());
    pending_active_ = pending_active_copy_.data();
  }
  finish_claimed_ = false;
  async_pending_ = true;
  pool_.start_chunks(size(), kRowsPerChunk, [this](int begin, int end) { step_rows(begin, end); });
}

void VectorEnv::end_pending_step() {
  async_pending_ = false;
  pending_actions_ = nullptr;
  pending_active_ = nullptr;
  pending_observations_out_ = nullptr;
}

void VectorEnv::step_finish() {
  const PendingStep pending{*this};
  pool_.wait();
}

void VectorEnv::step(const int64_t* actions, const uint8_t* active, void* observations_out) {
  // The caller's arrays stay put for a synchronous step, and the calling
  // thread plays rows itself.
  check_actions(actions, active);
  pending_actions_ = actions;
  pending_active_ = active;
  pending_observations_out_ = static_cast<uint8_t*>(observations_out);
  const PendingStep pending{*this};
  pool_.run_chunks(size(), kRowsPerChunk, [this](int begin, int end) { step_rows(begin, end); });
}

void VectorEnv::random_actions(int64_t* out) {
  for (int row = 0; row < size(); ++row) {
    Game& game = games_[row];
    const ActionMap& listing = game.board.move_index;
    out[row] = listing.size() == 0 ? -1 : listing.nth_action(static_cast<int>(game.random.below(listing.size())));
  }
}

State VectorEnv::save_state(int row) const { return games_[row].board.save_state(); }

void VectorEnv::reset_row(int row) {
  restart(row);
  rewards_[row] = final_rewards_[row] = 0;
  terminated_[row] = truncated_[row] = 0;
  final_reasons_[row] = 0;
}

void VectorEnv::restore_state(int row, const State& state) {
  Episode restored(options_.rules);
  restored.restore_state(state);  // throws, changing nothing, on a State it cannot take
  if (game_over(restored))
    throw std::invalid_argument("the State's game is over (" + restored.fen(EnPassantField::kStandard) +
                                "): a row must have a move to play");
  if (options_.format == ObservationFormat::kPacked && !history_is_packable(restored.state_history))
    throw std::invalid_argument(
        "the State's history holds planes that a packed observation cannot represent (piece planes other than 0/1 "
        "or repetition planes that are not one value)");
  Game& game = games_[row];
  game.board = std::move(restored);
  write_row(row);
  write_mask(row);
  to_play_[row] = static_cast<int8_t>(game.board.position.side);
  rewards_[row] = final_rewards_[row] = 0;
  terminated_[row] = truncated_[row] = 0;
  final_reasons_[row] = 0;
}

}  // namespace varnok
