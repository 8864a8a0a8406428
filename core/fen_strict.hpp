// The strict FEN loader: reads a FEN text completely and either returns the
// position it describes or says which field is wrong and why. It accepts
// exactly the well-formed FENs of legal-looking positions that python-chess's
// Board(fen).is_valid() accepts, with these deliberate differences:
//   - the castling field is "-" or letters of "KQkq" in that order, each at
//     most once (python-chess also takes "QK", "KK" and Shredder letters);
//   - a castling right needs the king and the rook on their home squares;
//     python-chess silently drops "Q" or "q" when that side has no rook on
//     its back rank at all and then calls the position valid;
//   - there are 6 fields, or 4 without the clocks (python-chess takes 1 to 6);
//   - clocks are 1 to 9 ASCII digits (python-chess takes whatever int()
//     takes: "+3", "1_0", other scripts' digits, any size).
// Like python-chess it accepts a full-move number of 0 and reads it as 1.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/position.hpp"

namespace varnok {

struct FenPosition {
  Position position;  // its no_progress_count is the half-move clock
  int32_t fullmove_number = 1;
};

// Throws std::invalid_argument whose message names the field and the fault.
// With chess960 the castling field is X-FEN or Shredder-FEN (letters in any
// order, each right once), and each right needs its king on the back rank
// and a rook on that side of it.
FenPosition parse_fen_strict(std::string_view text, bool chess960 = false);

}  // namespace varnok
