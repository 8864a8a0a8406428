// The repetition table: counts survive growth, visiting sees each entry once
// in the order entries were taken, and clearing costs nothing later: a table
// grown huge gives its memory back, a small one keeps it for the next game.
// Counted by identity, positions that share a key stay apart.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "env/episode.hpp"
#include "env/repetition_map.hpp"

namespace varnok {
namespace {

// Keys that share their low bits, as position hashes can.
uint64_t key_of(int i) { return static_cast<uint64_t>(i) << 40 | 0x5a5a; }

TEST(RepetitionMap, CountsSurviveGrowthAndAreVisitedInInsertionOrder) {
  RepetitionMap map;
  std::vector<uint64_t> order;
  for (int i = 0; i < 5000; ++i) {
    map.increment(key_of(i));
    order.push_back(key_of(i));
  }
  for (int i = 0; i < 5000; i += 3) map.increment(key_of(i));
  EXPECT_EQ(map.size(), 5000);
  std::vector<uint64_t> visited;
  map.for_each([&](uint64_t key, int32_t count) {
    visited.push_back(key);
    const int i = static_cast<int>(key >> 40);
    EXPECT_EQ(count, i % 3 == 0 ? 2 : 1) << i;
  });
  EXPECT_EQ(visited, order);
  EXPECT_EQ(map.count(key_of(5001)), 0);
}

TEST(RepetitionMap, ClearingAHugeTableGivesItsMemoryBack) {
  RepetitionMap map;
  for (int i = 0; i < 1'000'000; ++i) map.set(key_of(i), 1);
  ASSERT_GE(map.capacity(), 1'000'000u);
  map.clear();
  EXPECT_EQ(map.size(), 0);
  EXPECT_EQ(map.capacity(), 0u);
  EXPECT_EQ(map.count(key_of(7)), 0);
  EXPECT_EQ(map.increment(key_of(7)), 1);
  EXPECT_LE(map.capacity(), 64u);
}

TEST(RepetitionMap, ClearingAGameSizedTableKeepsItsSlots) {
  RepetitionMap map;
  for (int i = 0; i < 300; ++i) map.increment(key_of(i));
  const size_t capacity = map.capacity();
  map.clear();
  EXPECT_EQ(map.capacity(), capacity);
  int visits = 0;
  map.for_each([&](uint64_t, int32_t) { ++visits; });
  EXPECT_EQ(visits, 0);
  for (int i = 0; i < 300; ++i) EXPECT_EQ(map.increment(key_of(i + 1000)), 1);
  EXPECT_EQ(map.capacity(), capacity);
}

// Distinct positions under one key (as a collision would give) count apart,
// through growth; an entry put back by key alone takes the identity of the
// first position recorded with that key; forgotten identities match nothing.
TEST(RepetitionMap, ByIdentityPositionsSharingAKeyCountApart) {
  RepetitionMap map;
  PositionIdentity a, b;
  a.pieces[WK] = square_bit(kA7);
  a.pieces[BB] = square_bit(kB2);
  b.pieces[WK] = square_bit(kB2);
  b.pieces[BB] = square_bit(kA7);
  constexpr uint64_t kShared = 0xe7d3e6db96d263d4ULL;
  EXPECT_EQ(map.increment(kShared, a), 1);
  EXPECT_EQ(map.increment(kShared, b), 1);
  EXPECT_EQ(map.increment(kShared, a), 2);
  for (int i = 0; i < 500; ++i) map.increment(key_of(i), b);  // grows the table
  EXPECT_EQ(map.count(kShared, a), 2);
  EXPECT_EQ(map.count(kShared, b), 1);
  EXPECT_EQ(map.size(), 502);

  map.clear();
  map.set(kShared, 2);
  EXPECT_EQ(map.count(kShared, b), 2);      // a key alone answers for any identity
  EXPECT_EQ(map.increment(kShared, b), 3);  // and now belongs to b
  EXPECT_EQ(map.increment(kShared, a), 1);
  EXPECT_EQ(map.count(kShared, b), 3);

  // After a pawn move or a capture the positions before cannot recur: their
  // entries stay (and are saved) but match nothing later.
  map.forget_identities();
  EXPECT_EQ(map.count(kShared, b), 0);
  EXPECT_EQ(map.increment(kShared, b), 1);
  int entries = 0;
  map.for_each([&](uint64_t key, int32_t) { entries += key == kShared; });
  EXPECT_EQ(entries, 3);
}

// A saved game with a huge repetition record leaves nothing behind once the
// board starts another game, and saving copies just the entries present.
TEST(RepetitionMap, BoardDropsARestoredHugeRecordOnReset) {
  Episode board;
  board.reset();
  State state = board.save_state();
  for (int i = 0; i < 200'000; ++i) state.repetition_count.emplace(key_of(i), 1);
  board.restore_state(state);
  EXPECT_GE(board.repetition_count.capacity(), 200'000u);
  EXPECT_EQ(board.save_state().repetition_count.size(), state.repetition_count.size());
  board.reset();
  EXPECT_LE(board.repetition_count.capacity(), 64u);
  EXPECT_EQ(board.save_state().repetition_count.size(), 1u);
}

}  // namespace
}  // namespace varnok
