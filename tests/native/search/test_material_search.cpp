// The material alpha-beta player: it takes material and gives mate as deep
// as it looks, sees a recapture one ply further, never plays into a finished
// game it could avoid, and breaks ties reproducibly from its seed.
#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "episode_at.hpp"
#include "search/material_search.hpp"

namespace varnok {
namespace {

struct Case {
  const char* what;
  const char* fen;
  int depth;
  const char* move;      // the move it must play, or nullptr
  const char* not_move;  // a move it must not play, or nullptr
  int32_t score;
};

TEST(MaterialSearch, ChoosesByMaterialAndMate) {
  const std::vector<Case> cases = {
      {"back-rank mate in one", "6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1", 1, "a1a8", nullptr, kMateScore},
      {"the quicker mate at depth 3", "6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1", 3, "a1a8", nullptr, kMateScore},
      {"takes a hanging queen", "4k3/8/8/3q4/8/8/8/3RK3 w - - 0 1", 1, "d1d5", nullptr, 500},
      {"keeps it at depth 2", "4k3/8/8/3q4/8/8/8/3RK3 w - - 0 1", 2, "d1d5", nullptr, 500},
      {"greedy at depth 1", "4k3/8/2p5/3p4/8/8/8/3QK3 w - - 0 1", 1, "d1d5", nullptr, 800},
      {"sees the recapture at depth 2", "4k3/8/2p5/3p4/8/8/8/3QK3 w - - 0 1", 2, nullptr, "d1d5", 700},
      {"black mates too", "r5k1/8/8/8/8/8/5PPP/6K1 b - - 0 1", 1, "a8a1", nullptr, kMateScore},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Episode board = episode_at(c.fen, DrawRules::kFide);
    MaterialSearch search({c.depth, 7});
    const MaterialChoice choice = search.choose(board);
    const std::string played = board.action_to_uci(choice.action);
    if (c.move) {
      EXPECT_EQ(played, c.move);
    }
    if (c.not_move) {
      EXPECT_NE(played, c.not_move);
    }
    EXPECT_EQ(choice.score, c.score);
    EXPECT_GT(choice.nodes, 1);
  }
}

TEST(MaterialSearch, TiesAreDrawnFromTheSeed) {
  // At the initial position every move keeps the material level: all twenty tie at depth 1.
  Episode board = episode_at("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", DrawRules::kFide);
  auto sequence = [&](uint64_t seed) {
    MaterialSearch search({1, seed});
    std::vector<int32_t> out;
    for (int i = 0; i < 400; ++i) out.push_back(search.choose(board).action);
    return out;
  };
  const std::vector<int32_t> first = sequence(1);
  EXPECT_EQ(first, sequence(1));
  EXPECT_NE(first, sequence(2));
  EXPECT_EQ(std::set<int32_t>(first.begin(), first.end()).size(), 20u);
}

TEST(MaterialSearch, DeepeningChoosesAsTheWholeSearchUntilItsLimitsEndIt) {
  const char* const kMiddlegame = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1";
  const char* const fens[] = {kMiddlegame, "4k3/8/2p5/3p4/8/8/8/3QK3 w - - 0 1", "6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1",
                              "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"};
  const MaterialLimits never{0, [] { return false; }, {}};
  for (const char* fen : fens) {
    for (uint64_t seed : {1, 2, 3}) {
      SCOPED_TRACE(std::string(fen) + " seed " + std::to_string(seed));
      const Episode board = episode_at(fen, DrawRules::kFide);
      MaterialSearch whole({3, seed}), deepening({3, seed});
      const MaterialChoice expected = whole.choose(board);
      const MaterialChoice choice = deepening.choose_within(board, never);
      EXPECT_EQ(choice.action, expected.action);
      EXPECT_EQ(choice.score, expected.score);
      EXPECT_EQ(choice.depth, expected.score >= kMateBound ? 1 : 3);  // the mate in one ends at depth 1
      EXPECT_EQ(whole.choose(board).action, deepening.choose_within(board, never).action);  // the draws go on alike
    }
  }
  // Depth 1 is searched whole whatever the limits; deeper depths end at them.
  const Episode board = episode_at(kMiddlegame, DrawRules::kFide);
  const MaterialChoice first = MaterialSearch({1, 5}).choose(board);
  const MaterialChoice stopped = MaterialSearch({8, 5}).choose_within(board, {0, [] { return true; }, {}});
  EXPECT_EQ(stopped.depth, 1);
  EXPECT_EQ(stopped.action, first.action);
  EXPECT_LT(stopped.nodes, first.nodes + MaterialLimits::kNodesBetweenChecks + 1);
  const MaterialChoice budgeted = MaterialSearch({8, 5}).choose_within(board, {5000, {}, {}});
  EXPECT_LE(budgeted.depth, 3);
  EXPECT_LE(budgeted.nodes, 5000);
}

TEST(MaterialSearch, RefusesBadDepthAndFinishedGames) {
  for (int depth : {0, -1, MaterialOptions::kMaxDepth + 1})
    EXPECT_THROW(MaterialSearch({depth, 0}), std::invalid_argument) << depth;
  MaterialSearch search({1, 0});
  EXPECT_THROW(search.choose(episode_at("R5k1/5ppp/8/8/8/8/8/6K1 b - - 0 1", DrawRules::kFide)),
               std::invalid_argument);  // mated
  EXPECT_THROW(search.choose(episode_at("k7/2Q5/1K6/8/8/8/8/8 b - - 0 1", DrawRules::kFide)),
               std::invalid_argument);  // stalemate
}

}  // namespace
}  // namespace varnok
