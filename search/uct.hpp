// Plain UCT for search without a network: the search tree (mcts_tree.hpp)
// with roll-out evaluation, a leaf valued by one seeded random roll-out and
// children chosen by UCB1, Q + c * sqrt(ln N / N(a)), with the solver on
// when asked. Uct runs many such trees side by side on a worker pool.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "env/episode.hpp"
#include "search/mcts_tree.hpp"
#include "search/search_options.hpp"
#include "vector/single_caller.hpp"
#include "vector/thread_pool.hpp"

namespace varnok {

// The nodes per tree varnok.UCT gives unless asked for another (beyond them
// leaves are rolled out unexpanded); SearchOptions' own default is the
// network search's.
inline constexpr int64_t kUctNodeBudget = 200000;

class Uct {
 public:
  // UCT's settings are the search's, of which it reads num_trees,
  // num_threads, seed, node_budget, exploration (c of UCB1) and solver: its
  // leaves are valued by roll-outs, with no Gumbel root, whatever evaluation
  // and root_selection say. Settings out of range are refused
  // (std::invalid_argument) as by check_options.
  explicit Uct(const SearchOptions& options);
  int size() const { return static_cast<int>(trees_.size()); }
  int threads() const { return pool_.size(); }
  const MctsTree& tree(int index) const { return *trees_[index]; }
  // The state of every tree's seeded draws as text, and back (see draws_of).
  std::string draws() const { return draws_of(trees_); }
  bool set_draws(const std::string& text) { return set_draws_of(trees_, text); }

  // Checks every board first: std::invalid_argument when
  // there is not one per tree, or naming the first finished game, with
  // nothing changed.
  void set_roots(const std::vector<const Episode*>& boards);
  void set_roots(const std::vector<Episode>& boards);
  // simulations per tree, trees spread over the workers; the simulations run (per tree) into done.
  void run(int simulations, int32_t* done);
  // The move to play per tree (see MctsTree::chosen_action): the best at
  // temperature 0, else drawn from the tree's seeded generator.
  void chosen_actions(double temperature, int64_t* out);

  // One caller at a time: std::runtime_error when another thread is inside.
  void acquire();
  void release() { caller_.release(); }

 private:
  SearchOptions options_;
  std::vector<std::unique_ptr<MctsTree>> trees_;
  SingleCaller caller_;
  ThreadPool pool_;
};

}  // namespace varnok
