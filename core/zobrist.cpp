// Polyglot Zobrist keys, from the published table in polyglot_keys.hpp laid
// out by varnok's piece and square numbering.
#include "core/zobrist.hpp"

#include <array>

#include "core/attack_tables.hpp"
#include "core/fen_writer.hpp"
#include "core/polyglot_keys.hpp"

namespace varnok {

namespace {

// Polyglot numbers its twelve pieces black pawn, white pawn, black knight,
// ... and its squares a1 = 0 to h8 = 63; varnok's squares run a8 = 0 to h1 = 63.
constexpr int polyglot_piece(int piece) {
  const int colour = piece / kPieceKinds, kind = piece % kPieceKinds;
  return 2 * kind + (colour == kWhite ? 1 : 0);
}
constexpr int polyglot_square(int square) { return make_square(file_of(square), 9 - rank_of(square)); }
static_assert(polyglot_square(kA1) == kA8 && polyglot_square(kH8) == kH1 && polyglot_square(kE1) == kE8);

constexpr auto kPieceSquareKeys = [] {
  std::array<std::array<uint64_t, kSquares>, kPieces> keys{};
  for (int piece = 0; piece < kPieces; ++piece)
    for (int square = 0; square < kSquares; ++square)
      keys[piece][square] = kPolyglotKeys[kPolyglotPieceKeys + 64 * polyglot_piece(piece) + polyglot_square(square)];
  return keys;
}();

// Castling rights are four bits in Polyglot's order: white king side, white
// queen side, black king side, black queen side.
constexpr auto kCastlingKeys = [] {
  static_assert(kWhiteKingSide == 1 && kWhiteQueenSide == 2 && kBlackKingSide == 4 && kBlackQueenSide == 8);
  std::array<uint64_t, kAllCastling + 1> keys{};
  for (int rights = 0; rights <= kAllCastling; ++rights)
    for (int right = 0; right < 4; ++right)
      if (rights & (1 << right)) keys[rights] ^= kPolyglotKeys[kPolyglotCastlingKeys + right];
  return keys;
}();

// Pieces, castling and side, without en passant.
uint64_t key_without_en_passant(const Position& position) {
  uint64_t key = kCastlingKeys[position.castle & kAllCastling];
  if (position.side == kWhite) key ^= kPolyglotKeys[kPolyglotWhiteToMoveKey];
  for (int piece = 0; piece < kPieces; ++piece)
    for (Bitboard left = position.bitboards[piece]; left; left &= left - 1)
      key ^= kPieceSquareKeys[piece][lsb_index(left)];
  return key;
}

uint64_t en_passant_key(int square) { return kPolyglotKeys[kPolyglotEnPassantKeys + file_of(square)]; }

}  // namespace

uint64_t zobrist_hash(const Position& position) {
  uint64_t key = key_without_en_passant(position);
  const int target = position.enpassant;
  if (target >= 0 && target < kNoSquare) {
    const int us = position.side;
    if (attack_tables().pawn_attack_sets[opponent_of(us)][target] & position.pieces(us, kPawn))
      key ^= en_passant_key(target);
  }
  return key;
}

uint64_t repetition_key(const Position& position) {
  const uint64_t key = key_without_en_passant(position);
  return has_legal_en_passant(position) ? key ^ en_passant_key(position.enpassant) : key;
}

}  // namespace varnok
