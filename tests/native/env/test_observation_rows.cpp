// A row written over what it held (write_row_changes) must end up exactly as
// a row written whole, whatever it held before: the previous ply of the same
// game, a position of another game, the other side's turned planes, or an
// observation of a restored history that has no packed form.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "env/observation_writer.hpp"
#include "tests/native/env/random_games.hpp"

namespace varnok {
namespace {

constexpr ObservationFormat kValueFormats[] = {ObservationFormat::kFloat32, ObservationFormat::kInt32,
                                               ObservationFormat::kUint8};

// A game whose history holds a piece plane with a 7 in it: no packed form.
Episode board_without_packed_form(const Episode& from) {
  State state = from.save_state();
  state.state_history.at(0).at(0).at(20) = 7;
  Episode board;
  board.restore_state(state);
  EXPECT_FALSE(history_is_packable(board.state_history));
  return board;
}

// Writes every board of order into one row and compares it with a whole
// write after each.
void expect_rows_equal_whole_writes(ObservationFormat format, const std::vector<Episode>& order) {
  const size_t bytes = observation_bytes(format);
  std::vector<uint8_t> row(bytes), whole(bytes);
  WrittenRow written;
  for (size_t i = 0; i < order.size(); ++i) {
    write_row_changes(format, order[i], row.data(), written);
    write_batch_row(format, order[i], whole.data());
    ASSERT_EQ(std::memcmp(row.data(), whole.data(), bytes), 0)
        << "format " << static_cast<int>(format) << ", board " << i << ": " << order[i].fen(EnPassantField::kStandard);
  }
}

TEST(ObservationRows, WrittenOverEqualWrittenWhole) {
  std::vector<Episode> boards;
  for_each_position_of_random_games(11, 6, [&](const Episode& board, int) { boards.push_back(board); });
  ASSERT_GT(boards.size(), 300u);
  // Some plies of the games have counters past 255 (uint8 clamps them) and
  // the first of each game is right after a reset (not turned for black).
  std::vector<Episode> shuffled = boards;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(5));
  std::vector<Episode> with_unpackable;
  for (size_t i = 0; i < 200; ++i) {
    with_unpackable.push_back(boards[i]);
    if (i % 37 == 0) with_unpackable.push_back(board_without_packed_form(boards[i + 1]));
  }
  for (ObservationFormat format : kValueFormats) {
    expect_rows_equal_whole_writes(format, boards);  // ply after ply of the same game
    expect_rows_equal_whole_writes(format, shuffled);
    expect_rows_equal_whole_writes(format, with_unpackable);
  }
}

}  // namespace
}  // namespace varnok
