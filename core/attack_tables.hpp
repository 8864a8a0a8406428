// Precomputed attack sets: fixed sets for pawns, knights and kings, and
// blocker-dependent sets for bishops and rooks found by magic-number indexing.
// The tables are process-wide, filled once per process when the library loads
// and only read afterwards.
#pragma once

#include <array>
#include <cstdint>

#include "core/magics.hpp"
#include "core/types.hpp"

namespace varnok {

// Number of key bits per square: the size of the square's relevance mask.
// Rows run from rank 8 (squares 0-7) to rank 1.
inline constexpr std::array<int, 64> bishop_index_bits = {6, 5, 5, 5, 5, 5, 5, 6,  //
                                                          5, 5, 5, 5, 5, 5, 5, 5,  //
                                                          5, 5, 7, 7, 7, 7, 5, 5,  //
                                                          5, 5, 7, 9, 9, 7, 5, 5,  //
                                                          5, 5, 7, 9, 9, 7, 5, 5,  //
                                                          5, 5, 7, 7, 7, 7, 5, 5,  //
                                                          5, 5, 5, 5, 5, 5, 5, 5,  //
                                                          6, 5, 5, 5, 5, 5, 5, 6};
inline constexpr std::array<int, 64> rook_index_bits = {12, 11, 11, 11, 11, 11, 11, 12,  //
                                                        11, 10, 10, 10, 10, 10, 10, 11,  //
                                                        11, 10, 10, 10, 10, 10, 10, 11,  //
                                                        11, 10, 10, 10, 10, 10, 10, 11,  //
                                                        11, 10, 10, 10, 10, 10, 10, 11,  //
                                                        11, 10, 10, 10, 10, 10, 10, 11,  //
                                                        11, 10, 10, 10, 10, 10, 10, 11,  //
                                                        12, 11, 11, 11, 11, 11, 11, 12};

struct AttackTables {
  Bitboard pawn_attack_sets[2][64];
  Bitboard knight_attack_sets[64];
  Bitboard king_attack_sets[64];
  Bitboard bishop_masks[64];
  Bitboard rook_masks[64];
  Bitboard bishop_attack_table[64][512];
  Bitboard rook_attack_table[64][4096];
};

// The one instance. Read it through attack_tables() in code that may run
// before static initialisation ends; hot paths use the lookups below.
extern AttackTables g_attack_tables;

// Fills the tables once per process; later calls return at once.
void init_attack_tables();
inline const AttackTables& attack_tables() { return g_attack_tables; }

// ---- the pieces of the fill, also used by the magic-number search tool
Bitboard knight_set(int square);
Bitboard king_set(int square);
Bitboard bishop_relevance_mask(int square);
Bitboard rook_relevance_mask(int square);
Bitboard bishop_rays(int square, Bitboard blockers);
Bitboard rook_rays(int square, Bitboard blockers);
// The subset of mask chosen by the bits of index, over its first bit_count squares.
Bitboard occupancy_subset(int index, int bit_count, Bitboard mask);

constexpr int magic_key(Bitboard blockers, uint64_t magic, int bits) {
  return static_cast<int>((blockers * magic) >> (64 - bits));
}

// ---- lookups: one AND, one multiplication, one shift and one read each
inline Bitboard bishop_lookup(int square, Bitboard occupancy) {
  const AttackTables& t = g_attack_tables;
  const int key = magic_key(occupancy & t.bishop_masks[square], bishop_magic[square], bishop_index_bits[square]);
  return t.bishop_attack_table[square][key];
}
inline Bitboard rook_lookup(int square, Bitboard occupancy) {
  const AttackTables& t = g_attack_tables;
  const int key = magic_key(occupancy & t.rook_masks[square], rook_magic[square], rook_index_bits[square]);
  return t.rook_attack_table[square][key];
}
inline Bitboard queen_lookup(int square, Bitboard occupancy) {
  return bishop_lookup(square, occupancy) | rook_lookup(square, occupancy);
}

}  // namespace varnok
