// The leaf games of a search against the episode itself: a LeafGame played
// along a path from a root must show, at every ply, the observation, the
// legal moves and the verdict that a copy of the root Episode reaches with
// play, including the third occurrence of a position (counted across
// the root's game and the path), the no-progress limit, and insufficient
// material under FIDE rules.
#include <gtest/gtest.h>

#include <random>
#include <utility>
#include <vector>

#include "env/observation_writer.hpp"
#include "episode_at.hpp"
#include "search/leaf_game.hpp"

namespace varnok {
namespace {

std::vector<std::pair<int, Move>> entries(const ActionMap& listing) {
  std::vector<std::pair<int, Move>> out;
  listing.for_each([&](int action, Move move) { out.emplace_back(action, move); });
  return out;
}

std::vector<int32_t> observation_of(const ObservedGame& game) {
  std::vector<int32_t> out(kObservationValues);
  write_batch_row(ObservationFormat::kInt32, game, out.data());
  return out;
}

std::vector<uint64_t> packed_of(const ObservedGame& game) {
  std::vector<uint64_t> out(kObservationPlanes);
  write_batch_row(ObservationFormat::kPacked, game, out.data());
  return out;
}

// Plays actions from root on a copy of the Episode and on a LeafGame, comparing
// after every ply; stops early when the episode ends. Returns the verdict.
Outcome expect_same_along(const Episode& root, const std::vector<int32_t>& actions) {
  Episode board = root;
  LeafGame game;
  ActionMap listing;
  game.start(root);
  EXPECT_EQ(observation_of(game.observed()), observation_of(ObservedGame(board)));
  Outcome outcome;
  for (size_t ply = 0; ply < actions.size() && !outcome.done(); ++ply) {
    const Move move = board.move_index.at(actions[ply]);
    outcome = board.play(actions[ply]);
    game.play(move);
    const Outcome leaf = game.list_and_judge(listing);
    EXPECT_EQ(leaf.termination, outcome.termination) << "ply " << ply;
    EXPECT_EQ(leaf.reward, outcome.reward) << "ply " << ply;
    EXPECT_EQ(entries(listing), entries(board.move_index)) << "ply " << ply;
    EXPECT_EQ(game.position(), board.position) << "ply " << ply;
    EXPECT_EQ(observation_of(game.observed()), observation_of(ObservedGame(board))) << "ply " << ply;
    EXPECT_EQ(packed_of(game.observed()), packed_of(ObservedGame(board))) << "ply " << ply;
  }
  return outcome;
}

// The action of the legal move from source to target at the Episode's position.
int32_t action_of(const Episode& board, int source, int target) {
  int32_t found = -1;
  board.move_index.for_each([&](int action, Move move) {
    if (move_source(move) == source && move_target(move) == target) found = action;
  });
  EXPECT_GE(found, 0) << source << "-" << target;
  return found;
}

// Random games from root, and every path of two plies.
void expect_same_everywhere(const Episode& root, int walks, uint32_t seed) {
  std::mt19937 random(seed);
  for (int w = 0; w < walks; ++w) {
    Episode board = root;
    std::vector<int32_t> actions;
    for (int ply = 0; ply < 40 && board.move_index.size() > 0; ++ply) {
      actions.push_back(board.move_index.nth_action(random() % board.move_index.size()));
      if (board.play(actions.back()).done()) break;
    }
    expect_same_along(root, actions);
  }
  root.move_index.for_each([&](int first, Move) {
    Episode after = root;
    if (after.play(first).done()) {
      expect_same_along(root, {first});
      return;
    }
    after.move_index.for_each([&](int second, Move) { expect_same_along(root, {first, second}); });
  });
}

TEST(LeafGame, FollowsTheEpisodeFromTheStartAndFromAGameInProgress) {
  Episode start;
  start.reset();  // the observation of reset itself is never turned
  expect_same_everywhere(start, 20, 1);
  Episode in_progress = start;
  std::mt19937 random(7);
  for (int ply = 0; ply < 11; ++ply)
    in_progress.play(in_progress.move_index.nth_action(random() % in_progress.move_index.size()));
  expect_same_everywhere(in_progress, 20, 2);
}

TEST(LeafGame, CountsRepetitionsAcrossTheRootsGameAndThePath) {
  Episode root;
  root.reset();
  const std::vector<std::pair<int, int>> cycle = {{kG1, kF3}, {kG8, kF6}, {kF3, kG1}, {kF6, kG8}};
  for (auto [from, to] : cycle) root.play(action_of(root, from, to));
  // The initial position has occurred twice in the root's game: once more
  // on the path is its third occurrence.
  std::vector<int32_t> actions;
  Episode board = root;
  for (int lap = 0; lap < 2; ++lap)
    for (auto [from, to] : cycle) {
      actions.push_back(action_of(board, from, to));
      board.play(actions.back());
    }
  EXPECT_EQ(expect_same_along(root, actions).termination, Termination::kRepetition);
  // A position repeated only along the path, from a root where it never was.
  Episode elsewhere = episode_at("4k3/8/8/8/8/8/8/R3K3 w - - 0 30");
  actions.clear();
  board = elsewhere;
  const std::vector<std::pair<int, int>> rook_cycle = {{kA1, kA2}, {kE8, kD8}, {kA2, kA1}, {kD8, kE8}};
  for (int lap = 0; lap < 2; ++lap)
    for (auto [from, to] : rook_cycle) {
      actions.push_back(action_of(board, from, to));
      board.play(actions.back());
    }
  EXPECT_EQ(expect_same_along(elsewhere, actions).termination, Termination::kRepetition);
}

TEST(LeafGame, EndsAtTheNoProgressLimitAndOnInsufficientMaterial) {
  const Episode near_limit = episode_at("4k3/8/8/8/8/8/8/R3K3 w - - 46 70");
  expect_same_everywhere(near_limit, 10, 3);
  const Episode fide_near_limit = episode_at("4k3/8/8/8/8/8/8/R3K3 w - - 96 70", DrawRules::kFide);
  expect_same_everywhere(fide_near_limit, 10, 4);
  // White's king can take the last black piece, leaving king and bishop against king.
  const Episode fide = episode_at("4k3/8/8/8/8/8/5n2/4KB2 w - - 0 1", DrawRules::kFide);
  EXPECT_EQ(expect_same_along(fide, {action_of(fide, kE1, kF2)}).termination, Termination::kInsufficientMaterial);
  expect_same_everywhere(fide, 10, 5);
  // Mates and stalemates at the leaves.
  expect_same_everywhere(episode_at("6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1"), 10, 6);
  expect_same_everywhere(episode_at("7k/5Q2/6K1/8/8/8/8/8 w - - 0 1"), 10, 7);
}

}  // namespace
}  // namespace varnok
