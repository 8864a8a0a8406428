// Detached copies of a whole game: save_state takes one out of an Episode,
// restore_state puts one back. A State is checked before anything changes,
// so a State the Episode cannot work with is refused whole.
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/zobrist.hpp"
#include "env/episode.hpp"
#include "env/move_log.hpp"

namespace varnok {

State Episode::save_state() const {
  State state;
  state.bitboards = position.bitboards;
  state.occupancies = position.occupancies;
  state.side = position.side;
  state.enpassant = position.enpassant;
  state.castle = position.castle;
  state.chess960 = position.chess960;
  state.castling_rook_files = position.castling_rook_files;
  state.state_history.reserve(state_history.size());
  for (int i = 0; i < state_history.size(); ++i) state.state_history.push_back(state_history.nested(i));
  state.state_pos = state_history.cursor();
  state.total_move_count = total_move_count;
  state.no_progress_count = position.no_progress_count;
  repetition_count.for_each([&](uint64_t key, int32_t count) { state.repetition_count.emplace(key, count); });
  state.n_repetitions = n_repetitions;
  state.prev_n_repetitions = prev_n_repetitions;
  for_each_saved_listing([&](int action, Move move) { state.move_index.emplace(action, move_word(move)); });
  state.moves = move_log;
  state.start_position = start_position;
  state.start_fullmove = start_fullmove;
  return state;
}

namespace {

void check_restorable(const State& state) {
  if (state.state_pos < 0 || state.state_pos >= kHistorySlots)
    throw std::invalid_argument("state_pos must be 0 to 7, got " + std::to_string(state.state_pos));
  if (state.state_history.size() > kHistorySlots)
    throw std::invalid_argument("state_history holds at most 8 entries, got " +
                                std::to_string(state.state_history.size()));
  // Until the ring is full, entries are appended in order and the cursor is
  // their number; any other cursor would put the next position in the wrong
  // slot and the observation's history blocks out of order.
  const auto entries = static_cast<int>(state.state_history.size());
  if (entries < kHistorySlots && state.state_pos != entries)
    throw std::invalid_argument("state_pos must equal the number of state_history entries (" + std::to_string(entries) +
                                ") while fewer than 8 are recorded, got " + std::to_string(state.state_pos));
  for (size_t i = 0; i < state.state_history.size(); ++i) {
    const auto& entry = state.state_history[i];
    bool shaped = entry.size() == kHistoryPlanes;
    for (size_t k = 0; shaped && k < entry.size(); ++k) shaped = entry[k].size() == kSquares;
    if (!shaped)
      throw std::invalid_argument("state_history entry " + std::to_string(i) + " is not 14 planes of 64 values");
  }
  if (state.move_index.size() > static_cast<size_t>(ActionMap::kCapacity))
    throw std::invalid_argument("move_index lists " + std::to_string(state.move_index.size()) +
                                " actions, more than any position has moves (" + std::to_string(ActionMap::kCapacity) +
                                ")");
  for (const auto& [action, move] : state.move_index)
    if (action < 0 || action >= kActionCount)
      throw std::invalid_argument("move_index key " + std::to_string(action) + " is not an action index 0 to 4671");
  for (const auto& files : {state.castling_rook_files, state.start_position.castling_rook_files})
    for (const int8_t file : files)
      if (file < 0 || file >= kFiles)
        throw std::invalid_argument("castling_rook_files must be files 0 to 7, got " + std::to_string(file));
  if (state.start_fullmove < 1)
    throw std::invalid_argument("start_fullmove must be at least 1, got " + std::to_string(state.start_fullmove));
  // Whether the moves replay from the start is settled when they are read
  // (moves_uci, pgn); here only their form is checked, so restoring stays cheap.
  for (size_t i = 0; i < state.moves.size(); ++i)
    if (!is_loggable_entry(state.moves[i]))
      throw std::invalid_argument("moves entry " + std::to_string(i) + " has no promotion kind 0 to 4");
}

}  // namespace

StepResult Episode::restore_state(const State& state) {
  check_restorable(state);
  position.side = state.side;
  position.bitboards = state.bitboards;
  position.occupancies = state.occupancies;
  position.enpassant = state.enpassant;
  position.castle = state.castle;
  position.chess960 = state.chess960;
  position.castling_rook_files = state.castling_rook_files;
  position.no_progress_count = state.no_progress_count;
  state_history.assign(state.state_history, state.state_pos);
  total_move_count = state.total_move_count;
  repetition_count.clear();
  for (const auto& [key, count] : state.repetition_count) repetition_count.set(key, count);
  n_repetitions = state.n_repetitions;
  prev_n_repetitions = state.prev_n_repetitions;
  // The State's listing is kept for the saved listing as it came (a State may
  // list anything); the position is listed afresh.
  auto restored = std::make_shared<ActionMap>();
  restored->assign([&](auto add) {
    for (const auto& [action, word] : state.move_index) add(action, Move{word});
  });
  restored_listing_ = std::move(restored);
  move_index.list_legal(position);
  move_log.assign(state.moves.begin(), state.moves.end());  // within the reserve for games of usual length
  start_position = state.start_position;
  start_fullmove = state.start_fullmove;
  last_termination = Termination::kNone;
  recount_by_own_rules(state);
  return current_result();
}

std::optional<Episode> replayed_game(const State& state, DrawRules rules) {
  Episode board(rules);
  board.start_position = state.start_position;
  board.start_fullmove = state.start_fullmove;
  board.move_log = state.moves;
  std::vector<Move> moves;
  try {
    moves = board.logged_moves();
  } catch (const std::invalid_argument&) {
    return std::nullopt;
  }
  board.start_from(state.start_position, state.start_fullmove);
  for (const Move move : moves) board.play(action_of_move(board.position.side, move));
  return board;
}

// The classic rules count positions by their hash and restart the
// no-progress count at 1 with the move that restarts it; the FIDE rules by
// their Zobrist identity key, from 0. A State keeps the counts of the rules
// its game was played by, and the position it ends in is always counted: a
// State that counts it under the other key only is a game of the other way
// of counting. It is taken as these rules count it when it is exactly that
// game replayed from its log (but for its listing); one edited by hand stays
// as it is.
void Episode::recount_by_own_rules(const State& state) {
  if (repetition_count.count(repetition_key_of_position()) > 0) return;
  const bool fide = counts_as_fide(rules);
  if (repetition_count.count(fide ? position.hash() : repetition_key(position)) == 0) return;
  const std::optional<Episode> theirs = replayed_game(state, fide ? DrawRules::kClassic : DrawRules::kFide);
  if (!theirs) return;
  State replayed = theirs->save_state();
  replayed.move_index = state.move_index;
  if (!(replayed == state)) return;
  std::optional<Episode> ours = replayed_game(state, rules);
  repetition_count = std::move(ours->repetition_count);
  n_repetitions = ours->n_repetitions;
  prev_n_repetitions = ours->prev_n_repetitions;
  position.no_progress_count = ours->position.no_progress_count;
  state_history = std::move(ours->state_history);
}

}  // namespace varnok
