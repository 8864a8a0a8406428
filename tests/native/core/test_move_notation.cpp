// UCI and SAN of moves, both ways: the texts of tricky moves, the common
// variations a reader meets, every fault named, and round trips over the
// moves of random games.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "core/san.hpp"
#include "core/uci.hpp"
#include "notation_positions.hpp"

namespace varnok {
namespace {

// The SAN of the legal move given in UCI.
std::string san(std::string_view fen, std::string_view uci) {
  const Position position = position_of(fen);
  return san_of(position, move_of_uci(position, uci)).str();
}

std::string uci_of_san(std::string_view fen, std::string_view text) {
  const Position position = position_of(fen);
  return uci_of(move_of_san(position, text)).str();
}

template <class Parse>
std::string parse_error(std::string_view fen, std::string_view text, Parse parse) {
  try {
    parse(position_of(fen), text);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "";
}

TEST(Uci, TextsOfEveryKindOfMove) {
  EXPECT_EQ(uci_of(encode_move(kE2, kE4, WP, 0, kDoublePushFlag)).str(), "e2e4");
  EXPECT_EQ(uci_of(encode_move(kE7, kE8, WP, WQ, 0)).str(), "e7e8q");
  EXPECT_EQ(uci_of(encode_move(kB2, kA1, BP, BN, kCaptureFlag)).str(), "b2a1n");
  EXPECT_EQ(uci_of(encode_move(kE1, kG1, WK, 0, kCastlingFlag)).str(), "e1g1");
  EXPECT_EQ(uci_of(encode_move(kE8, kC8, BK, 0, kCastlingFlag)).str(), "e8c8");
  EXPECT_EQ(uci_of(encode_move(kH8, kA1, WQ, 0, 0)).view().size(), 4u);
}

TEST(Uci, FaultsNameTheText) {
  const auto parse = [](const Position& p, std::string_view t) { return move_of_uci(p, t); };
  struct Case {
    const char* fen;
    const char* text;
    const char* message;
  } cases[] = {
      {kInitialFen, "", "malformed UCI move ''"},
      {kInitialFen, "e2", "malformed UCI move 'e2'"},
      {kInitialFen, "e2e9", "malformed"},
      {kInitialFen, "i2i4", "malformed"},
      {kInitialFen, "E2E4", "malformed"},
      {kInitialFen, "e2e4 ", "malformed"},
      {kInitialFen, "e2e4qq", "malformed"},
      {"4k3/P7/8/8/8/8/8/4K3 w - - 0 1", "a7a8k", "malformed UCI move 'a7a8k'"},
      {kInitialFen, "e2e5", "illegal UCI move 'e2e5' in rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"},
      {kInitialFen, "e7e5", "illegal"},                                       // not the side to move
      {"4k3/P7/8/8/8/8/8/4K3 w - - 0 1", "a7a8", "illegal UCI move 'a7a8'"},  // the promotion piece is missing
      {"4k3/8/8/8/8/8/8/4K3 w - - 0 1", "e2e4q", "illegal"},
      {"4k3/8/8/8/8/8/8/4K2R w - - 0 1", "e1h1", "illegal"},  // king onto rook is castling only with the right
  };
  for (const Case& c : cases) {
    const std::string error = parse_error(c.fen, c.text, parse);
    EXPECT_NE(error.find(c.message), std::string::npos) << c.text << "\n  got: " << error;
  }
}

TEST(San, CastlingChecksAndMates) {
  const char* castles = "r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1";
  EXPECT_EQ(san(castles, "e1g1"), "O-O");
  EXPECT_EQ(san(castles, "e1c1"), "O-O-O");
  EXPECT_EQ(san("r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1", "e8c8"), "O-O-O");
  EXPECT_EQ(san("5k2/8/8/8/8/8/8/4K2R w K - 0 1", "e1g1"), "O-O+");  // the rook gives check from f1
  EXPECT_EQ(san("6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1", "a1a8"), "Ra8#");
  EXPECT_EQ(san("6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1", "a1a7"), "Ra7");
  EXPECT_EQ(san("7k/8/8/8/8/8/8/R5RK w - - 0 1", "a1a8"), "Ra8+");  // h7 is still free: check, not mate
  EXPECT_EQ(san("7k/8/8/8/8/8/8/R5RK w - - 0 1", "g1g7"), "Rg7");
  // A rook passing f1 under attack: only the queen side remains.
  const char* through_check = "r3k2r/8/8/8/8/8/5r2/R3K2R w KQkq - 0 1";
  EXPECT_EQ(uci_of_san(through_check, "O-O-O"), "e1c1");
  EXPECT_NE(parse_error(through_check, "O-O", move_of_san).find("illegal SAN move 'O-O'"), std::string::npos);
}

TEST(San, PawnCapturesEnPassantAndPromotions) {
  EXPECT_EQ(san(kInitialFen, "e2e4"), "e4");
  EXPECT_EQ(san("4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1", "e5d6"), "exd6");
  EXPECT_EQ(san("8/8/8/k2pP2R/8/8/8/4K3 w - d6 0 1", "e5d6"), "exd6+");  // both pawns leave the rook's rank
  EXPECT_EQ(san("4k3/8/8/8/3pP3/8/8/4K3 b - e3 0 1", "d4e3"), "dxe3");
  EXPECT_EQ(san("4k3/1P6/8/8/8/8/8/4K3 w - - 0 1", "b7b8q"), "b8=Q+");
  EXPECT_EQ(san("4k3/1P6/8/8/8/8/8/4K3 w - - 0 1", "b7b8n"), "b8=N");
  EXPECT_EQ(san("4k3/1P6/8/8/8/8/8/4K3 w - - 0 1", "b7b8b"), "b8=B");
  EXPECT_EQ(san("r3k3/1P6/8/8/8/8/8/4K3 w - - 0 1", "b7a8q"), "bxa8=Q+");
  EXPECT_EQ(san("r3k3/1P6/8/8/8/8/8/4K3 w - - 0 1", "b7a8r"), "bxa8=R+");
  EXPECT_EQ(san("4k3/8/8/8/8/8/6p1/4K2R b - - 0 1", "g2g1q"), "g1=Q+");
  EXPECT_EQ(san("4k3/8/8/8/8/8/6p1/4K2R b - - 0 1", "g2h1q"), "gxh1=Q+");
  EXPECT_EQ(san("4k3/8/8/8/8/8/6p1/4K2R b - - 0 1", "g2h1n"), "gxh1=N");
  EXPECT_EQ(san("8/8/8/8/8/8/4K1p1/7k b - - 0 1", "g2g1n"), "g1=N+");  // a knight's check
  EXPECT_EQ(san("1k6/8/1K6/8/8/8/8/7R w - - 0 1", "h1h8"), "Rh8#");
}

TEST(San, DisambiguationByFileRankAndSquare) {
  EXPECT_EQ(san("4k3/8/8/8/8/8/8/1N2KN2 w - - 0 1", "b1d2"), "Nbd2");
  EXPECT_EQ(san("4k3/8/8/8/8/8/8/1N2KN2 w - - 0 1", "f1d2"), "Nfd2");
  EXPECT_EQ(san("4k3/8/8/8/8/8/3p4/1N2KN2 w - - 0 1", "b1d2"), "Nbxd2");
  EXPECT_EQ(san("4k3/8/8/R7/8/8/8/R3K3 w - - 0 1", "a1a3"), "R1a3");
  EXPECT_EQ(san("4k3/8/8/R7/8/8/8/R3K3 w - - 0 1", "a5a3"), "R5a3");
  // Three queens: one shares a file, one a rank, one neither.
  const char* queens = "6k1/8/8/8/8/Q7/8/Q1Q4K w - - 0 1";
  EXPECT_EQ(san(queens, "a1b2"), "Qa1b2");
  EXPECT_EQ(san(queens, "a3b2"), "Q3b2");
  EXPECT_EQ(san(queens, "c1b2"), "Qcb2");
  // A pinned knight cannot go to f3, so the other needs no qualifier.
  EXPECT_EQ(san("4k3/8/8/8/1b6/8/3N4/4K1N1 w - - 0 1", "g1f3"), "Nf3");
  EXPECT_EQ(san("4k3/8/8/8/8/8/3N4/4K1N1 w - - 0 1", "g1f3"), "Ngf3");
  // Black's rooks on one rank; with the king between them only one reaches d8.
  EXPECT_EQ(san("r6r/4k3/8/8/8/8/8/4K3 b - - 0 1", "a8d8"), "Rad8");
  EXPECT_EQ(san("r6r/4k3/8/8/8/8/8/4K3 b - - 0 1", "h8d8"), "Rhd8");
  EXPECT_EQ(san("r3k2r/8/8/8/8/8/8/4K3 b - - 0 1", "a8d8"), "Rd8");
}

TEST(San, ReadsTheCommonVariations) {
  struct Case {
    const char* fen;
    const char* text;
    const char* uci;
  } cases[] = {
      {kInitialFen, "Nf3", "g1f3"},
      {kInitialFen, "Nf3+", "g1f3"},
      {kInitialFen, "Nf3#", "g1f3"},
      {kInitialFen, "Nf3!", "g1f3"},
      {kInitialFen, "Nf3??", "g1f3"},
      {kInitialFen, "Nf3!?", "g1f3"},
      {kInitialFen, "Nf3?!", "g1f3"},
      {kInitialFen, "Nf3+!!", "g1f3"},
      {kInitialFen, "Ng1f3", "g1f3"},
      {kInitialFen, "Ng1-f3", "g1f3"},
      {kInitialFen, "Ngf3", "g1f3"},
      {kInitialFen, "N1f3", "g1f3"},
      {kInitialFen, "Nxf3", "g1f3"},
      {kInitialFen, "e4", "e2e4"},
      {kInitialFen, "e2e4", "e2e4"},
      {kInitialFen, "e2-e4", "e2e4"},
      {kInitialFen, "g1f3", "g1f3"},
      {"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "0-0", "e1g1"},
      {"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "0-0-0", "e1c1"},
      {"r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1", "O-O-O+", "e8c8"},
      {"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "e1g1", "e1g1"},  // a full square names castling too
      {"r3k3/1P6/8/8/8/8/8/4K3 w - - 0 1", "bxa8Q", "b7a8q"},
      {"r3k3/1P6/8/8/8/8/8/4K3 w - - 0 1", "bxa8=q", "b7a8q"},
      {"r3k3/1P6/8/8/8/8/8/4K3 w - - 0 1", "b8N", "b7b8n"},
      {"r3k3/1P6/8/8/8/8/8/4K3 w - - 0 1", "b8=B", "b7b8b"},
      {"r3k3/1P6/8/8/8/8/8/4K3 w - - 0 1", "ba8=R+", "b7a8r"},
      {"4k3/8/8/8/3pP3/8/8/4K3 b - e3 0 1", "dxe3", "d4e3"},
      {"4k3/8/8/8/3pP3/8/8/4K3 b - e3 0 1", "de3", "d4e3"},
      {"6k1/8/8/8/8/Q7/8/Q1Q4K w - - 0 1", "Qa1b2", "a1b2"},
      {"6k1/8/8/8/8/Q7/8/Q1Q4K w - - 0 1", "Q3b2", "a3b2"},
  };
  for (const Case& c : cases) EXPECT_EQ(uci_of_san(c.fen, c.text), c.uci) << c.fen << " " << c.text;
}

TEST(San, FaultsNameTheText) {
  struct Case {
    const char* fen;
    const char* text;
    const char* message;
  } cases[] = {
      {kInitialFen, "", "malformed SAN move ''"},
      {kInitialFen, "Nf9", "malformed SAN move 'Nf9'"},
      {kInitialFen, "Zf3", "malformed"},
      {kInitialFen, "N", "malformed"},
      {kInitialFen, "Nf3x", "malformed"},
      {kInitialFen, "O-O-O-O", "malformed"},
      {kInitialFen, "e4e5e6", "malformed"},
      {kInitialFen, "Nf3!!!", "malformed"},
      {kInitialFen, "nf3", "malformed"},
      {kInitialFen, "Nf4", "illegal SAN move 'Nf4' in rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"},
      {kInitialFen, "e5", "illegal SAN move 'e5'"},
      {kInitialFen, "O-O", "illegal SAN move 'O-O'"},
      {kInitialFen, "Nd4", "illegal"},
      {kInitialFen, "exd3", "illegal"},
      {kInitialFen, "Bb5", "illegal"},                                     // blocked by its own pawn
      {"4k3/1P6/8/8/8/8/8/4K3 w - - 0 1", "b8", "illegal SAN move 'b8'"},  // no promotion piece
      {"4k3/1P6/8/8/8/8/8/4K3 w - - 0 1", "b8=K", "illegal"},
      {"4k3/8/8/8/8/8/8/4K3 w - - 0 1", "e4=Q", "illegal"},
      {"4k3/8/8/8/8/8/8/4K2R w K - 0 1", "Kg1", "illegal SAN move 'Kg1'"},      // castling is O-O
      {"8/8/8/KPp4r/8/8/8/4k3 w - c6 0 1", "bxc6", "illegal SAN move 'bxc6'"},  // en passant into a pin
      {"4k3/8/8/8/8/8/8/1N2KN2 w - - 0 1", "Nd2", "ambiguous SAN move 'Nd2'"},
      {"4k3/8/8/R7/8/8/8/R3K3 w - - 0 1", "Ra3", "ambiguous"},
      {"6k1/8/8/8/8/Q7/8/Q1Q4K w - - 0 1", "Qab2", "ambiguous"},
      {"6k1/8/8/8/8/Q7/8/Q1Q4K w - - 0 1", "Q1b2", "ambiguous"},
  };
  for (const Case& c : cases) {
    const std::string error = parse_error(c.fen, c.text, move_of_san);
    EXPECT_NE(error.find(c.message), std::string::npos) << c.fen << " " << c.text << "\n  got: " << error;
  }
}

TEST(MoveNotation, RoundTripsOverRandomGames) {
  int moves = 0;
  const Position start = position_of(kInitialFen);
  for_each_random_move(11, 60, 250, start, [&](const Position& position, Move) {
    std::set<std::string> sans, ucis;
    for (const Move move : legal_moves_by_playing(position)) {
      const MoveText s = san_of(position, move), u = uci_of(move);
      ASSERT_EQ(move_of_san(position, s.view()), move) << s.str();
      ASSERT_EQ(move_of_uci(position, u.view()), move) << u.str();
      // Every legal move has a text of its own.
      ASSERT_TRUE(sans.insert(s.str()).second) << s.str();
      ASSERT_TRUE(ucis.insert(u.str()).second) << u.str();
      ++moves;
    }
  });
  EXPECT_GT(moves, 200000);
}

}  // namespace
}  // namespace varnok
