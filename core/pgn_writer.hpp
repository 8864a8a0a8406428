// Writing one game as PGN: the seven-tag roster first (Event, Site, Date,
// Round, White, Black, Result; "?" or "????.??.??" where the caller gives no
// value), the caller's other tags in their order, SetUp and FEN when the game
// does not start from the initial position, then the SAN movetext wrapped at
// 80 columns and the result.
#pragma once

#include <span>
#include <string>

#include "core/pgn_reader.hpp"
#include "core/position.hpp"

namespace varnok {

// The moves must be legal one after the other from start. Tag names must be
// PGN symbols (a letter or digit, then letters, digits and "_+#=:-") of at
// most 64 bytes and tag values free of control characters, of at most 65536
// bytes (what the reader keeps whole); std::invalid_argument otherwise. The result is the caller's Result tag
// when it is a result ("1-0", "0-1", "1/2-1/2", "*"), else what the final
// position shows: "1-0" or "0-1" after a mate, "1/2-1/2" after a stalemate,
// "*" otherwise.
std::string write_pgn(const Position& start, int fullmove_number, std::span<const Move> moves,
                      const PgnHeaders& headers = {});

}  // namespace varnok
