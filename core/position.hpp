// A chess position held as bitboards, and the rules of chess on it: attacked
// squares, pseudo-legal move generation, making a move with its legality test,
// FEN loading, text rendering and the position hash. It knows nothing of
// actions, rewards or episodes.
//
// Position is a small value (about 150 bytes, no heap members): a trial move
// is made on a copy, `Position next = position; if (next.make_move(move)) ...`,
// so nothing is ever taken back by hand.
#pragma once

#include <array>
#include <cstdint>
#include <type_traits>

#include "core/castling.hpp"
#include "core/types.hpp"

namespace varnok {

// The pieces of attacker that attack square, given the twelve piece
// bitboards and the occupancy that blocks sliders.
Bitboard attackers_of(const std::array<Bitboard, kPieces>& pieces, Bitboard occupancy, int square, int attacker);
// Whether any piece of attacker attacks square.
inline bool square_attacked(const std::array<Bitboard, kPieces>& pieces, Bitboard occupancy, int square, int attacker) {
  return attackers_of(pieces, occupancy, square, attacker) != 0;
}

// Writes one piece of text to a second output channel (the interpreter's
// standard output in the module); render's symbol board goes through it.
using TextSink = void (*)(void* context, const char* text);

struct Position {
  // Occupancies are the unions of the piece bitboards: by colour, then both.
  // FEN loading and making a move rebuild them; everything else copies them
  // with the bitboards.
  std::array<Bitboard, kPieces> bitboards{};
  std::array<Bitboard, 3> occupancies{};
  int32_t castle = 0;             // castling rights, kWhiteKingSide | ...
  int32_t enpassant = kNoSquare;  // the square a double push passed over
  int32_t side = kWhite;          // colour to move
  int32_t no_progress_count = 0;  // plies since the last pawn move, capture or promotion
  // Chess960 castling: the rook of each right stands on any file of its back
  // rank, and a castling move's target is that rook's square (the king
  // "takes" its own rook, as UCI_Chess960 writes it). In standard chess the
  // rook files are h and a and a castling move's target is the king's
  // destination, g or c.
  bool chess960 = false;
  std::array<int8_t, kCastlingRights> castling_rook_files = {kHFile, kAFile, kHFile, kAFile};  // K, Q, k, q

  // The square of the rook of right index (2 * colour + side).
  constexpr int castling_rook_square(int right_index) const {
    return back_rank_square(right_index / kCastlingSides, castling_rook_files[right_index]);
  }

  // The piece on square, kNoPiece when empty. When a malformed position has
  // several pieces on one square the highest piece index wins.
  constexpr int piece_on(int square) const {
    int found = kNoPiece;
    const Bitboard bit = square_bit(square);
    for (int piece = 0; piece < kPieces; ++piece)
      if (bitboards[piece] & bit) found = piece;
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

  // Loads the placement, side, castling and en-passant fields of a FEN text
  // and clears no_progress_count. The loader trusts its text the way a
  // position editor would; it never reads past the end of the text. With
  // chess960 the castling field is X-FEN or Shredder-FEN (letters KQkq for
  // the outermost rook of a side, or the rook's file letter); a right whose
  // king or rook is not on the back rank is dropped.
  void parse_fen(const char* text, bool chess960 = false);
  // Prints the board as letters to the C standard output and, through sink,
  // as chess symbols to the second channel.
  void render(TextSink sink, void* context) const;

  bool square_attacked_by(int square, int attacker) const {
    return square_attacked(bitboards, occupancies[kBothColours], square, attacker);
  }
  // True when the side to move has a king and it is attacked. A side without
  // a king (only reachable through FEN text) is never in check.
  bool in_check() const;

  // The pseudo-legal moves in a fixed order: pawns, knights, bishops, rooks,
  // queens, then castling and the king; listings keep this order.
  void generate_moves(MoveList& list) const;
  // The castling moves generate_moves lists, king side first; returns how many.
  int castling_moves(Move (&out)[2]) const;

  // Plays move when it leaves the mover's king unattacked and returns true;
  // otherwise leaves the position exactly as it was and returns false.
  bool make_move(Move move);
  // Plays a move already known to be legal.
  void apply_move(Move move);
  // make_move's verdict without playing the move.
  bool is_legal(Move move) const;

  // Placement, side to move, en-passant square and castling rights folded
  // into 64 bits.
  uint64_t hash() const;

  bool operator==(const Position&) const = default;
};

static_assert(std::is_trivially_copyable_v<Position>, "trial moves copy positions");

}  // namespace varnok
