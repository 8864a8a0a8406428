// Runs the rules of a Position through a scratch Board until the split lands.
#include "core/position_shim.hpp"

#include "core/attack_tables.hpp"
#include "core/board.hpp"

namespace varnok {

namespace {

Board& scratch(const Position& position) {
  thread_local Board board;
  board.bitboards = position.bitboards;
  board.occupancies = position.occupancies;
  board.castle = position.castle;
  board.enpassant = position.enpassant;
  board.side = position.side;
  board.no_progress_count = position.no_progress_count;
  return board;
}

void store(const Board& board, Position& position) {
  position.bitboards = board.bitboards;
  position.occupancies = board.occupancies;
  position.castle = board.castle;
  position.enpassant = board.enpassant;
  position.side = board.side;
  position.no_progress_count = board.no_progress_count;
}

// The attack tables are filled when the library loads, as the split does.
const bool kTablesFilled = (init_attack_tables(), true);

}  // namespace

void Position::parse_fen(const char* text) {
  Board& board = scratch(*this);
  board.parse_fen(text);
  store(board, *this);
}
bool Position::square_attacked_by(int square, int attacker) const {
  return square_attacked(bitboards, occupancies[kBothColours], square, attacker);
}
bool Position::in_check() const { return scratch(*this).side_to_move_in_check(); }
void Position::generate_moves(MoveList& list) const { scratch(*this).generate_moves(list); }
int Position::castling_moves(Move (&out)[2]) const { return scratch(*this).castling_moves(out); }
bool Position::make_move(Move move) {
  Board& board = scratch(*this);
  if (!board.make_move(move)) return false;
  store(board, *this);
  return true;
}
void Position::apply_move(Move move) {
  Board& board = scratch(*this);
  board.apply_move(move);
  store(board, *this);
}
bool Position::is_legal(Move move) const { return scratch(*this).is_legal(move); }
uint64_t Position::hash() const { return scratch(*this).hash_state(); }

}  // namespace varnok
