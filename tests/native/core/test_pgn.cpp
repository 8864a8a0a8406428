// The PGN reader on the things real files hold (comments, variations, NAGs,
// escapes, games without results, broken games), streaming from a file
// across chunk boundaries, and the writer read back by the reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "core/fen_strict.hpp"
#include "core/fen_writer.hpp"
#include "core/pgn_reader.hpp"
#include "core/pgn_writer.hpp"
#include "core/san.hpp"
#include "notation_positions.hpp"

namespace varnok {
namespace {

std::vector<PgnGame> read_all(PgnReader reader) {
  std::vector<PgnGame> games;
  PgnGame game;
  while (reader.next(game)) games.push_back(game);
  return games;
}

std::string joined(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& w : words) out += (out.empty() ? "" : " ") + w;
  return out;
}

constexpr const char* kMessyPgn =
    "% an escape line: [Event \"not a tag\"]\n"                                // 1
    "[Event \"First\"]\n"                                                      // 2
    "[White \"A \\\"quoted\\\" name\"]\n"                                      // 3
    "[Result \"1-0\"]\n"                                                       // 4
    "\n"                                                                       // 5
    "1.e4 {a comment (with a paren} e5 $1 2. Nf3!? ; rest of line 2... Nc6\n"  // 6
    "2... Nc6 (2... d6 3. d4 (3. Bc4 Be7) exd4) 3.Bb5 a6 $14\n"                // 7
    "{multi-line\n"                                                            // 8
    "comment} 4. Ba4 1-0\n"                                                    // 9
    "\n"                                                                       // 10
    "[Event \"Second, no result\"]\n"                                          // 11
    "\n"                                                                       // 12
    "1. d4   d5\t2.c4\n"                                                       // 13
    "[Event \"Third\"]\n"                                                      // 14
    "[SetUp \"1\"]\n"                                                          // 15
    "[FEN \"4k3/8/8/8/8/8/3p4/5K2 b - - 3 40\"]\n"                             // 16
    "40... d1=Q+ 41. Kf2 1/2-1/2\n"                                            // 17
    "1. e4 *\n";                                                               // 18

TEST(PgnReader, PassesOverCommentsVariationsAndEscapes) {
  const std::vector<PgnGame> games = read_all(PgnReader::from_text(kMessyPgn));
  ASSERT_EQ(games.size(), 4u);

  EXPECT_TRUE(games[0].ok()) << games[0].error;
  EXPECT_EQ(games[0].line, 2);
  ASSERT_EQ(games[0].headers.size(), 3u);
  EXPECT_EQ(games[0].headers[1].second, "A \"quoted\" name");
  EXPECT_EQ(*games[0].header("Event"), "First");
  EXPECT_EQ(joined(games[0].uci()), "e2e4 e7e5 g1f3 b8c6 f1b5 a7a6 b5a4");
  EXPECT_EQ(games[0].result, "1-0");

  EXPECT_TRUE(games[1].ok()) << games[1].error;
  EXPECT_EQ(games[1].line, 11);
  EXPECT_EQ(joined(games[1].uci()), "d2d4 d7d5 c2c4");
  EXPECT_EQ(games[1].result, "");

  EXPECT_TRUE(games[2].ok()) << games[2].error;
  EXPECT_EQ(games[2].line, 14);
  EXPECT_EQ(fen_of(games[2].start, games[2].start_fullmove), "4k3/8/8/8/8/8/3p4/5K2 b - - 3 40");
  EXPECT_EQ(joined(games[2].uci()), "d2d1q f1f2");
  EXPECT_EQ(games[2].result, "1/2-1/2");

  // A game of movetext alone starts from the initial position.
  EXPECT_EQ(games[3].line, 18);
  EXPECT_TRUE(games[3].headers.empty());
  EXPECT_EQ(joined(games[3].uci()), "e2e4");
  EXPECT_EQ(games[3].result, "*");
}

TEST(PgnReader, BrokenGamesAreReportedAndReadingGoesOn) {
  const char* text =
      "[Event \"good\"]\n"
      "1. e4 e5 1-0\n"
      "\n"
      "[Event \"illegal move\"]\n"
      "1. e4 e5\n"
      "2. Ke3 Nf6 3. d4 0-1\n"
      "\n"
      "[Event \"bad FEN\"]\n"
      "[FEN \"8/8/8/8/8/8/8/8 w - - 0 1\"]\n"
      "1. e4 *\n"
      "[Event \"ambiguous\"]\n"
      "[FEN \"4k3/8/8/8/8/8/8/1N2KN2 w - - 0 1\"]\n"
      "\n"
      "1. Nd2 *\n"
      "[Event \"good again\"]\n"
      "1. d4 *\n";
  const std::vector<PgnGame> games = read_all(PgnReader::from_text(text));
  ASSERT_EQ(games.size(), 5u);
  EXPECT_TRUE(games[0].ok());
  EXPECT_EQ(games[1].error_line, 6);
  EXPECT_NE(games[1].error.find("illegal SAN move 'Ke3'"), std::string::npos) << games[1].error;
  EXPECT_EQ(joined(games[1].uci()), "e2e4 e7e5");  // the moves before the fault
  EXPECT_EQ(games[1].result, "0-1");
  EXPECT_EQ(games[2].error_line, 9);  // the FEN tag's line
  EXPECT_NE(games[2].error.find("bad FEN tag: FEN placement field"), std::string::npos) << games[2].error;
  EXPECT_EQ(games[3].error_line, 14);
  EXPECT_NE(games[3].error.find("ambiguous SAN move 'Nd2'"), std::string::npos) << games[3].error;
  EXPECT_TRUE(games[4].ok());
  EXPECT_EQ(games[4].line, 15);
  EXPECT_EQ(joined(games[4].uci()), "d2d4");
}

TEST(PgnReader, OddInputsEndCleanly) {
  EXPECT_TRUE(read_all(PgnReader::from_text("")).empty());
  EXPECT_TRUE(read_all(PgnReader::from_text("\n\n  \n% only an escape\n")).empty());
  // An unclosed comment or variation swallows the rest of its game only.
  const std::vector<PgnGame> games = read_all(
      PgnReader::from_text("\xEF\xBB\xBF[Event \"a\"]\n1. e4 ( 1. d4 d5\n[Event \"b\"]\n1. c4 {never closed\n"));
  ASSERT_EQ(games.size(), 2u);
  EXPECT_EQ(*games[0].header("Event"), "a");
  EXPECT_EQ(joined(games[0].uci()), "e2e4");
  EXPECT_EQ(joined(games[1].uci()), "c2c4");
  EXPECT_THROW(PgnReader::from_file("/nonexistent/games.pgn"), std::runtime_error);
}

TEST(PgnReader, FileErrorsCarryTheirErrnoAndFaultyFenTagsTheirLine) {
  auto error_of = [](const std::string& path) {
    try {
      PgnReader::from_file(path);
    } catch (const std::system_error& e) {
      return e.code().value();
    }
    return 0;
  };
  EXPECT_EQ(error_of("/nonexistent/games.pgn"), ENOENT);
  EXPECT_EQ(error_of(std::filesystem::temp_directory_path().string()), EISDIR);  // would read as no games
  const std::vector<PgnGame> games = read_all(PgnReader::from_text("[Event \"a\"]\n[FEN \"garbage\"]\n\n1. e4 *\n"));
  ASSERT_EQ(games.size(), 1u);
  EXPECT_FALSE(games[0].ok());
  EXPECT_EQ(games[0].error_line, 2);
}

TEST(PgnWriter, RefusesTagsThatWouldCorruptTheFile) {
  const Position start = parse_fen_strict("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1").position;
  for (const PgnHeaders& headers : {PgnHeaders{{"Wh ite", "x"}}, PgnHeaders{{"", "x"}}, PgnHeaders{{"_Tag", "x"}},
                                    PgnHeaders{{"White", "a\"]\n[Result \"1-0"}}, PgnHeaders{{"Site", "tab\t"}}})
    EXPECT_THROW(write_pgn(start, 1, {}, headers), std::invalid_argument) << headers[0].first;
  const std::string text = write_pgn(start, 1, {}, {{"Time-Control_2+1", "3+2 \"blitz\" \\ \u00e9"}});
  EXPECT_NE(text.find("[Time-Control_2+1 \"3+2 \\\"blitz\\\" \\\\ \u00e9\"]"), std::string::npos) << text;
}

TEST(PgnReader, TagValuesWithQuotesEscapedOrBare) {
  // python-chess writes quotes inside values bare; the standard escapes them.
  const std::vector<PgnGame> games =
      read_all(PgnReader::from_text("[White \"A \"bare\" name\"]\n[Black \"B \\\"x\\\" \\\\ y\"]  \n"
                                    "[Site \"broken off\n[Round \"\"]\n[ \"no name\"]\n[Date]\n*\n"));
  ASSERT_EQ(games.size(), 1u);
  const PgnHeaders expected = {
      {"White", "A \"bare\" name"}, {"Black", "B \"x\" \\ y"}, {"Site", "broken off"}, {"Round", ""}};
  EXPECT_EQ(games[0].headers, expected);
}

std::vector<std::vector<Move>> random_games(const Position& start, int count, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::vector<Move>> games;
  for (int i = 0; i < count; ++i) games.push_back(random_game(rng, start, 300));
  return games;
}

TEST(PgnWriter, WritesWhatTheReaderReadsBack) {
  const Position initial = position_of(kInitialFen);
  const Position later = position_of("r3k2r/1P6/8/8/3pP3/8/8/R3K2R b KQkq e3 4 20");
  std::string file_text;
  std::vector<std::vector<Move>> expected;
  for (const Position& start : {initial, later}) {
    int n = 0;
    for (const std::vector<Move>& moves : random_games(start, 20, 5)) {
      const PgnHeaders headers = {{"White", "Player \"One\""}, {"Event", "Test \\ run"}, {"Annotator", "varnok"}};
      const std::string pgn = write_pgn(start, start == initial ? 1 : 20, moves, headers);
      if (n++ == 0) {
        // The roster comes first and in its order; the set-up follows the caller's tags.
        std::istringstream lines(pgn);
        std::string line;
        std::vector<std::string> names;
        while (std::getline(lines, line) && !line.empty()) names.push_back(line.substr(1, line.find(' ') - 1));
        std::vector<std::string> roster = {"Event", "Site", "Date", "Round", "White", "Black", "Result", "Annotator"};
        if (!(start == initial)) roster.insert(roster.end(), {"SetUp", "FEN"});
        EXPECT_EQ(names, roster);
      }
      std::istringstream lines(pgn);
      for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
      file_text += pgn;
      expected.push_back(moves);
    }
  }
  const std::vector<PgnGame> games = read_all(PgnReader::from_text(file_text));
  ASSERT_EQ(games.size(), expected.size());
  for (size_t i = 0; i < games.size(); ++i) {
    ASSERT_TRUE(games[i].ok()) << games[i].error;
    EXPECT_EQ(games[i].moves, expected[i]) << "game " << i;
    EXPECT_EQ(*games[i].header("White"), "Player \"One\"");
    EXPECT_EQ(*games[i].header("Event"), "Test \\ run");
    EXPECT_EQ(games[i].start, i < 20 ? initial : later);
    EXPECT_EQ(*games[i].header("Result"), games[i].result);
  }
}

TEST(PgnWriter, ResultFromTheFinalPositionUnlessGiven) {
  const Position start = position_of(kInitialFen);
  std::vector<Move> fools_mate;
  Position position = start;
  for (const char* san : {"f3", "e5", "g4", "Qh4#"}) {
    fools_mate.push_back(move_of_san(position, san));
    position.apply_move(fools_mate.back());
  }
  const std::string pgn = write_pgn(start, 1, fools_mate);
  EXPECT_NE(pgn.find("[Result \"0-1\"]"), std::string::npos);
  EXPECT_NE(pgn.find("\n1. f3 e5 2. g4 Qh4# 0-1\n"), std::string::npos) << pgn;
  EXPECT_NE(pgn.find("[Date \"????.??.??\"]"), std::string::npos);
  EXPECT_EQ(pgn.find("FEN"), std::string::npos);
  const std::string given = write_pgn(start, 1, std::span(fools_mate).first(2), {{"Result", "1/2-1/2"}});
  EXPECT_NE(given.find("\n1. f3 e5 1/2-1/2\n"), std::string::npos) << given;
  const Position black_to_move = position_of("4k3/8/8/8/8/8/3p4/5K2 b - - 0 7");
  const std::vector<Move> promotion = {move_of_san(black_to_move, "d1=Q")};
  const std::string black_first = write_pgn(black_to_move, 7, promotion);
  EXPECT_NE(black_first.find("\n7... d1=Q+ *\n"), std::string::npos) << black_first;
}

TEST(PgnReader, StreamsAFileInChunks) {
  // Enough games to span many read chunks; every game must come out whole,
  // whichever chunk boundary it straddles.
  const Position start = position_of(kInitialFen);
  std::string text;
  const std::vector<std::vector<Move>> games = random_games(start, 150, 9);
  for (const std::vector<Move>& moves : games) text += write_pgn(start, 1, moves, {{"Round", "1"}});
  ASSERT_GT(text.size(), 4u * 65536u);
  const std::filesystem::path path = std::filesystem::temp_directory_path() / "varnok_test_stream.pgn";
  std::ofstream(path, std::ios::binary) << text;
  const std::vector<PgnGame> from_file = read_all(PgnReader::from_file(path.string()));
  std::filesystem::remove(path);
  ASSERT_EQ(from_file.size(), games.size());
  int64_t line = 1;
  for (size_t i = 0; i < games.size(); ++i) {
    ASSERT_TRUE(from_file[i].ok()) << from_file[i].error;
    EXPECT_EQ(from_file[i].moves, games[i]);
    EXPECT_EQ(from_file[i].line, line);
    const std::string one = write_pgn(start, 1, games[i], {{"Round", "1"}});
    line += std::count(one.begin(), one.end(), '\n');
  }
}

// Reads pausing wherever a chunk ends (inside a comment, a tag, a long
// symbol, a CR LF): no budget but the one chunk granted after each pause.
std::vector<PgnGame> read_in_pauses(PgnReader reader, int& pauses) {
  std::vector<PgnGame> games;
  PgnGame game;
  int64_t budget = 0;
  for (;;) {
    const PgnReader::Progress progress = reader.next(game, budget);
    if (progress == PgnReader::Progress::kEnd) return games;
    if (progress == PgnReader::Progress::kPaused) {
      ++pauses;
      budget = 1;
    } else {
      games.push_back(game);
    }
  }
}

TEST(PgnReader, PausesAnywhereAndGoesOnAsOneReadWould) {
  std::string text;
  constexpr int kUnits = 400;
  for (int i = 0; i < kUnits; ++i) {
    const std::string n = std::to_string(i);
    text += kMessyPgn;
    text += "\n[Event \"long " + n + "\"]\r\n[Annotator \"" + std::string(700 + i, 'x') + "\"]\r\n\r\n";
    text += "1. e4 {" + std::string(900 + 7 * i, '-') + "} [" + std::string(200 + 3 * i, 'k') + " " +
            std::string(100 + i, '0') + "] e5 ; " + std::string(300 + i, ';') + "\r";  // a bracket, no tag
    text += "2. Nf3 " + std::string(100 + i, 'N') + " 1-0 0-1\r\r";
    text += "[Event \"passant " + n + "\"]\n\n1. e4 Nf6 2. e5 d5 3. exd6e.p. *\n\n";
  }
  ASSERT_GT(text.size(), 20 * PgnReader::kChunkBytes);
  const std::vector<PgnGame> whole = read_all(PgnReader::from_text(text));
  ASSERT_EQ(whole.size(), kUnits * 6u);  // the messy text's four games, the long one, the e.p. one
  const std::filesystem::path path = std::filesystem::temp_directory_path() / "varnok_test_pauses.pgn";
  std::ofstream(path, std::ios::binary) << text;
  int text_pauses = 0, file_pauses = 0;
  const std::vector<std::vector<PgnGame>> paused = {read_in_pauses(PgnReader::from_text(text), text_pauses),
                                                    read_in_pauses(PgnReader::from_file(path.string()), file_pauses)};
  std::filesystem::remove(path);
  EXPECT_GE(text_pauses, 20);
  EXPECT_GE(file_pauses, 20);
  for (const std::vector<PgnGame>& games : paused) {
    ASSERT_EQ(games.size(), whole.size());
    for (size_t i = 0; i < whole.size(); ++i) {
      EXPECT_EQ(games[i].headers, whole[i].headers) << i;
      EXPECT_EQ(games[i].moves, whole[i].moves) << i;
      EXPECT_EQ(games[i].result, whole[i].result) << i;
      EXPECT_EQ(games[i].line, whole[i].line) << i;
      EXPECT_EQ(games[i].error, whole[i].error) << i;
    }
  }
  // The long game: its tag whole, its moves, its first result (the second is ignored).
  const PgnGame& long_game = whole[4];
  EXPECT_EQ(long_game.header("Annotator")->size(), 700u);
  EXPECT_EQ(joined(long_game.uci()), "e2e4 e7e5 g1f3");
  EXPECT_FALSE(long_game.ok());  // NNN... is no move
  EXPECT_EQ(joined(whole[5].uci()), "e2e4 g8f6 e4e5 d7d5 e5d6");
  EXPECT_TRUE(whole[5].ok()) << whole[5].error;
}

TEST(PgnReader, OffsetsCutTheSourceIntoItsGamesWhateverTheChunks) {
  // A comment holding a blank line and a tag line is no game start.
  const std::string text = std::string(kMessyPgn) + "{\n\n[Event \"in a comment\"]\n} 1. d4 *\n";
  const std::vector<PgnGame> games = read_all(PgnReader::from_text(text));
  ASSERT_EQ(games.size(), 5u);
  // The same games and offsets from a source giving 7 bytes at a time, and
  // from next_start, which passes over the moves.
  size_t given = 0;
  PgnReader source = PgnReader::from_source([&](char* buffer, size_t size) {
    const size_t count = std::min({size, size_t{7}, text.size() - given});
    std::copy_n(text.data() + given, count, buffer);
    given += count;
    return count;
  });
  PgnReader starts = PgnReader::from_text(text);
  PgnGame game, start;
  for (size_t i = 0; i < games.size(); ++i) {
    ASSERT_TRUE(source.next(game));
    ASSERT_TRUE(starts.next_start(start));
    EXPECT_EQ(game.moves, games[i].moves);
    EXPECT_EQ(game.offset, games[i].offset);
    EXPECT_EQ(start.offset, games[i].offset);
    EXPECT_TRUE(start.moves.empty());
    const size_t end = i + 1 < games.size() ? static_cast<size_t>(games[i + 1].offset) : text.size();
    const std::vector<PgnGame> piece =
        read_all(PgnReader::from_text(text.substr(static_cast<size_t>(games[i].offset), end - games[i].offset)));
    ASSERT_EQ(piece.size(), 1u) << i;
    EXPECT_EQ(piece[0].moves, games[i].moves);
    EXPECT_EQ(piece[0].result, games[i].result);
  }
  EXPECT_FALSE(source.next(game));
  EXPECT_FALSE(starts.next_start(start));
  EXPECT_EQ(source.position(), static_cast<int64_t>(text.size()));
  EXPECT_EQ(games[1].offset, static_cast<int64_t>(text.find("[Event \"Second")));
}

}  // namespace
}  // namespace varnok
