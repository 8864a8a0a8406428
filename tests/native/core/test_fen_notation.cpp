// FEN export in both en-passant modes, and the strict loader: every kind of
// fault it must name, the positions python-chess also accepts, and round
// trips through both directions.
#include <gtest/gtest.h>

#include <string>

#include "core/fen_strict.hpp"
#include "core/fen_writer.hpp"
#include "notation_positions.hpp"

namespace varnok {
namespace {

std::string load_error(std::string_view fen) {
  try {
    parse_fen_strict(fen);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "";
}

TEST(FenWriter, EnPassantFieldInBothModes) {
  // The half-move clock is the no-progress count, which counts the pawn
  // move that restarted it.
  Position position = position_of(kInitialFen);
  position.apply_move(encode_move(kE2, kE4, WP, 0, kDoublePushFlag));
  EXPECT_EQ(fen_of(position, 1), "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 1 1");
  EXPECT_EQ(fen_of(position, 1, EnPassantField::kLegal), "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 1 1");

  struct Case {
    const char* fen;
    const char* legal_field;
  } cases[] = {
      {"4k3/8/8/1Pp5/8/8/8/4K3 w - c6 0 1", "c6"},   // b5 takes c6
      {"8/8/8/KPp4r/8/8/8/4k3 w - c6 0 1", "-"},     // the capture bares the king along the rank
      {"8/8/8/2pP4/1K6/8/8/7k w - c6 0 1", "c6"},    // in check by the pushed pawn: taking it answers
      {"4k3/8/8/8/3pP3/8/8/4K3 b - e3 0 1", "e3"},   // black takes towards the h-file
      {"4k3/8/8/8/3pP3/8/8/3RK3 b - e3 0 1", "e3"},  // d4 leaves the rook's file: no king behind
      {"3k4/8/8/8/3pP3/8/8/3RK3 b - e3 0 1", "-"},   // the d-file pin keeps d4 where it is
  };
  for (const Case& c : cases) {
    const FenPosition loaded = parse_fen_strict(c.fen);
    EXPECT_EQ(fen_of(loaded.position, 1), c.fen) << c.fen;
    const std::string legal = fen_of(loaded.position, 1, EnPassantField::kLegal);
    EXPECT_EQ(legal.substr(legal.size() - 4 - std::string(c.legal_field).size(), std::string(c.legal_field).size()),
              c.legal_field)
        << legal;
    EXPECT_EQ(has_legal_en_passant(loaded.position), std::string(c.legal_field) != "-") << c.fen;
  }
}

TEST(FenWriter, ClocksAndCastlingSubsets) {
  Position position = position_of("r3k2r/8/8/8/8/8/8/R3K2R b Kq - 17 42");
  EXPECT_EQ(position.no_progress_count, 17);
  EXPECT_EQ(fen_of(position, 42), "r3k2r/8/8/8/8/8/8/R3K2R b Kq - 17 42");
  position.castle = 0;
  EXPECT_EQ(fen_of(position, 7), "r3k2r/8/8/8/8/8/8/R3K2R b - - 17 7");
}

TEST(FenStrict, ReadsEveryFieldAndDefaultsTheClocks) {
  const FenPosition full = parse_fen_strict("r3k2r/8/8/8/4Pp2/8/8/R3K2R b KQkq e3 5 30");
  EXPECT_EQ(full.position.side, kBlack);
  EXPECT_EQ(full.position.castle, kWhiteKingSide | kWhiteQueenSide | kBlackKingSide | kBlackQueenSide);
  EXPECT_EQ(full.position.enpassant, kE3);
  EXPECT_EQ(full.position.no_progress_count, 5);
  EXPECT_EQ(full.fullmove_number, 30);
  EXPECT_EQ(full.position.piece_on(kE4), WP);
  EXPECT_EQ(full.position.piece_on(kF4), BP);
  EXPECT_EQ(full.position.piece_on(kA8), BR);
  EXPECT_EQ(population_count(full.position.occupancies[kBothColours]), 8);

  const FenPosition four = parse_fen_strict("  4k3/8/8/8/8/8/8/4K3 w - -\t");
  EXPECT_EQ(four.position.no_progress_count, 0);
  EXPECT_EQ(four.fullmove_number, 1);
  EXPECT_EQ(parse_fen_strict("4k3/8/8/8/8/8/8/4K3 w - - 0 0").fullmove_number, 1);  // as python-chess reads it

  // The loader fills the same position the lenient one does.
  Position lenient;
  lenient.parse_fen(kInitialFen);
  EXPECT_EQ(parse_fen_strict(kInitialFen).position, lenient);
}

TEST(FenStrict, AcceptsChecksThatOneMoveCanGive) {
  for (const char* fen : {
           "4k3/8/8/8/8/5n2/8/r3K3 w - - 0 1",  // rook and knight: a discovered double check
           "8/8/8/3p4/4K3/8/8/7k w - d6 0 1",   // the pushed pawn gives check
           "8/r6K/8/3p4/8/8/8/k7 w - d6 0 1",   // the push uncovers the rook
           "rnbqkbnr/ppp2ppp/8/1B1pp3/4P3/8/PPPP1PPP/RNBQK1NR b KQkq - 0 1",
       })
    EXPECT_EQ(load_error(fen), "") << fen;
}

TEST(FenStrict, NamesTheFieldAndTheFault) {
  struct Case {
    const char* fen;
    const char* message;  // a part of the error message
  } cases[] = {
      {"", "expected 6 fields (or 4 without the clocks), found 0"},
      {"4k3/8/8/8/8/8/8/4K3 w", "found 2"},
      {"4k3/8/8/8/8/8/8/4K3 w - - 0", "found 5"},
      {"4k3/8/8/8/8/8/8/4K3 w - - 0 1 x", "found more than 6"},
      {"4k3/8/8/8/8/8/4K3 w - - 0 1", "placement field '4k3/8/8/8/8/8/4K3': only 7 ranks, expected 8"},
      {"4k3/8/8/8/8/8/8/4K3/8 w - - 0 1", "more than 8 ranks"},
      {"4k3/8/8/8/8/8/7/4K3 w - - 0 1", "rank 2 has 7 squares, expected 8"},
      {"4k3/8/8/8/8/8/8/4K4 w - - 0 1", "rank 1 has more than 8 squares"},
      {"4k3/8/8/8/8/8/8/ppppKpppp w - - 0 1", "rank 1 has more than 8 squares"},
      {"4k3/8/44/8/8/8/8/4K3 w - - 0 1", "two digits in a row in rank 6"},
      {"4k3/8/8/8/8/8/8/4K2x w - - 0 1", "unknown piece letter 'x'"},
      {"4k3/8/8/9/8/8/8/4K3 w - - 0 1", "unexpected character '9'"},
      {"4k3/8/8/8/8/8/8/8 w - - 0 1", "white has 0 kings, expected exactly one"},
      {"4k2k/8/8/8/8/8/8/4K3 w - - 0 1", "black has 2 kings"},
      {"4k3/8/8/8/8/NNNNNNNN/NNNNNNNN/3QK3 w - - 0 1", "white has 18 pieces, at most 16 possible"},
      {"4k3/pppppppp/p7/8/8/8/8/4K3 w - - 0 1", "black has 9 pawns, at most 8 possible"},
      {"P3k3/8/8/8/8/8/8/4K3 w - - 0 1", "pawn on a8"},
      {"4k3/8/8/8/8/8/8/4K2p w - - 0 1", "pawn on h1"},
      {"4k3/8/8/8/8/8/8/4K3 x - - 0 1", "side to move field 'x': expected 'w' or 'b'"},
      {"4k3/8/8/8/8/8/8/4K3 W - - 0 1", "expected 'w' or 'b'"},
      {"4k3/8/8/8/8/8/8/4K2R w KQ - 0 1", "castling field 'KQ': Q needs the white king on e1 and a white rook on a1"},
      {"4k3/8/8/8/8/8/8/4K3 w Q - 0 1", "Q needs the white king"},  // python-chess drops this right
      {"r3k3/8/8/8/8/8/8/4K3 w k - 0 1", "k needs the black king on e8 and a black rook on h8"},
      {"r2k4/8/8/8/8/8/8/4K3 w q - 0 1", "q needs the black king on e8"},
      {"4k3/8/8/8/8/8/8/R3K2R w QK - 0 1", "letters of KQkq in that order, each once"},
      {"4k3/8/8/8/8/8/8/R3K2R w KK - 0 1", "in that order, each once"},
      {"4k3/8/8/8/8/8/8/R3K2R w HA - 0 1", "castling field 'HA'"},
      {"4k3/8/8/8/8/8/8/4K3 w - e9 0 1", "en passant field 'e9': expected '-' or a square name"},
      {"4k3/8/8/8/4P3/8/8/4K3 w - e3 0 1", "with white to move the square must be on rank 6"},
      {"4k3/8/8/4p3/8/8/8/4K3 b - e6 0 1", "with black to move the square must be on rank 3"},
      {"4k3/8/8/3p4/8/8/8/4K3 w - e6 0 1", "no black pawn on e5"},
      {"4k3/8/8/4P3/8/8/8/4K3 w - e6 0 1", "no black pawn on e5"},
      {"4k3/8/4n3/4p3/8/8/8/4K3 w - e6 0 1", "en passant field 'e6': the square is occupied"},
      {"4k3/4n3/8/4p3/8/8/8/4K3 w - e6 0 1", "the pawn's starting square e7 is occupied"},
      {"4k3/8/8/8/8/8/8/4K3 w - - -1 1", "half-move clock field '-1': expected a non-negative decimal number"},
      {"4k3/8/8/8/8/8/8/4K3 w - - +3 1", "half-move clock field '+3'"},
      {"4k3/8/8/8/8/8/8/4K3 w - - 0 x", "full-move number field 'x'"},
      {"4k3/8/8/8/8/8/8/4K3 w - - 12345678901 1", "expected a number of 1 to 10 digits"},
      {"4k3/8/8/8/8/8/8/4K3 w - - 0 2147483648", "full-move number field '2147483648': expected at most 2147483647"},
      {"4k3/8/8/8/8/8/8/4R1K1 w - - 0 1", "white to move while the black king is in check"},
      {"4k3/8/8/8/8/5n2/2n5/r3K3 w - - 0 1", "the king is attacked by 3 pieces"},
      {"4k3/8/8/8/8/8/8/r3K2r w - - 0 1", "two pieces on one line cannot both give check"},
      {"4k3/8/8/8/8/8/3q4/r3K3 w - - 0 1", ""},  // queen d2 and rook a1: not on one line with the king
      {"4r1k1/8/8/3p4/8/8/8/4K3 w - d6 0 1", "a double push cannot have given this check"},
      {"4k3/8/8/3p1p2/4K3/8/8/8 w - d6 0 1", "a double push cannot have given this check"},  // two pawn checks
  };
  for (const Case& c : cases) {
    const std::string error = load_error(c.fen);
    if (std::string(c.message).empty()) {
      EXPECT_EQ(error, "") << c.fen;
    } else {
      EXPECT_NE(error.find(c.message), std::string::npos) << c.fen << "\n  got: " << error;
    }
  }
}

TEST(FenRoundTrip, RandomGamesWriteAndReadBack) {
  int positions = 0;
  for_each_random_move(7, 40, 200, position_of(kInitialFen), [&](const Position& position, Move) {
    const std::string fen = fen_of(position, 1 + positions % 90);
    const FenPosition back = parse_fen_strict(fen);
    ASSERT_EQ(back.position, position) << fen;
    ASSERT_EQ(back.fullmove_number, 1 + positions % 90);
    // The legal-mode text loads too, and differs only where no capture is possible.
    const FenPosition legal = parse_fen_strict(fen_of(position, 1, EnPassantField::kLegal));
    ASSERT_EQ(legal.position.enpassant == position.enpassant,
              has_legal_en_passant(position) || position.enpassant == kNoSquare);
    ++positions;
  });
  EXPECT_GT(positions, 4000);
}

}  // namespace
}  // namespace varnok
