#include "search/mcts_tree.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <istream>
#include <limits>
#include <ostream>

#include "env/observation_writer.hpp"
#include "search/draws.hpp"
#include "search/draws_text.hpp"
#include "search/game_path.hpp"
#include "search/prefetch.hpp"
#include "search/softmax.hpp"

namespace varnok {

namespace {

constexpr double kMinusInfinity = -std::numeric_limits<double>::infinity();
// mctx's floor for a considered action's score, so an action of prior 0 can
// still win the halving when it is the only one left.
constexpr double kLowestScore = -1e9;
// Rescaling divides by at least this spread of Q, as mctx does.
constexpr double kSmallestSpread = 1e-8;
// The children a descent is likely to add next: a middlegame position has
// about forty legal moves.
constexpr int kNodesPrefetched = 40;

// Where a descent rebuilds its leaf's game and lists its moves. One for
// each thread, not one for each tree: a batch descends its trees one after
// another, and a tree's own scratch would be out of the cache every time.
struct DescentScratch {
  LeafGame game;
  ActionMap listing;
};

DescentScratch& descent_scratch() {
  static thread_local DescentScratch scratch;
  return scratch;
}

// A node whose result is certain: the game is over there or the solver proved it.
bool proved(const Node& node) { return node.state == NodeState::kTerminal || node.state == NodeState::kSolved; }
// Certain, and lost for the node's side to move (so won by the side that moved into it).
bool proved_lost(const Node& node) { return proved(node) && node.value < 0; }
bool proved_won(const Node& node) { return proved(node) && node.value > 0; }

}  // namespace

std::vector<std::vector<int32_t>> considered_visits_table(int considered, int simulations) {
  std::vector<std::vector<int32_t>> table(considered + 1);
  for (int m = 0; m <= considered; ++m) {
    std::vector<int32_t>& sequence = table[m];
    if (m <= 1) {
      for (int i = 0; i < simulations; ++i) sequence.push_back(i);
      continue;
    }
    const int log2_m = static_cast<int>(std::ceil(std::log2(m)));
    std::vector<int32_t> visits(m, 0);
    int now_considered = m;
    while (static_cast<int>(sequence.size()) < simulations) {
      const int extra = std::max(1, simulations / (log2_m * now_considered));
      for (int e = 0; e < extra; ++e) {
        sequence.insert(sequence.end(), visits.begin(), visits.begin() + now_considered);
        for (int i = 0; i < now_considered; ++i) ++visits[i];
      }
      now_considered = std::max(2, now_considered / 2);
    }
    sequence.resize(simulations);
  }
  return table;
}

MctsTree::MctsTree(const SearchOptions& options, const std::vector<std::vector<int32_t>>& table, uint64_t index)
    : options_(options),
      table_(table),
      index_(index),
      random_(options.seed, index),
      nodes_(static_cast<int>(options.node_budget)) {
  // The roll-outs' generator is seeded from the tree's first draw.
  if (options.evaluation == LeafEvaluation::kRollOut)
    roll_out_ = std::make_unique<RollOut>(static_cast<uint32_t>(random_.next() >> 32));
  nodes_.reset_to_root();
}

void MctsTree::set_root(const Episode& board, bool running_game) {
  root_ = board;
  if (running_game) root_.after_reset = false;
  has_root_ = true;
  nodes_.reset_to_root();
  leaf_count_ = 0;
  root_priors_.clear();
  noise_.clear();
  halving_visits_.clear();
  halving_started_ = 0;
}

void MctsTree::prefetch_root() const {
  const Node& root = nodes_[0];
  prefetch_bytes(&root, sizeof(Node));
  if (root.first_child != kNoNode) prefetch_bytes(&nodes_[root.first_child], root.child_count * sizeof(Node));
  prefetch_bytes(&root_.position, sizeof(Position));
  prefetch_bytes(&root_.state_history, sizeof(History));
  // Roll-outs make a new node's children as they reach it.
  if (roll_out_) nodes_.prefetch_next(kNodesPrefetched);
}

int MctsTree::select(int descents, const LeafOutput& output) {
  assert(leaf_count_ == 0);
  if (!has_root_ || finished()) return 0;
  LeafGame& game = descent_scratch().game;
  ActionMap& leaf_listing = descent_scratch().listing;
  const bool proving = roll_out_ && options_.solver;
  int d = 0;
  for (; d < descents && !solved(); ++d) {
    path_.assign(1, 0);
    int32_t node = 0;
    bool plan_used_up = false;
    while (nodes_[node].state == NodeState::kExpanded) {
      node = pick_child(node);
      if (node == kNoNode) {
        plan_used_up = true;
        break;
      }
      path_.push_back(node);
    }
    if (plan_used_up) break;
    switch (nodes_[node].state) {
      case NodeState::kTerminal:
      case NodeState::kSolved: back_up(nodes_, path_, nodes_[node].value, false); break;
      case NodeState::kPending:
        for (int32_t on_path : path_) {
          nodes_[on_path].in_flight += 1;
          collided_.push_back(on_path);
        }
        break;
      case NodeState::kNew: {
        // The root is listed and was judged when it was set; any other node
        // is listed and judged here.
        game.start(root_);
        const ActionMap* listing = &root_.move_index;
        if (path_.size() > 1) {
          for (size_t i = 1; i < path_.size(); ++i) game.play(nodes_[path_[i]].move);
          const Outcome outcome = game.list_and_judge(leaf_listing);
          if (outcome.done()) {
            nodes_[node].state = NodeState::kTerminal;
            nodes_[node].value = terminal_value(outcome, game.position().side);
            back_up(nodes_, path_, nodes_[node].value, false);
            break;
          }
          listing = &leaf_listing;
        }
        if (roll_out_) {
          // Over the budget the node stays new: rolled out again on every visit.
          if (add_children(nodes_, node, *listing)) nodes_[node].state = NodeState::kExpanded;
          back_up(nodes_, path_, roll_out_->value(root_, nodes_, path_), false);
          break;
        }
        if (!nodes_.reserve(listing->size())) break;  // over the node budget: dropped
        nodes_[node].state = NodeState::kPending;
        for (int32_t on_path : path_) nodes_[on_path].in_flight += 1;
        if (static_cast<int>(leaves_.size()) <= leaf_count_) leaves_.emplace_back();
        Leaf& leaf = leaves_[leaf_count_];
        leaf.path = path_;
        leaf.children.resize(listing->size());
        ListedChild* child = leaf.children.data();
        listing->for_each([&](int action, Move move) { *child++ = {move, static_cast<int16_t>(action)}; });
        if (output.observations)
          write_row_changes(output.format, game.observed(),
                            output.observations + leaf_count_ * output.observation_bytes, output.written[leaf_count_]);
        if (output.masks)
          write_mask_row(*listing, output.masks + static_cast<size_t>(leaf_count_) * kActionCount,
                         output.written_masks[leaf_count_]);
        ++leaf_count_;
        break;
      }
      case NodeState::kExpanded: assert(false); break;
    }
    if (proving) prove_up();
  }
  for (int32_t on_path : collided_) nodes_[on_path].in_flight -= 1;
  collided_.clear();
  return d;
}

void MctsTree::prove_up() {
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

int32_t MctsTree::pick_child_ucb1(int32_t node) const {
  const Node& parent = nodes_[node];
  const double log_visits = std::log(static_cast<double>(parent.visits));
  int32_t best = kNoNode;
  double best_score = kMinusInfinity;
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

int32_t MctsTree::pick_child(int32_t node) {
  if (roll_out_) return pick_child_ucb1(node);
  if (node == 0 && options_.root_selection == RootSelection::kGumbel) return pick_root_gumbel();
  const Node& parent = nodes_[node];
  const double loss = options_.virtual_loss;
  const double parent_visits = parent.visits + parent.in_flight * loss;
  const double c = options_.c_base
                       ? std::log((1 + parent_visits + *options_.c_base) / *options_.c_base) + options_.c_init
                       : options_.c_puct;
  const double sqrt_visits = std::sqrt(parent_visits);
  const double parent_q = parent.visits > 0 ? -parent.value_sum / parent.visits : 0;
  const double unvisited_q = options_.fpu_absolute ? options_.fpu_value : parent_q - options_.fpu_reduction;
  // The root's priors with noise when it has them, the children's own otherwise.
  const double* noisy_priors = node == 0 && !root_priors_.empty() ? root_priors_.data() : nullptr;
  const Node* children = &nodes_[parent.first_child];
  int best = 0;
  double best_score = kMinusInfinity;
  for (int i = 0; i < parent.child_count; ++i) {
    const Node& child = children[i];
    const double visits = child.visits + child.in_flight * loss;
    const double prior = noisy_priors ? noisy_priors[i] : child.prior;
    // score = Q + c * prior * sqrt(N) / (1 + n); for an unvisited child the
    // division by 1 + 0 changes nothing and is left out: most children of a
    // node below the root are unvisited, and division is the slow part.
    const double score =
        visits > 0 ? (child.value_sum - child.in_flight * loss) / visits + c * prior * sqrt_visits / (1 + visits)
                   : unvisited_q + c * prior * sqrt_visits;
    if (score > best_score) {
      best_score = score;
      best = i;
    }
  }
  return parent.first_child + best;
}

void MctsTree::root_sigma_q() const {
  const Node& root = nodes_[0];
  const int count = root.child_count;
  double sum_visits = 0, sum_probs = 0, max_visits = 0;
  for (int i = 0; i < count; ++i) {
    const Node& child = nodes_[root.first_child + i];
    sum_visits += child.visits;
    max_visits = std::max<double>(max_visits, child.visits);
    if (child.visits > 0) sum_probs += std::max<double>(std::numeric_limits<double>::min(), child.prior);
  }
  // The mixed value stands in for the Q of unvisited actions: the network's
  // value of the root blended with the prior-weighted Q of the visited ones.
  double weighted_q = 0;
  for (int i = 0; i < count; ++i) {
    const Node& child = nodes_[root.first_child + i];
    if (child.visits > 0)
      weighted_q += std::max<double>(std::numeric_limits<double>::min(), child.prior) *
                    (child.value_sum / child.visits) / sum_probs;
  }
  const double mixed = (root.value + sum_visits * weighted_q) / (sum_visits + 1);
  sigma_.resize(count);
  double low = std::numeric_limits<double>::infinity(), high = kMinusInfinity;
  for (int i = 0; i < count; ++i) {
    const Node& child = nodes_[root.first_child + i];
    sigma_[i] = child.visits > 0 ? child.value_sum / child.visits : mixed;
    low = std::min(low, sigma_[i]);
    high = std::max(high, sigma_[i]);
  }
  const double scale = (options_.gumbel_c_visit + max_visits) * options_.gumbel_c_scale;
  for (double& q : sigma_) q = scale * ((q - low) / std::max(high - low, kSmallestSpread));
}

int MctsTree::gumbel_best_at(int32_t target) const {
  const Node& root = nodes_[0];
  const int count = root.child_count;
  root_sigma_q();
  double max_logit = kMinusInfinity;
  for (int i = 0; i < count; ++i) max_logit = std::max(max_logit, std::log(double{nodes_[root.first_child + i].prior}));
  int best = -1;
  double best_score = kMinusInfinity;
  for (int i = 0; i < count; ++i) {
    if (halving_visits_[i] != target) continue;
    const double logit = std::log(double{nodes_[root.first_child + i].prior}) - max_logit;
    const double score = std::max(kLowestScore, noise_[i] + logit + sigma_[i]);
    if (score > best_score) {
      best_score = score;
      best = i;
    }
  }
  return best;
}

int32_t MctsTree::pick_root_gumbel() {
  if (halving_started_ >= options_.gumbel_simulations) return kNoNode;
  const Node& root = nodes_[0];
  const int considered = static_cast<int>(std::min<int64_t>(options_.gumbel_considered, root.child_count));
  // Rows past the table's last are equal to it (see Mcts's halving_table).
  const int32_t target = table_[std::min<size_t>(considered, table_.size() - 1)][halving_started_];
  int best = gumbel_best_at(target);
  // The plan always leaves an action at the target count; this is a guard.
  if (best < 0)
    best = static_cast<int>(std::min_element(halving_visits_.begin(), halving_visits_.end()) - halving_visits_.begin());
  ++halving_visits_[best];
  ++halving_started_;
  return root.first_child + best;
}

std::string MctsTree::check_leaf(int j, const float* priors, float value, bool logits) {
  // A value is the expected result for the side to move: -1 (a loss) to 1
  // (a win). Anything beyond would outweigh every real result backed up.
  if (!std::isfinite(value)) return "the value is not finite";
  if (value < -1 || value > 1) {
    // The shortest text that reads back as this float: a value just past a
    // bound (1.0000001) must not be written as the bound itself.
    char text[32];
    const auto written = std::to_chars(text, text + sizeof text, value);
    return "the value " + std::string(text, written.ptr) + " is outside -1 to 1";
  }
  Leaf& leaf = leaves_[j];
  leaf.value = value;
  const ListedChild* children = leaf.children.data();
  const int count = static_cast<int>(leaf.children.size());
  // Only the legal entries of the row are read, each once: the normalised
  // priors wait in the leaf for expand.
  leaf.priors.resize(count);
  float* out = leaf.priors.data();
  double sum = 0;
  if (logits) {
    float max_logit = -std::numeric_limits<float>::infinity();
    for (int i = 0; i < count; ++i) {
      const float x = priors[children[i].action];
      if (!std::isfinite(x))
        return "the logit of legal action " + std::to_string(children[i].action) + " is not finite";
      max_logit = std::max(max_logit, x);
      out[i] = x;
    }
    // A difference of two finite floats may round to -infinity: its e^x is
    // 0. The sum is a loop of its own: a sum in doubles, in order, would
    // keep the e^x loop from running four at a time.
    for (int i = 0; i < count; ++i) out[i] = exp_of_nonpositive(out[i] - max_logit);
    for (int i = 0; i < count; ++i) sum += out[i];
  } else {
    for (int i = 0; i < count; ++i) {
      const float x = priors[children[i].action];
      if (!(std::isfinite(x) && x >= 0))
        return "the prior of legal action " + std::to_string(children[i].action) + " is negative or not finite";
      sum += (out[i] = x);
    }
    if (!(sum > 0)) return "the priors of the legal actions sum to 0";
  }
  for (int i = 0; i < count; ++i) out[i] = static_cast<float>(out[i] / sum);
  return {};
}

void MctsTree::prefetch_priors(int j, const float* priors) const {
  for (const ListedChild& child : leaves_[j].children) __builtin_prefetch(priors + child.action);
}

void MctsTree::drop_round() {
  const bool gumbel = !roll_out_ && options_.root_selection == RootSelection::kGumbel;
  for (int j = 0; j < leaf_count_; ++j) {
    const std::vector<int32_t>& path = leaves_[j].path;
    for (int32_t on_path : path) nodes_[on_path].in_flight -= 1;
    nodes_[path.back()].state = NodeState::kNew;  // its children were never made
    // The halving plan counted this descent's root action when it was
    // picked; its simulation never happens, so the plan gives it back.
    if (gumbel && path.size() > 1) {
      --halving_visits_[path[1] - nodes_[0].first_child];
      --halving_started_;
    }
  }
  leaf_count_ = 0;
  nodes_.release_reserved();
}

void MctsTree::expand(int j, const float* priors, float value, bool logits) {
  [[maybe_unused]] const std::string problem = check_leaf(j, priors, value, logits);
  assert(problem.empty());
  expand_checked(j);
}

void MctsTree::expand_checked(int j) {
  const Leaf& leaf = leaves_[j];
  const float value = leaf.value;
  const int32_t node = leaf.path.back();
  const int count = static_cast<int>(leaf.children.size());
  const int32_t first = nodes_.take_reserved(count);
  Node* children = &nodes_[first];
  for (int i = 0; i < count; ++i) {
    children[i].action = leaf.children[i].action;
    children[i].move = leaf.children[i].move;
    children[i].prior = leaf.priors[i];
  }
  nodes_[node].first_child = first;
  nodes_[node].child_count = static_cast<int16_t>(count);
  nodes_[node].value = value;
  nodes_[node].state = NodeState::kExpanded;
  back_up(nodes_, leaf.path, value, true);
  if (node == 0) prepare_root();
}

void MctsTree::prepare_root() {
  const Node& root = nodes_[0];
  const int count = root.child_count;
  noise_.assign(count, 0);
  root_priors_.clear();
  if (options_.root_selection == RootSelection::kGumbel) {
    for (double& g : noise_) g = gumbel_draw(random_);
    halving_visits_.assign(count, 0);
    halving_started_ = 0;
    return;
  }
  const double fraction = options_.dirichlet_fraction;
  if (fraction > 0) dirichlet_draw(options_.dirichlet_alpha, random_, noise_);
  root_priors_.resize(count);
  for (int i = 0; i < count; ++i)
    root_priors_[i] = (1 - fraction) * nodes_[root.first_child + i].prior + fraction * noise_[i];
}

void MctsTree::write_draws(std::ostream& out) const {
  out << random_;
  if (roll_out_) {
    out << ' ';
    roll_out_->write_draws(out);
  }
}

bool MctsTree::read_draws(std::istream& in) {
  Random random;
  if (!(in >> random)) return false;
  if (roll_out_ && !roll_out_->read_draws(in)) return false;
  random_ = random;
  return true;
}

std::string draws_of(const std::vector<std::unique_ptr<MctsTree>>& trees) {
  return draws_text([&](std::ostream& out) {
    for (const auto& tree : trees) {
      tree->write_draws(out);
      out << '\n';
    }
  });
}

bool set_draws_of(std::vector<std::unique_ptr<MctsTree>>& trees, const std::string& text) {
  const auto read_all = [&](std::istream& in) {
    for (auto& tree : trees)
      if (!tree->read_draws(in)) return false;
    return true;
  };
  const std::string before = draws_of(trees);
  if (read_draws_text(text, read_all)) return true;
  read_draws_text(before, read_all);  // the trees read before the text failed are put back
  return false;
}

void MctsTree::visit_counts(int32_t* out) const {
  std::fill(out, out + kActionCount, 0);
  const Node& root = nodes_[0];
  for (int i = 0; i < root.child_count; ++i) {
    const Node& child = nodes_[root.first_child + i];
    out[child.action] = child.visits;
  }
}

double MctsTree::root_value() const {
  const Node& root = nodes_[0];
  if (proved(root)) return root.value;
  return root.visits > 0 ? -root.value_sum / root.visits : 0;
}

void MctsTree::improved_policy(float* out) const {
  std::fill(out, out + kActionCount, 0.0f);
  if (!root_expanded()) return;
  const Node& root = nodes_[0];
  if (options_.root_selection == RootSelection::kGumbel) {
    root_sigma_q();
    double high = kMinusInfinity;
    std::vector<double> z(root.child_count);
    for (int i = 0; i < root.child_count; ++i) {
      z[i] = std::log(double{nodes_[root.first_child + i].prior}) + sigma_[i];
      high = std::max(high, z[i]);
    }
    double sum = 0;
    for (double& x : z) sum += (x = std::exp(x - high));
    for (int i = 0; i < root.child_count; ++i)
      out[nodes_[root.first_child + i].action] = static_cast<float>(z[i] / sum);
    return;
  }
  double total = 0;
  for (int i = 0; i < root.child_count; ++i) total += nodes_[root.first_child + i].visits;
  if (total == 0) return;
  for (int i = 0; i < root.child_count; ++i) {
    const Node& child = nodes_[root.first_child + i];
    out[child.action] = static_cast<float>(child.visits / total);
  }
}

int32_t MctsTree::best_action() const {
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

int32_t MctsTree::drawn_by_visits(double temperature) {
  const Node& root = nodes_[0];
  const int count = root.child_count;
  auto child = [&](int i) -> const Node& { return nodes_[root.first_child + i]; };
  int most = 0;
  for (int i = 1; i < count; ++i)
    if (child(i).visits > child(most).visits) most = i;
  if (count == 0 || child(most).visits == 0) return -1;
  double total = 0;
  scratch_.resize(count);
  for (int i = 0; i < count; ++i)
    total += (scratch_[i] = std::pow(child(i).visits / double(child(most).visits), 1 / temperature));
  double draw = uniform_open(random_) * total;
  for (int i = 0; i < count; ++i) {
    draw -= scratch_[i];
    if (draw < 0) return child(i).action;
  }
  return child(most).action;
}

int32_t MctsTree::chosen_action(double temperature) {
  // A draw needs visits to draw by: without any, the greedy choice stands.
  if (temperature > 0 && (roll_out_ || (root_expanded() && options_.root_selection != RootSelection::kGumbel))) {
    const int32_t drawn = drawn_by_visits(temperature);
    if (drawn >= 0) return drawn;
  }
  return greedy_action();
}

int32_t MctsTree::greedy_action() const {
  if (roll_out_) return best_action();
  if (!root_expanded()) return -1;
  const Node& root = nodes_[0];
  const int count = root.child_count;
  auto child = [&](int i) -> const Node& { return nodes_[root.first_child + i]; };
  if (options_.root_selection == RootSelection::kGumbel) {
    // The winner of the halving: the best score among the most visited.
    const int best = gumbel_best_at(*std::max_element(halving_visits_.begin(), halving_visits_.end()));
    return child(std::max(best, 0)).action;
  }
  int most = 0;
  for (int i = 1; i < count; ++i)
    if (child(i).visits > child(most).visits) most = i;
  if (child(most).visits == 0) {  // only the root has been evaluated: the highest prior
    for (int i = 1; i < count; ++i)
      if (child(i).prior > child(most).prior) most = i;
  }
  return child(most).action;
}

std::vector<int32_t> MctsTree::principal_variation(int max_plies) const {
  std::vector<int32_t> line;
  const int32_t first = greedy_action();
  if (first < 0 || max_plies <= 0) return line;
  const Node& root = nodes_[0];
  int32_t node = kNoNode;
  for (int i = 0; i < root.child_count; ++i)
    if (nodes_[root.first_child + i].action == first) node = root.first_child + i;
  line.push_back(first);
  // Below the root: a proved win for the side choosing when the solver has
  // one, else the most visited child (ties to the first), while any is.
  while (static_cast<int>(line.size()) < max_plies && nodes_[node].first_child != kNoNode) {
    const Node& parent = nodes_[node];
    int32_t best = kNoNode;
    for (int i = 0; i < parent.child_count; ++i) {
      const int32_t index = parent.first_child + i;
      if (options_.solver && roll_out_ && proved_lost(nodes_[index])) {
        best = index;
        break;
      }
      if (nodes_[index].visits > 0 && (best == kNoNode || nodes_[index].visits > nodes_[best].visits)) best = index;
    }
    if (best == kNoNode) break;
    line.push_back(nodes_[best].action);
    node = best;
  }
  return line;
}

void MctsTree::root_noise(double* out) const {
  std::fill(out, out + kActionCount, 0.0);
  const Node& root = nodes_[0];
  if (!root_expanded() || noise_.empty()) return;
  for (int i = 0; i < root.child_count; ++i) out[nodes_[root.first_child + i].action] = noise_[i];
}

bool MctsTree::advance(int32_t action) {
  if (!root_expanded()) return false;
  const Node& root = nodes_[0];
  int32_t kept = kNoNode;
  for (int i = 0; i < root.child_count; ++i)
    if (nodes_[root.first_child + i].action == action) kept = root.first_child + i;
  if (kept == kNoNode) return false;
  const Outcome outcome = root_.play(action);
  nodes_.keep_subtree(kept);
  root_priors_.clear();
  noise_.clear();
  halving_visits_.clear();
  halving_started_ = 0;
  Node& new_root = nodes_[0];
  if (outcome.done()) {
    new_root.state = NodeState::kTerminal;
    new_root.value = terminal_value(outcome, root_.position.side);
  } else if (new_root.state == NodeState::kExpanded) {
    prepare_root();
  }
  return true;
}

}  // namespace varnok
