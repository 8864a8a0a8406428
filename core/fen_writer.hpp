// FEN export: the six fields of a position given its full-move number.
#pragma once

#include <string>

#include "core/castling_field.hpp"
#include "core/position.hpp"

namespace varnok {

// What the en-passant field shows. kStandard writes the square passed over
// after every double push, as the position holds it (the FEN standard);
// kLegal writes it only when a pawn can actually take en passant, as
// python-chess's Board.fen() does by default, so that equal positions get
// equal texts.
enum class EnPassantField { kStandard, kLegal };

// Whether the side to move has a legal en-passant capture.
bool has_legal_en_passant(const Position& position);

// Placement, side, castling, en passant, half-move clock (the position's
// no-progress count) and fullmove_number. A Chess960 position writes its
// castling field in castling's notation.
std::string fen_of(const Position& position, int fullmove_number, EnPassantField en_passant = EnPassantField::kStandard,
                   CastlingNotation castling = CastlingNotation::kXFen);

// The first four fields, without the clocks: how error messages name a
// position.
std::string fen_without_clocks(const Position& position);

}  // namespace varnok
