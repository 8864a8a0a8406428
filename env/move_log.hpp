// A played move in 16 bits, for the episode's move log: source square (bits
// 0-5), target square (6-11) and the kind promoted to (12-14, 0 = none). A
// legal move is found again from these and the position it was played in.
#pragma once

#include <cstdint>

#include "core/types.hpp"

namespace varnok {

inline constexpr int kLoggedTargetShift = 6;
inline constexpr int kLoggedPromotionShift = 12;
static_assert(kLoggedPromotionShift + 3 <= 16, "three bits of promotion kind fit above the two squares");

constexpr uint16_t logged_move(Move move) {
  const int promoted = move_promoted(move);
  const int kind = promoted ? kind_of(promoted) : 0;  // a pawn is never promoted to, so 0 is free
  return static_cast<uint16_t>(move_source(move) | (move_target(move) << kLoggedTargetShift) |
                               (kind << kLoggedPromotionShift));
}
constexpr int logged_source(uint16_t entry) { return entry & 63; }
constexpr int logged_target(uint16_t entry) { return (entry >> kLoggedTargetShift) & 63; }
constexpr int logged_promotion_kind(uint16_t entry) { return entry >> kLoggedPromotionShift; }

// Whether an entry could come from logged_move: promotion kind none, or knight to queen.
constexpr bool is_loggable_entry(uint16_t entry) {
  const int kind = logged_promotion_kind(entry);
  return kind == 0 || (kind >= kKnight && kind <= kQueen);
}

}  // namespace varnok
