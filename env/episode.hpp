// The learning episode: a chess Position plus the episode's own bookkeeping
// (counters, the action-to-move map of the current position, repetition counts
// and the ring of recorded positions), with reset, step, snapshots and
// roll-outs. Every ChessEnv in Python owns one Episode.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/fen_writer.hpp"
#include "core/pgn_reader.hpp"
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
// Chess960 array number (0-959) as a Chess960 position with all rights.
const Position& chess960_start(int number);

// The verdict on a position reached in an episode, as step gives it: the
// position, its repetition value (times recorded before in the episode),
// the draw rules, and whether the side to move has a legal move.
Outcome judge_position(const Position& position, int32_t repetition, DrawRules rules, bool has_legal_reply);
// The part of that verdict the draw rules have no say in: checkmate or
// stalemate when the side to move has no legal move, none when it has one
// (whatever its clock, repetitions or material).
Outcome checkmate_or_stalemate(const Position& position, bool has_legal_reply);

// Plays a legal move on position and keeps its no-progress count by rules:
// under the classic rules the count of Position::apply_move (the move that
// restarts it counts as well, so it is 1 after a pawn move or capture);
// under the FIDE rules the FIDE half-move clock (0 after a pawn move or
// capture), the same whether the game was played, loaded or restored.
void apply_move_under(DrawRules rules, Position& position, Move move);

// Whether the move restarts the no-progress count: a pawn move of any kind or
// a capture.
constexpr bool restarts_no_progress(Move move) { return kind_of(move_piece(move)) == kPawn || move_is_capture(move); }

class Episode {
 public:
  // ---- counters; copied into the observation
  int32_t total_move_count = 0;  // moves played by step since reset, saturating
  // True from reset until the next step: the observation of reset itself is
  // never turned for black.
  bool after_reset = false;

  // ---- the chess position (placement, side, castling, en passant, no-progress count)
  Position position;

  // ---- repetition data and the last listing
  // Times each position has been recorded this episode: by position hash
  // under the classic rules, by repetition_key and PositionIdentity under
  // the FIDE rules.
  RepetitionMap repetition_count;
  // action -> move: the legal actions of the current position, kept listed
  // by everything that changes the position (what a State records under
  // move_index is for_each_saved_listing() below).
  ActionMap move_index;
  int32_t n_repetitions = 0;       // repetition value of the position recorded last (count - 1)
  int32_t prev_n_repetitions = 0;  // the value of the position recorded before it

  // ---- the eight recorded positions and their ring cursor
  History state_history;

  // ---- the move log: where the episode started and the moves played since
  // (MoveLog encoding), for FEN full-move numbers, UCI lists and PGN.
  Position start_position;
  int32_t start_fullmove = 1;
  std::vector<uint16_t> move_log;  // reserved at construction; a step pushes one entry

  // ---- fixed at construction
  DrawRules rules = DrawRules::kClassic;
  // Chess960: reset starts from one of the 960 arrays, drawn uniformly; the
  // k-th draw is Random(chess960_seed, k), so a seed fixes the sequence.
  bool chess960 = false;
  uint64_t chess960_seed = 0;
  uint64_t chess960_draws = 0;
  // Why the last episode ended: set by step, play and roll_out, kNone after
  // reset, load_fen, parse_fen and restore_state.
  Termination last_termination = Termination::kNone;

  explicit Episode(DrawRules draw_rules = DrawRules::kClassic, bool chess960_starts = false, uint64_t seed = 0);

  // Reads the FEN text into the position without starting an episode; the
  // position becomes the start of the move log (full move 1) and is listed
  // into move_index. The saved listing stays as it was.
  void parse_fen(const char* text);
  uint64_t hash_state() const { return position.hash(); }
  // The Polyglot Zobrist key of the position (core/zobrist.hpp).
  uint64_t zobrist_hash() const;
  // The key the repetition counts are kept under for the current position:
  // the position hash (classic rules) or the repetition key (FIDE rules).
  uint64_t repetition_key_of_position() const;

  // Marks the legal moves (move_index) in mask; a listing call, as below.
  void get_actions(ActionMask& mask);
  // Makes move_index, which always lists the current position, the saved
  // listing too: what a caller that read the legal moves saves next.
  void save_current_listing();
  // The legal-action listing a State records as its move_index, by the
  // episode's long-standing rule: after a move (step, roll-out) the listing
  // of the position before it; after a reset, a listing (get_actions,
  // save_current_listing) or a refused action that of the current position;
  // after restore_state the State's own, until the game moves or is listed.
  // Calls visit(action, move) for each of its entries, without copying the
  // listing where it is at hand (a save is frequent in search loops).
  template <class Visit>
  void for_each_saved_listing(Visit visit) const {
    if (restored_listing_) return restored_listing_->for_each(visit);
    if (listed_position_ == position) return move_index.for_each(visit);
    listing_of_listed_position().for_each(visit);
  }
  // Records the current position: its repetition count, then a history entry.
  void record_position() { record_position(repetition_key_of_position()); }
  // record_position, given repetition_key_of_position().
  void record_position(uint64_t key);
  void build_observation(Observation& out) const;
  // The current position as a result: the side to move and the observation,
  // reward and done 0 (what starting an episode returns; a step adds both).
  StepResult current_result() const;

