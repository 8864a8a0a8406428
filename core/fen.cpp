// FEN loading. The parser trusts its text the way a position editor would: it
// reads the placement, side, castling and en-passant fields and ignores the
// clocks. It never reads past the end of the text: a text that stops early
// leaves the fields it did not reach at their cleared values.
#include <cstring>

#include "core/castling_field.hpp"
#include "core/move_text.hpp"
#include "core/position.hpp"

namespace varnok {

namespace {

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

void Position::parse_fen(const char* text, bool chess960_rules) {
  const size_t length = std::strlen(text);
  // Reading at or beyond the end yields the terminating NUL.
  auto at = [&](size_t i) -> char { return i < length ? text[i] : '\0'; };

  bitboards.fill(0);
  occupancies.fill(0);
  side = kWhite;
  enpassant = kNoSquare;
  castle = 0;
  no_progress_count = 0;
  chess960 = chess960_rules;
  castling_rook_files = Position{}.castling_rook_files;

  // Placement: counts squares, not ranks. A row ends when the file counter
  // reaches 8; a digit read right after a letter skips squares after the
  // letter's square, one read at the start of a square skips from it.
  size_t p = 0;
  for (int rank = 8; rank >= 1; --rank) {
    for (int file = 0; file < 8; ++file) {
      const int square = make_square(file, rank);
      bool took_square = false;
      if (is_letter(at(p))) {
        const int piece = piece_of_letter(at(p));
        if (piece != kNoPiece) bitboards[piece] |= square_bit(square);
        took_square = true;  // any other letter takes the square but places nothing
        ++p;
      }
      if (is_digit(at(p))) {
        if (!took_square && piece_on(square) == kNoPiece) --file;
        file += at(p) - '0';
        ++p;
      }
      if (at(p) == '/') ++p;
    }
  }

  // Side to move: "w" is white, any other character black; a text that ends
  // here keeps white.
  if (at(p + 1) != '\0') side = at(p + 1) == 'w' ? kWhite : kBlack;
  p += 3;

  // The castling field comes after the placement is complete, so a Chess960
  // letter can be read against it.
  rebuild_occupancies();
  for (; chess960 && at(p) != ' ' && at(p) != '\0'; ++p) {
    const CastlingLetter letter = chess960_castling_letter(*this, at(p));
    if (letter.fault != CastlingLetterFault::kNone) continue;
    castle |= 1 << letter.right_index;
    castling_rook_files[letter.right_index] = static_cast<int8_t>(letter.rook_file);
  }
  for (; at(p) != ' ' && at(p) != '\0'; ++p) {
    switch (at(p)) {
      case 'K': castle |= kWhiteKingSide; break;
      case 'Q': castle |= kWhiteQueenSide; break;
      case 'k': castle |= kBlackKingSide; break;
      case 'q': castle |= kBlackQueenSide; break;
      default: break;
    }
  }

  // En passant: a square name "a1".."h8", anything else means none.
  const char name[2] = {at(p + 1), at(p + 2)};
  if (const int square = square_of_name({name, 2}); square != kNoSquare) enpassant = square;

  rebuild_occupancies();
}

}  // namespace varnok
