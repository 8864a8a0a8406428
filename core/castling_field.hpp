// The castling field of a FEN text, in the three ways it is written:
// standard "KQkq"; X-FEN, where K and Q name a side's outermost rook and a
// file letter any other rook (upper case for white); and Shredder-FEN, file
// letters only ("HAha"). Chess960 positions need the rook's file wherever a
// side has two rooks on the same side of its king.
#pragma once

#include <string>

#include "core/position.hpp"

namespace varnok {

enum class CastlingNotation { kXFen, kShredder };

// What a Chess960 castling letter says about a placement.
enum class CastlingLetterFault { kNone, kNotALetter, kNoKing, kNoRook };
struct CastlingLetter {
  CastlingLetterFault fault = CastlingLetterFault::kNone;
  int right_index = 0;  // 2 * colour + side
  int rook_file = 0;
};

// Reads one letter of a Chess960 castling field against position's
// placement: K/Q/k/q take the outermost rook on that side of the king on the
// back rank, a file letter (A-H white, a-h black) the rook on that file.
CastlingLetter chess960_castling_letter(const Position& position, char letter);

// Appends the castling field of position ("-" without rights): the standard
// letters in a standard game, X-FEN or Shredder-FEN in a Chess960 game.
void append_castling_field(std::string& out, const Position& position,
                           CastlingNotation notation = CastlingNotation::kXFen);

}  // namespace varnok
