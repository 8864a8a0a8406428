// Temporary bridge for the notation code while the position and the episode
// are being split. It declares the Position value type and the named chess
// constants the split introduces, with the same names and meanings, and runs
// the rules through today's Board. Delete this file and its .cpp and include
// core/position.hpp and core/legality.hpp instead once the split has landed.
#pragma once

#include <array>
#include <cstdint>
#include <type_traits>

#include "core/types.hpp"

namespace varnok {

enum PieceKind : int { kPawn, kKnight, kBishop, kRook, kQueen, kKing };
inline constexpr int kPieceKinds = 6;
inline constexpr int kPieces = 12;
inline constexpr char kPieceLetters[] = "PNBRQKpnbrqk";
inline constexpr Move kNoMove = 0;
inline constexpr int kBothColours = 2;
constexpr Piece piece_of(int colour, PieceKind kind) { return Piece(kPieceKinds * colour + kind); }
constexpr PieceKind kind_of(int piece) { return PieceKind(piece % kPieceKinds); }
constexpr int opponent_of(int colour) { return colour ^ 1; }

// clang-format off
enum Square : int {
  kA8, kB8, kC8, kD8, kE8, kF8, kG8, kH8,
  kA7, kB7, kC7, kD7, kE7, kF7, kG7, kH7,
  kA6, kB6, kC6, kD6, kE6, kF6, kG6, kH6,
  kA5, kB5, kC5, kD5, kE5, kF5, kG5, kH5,
  kA4, kB4, kC4, kD4, kE4, kF4, kG4, kH4,
  kA3, kB3, kC3, kD3, kE3, kF3, kG3, kH3,
  kA2, kB2, kC2, kD2, kE2, kF2, kG2, kH2,
  kA1, kB1, kC1, kD1, kE1, kF1, kG1, kH1,
};
// clang-format on
constexpr int file_of(int square) { return square % 8; }
constexpr int rank_of(int square) { return 8 - square / 8; }
constexpr int make_square(int file, int rank) { return 8 * (8 - rank) + file; }
inline constexpr int kNorth = -8;
inline constexpr int kSouth = 8;
constexpr int forward_of(int colour) { return colour == kWhite ? kNorth : kSouth; }

inline constexpr Bitboard kRank8 = 0x00000000000000FFULL;
inline constexpr Bitboard kRank1 = kRank8 << 56;
inline constexpr Bitboard kFileA = 0x0101010101010101ULL;

inline constexpr int kWhiteKingSide = 1, kWhiteQueenSide = 2, kBlackKingSide = 4, kBlackQueenSide = 8;

struct Position {
  std::array<Bitboard, kPieces> bitboards{};
  std::array<Bitboard, 3> occupancies{};
  int32_t castle = 0;
  int32_t enpassant = kNoSquare;
  int32_t side = kWhite;
  int32_t no_progress_count = 0;

  constexpr int piece_on(int square) const {
    int found = kNoPiece;
    for (int piece = 0; piece < kPieces; ++piece)
      if (bitboards[piece] & square_bit(square)) found = piece;
    return found;
  }
  Bitboard pieces(int colour, PieceKind kind) const { return bitboards[piece_of(colour, kind)]; }
  void rebuild_occupancies() {
    occupancies[kWhite] = occupancies[kBlack] = 0;
    for (int kind = kPawn; kind <= kKing; ++kind) {
      occupancies[kWhite] |= bitboards[piece_of(kWhite, PieceKind(kind))];
      occupancies[kBlack] |= bitboards[piece_of(kBlack, PieceKind(kind))];
    }
    occupancies[kBothColours] = occupancies[kWhite] | occupancies[kBlack];
  }
  void parse_fen(const char* text);
  bool square_attacked_by(int square, int attacker) const;
  bool in_check() const;
  void generate_moves(MoveList& list) const;
  int castling_moves(Move (&out)[2]) const;
  bool make_move(Move move);
  void apply_move(Move move);
  bool is_legal(Move move) const;
  uint64_t hash() const;
  bool operator==(const Position&) const = default;
};
static_assert(std::is_trivially_copyable_v<Position>);

template <class Visit>
void for_each_legal_move(const Position& position, Visit visit) {
  MoveList list;
  position.generate_moves(list);
  for (int i = 0; i < list.count; ++i)
    if (position.is_legal(list.moves[i])) visit(list.moves[i]);
}

inline bool has_legal_move(const Position& position) {
  MoveList list;
  position.generate_moves(list);
  for (int i = 0; i < list.count; ++i)
    if (position.is_legal(list.moves[i])) return true;
  return false;
}

}  // namespace varnok
