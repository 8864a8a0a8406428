// Small value types shared by the position core and the episode layer.
#pragma once

#include <array>
#include <bit>
#include <climits>
#include <cstdint>

namespace varnok {

using Bitboard = uint64_t;
// A move packed into 32 bits: source (bits 0-5), target (6-11), moving piece
// (12-15), promoted piece (16-19, 0 = none), capture (20), double push (21),
// en passant (22), castling (23). Every move word is positive.
using Move = int32_t;

inline constexpr int kWhite = 0;
inline constexpr int kBlack = 1;
inline constexpr int kNoSquare = 64;
inline constexpr int kNoPiece = -1;

enum Piece : int { WP, WN, WB, WR, WQ, WK, BP, BN, BB, BR, BQ, BK };

inline constexpr int kCaptureFlag = 1 << 20;
inline constexpr int kDoublePushFlag = 1 << 21;
inline constexpr int kEnPassantFlag = 1 << 22;
inline constexpr int kCastlingFlag = 1 << 23;

constexpr Move encode_move(int source, int target, int piece, int promoted, int flags) {
  return source | (target << 6) | (piece << 12) | (promoted << 16) | flags;
}
constexpr int move_source(Move m) { return m & 63; }
constexpr int move_target(Move m) { return (m >> 6) & 63; }
constexpr int move_piece(Move m) { return (m >> 12) & 15; }
constexpr int move_promoted(Move m) { return (m >> 16) & 15; }
constexpr bool move_is_capture(Move m) { return m & kCaptureFlag; }
constexpr bool move_is_double_push(Move m) { return m & kDoublePushFlag; }
constexpr bool move_is_en_passant(Move m) { return m & kEnPassantFlag; }
constexpr bool move_is_castling(Move m) { return m & kCastlingFlag; }

// Counters can be set to any 32-bit value through a restored game; they stop
// at the largest value instead of overflowing.
constexpr void saturating_increment(int32_t& counter) {
  if (counter < INT32_MAX) ++counter;
}

// Index of the least significant set bit, -1 for an empty bitboard.
constexpr int lsb_index(Bitboard b) { return b ? std::countr_zero(b) : -1; }
constexpr int population_count(Bitboard b) { return std::popcount(b); }
constexpr Bitboard square_bit(int square) { return Bitboard{1} << square; }

// Room for every pseudo-legal move of any position a FEN text can describe:
// at most 64 pieces of one side, none with more than 27 moves, so no move
// is ever dropped even in artificial positions.
inline constexpr int kMoveListCapacity = 2048;

struct MoveList {
  std::array<Move, kMoveListCapacity> moves;
  int32_t count = 0;
  void push(Move m) { moves[count++] = m; }
};

using Plane = std::array<int32_t, 64>;
inline constexpr int kActionPlanes = 73;
inline constexpr int kActionCount = kActionPlanes * 64;  // 4672
inline constexpr int kHistoryPlanes = 14;
inline constexpr int kHistorySlots = 8;
inline constexpr int kObservationPlanes = 119;

using HistoryEntry = std::array<Plane, kHistoryPlanes>;
using Observation = std::array<Plane, kObservationPlanes>;
using ActionMask = std::array<Plane, kActionPlanes>;

// What reset, step and restore_state hand back: side to move, observation,
// reward (from white's side) and the done flag.
struct StepResult {
  int32_t side = 0;
  Observation observation;
  int32_t reward = 0;
  int32_t done = 0;
};

}  // namespace varnok
