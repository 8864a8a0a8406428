// Games read from PGN turned into what a learner trains on, without an
// interpreter in the loop: for each position of each game, the observation a
// vector environment would give there, the action played, the game's result
// and where the position comes from.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/pgn_reader.hpp"
#include "env/outcome.hpp"

namespace varnok {

// The action of each move of a game, each in the position before it.
std::vector<int32_t> actions_of_game(const PgnGame& game);

// +1 for "1-0", -1 for "0-1", 0 for a draw, "*" or no result.
int8_t result_from_white(const std::string& result);

// "line N: what is wrong" for a game that could not be read whole.
std::string describe_error(const PgnGame& game);

struct ReplayedGames {
  // One row per position before a move: kObservationPlanes words each when
  // packed, else kObservationValues floats each.
  std::vector<uint64_t> packed;
  std::vector<float> planes;
  std::vector<int32_t> actions;
  std::vector<int8_t> results;  // the game's result from white's side
  std::vector<int32_t> games;   // index of the game among the games kept
  std::vector<int32_t> plies;   // plies played in the game before the position
  int32_t game_count = 0;
};

// Reads on from reader, the games it completes within chunk_budget chunks
// scanned (every game by default), and returns whether the reader may hold
// more. A game that cannot be read whole is skipped, or, with
// raise_on_error, throws std::invalid_argument (describe_error) after the
// games before it have been added. The observations count no progress and
// repetitions by rules; every move of a game is replayed, even past a draw
// the rules would have ended it with.
bool replay_games(PgnReader& reader, bool packed, bool raise_on_error, ReplayedGames& out,
                  int64_t chunk_budget = INT64_MAX, DrawRules rules = DrawRules::kClassic);

}  // namespace varnok
