// The settings of a batched tree search, fixed at construction: their
// defaults, and the one check of them that every caller goes through.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "vector/vector_env.hpp"

namespace varnok {

enum class RootSelection : int8_t {
  kPuct,    // PUCT everywhere, Dirichlet noise mixed into the root's priors
  kGumbel,  // Gumbel-Top-k with sequential halving at the root, PUCT below it
};

// What a tree's leaves are worth, and so how a descent picks its children.
enum class LeafEvaluation : int8_t {
  kNetwork,  // priors and a value from the caller's network, in batches (PUCT or Gumbel)
  kRollOut,  // one seeded random roll-out per leaf, no priors (UCB1, with the solver)
};

// The most trees (or games) searched together, and the longest Gumbel plan:
// sequential halving's plan is a table of gumbel_simulations entries per
// considered count, and Gumbel search is meant for few simulations per move.
inline constexpr int64_t kMaxTrees = int64_t{1} << 20;
inline constexpr int64_t kMaxGumbelSimulations = int64_t{1} << 14;
// The most nodes a tree may be given (node indexes are int32).
inline constexpr int64_t kMaxNodeBudget = INT32_MAX;

// A root a search cannot start from (a finished game, say): what() names it
// by its place among the roots given, "root 3 is a finished game"; index and
// reason let a caller that took the roots from elsewhere (the rows of a
// vector env) name it its own way.
struct RootError : std::invalid_argument {
  RootError(size_t root, const std::string& why)
      : std::invalid_argument("root " + std::to_string(root) + " " + why), index(root), reason(why) {}
  size_t index;
  std::string reason;
};

// The counts are 64-bit so that any value a caller gives reaches the check
// as given; check_options narrows nothing.
struct SearchOptions {
  int64_t num_trees = 1;
  int64_t num_threads = 1;  // never more workers than trees are started
  uint64_t seed = 0;
  ObservationFormat format = ObservationFormat::kFloat32;
  int64_t node_budget = 100000;  // nodes per tree
  LeafEvaluation evaluation = LeafEvaluation::kNetwork;

  // ---- PUCT: score(a) = Q(a) + c * P(a) * sqrt(N) / (1 + N(a)), with N the parent's visits
  double c_puct = 1.25;          // c, unless c_base is set
  std::optional<double> c_base;  // set: c = log((1 + N + c_base) / c_base) + c_init, AlphaZero's schedule
  double c_init = 1.25;
  // First-play urgency: the Q of a child never visited, the parent's value
  // for its side to move minus fpu_reduction, or fpu_value when fpu_absolute.
  double fpu_reduction = 0;
  bool fpu_absolute = false;
  double fpu_value = 0;
  // Virtual loss: a descent still waiting for its value counts, in every
  // node of its path, as virtual_loss more visits, all lost by the side that
  // moved into the node, so the next descents of the round look elsewhere.
  double virtual_loss = 1;
  double dirichlet_alpha = 0.3;
  double dirichlet_fraction = 0.25;  // 0: no noise

  // ---- Gumbel root selection (Danihelka et al., 2022)
  RootSelection root_selection = RootSelection::kPuct;
  int64_t gumbel_considered = 16;   // m, actions sampled without replacement at the root
  int64_t gumbel_simulations = 64;  // n, root simulations the sequential halving is planned for
  double gumbel_c_visit = 50;       // sigma(q) = (c_visit + max_b N(b)) * c_scale * q
  double gumbel_c_scale = 0.1;

  // ---- roll-out evaluation: UCB1, score(a) = Q(a) + c * sqrt(ln N / N(a)), every unvisited child first
  double exploration = 1.4142135623730951;  // c; sqrt(2) for values in [-1, 1]
  // MCTS-Solver (Winands et al. 2008): certain results are proved and passed up the tree.
  bool solver = true;
};

// Throws std::invalid_argument naming the first setting out of its range.
void check_options(const SearchOptions& options);

// "puct" or "gumbel"; std::invalid_argument for any other name.
RootSelection root_selection_of(const std::string& name);

// The visit count sequential halving aims each root simulation at: entry
// [m][i] for m considered actions and simulation i < n, as mctx's
// get_table_of_considered_visits builds it.
std::vector<std::vector<int32_t>> considered_visits_table(int considered, int simulations);

}  // namespace varnok
