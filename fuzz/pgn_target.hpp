// The PGN fuzz target: arbitrary bytes as a PGN text. Every game the reader
// hands out must be consistent: its moves legal one after the other from its
// start position, a result that is a result token or empty, lines that go
// forward, an error only with a line at or after the game's start. A game
// read without error is written again and must read back to the same start
// and moves.
#pragma once

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

inline void run_pgn_input(const uint8_t* data, size_t size) {
  if (size > 4096) return;  // a few games; longer texts only repeat what shorter ones reach
  PgnReader reader = PgnReader::from_text(std::string(reinterpret_cast<const char*>(data), size));
  PgnGame game;
  int64_t previous_line = 0;
  while (reader.next(game)) {
    check_game(game);
    FUZZ_CHECK(game.line >= previous_line);
    previous_line = game.line;
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
}

}  // namespace varnok::fuzz
