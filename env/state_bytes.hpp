// Whole games as bytes, for pickling: a State, or an Episode (its State plus
// the draw rules and the little it keeps beside it).
//
// Layout, integers little-endian:
//   magic "VRNK" | format version u16 | kind u8 (1 State, 2 Episode) | payload length u32 | payload | checksum u32
// The checksum is FNV-1a over everything before it, so a damaged byte or a
// cut is noticed before the payload is read; inside the payload every count
// is checked against the bytes left before anything is read or allocated.
//
// The payload is compact (a 400-ply game is well under 2 KB): boards are an
// occupancy word and a 4-bit piece code per occupied square, the move log is
// two bytes a move, history entries are boards and two repetition values,
// and the repetition counts are left out whenever replaying the move log
// from the start position gives them back. Whatever does not fit those forms
// (a State edited by hand) is written out in full, so any State reads back
// equal to itself.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "env/episode.hpp"
#include "env/state.hpp"

namespace varnok {

// Version 2: FIDE games keep the half-move clock, and their repetition
// counts can be given as replayed under the FIDE rules. Version 1 still reads.
// Version 3 adds Chess960: the castling convention and rook files of the
// position and the start, and an Episode's Chess960 option and start draws.
// Standard games are still written as version 2, byte for byte as before.
inline constexpr uint16_t kStateBytesVersion = 3;
inline constexpr uint16_t kChess960StateBytesVersion = 3;
inline constexpr uint16_t kStandardStateBytesVersion = 2;

enum class StateBytesKind : uint8_t { kState = 1, kBoard = 2 };

std::string state_to_bytes(const State& state);
// The State written by state_to_bytes; bytes that are damaged, cut short,
// of an unknown format version or of an Episode throw std::invalid_argument.
State state_from_bytes(std::string_view bytes);

std::string board_to_bytes(const Episode& board);
// An Episode that continues exactly as the one written would; std::invalid_argument as above.
Episode board_from_bytes(std::string_view bytes);

// Header and checksum around a payload (for tests and the fuzz target,
// which feed the payload reader directly).
std::string framed_bytes(StateBytesKind kind, std::string_view payload, uint16_t version = kStateBytesVersion);

}  // namespace varnok
