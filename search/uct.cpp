#include "search/uct.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "env/random.hpp"
#include "search/game_path.hpp"
#include "vector/option_checks.hpp"

namespace varnok {

namespace {

// A node whose result is certain: the game is over there or a solver proved it.
bool proved(const Node& node) { return node.state == NodeState::kTerminal || node.state == NodeState::kSolved; }
// Certain, and lost for the node's side to move (so won by the side that moved into it).
bool proved_lost(const Node& node) { return proved(node) && node.value < 0; }
bool proved_won(const Node& node) { return proved(node) && node.value > 0; }

}  // namespace

void check_options(const UctOptions& o) {
  checked_count(o.num_trees, "num_trees", 1, kMaxTrees);
  checked_threads(o.num_threads);
  checked_real(o.exploration, "exploration", false);
  checked_count(o.node_budget, "node_budget", 1, kMaxNodeBudget);
}

UctTree::UctTree(const UctOptions& options, uint64_t index)
    : options_(options),
      roll_out_random_(static_cast<uint32_t>(Random(options.seed, index).next() >> 32)),
      nodes_(static_cast<int>(options.node_budget)) {
  nodes_.reset_to_root();
}

void UctTree::set_root(const Board& board) {
  root_ = board;
  has_root_ = true;
  nodes_.reset_to_root();
}

int32_t UctTree::pick_child(int32_t node) const {
  const Node& parent = nodes_[node];
  const double log_visits = std::log(static_cast<double>(parent.visits));
  int32_t best = kNoNode;
  double best_score = -INFINITY;
  for (int i = 0; i < parent.child_count; ++i) {
    const int32_t index = parent.first_child + i;
    const Node& child = nodes_[index];
    if (options_.solver) {
      if (proved_lost(child)) return index;  // a proved win for the side choosing
      if (proved_won(child)) continue;       // a proved loss: never again
    }
    if (child.visits == 0) return index;
    const double score = child.value_sum / child.visits + options_.exploration * std::sqrt(log_visits / child.visits);
    if (score > best_score) {
      best_score = score;
      best = index;
    }
  }
  // Every child proved lost for the chooser: the node is proved too and never descended.
  return best == kNoNode ? parent.first_child : best;
}

double UctTree::simulate() {
  path_.assign(1, 0);
  int32_t node = 0;
  while (nodes_[node].state == NodeState::kExpanded) {
    node = pick_child(node);
    path_.push_back(node);
  }
  if (nodes_[node].state != NodeState::kNew) return nodes_[node].value;  // terminal or proved
  const Outcome outcome = replay_path(root_, nodes_, path_, game_);
  const int side = game_.position.side;
  if (outcome.done()) {
    nodes_[node].state = NodeState::kTerminal;
    return nodes_[node].value = terminal_value(outcome, side);
  }
  // Over the budget the leaf stays new: rolled out again on every visit.
  if (add_children(nodes_, node, game_.move_index)) nodes_[node].state = NodeState::kExpanded;
  const int32_t reward = game_.roll_out_with(roll_out_random_, nullptr);
  return side == kWhite ? reward : -reward;
}

void UctTree::prove_up() {
  for (size_t i = path_.size() - 1; i-- > 0;) {
    Node& node = nodes_[path_[i]];
    bool any_won = false, all_lost = true;
    for (int c = 0; c < node.child_count; ++c) {
      const Node& child = nodes_[node.first_child + c];
      any_won = any_won || proved_lost(child);
      all_lost = all_lost && proved_won(child);
    }
    if (!any_won && !all_lost) return;
    node.state = NodeState::kSolved;
    node.value = any_won ? 1 : -1;
  }
}

int UctTree::run(int simulations) {
  int done = 0;
  if (!has_root_) return done;
  for (; done < simulations && !solved() && nodes_[0].state != NodeState::kTerminal; ++done) {
    const double value = simulate();
    back_up(nodes_, path_, value, false);
    if (options_.solver) prove_up();
  }
  return done;
}

double UctTree::root_value() const {
  const Node& root = nodes_[0];
  if (proved(root)) return root.value;
  return root.visits > 0 ? -root.value_sum / root.visits : 0;
}

void UctTree::visit_counts(int32_t* out) const {
  std::fill(out, out + kActionCount, 0);
  const Node& root = nodes_[0];
  for (int i = 0; i < root.child_count; ++i) {
    const Node& child = nodes_[root.first_child + i];
    out[child.action] = child.visits;
  }
}

int32_t UctTree::best_action() const {
  const Node& root = nodes_[0];
  if (root.child_count == 0) return -1;
  int best = 0;
  for (int i = 0; i < root.child_count; ++i) {
    const Node& child = nodes_[root.first_child + i];
    if (options_.solver && proved_lost(child)) return child.action;
    if (child.visits > nodes_[root.first_child + best].visits) best = i;
  }
  return nodes_[root.first_child + best].action;
}

Uct::Uct(const UctOptions& options)
    : options_(checked_options(options)), pool_(static_cast<int>(std::min(options.num_threads, options.num_trees))) {
  trees_.reserve(options.num_trees);
  for (int t = 0; t < options.num_trees; ++t) trees_.push_back(std::make_unique<UctTree>(options_, t));
}

void Uct::set_roots(const std::vector<Board>& boards) {
  if (static_cast<int>(boards.size()) != size())
    throw std::invalid_argument("set_roots needs one root per tree: " + std::to_string(size()) + ", got " +
                                std::to_string(boards.size()));
  for (size_t i = 0; i < boards.size(); ++i)
    if (boards[i].judge(boards[i].move_index.size() > 0).done())
      throw std::invalid_argument("root " + std::to_string(i) + " is a finished game");
  for (size_t i = 0; i < boards.size(); ++i) trees_[i]->set_root(boards[i]);
}

void Uct::run(int simulations, int32_t* done) {
  // Trees are handed out one at a time: their roll-outs differ in length.
  pool_.run_chunks(size(), 1, [&](int begin, int end) {
    for (int t = begin; t < end; ++t) done[t] = trees_[t]->run(simulations);
  });
}

void Uct::acquire() {
  if (!caller_.try_take()) SingleCaller::refuse(pool_, "this search");
}

}  // namespace varnok
