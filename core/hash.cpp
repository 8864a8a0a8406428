// The position hash: piece placement, side to move, en-passant square and
// castling rights folded into 64 bits. Every bitboard is multiplied by the
// same odd constant, so the hash does not depend on which piece index holds
// which set of squares.
#include "core/position.hpp"

namespace varnok {

uint64_t Position::hash() const {
  uint64_t h = 0xcbf29ce484222325ULL;
  for (Bitboard b : bitboards) h ^= b * 0x9e3779b97f4a7c15ULL;
  if (side == kWhite) h ^= 0xa5a5a5a5a5a5a5a5ULL;
  if (enpassant != kNoSquare) h ^= uint64_t{1} << (enpassant & 63);
  h ^= static_cast<uint64_t>(castle) * 0xf0f0f0f0f0f0f0f0ULL;
  return h;
}

}  // namespace varnok
