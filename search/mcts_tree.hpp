// One Monte Carlo search tree: the game at its root, its node pool, and how
// its leaves are valued (SearchOptions::evaluation).
//
// With a network, a round: select(k) makes k descents from the root. A
// descent walks down the expanded nodes by PUCT (or, at the root, by Gumbel
// sequential halving) and ends at
//   - a new node: its game is rebuilt (leaf_game.hpp) and judged; a finished
//     game is backed up at once with its exact value, any other becomes a
//     leaf of the round (its children listed, virtual loss on its path);
//   - a finished game already known: backed up at once;
//   - a leaf already taken this round (a collision): the descent puts virtual
//     loss on its path, so the next descents turn away, and is dropped; that
//     virtual loss is taken back when select ends;
//   - a new node whose children do not fit in the node budget: dropped.
// expand(j, priors, value) then gives leaf j its priors and backs its value up.
//
// With roll-outs (plain UCT), the same descents pick children by UCB1, every
// unvisited child first in action order, and a new node is expanded and
// valued on the spot by one random roll-out (roll_out.hpp); over the node
// budget it stays new and is rolled out again on every visit. With the
// solver on (MCTS-Solver, Winands et al. 2008) results that are certain are
// proved and passed up: a node with a child whose side to move is
// checkmated (or proved lost) is a proved win; a node whose children are all
// proved wins for their side to move is a proved loss. A proved child is
// taken at once (a win) or never again (a loss).
#pragma once

#include <cassert>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "env/episode.hpp"
#include "env/random.hpp"
#include "search/leaf_game.hpp"
#include "search/leaf_mask.hpp"
#include "search/node_pool.hpp"
#include "search/roll_out.hpp"
#include "search/search_options.hpp"

namespace varnok {

// Where a round's leaves go: leaf j's observation (in format) at
// observations + j * observation_bytes and its legal mask (4672 bytes, 0 or
// 1) at masks + j * 4672. Null pointers: nothing is written.
struct LeafOutput {
  ObservationFormat format = ObservationFormat::kFloat32;
  uint8_t* observations = nullptr;
  size_t observation_bytes = 0;
  uint8_t* masks = nullptr;
  // What mask row j holds, in written_masks[j] (given with masks): each
  // leaf's mask is written over it (see write_mask_row).
  WrittenMask* written_masks = nullptr;
  // What observation row j holds, in written[j] (given with observations):
  // each leaf's observation is written over it (see write_row_changes).
  WrittenRow* written = nullptr;
};

class MctsTree {
 public:
  // options and table outlive the tree; table is considered_visits_table of
  // the Gumbel options.
  MctsTree(const SearchOptions& options, const std::vector<std::vector<int32_t>>& table, uint64_t index);

  // Starts a new tree at board, which is listed (move_index is the current
  // position's listing) and not finished. The tree's draws go on where
  // they were. A running game (running_game) is taken as the root its saved
  // State would give: a State carries no after_reset, so the root is not
  // seen as a game just reset.
  void set_root(const Episode& board, bool running_game = false);
  bool has_root() const { return has_root_; }
  // The game at the root is over (after advance).
  bool finished() const { return nodes_[0].state == NodeState::kTerminal; }
  // The root's result is proved by the solver (root_value then holds it).
  bool solved() const { return nodes_[0].state == NodeState::kSolved; }
  bool root_expanded() const { return nodes_[0].state == NodeState::kExpanded; }
  int node_count() const { return nodes_.size(); }
  const Episode& root_board() const { return root_; }
  const NodePool& nodes() const { return nodes_; }
  // The nodes from the root to leaf j of the open round.
  const std::vector<int32_t>& leaf_path(int j) const { return leaves_[j].path; }

  // ---- one round: descents from the root (fewer once Gumbel's plan is used
  // up or the root is proved); returns how many were made.
  int select(int descents, const LeafOutput& output);
  int select(int descents) { return select(descents, LeafOutput{}); }
  // Asks the cache for what the next select reads first: the root, its
  // children and the root's game (with roll-outs also the nodes the first
  // descent adds). A batch calls it for the next tree while it descends
  // this one.
  void prefetch_root() const;
  int leaf_count() const { return leaf_count_; }
  // Why leaf j cannot take these priors and value (empty when it can): a
  // non-finite value, or priors over its legal actions that are not finite
  // (logits) or not non-negative with a positive sum (probabilities). When
  // it can, the leaf keeps its normalised priors and its value for
  // expand_checked (the caller's arrays are read once); the tree itself is
  // not changed.
  std::string check_leaf(int j, const float* priors, float value, bool logits);
  // Asks the cache for the entries of priors (leaf j's row) that check_leaf
  // will read.
  void prefetch_priors(int j, const float* priors) const;
  // Asks the cache for the nodes that expand_checked makes for this round's
  // leaves, for writing. A batch calls it for the next tree while it
  // expands this one.
  void prefetch_new_children() const { nodes_.prefetch_next(nodes_.reserved()); }
  // Gives leaf j, checked with check_leaf, the priors it kept and backs its
  // value up, for its side to move.
  void expand_checked(int j);
  // check_leaf (which must pass) and expand_checked in one.
  void expand(int j, const float* priors, float value, bool logits);
  // Ends the round once every leaf is expanded.
  void end_round() {
    assert(nodes_.reserved() == 0);
    leaf_count_ = 0;
  }
  // Drops the round with its leaves still waiting: each goes back to a node
  // no descent has reached (its children were never made; the next descent
  // that reaches it lists them again), the room held for them is given
  // back and the virtual loss on its path is taken back.
  void drop_round();

