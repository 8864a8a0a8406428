// Many independent search trees searched together, so that a network scores
// the leaves of every tree in one batch per round:
//   select(k)       -> up to k leaves per tree, their observations and masks
//                      written into leaf_arrays(), rows ordered by tree
//   expand(priors, values) for exactly those rows, then the next round.
// The trees are spread over a persistent pool of worker threads in fixed
// contiguous shares; each tree draws from its own generator (seed, tree
// index), so results do not depend on the number of threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "search/mcts_tree.hpp"
#include "search/search_options.hpp"
#include "vector/single_caller.hpp"
#include "vector/thread_pool.hpp"

namespace varnok {

// The rows of one round, in the layout a network reads. A round writes into
// the arrays of the last round when they are large enough; otherwise into
// new ones (views on the old ones keep them alive through the shared owner).
struct LeafArrays {
  std::vector<uint8_t> observations;       // rows x observation row bytes
  std::vector<WrittenRow> written;         // what each row of observations holds
  std::vector<uint8_t> masks;              // rows x 4672, 0 or 1
  std::vector<WrittenMask> written_masks;  // what each row of masks holds
  std::vector<int32_t> trees;              // the tree of each row
};

class Mcts {
 public:
  explicit Mcts(const SearchOptions& options);

  int size() const { return static_cast<int>(trees_.size()); }
  int threads() const { return pool_.size(); }
  const SearchOptions& options() const { return options_; }
  const MctsTree& tree(int index) const { return *trees_[index]; }
  // The state of every tree's seeded draws as text, and back (see draws_of).
  std::string draws() const { return draws_of(trees_); }
  bool set_draws(const std::string& text) { return set_draws_of(trees_, text); }
  // Bytes of one observation row in the chosen format.
  size_t observation_row_bytes() const;

  // Starts trees[i] at *boards[i]; with running_games, each board is a
  // running game read in place, taken as the root its saved State would
  // give (see MctsTree::set_root). Everything
  // is checked first: std::invalid_argument when the lists differ in length,
  // name a tree that does not exist or a tree twice, or naming the first
  // board that is a finished game, or, for packed observations, has a history
  // that cannot be packed; then nothing has changed. Any round in progress is
  // dropped. The trees are started on the worker threads.
  void set_roots(const std::vector<int>& trees, const std::vector<const Episode*>& boards, bool running_games);
  void set_roots(const std::vector<int>& trees, const std::vector<Episode>& boards);

  // One round of descents, its rows written into leaf_arrays():
  // std::runtime_error while the last round's leaves wait for expand;
  // std::invalid_argument, with nothing changed, when the round's arrays
  // (num_trees x leaves_per_tree rows) would pass 2 GiB.
  // Returns the number of leaves (rows).
  // std::invalid_argument unless 1 <= leaves_per_tree <= kMaxLeavesPerTree.
  int select(int64_t leaves_per_tree);
  static constexpr int64_t kMaxLeavesPerTree = int64_t{1} << 16;
  const std::shared_ptr<LeafArrays>& leaf_arrays() const { return leaf_arrays_; }
  // Safe to read from any thread, also while another one is inside a call.
  bool round_open() const { return round_open_.load(std::memory_order_acquire); }
  int leaf_count() const { return leaf_count_; }
  // Takes the network's answer for the rows of the round: priors (rows x
  // 4672, logits or probabilities, read on the legal actions only) and
  // values (for each leaf's side to move). std::runtime_error without an
  // open round; std::invalid_argument naming the first bad row, with nothing
  // changed.
  void expand(const float* priors, const float* values, bool logits);

  // ---- results, one row per tree
  void visit_counts(int32_t* out) const;   // (trees, 4672)
  void root_values(float* out) const;      // (trees,)
  void improved_policy(float* out) const;  // (trees, 4672)
  void chosen_actions(double temperature, int64_t* out);
  void root_noise(double* out) const;  // (trees, 4672)
  // Plays actions[t] at the root of tree t and keeps its subtree.
  // std::invalid_argument naming the first tree whose root has no such child
  // (or no priors yet, or is a finished game), with nothing changed; std::runtime_error during a round.
  void advance(const int64_t* actions);

  // One caller at a time: std::runtime_error when another thread is inside.
  void acquire();
  void release() { caller_.release(); }

 private:
  // Runs work(begin, end) over lots of trees that together are every tree
  // once: on the worker threads, lots of chunk trees, or with one thread or
  // pooled false (work too small to be worth handing over) one lot of all
  // on the calling thread. Within its lot, work may look at the next tree
  // (t + 1 < end); a tree of another lot may be another thread's.
  template <class Work>
  void for_each_lot(Work work, int chunk, bool pooled = true) const;
  // for_each_lot for work(t) of one tree.
  template <class Work>
  void for_each_tree(Work work, int chunk = 1, bool pooled = true) const;

  SearchOptions options_;
  std::vector<std::vector<int32_t>> table_;  // sequential halving's plan (Gumbel)
  std::vector<std::unique_ptr<MctsTree>> trees_;
  std::vector<int> first_row_;  // per tree, then the total: rows of the open round
  // expand's findings per tree: what is wrong, in which row (-1: nothing)
  std::vector<std::string> problems_;
  std::vector<int> bad_rows_;
  std::shared_ptr<LeafArrays> leaf_arrays_;
  int leaf_count_ = 0;
  std::atomic<bool> round_open_{false};
  SingleCaller caller_;
  mutable ThreadPool pool_;
};

}  // namespace varnok
