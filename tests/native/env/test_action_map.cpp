// The compact action map against a plain std::map fed the same pairs: any
// order of arrival, repeated actions (the last move wins), the full range of
// actions, copies, and a map refilled smaller than before; and its listing
// of a position's legal moves against the moves played one at a time.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "core/position.hpp"
#include "env/action_map.hpp"
#include "env/episode.hpp"
#include "random_games.hpp"

namespace varnok {
namespace {

using Pairs = std::vector<std::pair<int, Move>>;

void expect_same(const ActionMap& map, const std::map<int, Move>& expected) {
  ASSERT_EQ(map.size(), static_cast<int>(expected.size()));
  Pairs visited;
  map.for_each([&](int action, Move move) { visited.emplace_back(action, move); });
  EXPECT_EQ(visited, Pairs(expected.begin(), expected.end()));
  int k = 0;
  for (const auto& [action, move] : expected) {
    EXPECT_TRUE(map.contains(action));
    EXPECT_EQ(map.at(action), move);
    EXPECT_EQ(map.nth_action(k++), action);
  }
}

TEST(ActionMap, AgreesWithAnOrderedMapOverRandomFillings) {
  std::mt19937 rng(7);
  ActionMap map;
  for (int round = 0; round < 300; ++round) {
    // Small listings as positions have them, and large ones up to the capacity.
    const int pairs = round % 10 == 0 ? ActionMap::kCapacity + 200 : static_cast<int>(rng() % 80);
    const int spread = round % 10 == 0 ? 2 * ActionMap::kCapacity : kActionCount;
    Pairs given;
    std::map<int, Move> expected;
    for (int i = 0; i < pairs && static_cast<int>(expected.size()) < ActionMap::kCapacity; ++i) {
      const int action = static_cast<int>(rng() % spread) * (kActionCount - 1) / (spread - 1);
      const Move move = static_cast<Move>(rng() % 1'000'000 + 1);
      given.emplace_back(action, move);
      expected[action] = move;
    }
    map.assign([&](auto add) {
      for (const auto& [action, move] : given) add(action, move);
    });
    expect_same(map, expected);
    for (int action : {0, 1, 63, 64, kActionCount - 1})
      EXPECT_EQ(map.contains(action), expected.count(action) == 1) << action;
    EXPECT_FALSE(map.contains(-1));
    EXPECT_FALSE(map.contains(kActionCount));
    const ActionMap copy = map;
    expect_same(copy, expected);
  }
}

TEST(ActionMap, ClearLeavesNothingListed) {
  ActionMap map;
  map.assign([](auto add) {
    add(4671, Move{5});
    add(0, Move{6});
  });
  map.clear();
  EXPECT_EQ(map.size(), 0);
  EXPECT_FALSE(map.contains(4671));
  EXPECT_FALSE(map.contains(0));
  int visits = 0;
  map.for_each([&](int, Move) { ++visits; });
  EXPECT_EQ(visits, 0);
}

// The listing takes the targets of a piece that can expose nothing without
// judging them; it must list exactly the generated moves that leave the
// mover's king safe when played (is_legal plays each on a copy).
void expect_listing_of_legal_moves(const Position& position, const std::string& where) {
  std::map<int, Move> expected;
  MoveList list;
  position.generate_moves(list);
  for (int i = 0; i < list.count; ++i)
    if (position.is_legal(list.moves[i])) expected[action_of_move(position.side, list.moves[i])] = list.moves[i];
  ActionMap map;
  map.list_legal(position);
  SCOPED_TRACE(where);
  expect_same(map, expected);
}

TEST(ActionMap, ListsTheMovesThatLeaveTheKingSafe) {
  const char* fens[] = {
      "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
      "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
      "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
      "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
      "4k3/8/8/8/1b6/8/3N4/4K3 w - - 0 1",     // a knight pinned to its king
      "4k3/4r3/8/8/8/8/4R3/4K3 w - - 0 1",     // a rook pinned along its line
      "4k3/8/8/1B6/8/8/4r3/3nK3 w - - 0 1",    // check from a rook, a knight beside
      "4k3/8/8/8/8/5n2/3r4/4K3 w - - 0 1",     // double check
      "8/8/8/K1pP3r/8/8/8/7k w - c6 0 1",      // en passant would expose the king
      "r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1",  // castling both ways
      "1r2k3/P7/8/8/8/8/8/4K3 w - - 0 1",      // promotions, by push and capture
      "4k3/8/8/8/8/8/8/8 w - - 0 1",           // a side without a king
  };
  for (const char* fen : fens) {
    Episode board;
    board.position.parse_fen(fen);
    expect_listing_of_legal_moves(board.position, fen);
    // And every reply, which brings pins and checks of its own.
    board.move_index.list_legal(board.position);
    board.move_index.for_each([&](int, Move move) {
      Position after = board.position;
      after.apply_move(move);
      expect_listing_of_legal_moves(after, std::string(fen) + " after a move");
    });
  }
  for_each_position_of_random_games(11, 20, [](const Episode& board, int game) {
    expect_listing_of_legal_moves(board.position, "game " + std::to_string(game));
  });
}

}  // namespace
}  // namespace varnok