  // ---- results at the root (zeros while the root has no priors)
  void visit_counts(int32_t* out) const;  // 4672 counts
  double root_value() const;              // for the root's side to move
  // The improved policy over 4672 actions: visit shares (PUCT) or
  // softmax(logits + sigma(completed Q)) (Gumbel).
  void improved_policy(float* out) const;
  // The move to play: PUCT, the most visited (temperature 0, ties to the
  // lower action) or a draw in proportion to visits^(1 / temperature);
  // Gumbel, the winner of the sequential halving. -1 without priors at the
  // root. Roll-outs: best_action at temperature 0, else the same draw.
  int32_t chosen_action(double temperature);
  // chosen_action at temperature 0 (it draws nothing).
  int32_t greedy_action() const;
  // The line the search expects, at most max_plies long: greedy_action,
  // then at each node below it a proved win for the side choosing (with
  // the roll-out solver) or the most visited child, while one was visited.
  std::vector<int32_t> principal_variation(int max_plies) const;
  // Roll-outs: a proved win if there is one, otherwise the most visited
  // child (ties to the lower action); -1 before any simulation.
  int32_t best_action() const;
  // The noise mixed into the root's priors (Dirichlet, PUCT) or added to its
  // logits (Gumbel), over 4672 actions (0 off the legal actions).
  void root_noise(double* out) const;

  // Keeps the subtree under action (a child of the expanded root) as the new
  // tree; false, with nothing changed, when action is no child of the root.
  bool advance(int32_t action);

  // The state of the tree's seeded draws (its roll-outs' too) as text, and
  // back (false, with nothing changed, on text that is not such a state):
  // a tree given another's draws makes the same searches from the same
  // roots.
  void write_draws(std::ostream& out) const;
  bool read_draws(std::istream& in);

 private:
  // The child of node a descent takes; kNoNode when Gumbel's plan for the
  // root is used up.
  int32_t pick_child(int32_t node);
  int32_t pick_child_ucb1(int32_t node) const;
  // Marks the nodes of the descent's path that are now proved, from the leaf up.
  void prove_up();
  // A child of the root drawn in proportion to visits^(1 / temperature),
  // from the tree's generator; -1 when no child has been visited.
  int32_t drawn_by_visits(double temperature);
  int32_t pick_root_gumbel();
  // The root child with the highest Gumbel score (noise + logit + sigma of
  // completed Q) among those the halving plan has given target visits; -1
  // when none has.
  int gumbel_best_at(int32_t target) const;
  // Mixes fresh noise into the priors of an expanded root.
  void prepare_root();
  // sigma(completed Q) of the root's children, into sigma_.
  void root_sigma_q() const;

  // A child of a leaf, listed by select and made a node by expand.
  struct ListedChild {
    Move move;
    int16_t action;
  };
  // A leaf keeps its path and its legal moves from select, and then its
  // checked priors. Its children are made only when it is expanded, with
  // their priors, in one pass over memory that select has not touched:
  // made at select, they would be written there and read back here, and
  // between the two every other tree of a batch has made its own.
  struct Leaf {
    std::vector<int32_t> path;
    std::vector<ListedChild> children;  // in action order, room for them reserved in the pool
    std::vector<float> priors;          // normalised, in child order
    float value = 0;                    // for the leaf's side to move, as checked
  };

  const SearchOptions& options_;
  const std::vector<std::vector<int32_t>>& table_;
  const uint64_t index_;
  Random random_;
  std::unique_ptr<RollOut> roll_out_;  // with roll-out evaluation only
  Episode root_;
  bool has_root_ = false;
  NodePool nodes_;

  // ---- the round
  std::vector<Leaf> leaves_;  // slots, grown to the most leaves a round has asked for
  int leaf_count_ = 0;
  std::vector<int32_t> path_;      // the descent being made
  std::vector<int32_t> collided_;  // nodes holding a collision's virtual loss

  // ---- the root, in child order
  std::vector<double> root_priors_;      // priors with noise (PUCT)
  std::vector<double> noise_;            // Dirichlet or Gumbel draws
  std::vector<int32_t> halving_visits_;  // root simulations given to each child by the halving plan
  int halving_started_ = 0;
  mutable std::vector<double> sigma_;
  std::vector<double> scratch_;
};

// The draws of every tree of a search, one tree after another, as text
// (draws_text.hpp), and
// back: false, with every tree as it was, on text that is not the draws of
// as many trees of the same kind.
std::string draws_of(const std::vector<std::unique_ptr<MctsTree>>& trees);
bool set_draws_of(std::vector<std::unique_ptr<MctsTree>>& trees, const std::string& text);

}  // namespace varnok
