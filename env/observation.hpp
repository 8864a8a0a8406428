// The observation an episode hands back: 119 planes of 64 values. Eight
// history blocks of 14 planes (newest position first), then side to move,
// move count, the four castling rights and the no-progress count.
#pragma once

#include <array>
#include <cstdint>

#include "core/types.hpp"

namespace varnok {

using Plane = std::array<int32_t, kSquares>;

// A history entry: 12 piece planes in piece order, then two repetition planes.
inline constexpr int kWhiteRepetitionPlane = kPieces;                    // 12
inline constexpr int kBlackRepetitionPlane = kWhiteRepetitionPlane + 1;  // 13
inline constexpr int kHistoryPlanes = kBlackRepetitionPlane + 1;         // 14
inline constexpr int kHistorySlots = 8;
inline constexpr int kHistoryBlockPlanes = kHistoryPlanes * kHistorySlots;  // 112

// The whole-board planes after the history blocks.
inline constexpr int kSideToMovePlane = kHistoryBlockPlanes;     // 112
inline constexpr int kMoveCountPlane = kSideToMovePlane + 1;     // 113
inline constexpr int kCastlingPlanes = kMoveCountPlane + 1;      // 114..117, K Q k q
inline constexpr int kNoProgressPlane = kCastlingPlanes + 4;     // 118
inline constexpr int kObservationPlanes = kNoProgressPlane + 1;  // 119
static_assert(kObservationPlanes == 119);

using HistoryEntry = std::array<Plane, kHistoryPlanes>;
using Observation = std::array<Plane, kObservationPlanes>;

}  // namespace varnok
