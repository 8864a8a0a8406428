// The compact action map against a plain std::map fed the same pairs: any
// order of arrival, repeated actions (the last move wins), the full range of
// actions, copies, and a map refilled smaller than before.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "env/action_map.hpp"

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

}  // namespace
}  // namespace varnok
