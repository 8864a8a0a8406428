// The episode in chess notation: FEN of the current position with its
// full-move number, actions as UCI and SAN and back, and the move log as UCI
// and PGN. Actions map to moves as step maps them: through action_of_move
// over the legal moves, the last listed move winning where two share an
// action (only in positions typed as FEN text), as in the action-to-move map.
#include <stdexcept>
#include <string>

#include "core/legality.hpp"
#include "core/pgn_writer.hpp"
#include "core/san.hpp"
#include "core/uci.hpp"
#include "env/episode.hpp"
#include "env/move_log.hpp"

namespace varnok {

namespace {

// The legal move of position that a log entry names, or kNoMove.
Move legal_move_of_entry(const Position& position, uint16_t entry) {
  Move found = kNoMove;
  for_each_legal_move(position, [&](Move move) {
    if (logged_move(move) == entry) found = move;
  });
  return found;
}

bool is_draw(Termination termination) {
  return termination == Termination::kRepetition || termination == Termination::kNoProgress ||
         termination == Termination::kInsufficientMaterial;
}

}  // namespace

int32_t Episode::fullmove_number() const {
  // Black's moves end full moves: a start with black to move ends one after
  // its first ply.
  const int64_t plies_ending_moves = static_cast<int64_t>(move_log.size()) + (start_position.side == kBlack ? 1 : 0);
  const int64_t number = start_fullmove + plies_ending_moves / 2;
  return number > INT32_MAX ? INT32_MAX : static_cast<int32_t>(number);
}

Move Episode::legal_move_of_action(int32_t action) const {
  if (!move_index.contains(action))
    throw std::invalid_argument("action " + std::to_string(action) + " is not legal here");
  return move_index.at(action);
}

std::string Episode::action_to_uci(int32_t action) const { return uci_of(legal_move_of_action(action)).str(); }

std::string Episode::action_to_uci(int32_t action, bool chess960_castling) const {
  return uci_of(legal_move_of_action(action), position, chess960_castling).str();
}

std::string Episode::action_to_san(int32_t action) const {
  return san_of(position, legal_move_of_action(action)).str();
}

int32_t Episode::uci_to_action(std::string_view text) const {
  return action_of_move(position.side, move_of_uci(position, text));
}

int32_t Episode::san_to_action(std::string_view text) const {
  return action_of_move(position.side, move_of_san(position, text));
}

std::vector<std::string> Episode::legal_moves_uci() const {
  std::vector<std::string> out;
  out.reserve(move_index.size());
  move_index.for_each([&](int, Move move) { out.push_back(uci_of(move).str()); });
  return out;
}

std::vector<std::string> Episode::legal_moves_san() const {
  std::vector<std::string> out;
  out.reserve(move_index.size());
  move_index.for_each([&](int, Move move) { out.push_back(san_of(position, move).str()); });
  return out;
}

std::vector<Move> Episode::logged_moves() const {
  std::vector<Move> moves;
  moves.reserve(move_log.size());
  Position replay = start_position;
  for (size_t i = 0; i < move_log.size(); ++i) {
    const Move move = legal_move_of_entry(replay, move_log[i]);
    if (move == kNoMove)
      throw std::invalid_argument("move log entry " + std::to_string(i) +
                                  " is not a legal move in the position it follows");
    moves.push_back(move);
    replay.apply_move(move);
  }
  return moves;
}

int32_t Episode::halfmove_clock() const {
  if (counts_as_fide(rules)) return position.no_progress_count;
  bool restarted = false;
  Position replay = start_position;
  for (const uint16_t entry : move_log) {
    const Move move = legal_move_of_entry(replay, entry);
    if (move == kNoMove) break;  // a log edited by hand: the count as it is
    restarted |= restarts_no_progress(move);
    replay.apply_move(move);
  }
  const int32_t count = position.no_progress_count;
  return restarted && count > 0 ? count - 1 : count;
}

std::string Episode::fen(EnPassantField en_passant, CastlingNotation castling) const {
  Position written = position;
  written.no_progress_count = halfmove_clock();
  return fen_of(written, fullmove_number(), en_passant, castling);
}

std::vector<std::string> Episode::moves_uci() const {
  std::vector<std::string> out;
  for (const Move move : logged_moves()) out.push_back(uci_of(move).str());
  return out;
}

std::string Episode::pgn(const PgnHeaders& headers) const {
  const std::vector<Move> moves = logged_moves();
  PgnHeaders tags = headers;
  bool has_result = false;
  for (const auto& [name, value] : tags) has_result |= name == "Result";
  if (!has_result && is_draw(last_termination)) tags.emplace_back("Result", "1/2-1/2");
  return write_pgn(start_position, start_fullmove, moves, tags);
}

}  // namespace varnok
