// Small value types and named chess facts shared by the position core and
// everything built on it.
//
// Square 0 is a8, 7 is h8, 56 is a1, 63 is h1 (index = 8 * (8 - rank) + file),
// so white moves towards lower square numbers. Bit n of a bitboard stands for
// square n.
#pragma once

#include <array>
#include <bit>
#include <climits>
#include <cstdint>
#include <type_traits>

namespace varnok {

using Bitboard = uint64_t;
// A move packed into 32 bits: source (bits 0-5), target (6-11), moving piece
// (12-15), promoted piece (16-19, 0 = none), capture (20), double push (21),
// en passant (22), castling (23). Every move word is positive, so kNoMove
// never names a move. A type of its own, not an integer: an action index (the
// other number that stands for a move) passed where a move is expected, or
// the reverse, does not compile. Move{word} makes one from its word.
enum class Move : int32_t {};
inline constexpr Move kNoMove{0};
constexpr int32_t move_word(Move m) { return static_cast<int32_t>(m); }
static_assert(!std::is_convertible_v<int, Move> && !std::is_convertible_v<Move, int>);
static_assert(sizeof(Move) == sizeof(int32_t) && std::is_trivially_copyable_v<Move>);

// ---- colours and pieces

enum Colour : int { kWhite, kBlack };
inline constexpr int kColours = 2;
constexpr Colour opponent_of(int colour) { return Colour(colour ^ 1); }

enum PieceKind : int { kPawn, kKnight, kBishop, kRook, kQueen, kKing };
inline constexpr int kPieceKinds = 6;

// Piece index in the order of the FEN letters "PNBRQKpnbrqk".
enum Piece : int { WP, WN, WB, WR, WQ, WK, BP, BN, BB, BR, BQ, BK };
inline constexpr int kPieces = 12;
inline constexpr int kNoPiece = -1;
inline constexpr char kPieceLetters[] = "PNBRQKpnbrqk";
// The piece a FEN letter stands for, kNoPiece for any other character.
constexpr int piece_of_letter(char c) {
  for (int piece = 0; piece < kPieces; ++piece)
    if (kPieceLetters[piece] == c) return piece;
  return kNoPiece;
}

// A colour's pieces follow each other in kind order, white's first.
constexpr Piece piece_of(int colour, PieceKind kind) { return Piece(kPieceKinds * colour + kind); }
constexpr PieceKind kind_of(int piece) { return PieceKind(piece % kPieceKinds); }
constexpr Colour colour_of(int piece) { return Colour(piece / kPieceKinds); }
static_assert(piece_of(kWhite, kKing) == WK && piece_of(kBlack, kPawn) == BP && piece_of(kBlack, kKing) == BK);
static_assert(kind_of(BQ) == kQueen && colour_of(BN) == kBlack && colour_of(WK) == kWhite);

// Occupancy index: each colour's own, then both.
inline constexpr int kBothColours = 2;

// ---- squares

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
inline constexpr int kSquares = 64;
inline constexpr int kNoSquare = 64;  // the en-passant square when there is none
static_assert(kH1 == 63 && kA1 == 56 && kE8 == 4);

// Files a to h by index.
enum FileIndex : int { kAFile, kBFile, kCFile, kDFile, kEFile, kFFile, kGFile, kHFile };
inline constexpr int kFiles = 8;

constexpr int file_of(int square) { return square % 8; }
// Rank 1 to 8.
constexpr int rank_of(int square) { return 8 - square / 8; }
constexpr int make_square(int file, int rank) { return 8 * (8 - rank) + file; }
static_assert(make_square(4, 1) == kE1 && rank_of(kE1) == 1 && file_of(kE1) == 4);

// One rank ahead for each colour: white moves towards rank 8, square numbers fall.
inline constexpr int kNorth = -8;
inline constexpr int kSouth = 8;
constexpr int forward_of(int colour) { return colour == kWhite ? kNorth : kSouth; }

constexpr Bitboard square_bit(int square) { return Bitboard{1} << square; }

inline constexpr Bitboard kRank8 = 0x00000000000000FFULL;
inline constexpr Bitboard kRank7 = kRank8 << 8;
inline constexpr Bitboard kRank6 = kRank8 << 16;
inline constexpr Bitboard kRank5 = kRank8 << 24;
inline constexpr Bitboard kRank4 = kRank8 << 32;
inline constexpr Bitboard kRank3 = kRank8 << 40;
inline constexpr Bitboard kRank2 = kRank8 << 48;
inline constexpr Bitboard kRank1 = kRank8 << 56;
inline constexpr Bitboard kFileA = 0x0101010101010101ULL;
inline constexpr Bitboard kFileH = kFileA << 7;
static_assert((square_bit(kA1) & kRank1) != 0 && (square_bit(kH8) & kRank8) != 0 && (square_bit(kH4) & kFileH) != 0);

// Ranks seen from a colour: where its pawns start, and the rank from which a
// push promotes.
constexpr Bitboard pawn_start_rank(int colour) { return colour == kWhite ? kRank2 : kRank7; }
constexpr Bitboard promotion_from_rank(int colour) { return colour == kWhite ? kRank7 : kRank2; }

// ---- castling

inline constexpr int kWhiteKingSide = 1;
inline constexpr int kWhiteQueenSide = 2;
inline constexpr int kBlackKingSide = 4;
inline constexpr int kBlackQueenSide = 8;
inline constexpr int kWhiteCastling = kWhiteKingSide | kWhiteQueenSide;
inline constexpr int kBlackCastling = kBlackKingSide | kBlackQueenSide;
inline constexpr int kAllCastling = kWhiteCastling | kBlackCastling;

// ---- moves

inline constexpr int kCaptureFlag = 1 << 20;
inline constexpr int kDoublePushFlag = 1 << 21;
inline constexpr int kEnPassantFlag = 1 << 22;
inline constexpr int kCastlingFlag = 1 << 23;

constexpr Move encode_move(int source, int target, int piece, int promoted, int flags) {
  return Move{source | (target << 6) | (piece << 12) | (promoted << 16) | flags};
}
constexpr int move_source(Move m) { return move_word(m) & 63; }
constexpr int move_target(Move m) { return (move_word(m) >> 6) & 63; }
constexpr int move_piece(Move m) { return (move_word(m) >> 12) & 15; }
constexpr int move_promoted(Move m) { return (move_word(m) >> 16) & 15; }
constexpr bool move_is_capture(Move m) { return move_word(m) & kCaptureFlag; }
constexpr bool move_is_double_push(Move m) { return move_word(m) & kDoublePushFlag; }
constexpr bool move_is_en_passant(Move m) { return move_word(m) & kEnPassantFlag; }
constexpr bool move_is_castling(Move m) { return move_word(m) & kCastlingFlag; }
// The promoted field holds a piece index and 0 means none: white's pawn, the
// one piece that never is promoted to, has index 0.
static_assert(WP == 0);

// Counters can be set to any 32-bit value through a restored game; they stop
// at the largest value instead of overflowing.
constexpr void saturating_increment(int32_t& counter) {
  if (counter < INT32_MAX) ++counter;
}

// Index of the least significant set bit, -1 for an empty bitboard.
constexpr int lsb_index(Bitboard b) { return b ? std::countr_zero(b) : -1; }
constexpr int population_count(Bitboard b) { return std::popcount(b); }

// Room for every pseudo-legal move of any position a FEN text can describe:
// at most 64 pieces of one side, none with more than 27 moves, so no move
// is ever dropped even in artificial positions (64 * 27 = 1728 < 2048).
inline constexpr int kMoveListCapacity = 2048;
static_assert(kSquares * 27 <= kMoveListCapacity);

struct MoveList {
  std::array<Move, kMoveListCapacity> moves;
  int32_t count = 0;
  void push(Move m) { moves[count++] = m; }
};

}  // namespace varnok
