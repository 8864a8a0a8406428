// Episodes: reset to the initial position, and step, which plays one action
// and judges the position reached. Rewards count from white's side: +1 when
// black is checkmated, -1 when white is, 0 otherwise. The end rules, in
// order: no legal reply (checkmate or stalemate), third occurrence of a
// position, no-progress count of 50 (under FIDE rules the half-move clock
// at 100), and under FIDE rules insufficient material.
#include <stdexcept>
#include <string>
#include <vector>

#include "core/attack_tables.hpp"
#include "core/fen_strict.hpp"
#include "core/start_positions.hpp"
#include "core/zobrist.hpp"
#include "env/draw_rules.hpp"
#include "env/episode.hpp"
#include "env/move_log.hpp"
#include "env/random.hpp"

namespace varnok {

namespace {
constexpr int kNoProgressLimit = 50;
constexpr int kFideNoProgressLimit = 100;        // the FIDE 50-move rule counts 50 moves of each side
constexpr int kFideStrictNoProgressLimit = 150;  // the 75-move rule, automatic under the FIDE Laws
constexpr int kRepetitionLimit = 2;              // repetition value of a third occurrence
constexpr int kFideStrictRepetitionLimit = 4;    // of a fifth occurrence, automatic under the FIDE Laws
// Room for the moves of nearly every game without growing the log: the
// longest games between strong players stay below 600 plies.
constexpr size_t kReservedLogEntries = 1024;
}  // namespace

Episode::Episode(DrawRules draw_rules, bool chess960_starts, uint64_t seed)
    : rules(draw_rules), chess960(chess960_starts), chess960_seed(seed) {
  init_attack_tables();
  move_log.reserve(kReservedLogEntries);
}

void Episode::parse_fen(const char* text) {
  position.parse_fen(text, chess960);
  start_position = position;
  start_fullmove = 1;
  move_log.clear();
  move_index.list_legal(position);
}

const Position& initial_position() {
  static const Position initial = [] {
    Position p;
    p.parse_fen(kInitialFen.data());
    return p;
  }();
  return initial;
}

const Position& chess960_start(int number) {
  static const std::vector<Position> starts = [] {
    std::vector<Position> all(kChess960Positions);
    for (int n = 0; n < kChess960Positions; ++n) all[n].parse_fen(chess960_fen(n).c_str(), true);
    return all;
  }();
  if (number < 0 || number >= kChess960Positions)
    throw std::out_of_range("Chess960 position number " + std::to_string(number) + " is not 0 to 959");
  return starts[number];
}

void Episode::start_from(const Position& start, int32_t fullmove_number) {
  after_reset = true;
  last_termination = Termination::kNone;
  start_position = start;
  start_fullmove = fullmove_number;
  move_log.clear();
  state_history.clear();
  repetition_count.clear();
  // Every episode starts from the same observation: the move count and the
  // repetition value of the previous episode are not carried over.
  total_move_count = 0;
  prev_n_repetitions = 0;
  position = start;
  record_position();
  move_index.list_legal(position);
  save_current_listing();
}

StepResult Episode::current_result() const {
  StepResult result;
  build_observation(result.observation);
  result.side = position.side;
  return result;
}

StepResult Episode::reset() {
  if (chess960)
    return reset_chess960(static_cast<int>(Random(chess960_seed, chess960_draws++).below(kChess960Positions)));
  start_from(initial_position());
  return current_result();
}

StepResult Episode::reset_chess960(int number) {
  start_from(chess960_start(number));
  return current_result();
}

StepResult Episode::load_fen(std::string_view text) {
  const FenPosition loaded = parse_fen_strict(text, chess960);  // throws before anything changes
  start_from(loaded.position, loaded.fullmove_number);
  return current_result();
}

void apply_move_under(DrawRules rules, Position& position, Move move) {
  position.apply_move(move);
  if (counts_as_fide(rules) && restarts_no_progress(move)) position.no_progress_count = 0;
}

uint64_t Episode::zobrist_hash() const { return varnok::zobrist_hash(position); }

uint64_t Episode::repetition_key_of_position() const {
  return counts_as_fide(rules) ? repetition_key(position) : position.hash();
}

void Episode::apply_and_log(Move move) {
  listed_position_ = position;
  restored_listing_.reset();
  move_log.push_back(logged_move(move));
  apply_move_under(rules, position, move);  // legal: it came from a listing of this position
  saturating_increment(total_move_count);
}

void Episode::play_move(Move move) {
  apply_and_log(move);
  record_position();
}

Outcome checkmate_or_stalemate(const Position& position, bool has_legal_reply) {
  if (has_legal_reply) return {Termination::kNone, 0};
  if (!position.in_check()) return {Termination::kStalemate, 0};
  return {Termination::kCheckmate, position.side == kBlack ? 1 : -1};
}

Outcome judge_position(const Position& position, int32_t repetition, DrawRules rules, bool has_legal_reply) {
  if (has_legal_reply) {
    const bool strict = rules == DrawRules::kFideStrict;
    // Under the FIDE rules a game played on past an unclaimed draw that meets
    // the position again is drawn again; the classic rules end a game on the
    // third occurrence itself, not on later ones.
    const int32_t limit = strict ? kFideStrictRepetitionLimit : kRepetitionLimit;
    if (counts_as_fide(rules) ? repetition >= limit : repetition == limit) return {Termination::kRepetition, 0};
    const int no_progress_limit = strict                      ? kFideStrictNoProgressLimit
                                  : rules == DrawRules::kFide ? kFideNoProgressLimit
                                                              : kNoProgressLimit;
    if (position.no_progress_count >= no_progress_limit) return {Termination::kNoProgress, 0};
    if (counts_as_fide(rules) && insufficient_material(position)) return {Termination::kInsufficientMaterial, 0};
    return {Termination::kNone, 0};
  }
  return checkmate_or_stalemate(position, false);
}

Outcome Episode::judge(bool has_legal_reply) const {
  return judge_position(position, n_repetitions, rules, has_legal_reply);
}

Termination Episode::checkmate_or_stalemate() const {
  return varnok::checkmate_or_stalemate(position, move_index.size() > 0).termination;
}

Outcome Episode::play(int32_t action) {
  after_reset = false;
  if (!move_index.contains(action)) {
    save_current_listing();  // a refused action leaves the current listing saved, as a listing call does
    throw std::invalid_argument("Invalid action");
  }
  apply_and_log(move_index.at(action));
  // The new position's repetition count is a lookup in a table that the
  // cache has usually lost since this game's last ply. Listing the replies
  // does not need it, so the count's memory loads while they are listed.
  const uint64_t key = repetition_key_of_position();
  repetition_count.prefetch(key);
  move_index.list_legal(position);
  record_position(key);
  const Outcome outcome = judge(move_index.size() > 0);
  last_termination = outcome.termination;
  return outcome;
}

StepResult Episode::step(int32_t action) {
  const Outcome outcome = play(action);
  StepResult result = current_result();
  result.reward = outcome.reward;
  result.done = outcome.done() ? 1 : 0;
  return result;
}

}  // namespace varnok
