// The one object of varnok: a chess position held as bitboards, plus the
// bookkeeping of one learning episode (counters, the action-to-move map of the
// last listing, repetition counts and the ring of recorded positions).
//
// Conventions used everywhere:
//   square 0 = a8, 7 = h8, 56 = a1, 63 = h1 (index = 8 * (8 - rank) + file);
//   piece index 0..11 in the order "PNBRQKpnbrqk" (colour c, kind k: 6c + k);
//   colour 0 white, 1 black; castling bits 1 K, 2 Q, 4 k, 8 q;
//   en-passant square 64 means none.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "core/types.hpp"
#include "env/action_map.hpp"
#include "env/history.hpp"
#include "env/repetition_map.hpp"
#include "env/state.hpp"

namespace varnok {

// The position fields that a trial move can change, copied before each
// make_move so that the move can be taken back.
struct Snapshot {
  int32_t castle = 0;
  int32_t enpassant = kNoSquare;
  int32_t side = kWhite;
  std::array<Bitboard, 12> bitboards{};
  std::array<Bitboard, 3> occupancies{};
};

// Whether any piece of attacker attacks square, given the twelve piece
// bitboards and the occupancy that blocks sliders.
bool square_attacked(const std::array<Bitboard, 12>& pieces, Bitboard occupancy, int square, int attacker);

// Writes one piece of text to the interpreter's standard output (Python's
// print with end=""); render's second channel goes through it.
using TextSink = void (*)(void* context, const char* text);

class Board {
 public:
  // ---- fields, in their documented order
  int32_t total_move_count = 0;
  int32_t state_pos = 0;
  int32_t no_progress_count = 0;
  int32_t after_reset = 0;
  int32_t castle = 0;
  int32_t enpassant = kNoSquare;
  int32_t side = kWhite;
  std::array<Bitboard, 12> bitboards{};
  std::array<Bitboard, 3> occupancies{};
  Snapshot snapshot{};
  RepetitionMap repetition_count;
  ActionMap move_index;
  int32_t n_repititions = 0;
  int32_t prev_n_repititions = 0;
  History state_history;

  Board();

  // ---- bit helpers on the position
  constexpr int piece_on(int square) const {
    int found = kNoPiece;
    const Bitboard bit = Bitboard{1} << square;
    for (int piece = 0; piece < 12; ++piece)
      if (bitboards[piece] & bit) found = piece;
    return found;
  }
  // The position fields (castling, en passant, side, pieces, occupancies).
  Snapshot position() const { return {castle, enpassant, side, bitboards, occupancies}; }
  void set_position(const Snapshot& p) {
    castle = p.castle;
    enpassant = p.enpassant;
    side = p.side;
    bitboards = p.bitboards;
    occupancies = p.occupancies;
  }
  void save_snapshot() { snapshot = position(); }
  void restore_snapshot() { set_position(snapshot); }
  void rebuild_occupancies() {
    occupancies[0] = bitboards[0] | bitboards[1] | bitboards[2] | bitboards[3] | bitboards[4] | bitboards[5];
    occupancies[1] = bitboards[6] | bitboards[7] | bitboards[8] | bitboards[9] | bitboards[10] | bitboards[11];
    occupancies[2] = occupancies[0] | occupancies[1];
  }

  // ---- position core
  void parse_fen(const char* text);
  // Prints the board as letters to the C standard output and, through sink,
  // as chess symbols to the interpreter's standard output.
  void render(TextSink sink, void* context) const;
  int32_t square_attacked_by(int square, int attacker) const;
  void generate_moves(MoveList& list) const;
  // The castling moves generate_moves lists, king side first; returns how many.
  int castling_moves(Move (&out)[2]) const;
  int32_t make_move(Move move);
  // Plays a move already known to be legal: make_move without the snapshot
  // and the legality test.
  void apply_move(Move move);
  // make_move's verdict without playing the move: true when the mover's king
  // is not attacked afterwards. Listings use it to test moves in place.
  bool is_legal(Move move) const;
  // True when the side to move has a king and it is attacked. A side without
  // a king (only reachable through FEN text) is never in check.
  bool side_to_move_in_check() const;

  // ---- episode layer
  uint64_t hash_state() const;
  std::pair<int32_t, int32_t> move_direction(int source, int target) const;
  void get_actions(ActionMask& mask);
  void record_position();
  void build_observation(Observation& out) const;
  StepResult reset();
  StepResult step(int32_t action);
  State save_state() const;
  StepResult restore_state(const State& state);
  int32_t roll_out();

  // Lists the legal moves into move_index only, without building a mask.
  void list_legal_moves();
  // A roll-out driven by the caller's generator; appends the actions it
  // plays to played when given. roll_out seeds a fresh generator and calls it.
  int32_t roll_out_with(std::mt19937& rng, std::vector<int32_t>* played);

 private:
  // The parts of step around the observation: play a listed action, and
  // judge the position reached (reward, done).
  void play_move(Move move);
  void judge(bool has_legal_reply, int32_t& reward, int32_t& done) const;
};

}  // namespace varnok
