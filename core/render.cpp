// Text rendering: an ASCII board with side, en-passant and castling lines on
// the C standard output, and a board of chess symbols on the interpreter's
// standard output (through the sink). Each item goes to the text channel
// first and the interpreter channel second.
#include <cstdio>

#include "core/move_text.hpp"
#include "core/position.hpp"

namespace varnok {

namespace {

constexpr const char* kPieceSymbols[12] = {"\u2659", "\u2658", "\u2657", "\u2656", "\u2655", "\u2654",
                                           "\u265F", "\u265E", "\u265D", "\u265C", "\u265B", "\u265A"};

}  // namespace

void Position::render(TextSink sink, void* context) const {
  std::printf("\n");
  for (int rank = 8; rank >= 1; --rank) {
    std::printf(" %d|", rank);
    char label[8];
    std::snprintf(label, sizeof label, "  %d |", rank);
    sink(context, label);
    for (int file = 0; file < 8; ++file) {
      const int piece = piece_on(make_square(file, rank));
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
  std::printf("enpassant:  %s\n", enpassant >= 0 && enpassant < kSquares ? square_name(enpassant).c_str() : "NA");
  std::printf("Castling:   %c%c%c%c\n\n\n", (castle & kWhiteKingSide) ? 'K' : '-',
              (castle & kWhiteQueenSide) ? 'Q' : '-', (castle & kBlackKingSide) ? 'k' : '-',
              (castle & kBlackQueenSide) ? 'q' : '-');
  // The two channels are buffered separately; flush ours so a caller sees the
  // whole text channel when render returns.
  std::fflush(stdout);
  sink(context, "      -------------------------------\n");
  sink(context, "       a   b   c   d   e   f   g   h\n");
}

}  // namespace varnok
