// Text rendering: an ASCII board with side, en-passant and castling lines on
// the C standard output, and a board of chess symbols on the interpreter's
// standard output (through the sink). Each item goes to the text channel
// first and the interpreter channel second.
#include <cstdio>

#include "core/board.hpp"

namespace varnok {

namespace {

constexpr char kPieceLetters[] = "PNBRQKpnbrqk";
constexpr const char* kPieceSymbols[12] = {"\u2659", "\u2658", "\u2657", "\u2656", "\u2655", "\u2654",
                                           "\u265F", "\u265E", "\u265D", "\u265C", "\u265B", "\u265A"};

}  // namespace

void Board::render(TextSink sink, void* context) const {
  std::printf("\n");
  for (int rank = 8; rank >= 1; --rank) {
    std::printf(" %d|", rank);
    char label[8];
    std::snprintf(label, sizeof label, "  %d |", rank);
    sink(context, label);
    for (int square = 8 * (8 - rank); square < 8 * (8 - rank) + 8; ++square) {
      const int piece = piece_on(square);
      if (piece == kNoPiece) {
        std::printf("  %c", '.');
        sink(context, "   .");
      } else {
        std::printf("  %c", kPieceLetters[piece]);
        char cell[16];
        std::snprintf(cell, sizeof cell, "  %s", kPieceSymbols[piece]);
        sink(context, cell);
      }
    }
    std::printf("\n");
    sink(context, "\n\n");
  }
  std::printf("   ------------------------");
  std::printf("\n");
  std::printf("     a  b  c  d  e  f  g  h");
  std::printf("\n\n");
  std::printf("side:       %s\n", side == kWhite ? "white" : "black");
  char square_name[3] = "NA";
  if (enpassant >= 0 && enpassant < 64) {
    square_name[0] = static_cast<char>('a' + enpassant % 8);
    square_name[1] = static_cast<char>('8' - enpassant / 8);
  }
  std::printf("enpassant:  %s\n", square_name);
  std::printf("Castling:   %c%c%c%c\n\n\n", (castle & 1) ? 'K' : '-', (castle & 2) ? 'Q' : '-',
              (castle & 4) ? 'k' : '-', (castle & 8) ? 'q' : '-');
  // The two channels are buffered separately; flush ours so a caller sees the
  // whole text channel when render returns.
  std::fflush(stdout);
  sink(context, "      -------------------------------\n");
  sink(context, "       a   b   c   d   e   f   g   h\n");
}

}  // namespace varnok
