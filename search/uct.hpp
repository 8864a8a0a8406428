// Plain UCT for search without a network: a node is expanded when first
// reached, its value is one seeded random roll-out from it (Board's
// roll_out_with, the episode's rules), and a child is chosen by
// UCB1, Q + c * sqrt(ln N / N(a)), every unvisited child first in action order.
//
// With the solver on (MCTS-Solver, Winands et al. 2008) results that are
// certain are proved and passed up: a node with a child whose side to move
// is checkmated (or proved lost) is a proved win; a node whose children are
// all proved wins for their side to move is a proved loss. A proved child is
// taken at once (a win) or never again (a loss), so short mates are found
// exactly instead of estimated from roll-outs.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "env/board.hpp"
#include "search/node_pool.hpp"
#include "search/search_options.hpp"
#include "vector/single_caller.hpp"
#include "vector/thread_pool.hpp"

namespace varnok {

// The counts are 64-bit so that any value a caller gives reaches the check
// as given.
struct UctOptions {
  int64_t num_trees = 1;
  int64_t num_threads = 1;  // never more workers than trees are started
  uint64_t seed = 0;
  double exploration = 1.4142135623730951;  // c of UCB1; sqrt(2) for values in [-1, 1]
  int64_t node_budget = 200000;             // nodes per tree; beyond it leaves are rolled out unexpanded
  bool solver = true;
};

// Throws std::invalid_argument naming the first setting out of its range
// (the ranges of SearchOptions).
void check_options(const UctOptions& options);

class UctTree {
 public:
  UctTree(const UctOptions& options, uint64_t index);

  // board is listed and not finished.
  void set_root(const Board& board);
  // Runs simulations (fewer once the root is proved, none before set_root);
  // returns how many ran.
  int run(int simulations);

  // Whether the root's result is proved, and its value then (+1 win, -1 loss).
  bool solved() const { return nodes_[0].state == NodeState::kSolved; }
  double root_value() const;  // for the root's side to move
  void visit_counts(int32_t* out) const;
  // A proved win if there is one, otherwise the most visited child (ties to
  // the lower action); -1 before any simulation.
  int32_t best_action() const;
  const NodePool& nodes() const { return nodes_; }

 private:
  int32_t pick_child(int32_t node) const;
  // Marks the nodes of path that are now proved, from the leaf up.
  void prove_up();
  double simulate();

  const UctOptions& options_;
  std::mt19937 roll_out_random_;
  Board root_;
  bool has_root_ = false;
  Board game_;  // the scratch game of a simulation
  NodePool nodes_;
  std::vector<int32_t> path_;
};

class Uct {
 public:
  explicit Uct(const UctOptions& options);
  int size() const { return static_cast<int>(trees_.size()); }
  int threads() const { return pool_.size(); }
  const UctTree& tree(int index) const { return *trees_[index]; }

  // Checks every board first: std::invalid_argument when
  // there is not one per tree, or naming the first finished game, with
  // nothing changed.
  void set_roots(const std::vector<Board>& boards);
  // simulations per tree, trees spread over the workers; the simulations run (per tree) into done.
  void run(int simulations, int32_t* done);

  // One caller at a time: std::runtime_error when another thread is inside.
  void acquire();
  void release() { caller_.release(); }

 private:
  UctOptions options_;
  std::vector<std::unique_ptr<UctTree>> trees_;
  SingleCaller caller_;
  ThreadPool pool_;
};

}  // namespace varnok
