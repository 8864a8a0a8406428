// What makes two positions the same under the FIDE repetition rule (article
// 9.2 of the Laws): the same player to move, the same pieces on the same
// squares, and the same possible moves, so the same castling rights and an
// en-passant square only where an en-passant capture is legal. A double push
// with no pawn able to take, or only a pinned one, leaves the position the
// same as without it.
#pragma once

#include <array>
#include <cstdint>

#include "core/fen_writer.hpp"
#include "core/position.hpp"

namespace varnok {

struct PositionIdentity {
  std::array<Bitboard, kPieces> pieces{};
  int32_t side = kWhite;
  int32_t castle = 0;
  int32_t enpassant = kNoSquare;  // the target of a legal en-passant capture, else kNoSquare

  bool operator==(const PositionIdentity&) const = default;
};

inline PositionIdentity identity_of(const Position& position) {
  return {position.bitboards, position.side, position.castle,
          has_legal_en_passant(position) ? position.enpassant : kNoSquare};
}

}  // namespace varnok
