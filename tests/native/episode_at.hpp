// An episode started from a FEN, for the tests of the layers that search or
// step episodes.
#pragma once

#include "env/episode.hpp"

namespace varnok {

inline Episode episode_at(const char* fen, DrawRules rules = DrawRules::kClassic) {
  Episode board(rules);
  board.load_fen(fen);
  return board;
}

}  // namespace varnok
