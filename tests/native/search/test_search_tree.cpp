// The tree search's bookkeeping on real games: values backed up with the sign
// of each side at every depth, finished games scored natively, virtual loss
// taken back, subtrees kept whole, the halving plan, and thread-count
// independence.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <vector>

#include "search/draws.hpp"
#include "search/game_path.hpp"
#include "search/mcts.hpp"

namespace varnok {
namespace {

Episode board_at(const char* fen) {
  Position start;
  start.parse_fen(fen);
  Episode board;
  board.start_from(start);
  return board;
}

constexpr const char* kInitial = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1";
// White to move mates with Ra1-a8 (back rank); every other move leaves the game on.
constexpr const char* kBackRankMate = "6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1";

// A fixed evaluation per leaf, varied by the row so signs cannot cancel.
float leaf_value(int row, int round) { return static_cast<float>(((row * 7 + round * 3) % 11) - 5) / 5.0f; }

SearchOptions options_for(int trees, int threads) {
  SearchOptions o;
  o.num_trees = trees;
  o.num_threads = threads;
  o.seed = 11;
  o.dirichlet_fraction = 0.25;
  return o;
}

TEST(BackUp, AlternatesTheSignFromTheLeafUpAndTakesVirtualLossBack) {
  NodePool nodes(16);
  nodes.reset_to_root();
  std::vector<int32_t> path{0};
  for (int depth = 1; depth <= 5; ++depth) path.push_back(nodes.allocate(1));
  for (int32_t n : path) nodes[n].in_flight = 1;
  back_up(nodes, path, 0.5, true);  // 0.5 for the side to move at the leaf
  for (size_t i = 0; i < path.size(); ++i) {
    const double expected = (path.size() - 1 - i) % 2 == 0 ? -0.5 : 0.5;  // the leaf's mover gets -0.5
    EXPECT_EQ(nodes[path[i]].value_sum, expected) << "depth " << i;
    EXPECT_EQ(nodes[path[i]].visits, 1);
    EXPECT_EQ(nodes[path[i]].in_flight, 0);
  }
}

TEST(MctsTree, EveryNodeHoldsTheSignedSumOfTheLeavesBelowIt) {
  const SearchOptions o = options_for(1, 1);
  const auto table = considered_visits_table(o.gumbel_considered, o.gumbel_simulations);
  MctsTree tree(o, table, 0);
  tree.set_root(board_at(kInitial));
  std::map<int32_t, double> expected_sum;
  std::map<int32_t, int> expected_visits;
  std::vector<float> priors(kActionCount, 1.0f);
  for (int round = 0; round < 40; ++round) {
    tree.select(4);
    for (int j = 0; j < tree.leaf_count(); ++j) {
      const std::vector<int32_t> path = tree.leaf_path(j);
      const float value = leaf_value(j, round);
      for (size_t i = 0; i < path.size(); ++i) {
        // The side to move alternates with depth; the leaf's mover sees -value.
        expected_sum[path[i]] += (path.size() - 1 - i) % 2 == 0 ? -value : value;
        expected_visits[path[i]] += 1;
      }
      tree.expand(j, priors.data(), value, false);
    }
    tree.end_round();
  }
  const NodePool& nodes = tree.nodes();
  for (const auto& [node, sum] : expected_sum) {
    EXPECT_NEAR(nodes[node].value_sum, sum, 1e-9) << "node " << node;
    EXPECT_EQ(nodes[node].visits, expected_visits[node]) << "node " << node;
    EXPECT_EQ(nodes[node].in_flight, 0);
  }
  int expanded = 0;
  for (int32_t n = 0; n < nodes.size(); ++n) expanded += nodes[n].state == NodeState::kExpanded;
  EXPECT_GT(expanded, 20);  // the search went below the root's children
  EXPECT_NEAR(tree.root_value(), -nodes[0].value_sum / nodes[0].visits, 1e-12);
}

TEST(MctsTree, ScoresCheckmateNativelyForTheSideThatMated) {
  SearchOptions o = options_for(1, 1);
  o.dirichlet_fraction = 0;
  const auto table = considered_visits_table(o.gumbel_considered, o.gumbel_simulations);
  MctsTree tree(o, table, 0);
  tree.set_root(board_at(kBackRankMate));
  std::vector<float> priors(kActionCount, 1.0f);
  int sent = 0;
  for (int round = 0; round < 60; ++round) {
    tree.select(1);
    for (int j = 0; j < tree.leaf_count(); ++j, ++sent) tree.expand(j, priors.data(), 0.0f, false);
    tree.end_round();
  }
  const NodePool& nodes = tree.nodes();
  const Node& root = nodes[0];
  const int mate_action = 13 * 64 + kA1;  // a1-a8: direction ahead (1), distance 7
  bool found = false;
  for (int i = 0; i < root.child_count; ++i) {
    const Node& child = nodes[root.first_child + i];
    if (child.action != mate_action) continue;
    found = true;
    EXPECT_EQ(child.state, NodeState::kTerminal);
    EXPECT_EQ(child.value, -1);  // black, to move there, is checkmated
    EXPECT_GT(child.visits, 1);
    EXPECT_EQ(child.value_sum, child.visits);  // every visit a win for white, who moved
  }
  EXPECT_TRUE(found);
  EXPECT_LT(sent, 60);  // the mate's visits were never sent to the network
  EXPECT_EQ(tree.chosen_action(0), mate_action);
}

TEST(MctsTree, CollisionsTakeTheirVirtualLossBackAndLeavesStayDistinct) {
  SearchOptions o = options_for(1, 1);
  const auto table = considered_visits_table(o.gumbel_considered, o.gumbel_simulations);
  MctsTree tree(o, table, 0);
  tree.set_root(board_at(kInitial));
  std::vector<float> priors(kActionCount, 1.0f);
  tree.select(8);
  ASSERT_EQ(tree.leaf_count(), 1);  // only the root is new: seven collisions
  EXPECT_EQ(tree.nodes()[0].in_flight, 1);
  tree.expand(0, priors.data(), 0.0f, false);
  tree.end_round();
  tree.select(8);
  ASSERT_EQ(tree.leaf_count(), 8);
  std::vector<int32_t> leaves;
  for (int j = 0; j < 8; ++j) leaves.push_back(tree.leaf_path(j).back());
  std::sort(leaves.begin(), leaves.end());
  EXPECT_EQ(std::unique(leaves.begin(), leaves.end()), leaves.end());
  EXPECT_EQ(tree.nodes()[0].in_flight, 8);
}

TEST(NodePool, KeepSubtreeKeepsEveryStatisticAndTheChildBlocks) {
  NodePool nodes(64);
  nodes.reset_to_root();
  auto add = [&](int32_t parent, int count) {
    const int32_t first = nodes.allocate(count);
    nodes[parent].first_child = first;
    nodes[parent].child_count = static_cast<int16_t>(count);
    for (int i = 0; i < count; ++i) {
      nodes[first + i].action = static_cast<int16_t>(100 * parent + i);
      nodes[first + i].visits = first + i;
    }
    return first;
  };
  const int32_t a = add(0, 3);
  const int32_t b = add(a + 1, 2);
  add(a + 2, 4);  // dropped with its parent
  add(b, 2);
  nodes.keep_subtree(a + 1);
  ASSERT_EQ(nodes.size(), 5);
  EXPECT_EQ(nodes[0].action, 1);
  EXPECT_EQ(nodes[0].visits, a + 1);
  ASSERT_EQ(nodes[0].child_count, 2);
  const Node& kept_b = nodes[nodes[0].first_child];
  EXPECT_EQ(kept_b.visits, b);
  ASSERT_EQ(kept_b.child_count, 2);
  EXPECT_EQ(nodes[kept_b.first_child + 1].action, 100 * b + 1);
}

TEST(ConsideredVisits, FollowsTheSequentialHalvingPlan) {
  const auto table = considered_visits_table(4, 8);
  // Four actions once each, then the better half twice each.
  EXPECT_EQ(table[4], (std::vector<int32_t>{0, 0, 0, 0, 1, 1, 2, 2}));
  EXPECT_EQ(table[1], (std::vector<int32_t>{0, 1, 2, 3, 4, 5, 6, 7}));
  const auto wide = considered_visits_table(16, 64);
  // 16 actions x 1 visit = 16, 8 x 2 = 16, 4 x 4 = 16, then pairs to 64.
  EXPECT_EQ(wide[16][15], 0);
  EXPECT_EQ(wide[16][16], 1);
  EXPECT_EQ(wide[16][32], 3);
  EXPECT_EQ(wide[16].size(), 64u);
}

TEST(Draws, DirichletSumsToOneWithTheRightMean) {
  Random random(5, 0);
  std::vector<double> noise(20);
  std::vector<double> mean(20, 0);
  constexpr int kDraws = 4000;
  for (int d = 0; d < kDraws; ++d) {
    dirichlet_draw(0.3, random, noise);
    double sum = 0;
    for (size_t i = 0; i < noise.size(); ++i) {
      EXPECT_GE(noise[i], 0);
      sum += noise[i];
      mean[i] += noise[i] / kDraws;
    }
    EXPECT_NEAR(sum, 1, 1e-12);
  }
  for (double m : mean) EXPECT_NEAR(m, 0.05, 0.01);
  double gamma_mean = 0;
  for (int d = 0; d < kDraws; ++d) gamma_mean += gamma_draw(2.5, random) / kDraws;
  EXPECT_NEAR(gamma_mean, 2.5, 0.1);
  // Any alpha a search takes gives a distribution: draws that underflow to
  // 0, or whose sum passes the largest double.
  for (const double alpha : {1e-300, 1e300, 1e308, std::numeric_limits<double>::max()}) {
    dirichlet_draw(alpha, random, noise);
    double sum = 0;
    for (const double x : noise) {
      EXPECT_GE(x, 0) << alpha;
      sum += x;
    }
    EXPECT_NEAR(sum, 1, 1e-12) << alpha;
  }
}

std::vector<int32_t> search_counts(int threads, RootSelection selection) {
  SearchOptions o = options_for(5, threads);
  o.root_selection = selection;
  Mcts search(o);
  std::vector<Episode> roots;
  for (int t = 0; t < 5; ++t) roots.push_back(board_at(t % 2 ? kInitial : kBackRankMate));
  search.set_roots({0, 1, 2, 3, 4}, roots);
  for (int round = 0; round < 12; ++round) {
    const int rows = search.select(3);
    std::vector<float> priors(static_cast<size_t>(rows) * kActionCount);
    std::vector<float> values(rows);
    for (int r = 0; r < rows; ++r) {
      values[r] = leaf_value(r, round);
      for (int a = 0; a < kActionCount; ++a)
        priors[static_cast<size_t>(r) * kActionCount + a] = float((a * 31 + r) % 17);
    }
    search.expand(priors.data(), values.data(), false);
  }
  std::vector<int32_t> counts(5 * kActionCount);
  search.visit_counts(counts.data());
  return counts;
}

TEST(Mcts, ResultsDoNotDependOnTheNumberOfThreads) {
  for (RootSelection selection : {RootSelection::kPuct, RootSelection::kGumbel}) {
    const std::vector<int32_t> one = search_counts(1, selection);
    EXPECT_EQ(one, search_counts(2, selection));
    EXPECT_EQ(one, search_counts(3, selection));
    int total = 0;
    for (int32_t c : one) total += c;
    EXPECT_GT(total, 5 * 12);
  }
}

// Refusals that protect every caller of the search, with nothing changed.
TEST(Mcts, RefusesDuplicateTreesOversizedRoundsAndFinishedRoots) {
  SearchOptions o;
  o.num_trees = 2;
  o.seed = 1;
  o.dirichlet_fraction = 0;
  Mcts search(o);
  const std::vector<Episode> roots = {board_at(kInitial), board_at(kBackRankMate)};
  EXPECT_THROW(search.set_roots({0, 0}, roots), std::invalid_argument);
  EXPECT_FALSE(search.tree(0).has_root());
  search.set_roots({0, 1}, roots);
  // 2 trees x 65536 rows of float32 observations: far past the round's limit.
  EXPECT_THROW(search.select(1 << 16), std::invalid_argument);
  EXPECT_FALSE(search.round_open());
  std::vector<float> priors, values;
  for (int round = 0; round < 3; ++round) {
    const int rows = search.select(1);
    priors.assign(static_cast<size_t>(rows) * kActionCount, 1.0f);
    values.assign(rows, 0.0f);
    search.expand(priors.data(), values.data(), false);
  }
  // Tree 1 plays its mate; its root is then over and cannot advance again.
  const int64_t mate = 13 * 64 + 56;  // Ra1-a8: plane 13 (north, distance 7), source a1
  const int64_t first[2] = {search.tree(0).root_board().move_index.nth_action(0), mate};
  search.advance(first);
  ASSERT_TRUE(search.tree(1).finished());
  const int64_t again[2] = {search.tree(0).root_board().move_index.nth_action(0), 0};
  EXPECT_THROW(search.advance(again), std::invalid_argument);
}

TEST(Mcts, GumbelRootsWithMoreChildrenThanSimulationsFollowThePlan) {
  SearchOptions o;
  o.num_trees = 1;
  o.seed = 2;
  o.root_selection = RootSelection::kGumbel;
  o.gumbel_considered = 4672;  // more than any root's children: the plan's rows stop early
  o.gumbel_simulations = 8;
  Mcts search(o);
  search.set_roots({0}, {board_at(kInitial)});
  std::vector<float> priors, values;
  for (int round = 0; round < 12; ++round) {
    const int rows = search.select(1);
    priors.assign(static_cast<size_t>(rows) * kActionCount, 1.0f);
    values.assign(rows, 0.0f);
    search.expand(priors.data(), values.data(), false);
  }
  std::vector<int32_t> visits(kActionCount);
  search.visit_counts(visits.data());
  int total = 0, visited = 0;
  for (int32_t v : visits) total += v, visited += v > 0;
  EXPECT_EQ(total, 8);    // the plan's simulations, then no more root descents
  EXPECT_EQ(visited, 8);  // 20 children, 8 simulations: each considered action once
}

// Restarting some trees while a round waits for expand drops the round in the
// others too: their leaves lose their virtual loss and are reached again.
TEST(Mcts, SetRootsOfSomeTreesDropsTheRoundOfTheOthers) {
  Mcts search(options_for(2, 1));
  std::vector<Episode> roots{board_at(kInitial), board_at(kInitial)};
  search.set_roots({0, 1}, roots);
  const std::vector<float> priors(kActionCount, 1.0f);
  ASSERT_EQ(search.select(1), 2);  // both roots are leaves
  search.set_roots({0}, {roots[0]});
  EXPECT_FALSE(search.round_open());
  const MctsTree& kept = search.tree(1);
  for (int i = 0; i < kept.node_count(); ++i) EXPECT_EQ(kept.nodes()[i].in_flight, 0) << "node " << i;
  EXPECT_EQ(kept.nodes()[0].state, NodeState::kNew);
  EXPECT_EQ(kept.node_count(), 1);  // a leaf's children are made only when it is expanded
  // The next round reaches the kept root again and makes its children once.
  const int children = kept.root_board().move_index.size();
  ASSERT_EQ(search.select(1), 2);
  std::vector<float> both_priors(priors);
  both_priors.insert(both_priors.end(), priors.begin(), priors.end());
  const std::vector<float> values{0.5f, 0.5f};
  search.expand(both_priors.data(), values.data(), false);
  EXPECT_TRUE(kept.root_expanded());
  EXPECT_EQ(kept.nodes()[0].child_count, children);
  EXPECT_EQ(kept.node_count(), 1 + children);
  EXPECT_EQ(kept.nodes()[0].visits, 1);
}

}  // namespace
}  // namespace varnok