  // Starts an episode from the initial position, or in Chess960 from the
  // next drawn array.
  StepResult reset();
  // Starts an episode from Chess960 array number (0-959; 518 is the standard
  // array) with Chess960 castling; std::out_of_range for other numbers.
  StepResult reset_chess960(int number);
  // Starts an episode from position as reset starts one from the initial
  // position: history, repetitions, counters and the move log cleared, the
  // position recorded and its moves listed. The position keeps its
  // no-progress count; fullmove_number is the full-move number it has.
  void start_from(const Position& start, int32_t fullmove_number = 1);
  // Reads a FEN text strictly and starts an episode from it, as reset does,
  // with the FEN's half-move clock as the no-progress count and its full-move
  // number. A faulty text throws std::invalid_argument naming the field, and
  // the Episode is left unchanged.
  StepResult load_fen(std::string_view text);

  // ---- notation of the current position and the episode (episode_notation.cpp)
  // None of these changes the Episode. Faults throw std::invalid_argument
  // naming the action or the text.

  // The full-move number of the current position: the start's, plus one for
  // every move of black played since.
  int32_t fullmove_number() const;
  // The FEN half-move clock: plies since the last pawn move or capture.
  // Under the FIDE rules it is no_progress_count. Under the classic rules
  // no_progress_count counts the move that restarted it as well, so after
  // such a move in the log the clock is one less.
  int32_t halfmove_clock() const;
  std::string fen(EnPassantField en_passant, CastlingNotation castling = CastlingNotation::kXFen) const;
  // The legal move an action stands for in the current position (the move
  // step would play).
  Move legal_move_of_action(int32_t action) const;
  std::string action_to_uci(int32_t action) const;
  // With castling written king onto rook when chess960, else king onto its
  // destination.
  std::string action_to_uci(int32_t action, bool chess960) const;
  std::string action_to_san(int32_t action) const;
  int32_t uci_to_action(std::string_view text) const;
  int32_t san_to_action(std::string_view text) const;
  // The UCI of every legal action, in ascending action order.
  std::vector<std::string> legal_moves_uci() const;
  // The SAN of every legal action, in the same order.
  std::vector<std::string> legal_moves_san() const;
  // The moves of the log, replayed from the start position. A log that does
  // not replay (a State edited by hand) throws std::invalid_argument.
  std::vector<Move> logged_moves() const;
  std::vector<std::string> moves_uci() const;
  // The episode as PGN; a draw by repetition, no progress or material is
  // written as 1/2-1/2 unless headers give a Result.
  std::string pgn(const PgnHeaders& headers) const;
  // Plays a legal action (std::invalid_argument "Invalid action" otherwise,
  // with the position unchanged) and judges the position reached.
  StepResult step(int32_t action);
  // step without building the observation: the same rules, errors and
  // effects on the Episode. The position reached is listed into move_index.
  Outcome play(int32_t action);
  State save_state() const;
  // Takes a State whole, or refuses it with std::invalid_argument and changes
  // nothing. The repetition and no-progress counts of a game played by the
  // other way of counting (classic against FIDE) are counted again by these
  // rules; a State edited by hand is taken as it is.
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
  // Whether the game cannot go on from the current position by the rules of
  // play (checkmate, stalemate), the draw rules aside.
  Termination checkmate_or_stalemate() const;

 private:
  // Plays a listed move and logs it, without recording the position reached
  // or listing it; the position left becomes the one the saved listing lists.
  void apply_and_log(Move move);
  // apply_and_log, then record_position.
  void play_move(Move move);

  // The listing of listed_position_, made afresh.
  ActionMap listing_of_listed_position() const;

  // After restore_state: when the State holds the counts of the other way of
  // counting, takes those these rules count for its game instead.
  void recount_by_own_rules(const State& state);

  // What for_each_saved_listing visits: the listing of listed_position_, or the
  // listing of a restored State while restored_listing_ holds one. A copy of
  // the Episode shares the restored listing, which nothing changes.
  Position listed_position_;
  std::shared_ptr<const ActionMap> restored_listing_;
};

// The game of a State played again under rules: its start position, then
// the moves of its log played as steps; nothing when the log does not replay
// from the start.
std::optional<Episode> replayed_game(const State& state, DrawRules rules);

// The games of a list, as the searches take their roots: by address.
inline std::vector<const Episode*> pointers_to(const std::vector<Episode>& games) {
  std::vector<const Episode*> pointers;
  pointers.reserve(games.size());
  for (const Episode& game : games) pointers.push_back(&game);
  return pointers;
}

}  // namespace varnok
