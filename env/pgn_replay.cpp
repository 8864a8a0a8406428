// Replaying PGN games through an Episode: each game starts an episode from its
// start position (reset for the initial one) and plays its moves as listed
// actions, so observations and actions are exactly those of stepping.
#include "env/pgn_replay.hpp"

#include <cassert>
#include <stdexcept>

#include "env/episode.hpp"
#include "env/observation_writer.hpp"

namespace varnok {

std::vector<int32_t> actions_of_game(const PgnGame& game) {
  std::vector<int32_t> actions;
  actions.reserve(game.moves.size());
  Position position = game.start;
  for (const Move move : game.moves) {
    actions.push_back(action_of_move(position.side, move));
    position.apply_move(move);  // the reader found it legal here
  }
  return actions;
}

int8_t result_from_white(const std::string& result) {
  if (result == "1-0") return 1;
  if (result == "0-1") return -1;
  return 0;
}

std::string describe_error(const PgnGame& game) {
  return "line " + std::to_string(game.error_line) + ": " + game.error;
}

bool replay_games(PgnReader& reader, bool packed, bool raise_on_error, ReplayedGames& out, int64_t chunk_budget,
                  DrawRules rules) {
  Episode board(rules);
  PgnGame game;
  const ObservationFormat format = packed ? ObservationFormat::kPacked : ObservationFormat::kFloat32;
  // The next row of the packed words or the float planes.
  const auto row = [packed](ReplayedGames& out) -> void* {
    if (packed) {
      out.packed.resize(out.packed.size() + kObservationPlanes);
      return out.packed.data() + out.packed.size() - kObservationPlanes;
    }
    out.planes.resize(out.planes.size() + kObservationValues);
    return out.planes.data() + out.planes.size() - kObservationValues;
  };
  for (;;) {
    const PgnReader::Progress progress = reader.next(game, chunk_budget);
    if (progress == PgnReader::Progress::kEnd) return false;
    if (progress == PgnReader::Progress::kPaused) return true;
    if (!game.ok()) {
      if (raise_on_error) throw std::invalid_argument(describe_error(game));
      continue;
    }
    const int32_t index = out.game_count++;
    const int8_t result = result_from_white(game.result);
    board.start_from(game.start, game.start_fullmove);
    int32_t ply = 0;
    for (const Move move : game.moves) {
      // A board started from a position holds only records, which always pack.
      [[maybe_unused]] const bool written = write_cached_row(format, board, row(out));
      assert(written);
      const int32_t action = action_of_move(board.position.side, move);
      out.actions.push_back(action);
      out.results.push_back(result);
      out.games.push_back(index);
      out.plies.push_back(ply++);
      board.play(action);
    }
  }
}

}  // namespace varnok
