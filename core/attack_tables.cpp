#include "core/attack_tables.hpp"

namespace varnok {

AttackTables g_attack_tables;

namespace {

bool on_board(int row, int file) { return row >= 0 && row < 8 && file >= 0 && file < 8; }

// Adds the square at (row + dr, file + df) when it is on the board.
Bitboard offset_set(int square, const int (*steps)[2], int count) {
  const int row = square / 8, file = square % 8;
  Bitboard set = 0;
  for (int i = 0; i < count; ++i) {
    const int r = row + steps[i][0], f = file + steps[i][1];
    if (on_board(r, f)) set |= square_bit(r * 8 + f);
  }
  return set;
}

constexpr int kDiagonals[4][2] = {{-1, -1}, {-1, 1}, {1, -1}, {1, 1}};
constexpr int kStraights[4][2] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};

// Every square of each ray except the last one on the board, which can never
// block anything behind it.
Bitboard relevance_mask(int square, const int (*directions)[2]) {
  Bitboard mask = 0;
  for (int d = 0; d < 4; ++d) {
    int r = square / 8 + directions[d][0], f = square % 8 + directions[d][1];
    while (on_board(r + directions[d][0], f + directions[d][1])) {
      mask |= square_bit(r * 8 + f);
      r += directions[d][0];
      f += directions[d][1];
    }
  }
  return mask;
}

// Each ray up to and including its first blocker.
Bitboard rays(int square, Bitboard blockers, const int (*directions)[2]) {
  Bitboard set = 0;
  for (int d = 0; d < 4; ++d) {
    int r = square / 8 + directions[d][0], f = square % 8 + directions[d][1];
    while (on_board(r, f)) {
      const Bitboard bit = square_bit(r * 8 + f);
      set |= bit;
      if (blockers & bit) break;
      r += directions[d][0];
      f += directions[d][1];
    }
  }
  return set;
}

void fill_slider(bool bishop) {
  AttackTables& t = g_attack_tables;
  for (int s = 0; s < 64; ++s) {
    t.bishop_masks[s] = bishop_relevance_mask(s);
    t.rook_masks[s] = rook_relevance_mask(s);
    const Bitboard mask = bishop ? t.bishop_masks[s] : t.rook_masks[s];
    const int bits = population_count(mask);
    for (int index = 0; index < (1 << bits); ++index) {
      const Bitboard blockers = occupancy_subset(index, bits, mask);
      if (bishop)
        t.bishop_attack_table[s][magic_key(blockers, bishop_magic[s], bishop_index_bits[s])] = bishop_rays(s, blockers);
      else
        t.rook_attack_table[s][magic_key(blockers, rook_magic[s], rook_index_bits[s])] = rook_rays(s, blockers);
    }
  }
}

void fill_all() {
  AttackTables& t = g_attack_tables;
  constexpr int kWhitePawn[2][2] = {{-1, -1}, {-1, 1}};
  constexpr int kBlackPawn[2][2] = {{1, -1}, {1, 1}};
  for (int s = 0; s < 64; ++s) {
    t.pawn_attack_sets[kWhite][s] = offset_set(s, kWhitePawn, 2);
    t.pawn_attack_sets[kBlack][s] = offset_set(s, kBlackPawn, 2);
    t.knight_attack_sets[s] = knight_set(s);
    t.king_attack_sets[s] = king_set(s);
  }
  fill_slider(true);
  fill_slider(false);
}

// Filled when the library is loaded, so a Position is usable without any
// set-up call. Nothing else runs code on the tables during static
// initialisation.
[[maybe_unused]] const bool kFilledAtLoad = (init_attack_tables(), true);

}  // namespace

Bitboard knight_set(int square) {
  constexpr int kJumps[8][2] = {{-2, -1}, {-2, 1}, {-1, -2}, {-1, 2}, {1, -2}, {1, 2}, {2, -1}, {2, 1}};
  return offset_set(square, kJumps, 8);
}
Bitboard king_set(int square) {
  constexpr int kSteps[8][2] = {{-1, -1}, {-1, 0}, {-1, 1}, {0, -1}, {0, 1}, {1, -1}, {1, 0}, {1, 1}};
  return offset_set(square, kSteps, 8);
}
Bitboard bishop_relevance_mask(int square) { return relevance_mask(square, kDiagonals); }
Bitboard rook_relevance_mask(int square) { return relevance_mask(square, kStraights); }
Bitboard bishop_rays(int square, Bitboard blockers) { return rays(square, blockers, kDiagonals); }
Bitboard rook_rays(int square, Bitboard blockers) { return rays(square, blockers, kStraights); }

Bitboard occupancy_subset(int index, int bit_count, Bitboard mask) {
  Bitboard subset = 0;
  for (int i = 0; i < bit_count && mask; ++i) {
    const int square = lsb_index(mask);
    mask &= mask - 1;
    if (index & (1 << i)) subset |= square_bit(square);
  }
  return subset;
}

void init_attack_tables() {
  // The tables are the same for every position, so one fill per process is
  // enough; the local static makes that fill happen exactly once.
  static const bool filled = (fill_all(), true);
  (void)filled;
}

}  // namespace varnok
