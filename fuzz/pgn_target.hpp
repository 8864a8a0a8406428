// The PGN fuzz target: arbitrary bytes as a PGN text. Every game the reader
// hands out must be consistent: its moves legal one after the other from its
// start position, a result that is a result token or empty, lines that go
// forward, an error only with a line at or after the game's start. A game
// read without error is written again and must read back to the same start
// and moves. Game offsets go forward, next_start finds the same ones, a
// source giving a byte at a time gives the same games, and the bytes from one
// game's offset to the next game's read as exactly that game (whatever the
// comments and variations around it hold): what cutting a file into ranges
// of whole games relies on.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "core/pgn_reader.hpp"
#include "core/pgn_writer.hpp"
#include "core/quoted.hpp"
#include "fuzz/check.hpp"

namespace varnok::fuzz {

inline void check_game(const PgnGame& game) {
  Position position = game.start;
  for (Move move : game.moves) FUZZ_CHECK(position.make_move(move));
  FUZZ_CHECK(game.result.empty() || game.result == "1-0" || game.result == "0-1" || game.result == "1/2-1/2" ||
             game.result == "*");
  FUZZ_CHECK(game.line >= 1);
  FUZZ_CHECK(game.ok() == (game.error_line == 0));
  if (!game.ok()) FUZZ_CHECK(game.error_line >= game.line);
  FUZZ_CHECK(is_utf8(game.error));  // it becomes a Python str
}

inline bool same_game(const PgnGame& a, const PgnGame& b) {
  return a.moves == b.moves && a.result == b.result && a.ok() == b.ok() && a.headers == b.headers;
}

// The offsets of games cut the text into pieces that each read as their game.
inline void check_offsets(const std::string& text, const std::vector<PgnGame>& games) {
  PgnReader starts = PgnReader::from_text(text);
  size_t given = 0;
  PgnReader trickle = PgnReader::from_source([&](char* buffer, size_t) {
    if (given == text.size()) return size_t{0};
    buffer[0] = text[given++];
    return size_t{1};
  });
  PgnGame start, same;
  for (size_t i = 0; i < games.size(); ++i) {
    const int64_t end = i + 1 < games.size() ? games[i + 1].offset : static_cast<int64_t>(text.size());
    FUZZ_CHECK(games[i].offset >= 0 && games[i].offset < end);
    FUZZ_CHECK(starts.next_start(start) && start.offset == games[i].offset && start.moves.empty());
    FUZZ_CHECK(trickle.next(same) && same.offset == games[i].offset && same_game(same, games[i]));
    const auto from = static_cast<size_t>(games[i].offset);
    PgnReader piece = PgnReader::from_text(text.substr(from, static_cast<size_t>(end) - from));
    FUZZ_CHECK(piece.next(same) && same_game(same, games[i]));
    FUZZ_CHECK(!piece.next(same));
  }
  FUZZ_CHECK(!starts.next_start(start) && !trickle.next(same));
  FUZZ_CHECK(trickle.position() == static_cast<int64_t>(text.size()));
}

inline void run_pgn_input(const uint8_t* data, size_t size) {
  if (size > 4096) return;  // a few games; longer texts only repeat what shorter ones reach
  const std::string text(reinterpret_cast<const char*>(data), size);
  PgnReader reader = PgnReader::from_text(text);
  PgnGame game;
  std::vector<PgnGame> games;
  int64_t previous_line = 0;
  while (reader.next(game)) {
    check_game(game);
    FUZZ_CHECK(game.line >= previous_line);
    previous_line = game.line;
    games.push_back(game);
    if (!game.ok()) continue;

    const std::string written = write_pgn(game.start, game.start_fullmove, game.moves, game.headers);
    PgnReader again = PgnReader::from_text(written);
    PgnGame copy;
    FUZZ_CHECK(again.next(copy));
    FUZZ_CHECK(copy.ok());
    FUZZ_CHECK(copy.start == game.start);
    FUZZ_CHECK(copy.start_fullmove == game.start_fullmove);
    FUZZ_CHECK(copy.moves == game.moves);
    FUZZ_CHECK(!again.next(copy));
  }
  check_offsets(text, games);
}

}  // namespace varnok::fuzz
